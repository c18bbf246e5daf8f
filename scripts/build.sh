#!/usr/bin/env bash
# Configures and builds vantlesd. Usage: scripts/build.sh [--sanitize address|thread]
# Build trees: build/ (plain), build-asan/ (ASan+UBSan), build-tsan/ (TSan).
set -euo pipefail
cd "$(dirname "$0")/.."

sanitize=""
if [[ ${1:-} == --sanitize ]]; then sanitize=${2:?address or thread}; fi
case "$sanitize" in
    "") dir=build ;;
    address) dir=build-asan ;;
    thread) dir=build-tsan ;;
    *) echo "build: unknown sanitizer '$sanitize'" >&2; exit 2 ;;
esac

bash scripts/setup.sh >&2
cmake -S . -B "$dir" -G Ninja -DVANTLES_SANITIZE="$sanitize" >&2
cmake --build "$dir" -j "$(nproc)" >&2
echo "$dir"
