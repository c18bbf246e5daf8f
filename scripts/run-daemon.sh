#!/usr/bin/env bash
# Builds vantlesd and runs it in the foreground as root, logging to standard error.
# The service socket is /run/vantlesd/vantlesd.sock unless VANTLESD_SOCKET says otherwise.
set -euo pipefail
cd "$(dirname "$0")/.."

if [[ $(id -u) -ne 0 ]]; then
    echo "run-daemon: vantlesd must run as root (try: sudo $0)" >&2
    exit 1
fi
dir=$(bash scripts/build.sh | tail -n 1)
exec "$dir/server/vantlesd" -d
