#!/usr/bin/env bash
# Compiles the whole tree with a second compiler (clang + lld against the
# MinGW-w64 GCC run time) into build-clang/, warnings as failures, so that
# code only one compiler accepts is caught. Nothing of this build is run.
set -euo pipefail
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
CLANG_BUILD_DIR="${CLANG_BUILD_DIR:-$ROOT/build-clang}"

source "$ROOT/scripts/configure.sh"
configure_build "$CLANG_BUILD_DIR" clang-mingw-w64-x86_64.cmake \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_COMPILE_WARNING_AS_ERROR=ON
# Compile warnings fail their object already; link warnings are caught here.
log="$CLANG_BUILD_DIR/build.log"
cmake --build "$CLANG_BUILD_DIR" "$@" 2>&1 | tee "$log"
if grep -q 'warning:' "$log"; then
  echo "clang build: warnings above" >&2
  exit 1
fi
