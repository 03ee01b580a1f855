#!/usr/bin/env bash
# Configures and builds the Windows x64 binaries into build/bin.
set -euo pipefail
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
BUILD_DIR="${BUILD_DIR:-$ROOT/build}"

bash "$ROOT/scripts/setup.sh"
# ccache, where present, lets several checkouts of the tree share objects.
launcher=()
if command -v ccache >/dev/null; then
  export CCACHE_BASEDIR="$ROOT" CCACHE_NOHASHDIR=1
  launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
cmake -S "$ROOT" -B "$BUILD_DIR" -G Ninja "${launcher[@]}" \
  -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-w64-x86_64.cmake" \
  -DCMAKE_BUILD_TYPE="${BUILD_TYPE:-RelWithDebInfo}" >/dev/null
cmake --build "$BUILD_DIR"
