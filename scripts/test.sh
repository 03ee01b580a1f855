#!/usr/bin/env bash
# Sets up, builds and runs the whole test suite under Wine.
exec bash "$(dirname "$0")/with-wine.sh" ctest --output-on-failure --timeout 600 "$@"
