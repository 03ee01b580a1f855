#!/usr/bin/env bash
# Sets up and builds like scripts/test.sh, then runs the provider benchmark
# under Wine and prints its figures.
set -euo pipefail
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
export BUILD_DIR="${BUILD_DIR:-$ROOT/build}"

bash "$ROOT/scripts/build.sh"
source "$ROOT/scripts/wine-env.sh"
wine_start
trap wine_stop EXIT
wine "$BUILD_DIR/bin/ProviderBench.exe"
