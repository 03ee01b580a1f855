#!/usr/bin/env bash
# Installs the support library from a build folder into a scratch prefix,
# builds the host program once against that package and once from the
# library's sources, runs both under Wine and checks what they print: the
# CRC-32 and CRC-64/XZ check values of "123456789", a ZELString, and an
# event's text from the logger's message table the host carries.
#
#   build_host.sh BUILD_DIR SOURCE_DIR WORK_DIR
set -euo pipefail
build="$1"
source="$2"
work="$3"
expected="cbf43926 995dc9bbdf1939fa host 4
event text"

# A fresh install each time; the two host builds stay and are brought up to
# date, so that a change to one library source recompiles only that source.
rm -rf "$work/install"
cmake --install "$build" --component FernwickSupport --prefix "$work/install" >/dev/null
launcher=()
if command -v ccache >/dev/null; then
  export CCACHE_BASEDIR="$source" CCACHE_NOHASHDIR=1
  launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
for form in package sources; do
  options=(-DCMAKE_PREFIX_PATH="$work/install")
  [[ $form == sources ]] && options=(-DFERNWICK_SOURCE_DIR="$source")
  cmake -S "$source/tests/package/host" -B "$work/$form" -G Ninja "${launcher[@]}" \
    -DCMAKE_TOOLCHAIN_FILE="$source/cmake/mingw-w64-x86_64.cmake" "${options[@]}" >/dev/null
  cmake --build "$work/$form" >/dev/null
  printed="$(timeout 60 wine "$work/$form/support_host.exe" | tr -d '\r')"
  if [[ "$printed" != "$expected" ]]; then
    echo "$form: printed '$printed', expected '$expected'" >&2
    exit 1
  fi
  echo "$form: $printed"
done
