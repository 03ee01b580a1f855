#!/usr/bin/env bash
# Compiles the whole tree with a second compiler (clang + lld against the
# MinGW-w64 GCC run time) into build-clang/, warnings as failures, so that
# code only one compiler accepts is caught. Nothing of this build is run, so
# it goes without debug information and with little optimisation (-O1: at
# -O0 libstdc++'s inline type_info comparison clashes with the library's own
# at link time), and it links only the product's binaries: the test
# programs are compiled, not linked.
# Arguments, when given, go to `cmake --build` instead (e.g. -- TARGET...).
set -euo pipefail
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
CLANG_BUILD_DIR="${CLANG_BUILD_DIR:-$ROOT/build-clang}"

source "$ROOT/scripts/configure.sh"
configure_build "$CLANG_BUILD_DIR" clang-mingw-w64-x86_64.cmake \
  -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_FLAGS_RELEASE=-O1 -DCMAKE_C_FLAGS_RELEASE=-O1 -DFERNWICK_DEBUG_INFO=OFF \
  -DCMAKE_COMPILE_WARNING_AS_ERROR=ON
if (($# == 0)); then
  # Every object; every link except those of targets with objects in the
  # test tree or GoogleTest.
  mapfile -t outputs < <(cd "$CLANG_BUILD_DIR" && ninja -t targets all | awk -F': ' '
    $2 ~ /_COMPILER__/ {
      objects[$1] = 1
      if ($1 ~ /^(tests|googletest)\//) { sub(/^.*_COMPILER__/, "", $2); test_target[$2] = 1 }
      next
    }
    $2 ~ /_LINKER__/ { rule = $2; sub(/^.*_LINKER__/, "", rule); links[$1] = rule }
    END {
      for (o in objects) print o
      for (l in links) if (!(links[l] in test_target)) print l
    }')
  set -- -- "${outputs[@]}"
fi
# Compile warnings fail their object already; link warnings are caught here.
log="$CLANG_BUILD_DIR/build.log"
cmake --build "$CLANG_BUILD_DIR" "$@" 2>&1 | tee "$log"
if grep -q 'warning:' "$log"; then
  echo "clang build: warnings above" >&2
  exit 1
fi
