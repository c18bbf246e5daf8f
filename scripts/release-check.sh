#!/usr/bin/env bash
# Builds what a user or a packager builds, as they would: a Release build with the warnings
# shown but not fatal, with GCC and with clang (installed from Debian's packages when missing),
# programs and libraries only. A newer compiler's new warning must not break their build.
# Usage: scripts/release-check.sh
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh >&2
if ! command -v clang++ >/dev/null; then
    export DEBIAN_FRONTEND=noninteractive
    apt-get install -y -q --no-install-recommends clang >&2 ||
        { apt-get update -q >&2 && apt-get install -y -q --no-install-recommends clang >&2; }
fi
for compiler in gcc clang; do
    dir=build-release-$compiler
    if [[ $compiler == gcc ]]; then cc=gcc cxx=g++; else cc=clang cxx=clang++; fi
    CC=$cc CXX=$cxx cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF \
        -DVANTLES_BENCH=OFF >&2
    cmake --build "$dir" -j "$(nproc)" >&2
    echo "release-check: $compiler: built" >&2
done
