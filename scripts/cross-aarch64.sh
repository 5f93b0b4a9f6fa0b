#!/usr/bin/env bash
# Builds the programs and their kernel tests for 64-bit ARM with Debian's
# cross compiler and runs the tests under qemu-user: the portable vector
# kernel (the compiler's generic vectors, NEON on ARM) and the scalar one
# are compared there with the straightforward renderings, as on x86.
# Usage: scripts/cross-aarch64.sh [build-dir] [ctest label]
#   (default build-aarch64; default label: kernel, the kernel comparisons)
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$here/build-aarch64}
label=${2:-kernel}
need=()
command -v aarch64-linux-gnu-g++ > /dev/null || need+=(g++-aarch64-linux-gnu)
command -v qemu-aarch64 > /dev/null || need+=(qemu-user)
[ -f /usr/src/googletest/CMakeLists.txt ] || need+=(libgtest-dev)
if [ ${#need[@]} -gt 0 ]; then
  apt-get install -y "${need[@]}"
fi
mkdir -p "$build"
cat > "$build/aarch64.cmake" <<'TOOLCHAIN'
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_FIND_ROOT_PATH /usr/aarch64-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64;-L;/usr/aarch64-linux-gnu)
TOOLCHAIN
cmake -S "$here" -B "$build" -DCMAKE_BUILD_TYPE=Release -DCMAKE_TOOLCHAIN_FILE="$build/aarch64.cmake" \
  -DTOM_BUILD_TOOLS=OFF -DTOM_BUILD_PYTHON=OFF
cmake --build "$build" -j"$(nproc)"
ctest --test-dir "$build" --output-on-failure -j"$(nproc)" -L "$label"
