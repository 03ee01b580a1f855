#!/usr/bin/env bash
# Installs what is missing, compiles the tree with the second compiler,
# builds, and runs the whole test suite under Wine, the tests side by side
# (CTEST_PARALLEL_LEVEL, 4 by default: they mostly wait on Wine). Prints how
# long each phase took, also when one fails.
set -euo pipefail
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
export BUILD_DIR="${BUILD_DIR:-$ROOT/build}"

phases=()
report() { printf '%s\n' "${phases[@]}" "time total $SECONDS s"; }
trap report EXIT
phase() {
  local name="$1" start=$SECONDS status=0
  shift
  "$@" || status=$?
  phases+=("time $name $((SECONDS - start)) s")
  return $status
}

run_tests() {
  source "$ROOT/scripts/wine-env.sh"
  wine_start
  local status=0
  (cd "$BUILD_DIR" && ctest --output-on-failure --timeout 600 -j "${CTEST_PARALLEL_LEVEL:-4}" "$@") || status=$?
  wine_stop
  return $status
}

phase setup bash "$ROOT/scripts/setup.sh"
phase clang bash "$ROOT/scripts/clang-check.sh"
phase build bash "$ROOT/scripts/build.sh"
phase tests run_tests "$@"
