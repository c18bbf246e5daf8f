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
# Benchmarks are measured on the plain build only; the sanitizer builds skip them.
bench=ON
[[ -n $sanitize ]] && bench=OFF
cmake -S . -B "$dir" -G Ninja -DVANTLES_SANITIZE="$sanitize" -DVANTLES_BENCH=$bench >&2
cmake --build "$dir" -j "$(nproc)" >&2
echo "$dir"
