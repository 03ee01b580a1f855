#!/usr/bin/env bash
# Configures and builds the Windows x64 binaries into build/bin.
set -euo pipefail
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
BUILD_DIR="${BUILD_DIR:-$ROOT/build}"

source "$ROOT/scripts/configure.sh"
configure_build "$BUILD_DIR" mingw-w64-x86_64.cmake -DCMAKE_BUILD_TYPE="${BUILD_TYPE:-RelWithDebInfo}"
cmake --build "$BUILD_DIR"
