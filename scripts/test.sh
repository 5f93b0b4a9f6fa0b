#!/usr/bin/env bash
# Builds everything in Release (the programs, the tools and the Python
# package tomsim) and runs the fast tests: the C++ suites and the package's
# pytest suite, all through CTest, in a few minutes.
#   scripts/test.sh [--full] [build-dir]     (default build-dir: build)
# --full also runs the slow suites (whole scans and studies against the
# straightforward renderings) and then builds the tests again under
# AddressSanitizer and UndefinedBehaviorSanitizer (in <build-dir>-asan) and
# runs the fast ones there.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
full=0
if [ "${1:-}" = "--full" ]; then full=1; shift; fi
case "${1:-}" in -*) echo "usage: scripts/test.sh [--full] [build-dir]" >&2; exit 2 ;; esac
build=${1:-$here/build}
jobs=$(nproc)
"$here/scripts/install-deps.sh"
cmake -S "$here" -B "$build" -DCMAKE_BUILD_TYPE=Release -DPython_EXECUTABLE=/usr/bin/python3
cmake --build "$build" -j"$jobs"
if [ "$full" = 0 ]; then
  ctest --test-dir "$build" --output-on-failure -j"$jobs" -LE slow
  exit 0
fi
ctest --test-dir "$build" --output-on-failure -j"$jobs"
cmake -S "$here" -B "$build-asan" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTOM_SANITIZE=ON
cmake --build "$build-asan" -j"$jobs"
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir "$build-asan" --output-on-failure -j"$jobs" -LE slow
