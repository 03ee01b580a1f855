#!/usr/bin/env bash
# Compiles the tree with the second compiler, then sets up, builds and runs
# the whole test suite under Wine.
set -euo pipefail
bash "$(dirname "$0")/clang-check.sh"
exec bash "$(dirname "$0")/with-wine.sh" ctest --output-on-failure --timeout 600 "$@"
