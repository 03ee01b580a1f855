#!/usr/bin/env bash
# Compiles the whole tree with a second compiler (clang + lld against the
# MinGW-w64 GCC run time) into build-clang/, warnings as failures, so that
# code only one compiler accepts is caught. Nothing of this build is run.
set -euo pipefail
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
CLANG_BUILD_DIR="${CLANG_BUILD_DIR:-$ROOT/build-clang}"

bash "$ROOT/scripts/setup.sh"
launcher=()
if command -v ccache >/dev/null; then
  export CCACHE_BASEDIR="$ROOT" CCACHE_NOHASHDIR=1
  launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
cmake -S "$ROOT" -B "$CLANG_BUILD_DIR" -G Ninja "${launcher[@]}" \
  -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/clang-mingw-w64-x86_64.cmake" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_COMPILE_WARNING_AS_ERROR=ON >/dev/null
# Compile warnings fail their object already; link warnings are caught here.
log="$CLANG_BUILD_DIR/build.log"
cmake --build "$CLANG_BUILD_DIR" "$@" 2>&1 | tee "$log"
if grep -q 'warning:' "$log"; then
  echo "clang build: warnings above" >&2
  exit 1
fi
