#!/usr/bin/env bash
# Builds the fuzz targets with clang (ASan+UBSan+libFuzzer) and runs one.
# Usage: scripts/fuzz.sh [TARGET] [SECONDS]   (default: request_fuzz for 60 seconds)
set -euo pipefail
cd "$(dirname "$0")/.."
target=${1:-request_fuzz}
seconds=${2:-60}

bash scripts/setup.sh >&2
command -v clang++ >/dev/null || apt-get install -y -q clang
CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DVANTLES_SANITIZE=address -DVANTLES_WERROR=ON \
    -DVANTLES_FUZZ=ON -DBUILD_TESTING=OFF >&2
cmake --build build-fuzz --target "$target" >&2
mkdir -p build-fuzz/corpus/"$target"
cp -n fuzz/corpus/"$target"/* build-fuzz/corpus/"$target"/ 2>/dev/null || true
exec build-fuzz/fuzz/"$target" -max_total_time="$seconds" -max_len=70000 \
    build-fuzz/corpus/"$target"
