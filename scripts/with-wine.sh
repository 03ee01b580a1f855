#!/usr/bin/env bash
# Sets up and builds, then runs one command inside the build folder with the
# build's Wine prefix started, and stops Wine afterwards.
set -euo pipefail
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
export BUILD_DIR="${BUILD_DIR:-$ROOT/build}"

bash "$ROOT/scripts/build.sh"
source "$ROOT/scripts/wine-env.sh"
wine_start
trap wine_stop EXIT
cd "$BUILD_DIR"
"$@"
