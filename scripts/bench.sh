#!/usr/bin/env bash
# Sets up and builds like scripts/test.sh, then runs the provider benchmark
# under Wine and prints its figures.
exec bash "$(dirname "$0")/with-wine.sh" wine bin/ProviderBench.exe
