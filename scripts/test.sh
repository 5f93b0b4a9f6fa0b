#!/usr/bin/env bash
# Builds everything in Release (the programs, the tools and the Python
# package tomsim) and runs the whole test suite: the C++ tests and the
# package's pytest suite, all through CTest.
# Usage: scripts/test.sh [build-dir]     (default: build)
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$here/build}
"$here/scripts/install-deps.sh"
cmake -S "$here" -B "$build" -DCMAKE_BUILD_TYPE=Release -DPython_EXECUTABLE=/usr/bin/python3
cmake --build "$build" -j"$(nproc)"
ctest --test-dir "$build" --output-on-failure -j"$(nproc)"
