#!/usr/bin/env bash
# Configures and builds vantlesd. Usage: scripts/build.sh [--sanitize address|thread] [TARGET...]
# Build trees: build/ (plain), build-asan/ (ASan+UBSan), build-tsan/ (TSan). Without targets
# everything is built, tests and benchmarks included. Prints the build directory last.
set -euo pipefail
cd "$(dirname "$0")/.."

sanitize=""
if [[ ${1:-} == --sanitize ]]; then
    sanitize=${2:?address or thread}
    shift 2
fi
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
cmake -S . -B "$dir" -G Ninja -DVANTLES_SANITIZE="$sanitize" -DVANTLES_BENCH=$bench \
    -DVANTLES_WERROR=ON >&2
targets=()
for t in "$@"; do targets+=(--target "$t"); done
cmake --build "$dir" -j "$(nproc)" "${targets[@]}" >&2
echo "$dir"
