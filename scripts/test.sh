#!/usr/bin/env bash
# Sets up, builds and runs the whole test suite under Wine.
set -euo pipefail
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
export BUILD_DIR="${BUILD_DIR:-$ROOT/build}"

bash "$ROOT/scripts/build.sh"
source "$ROOT/scripts/wine-env.sh"
wine_start
trap wine_stop EXIT
cd "$BUILD_DIR"
ctest --output-on-failure --timeout 600 "$@"
