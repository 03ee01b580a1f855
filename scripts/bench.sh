#!/usr/bin/env bash
# Sets up and builds like scripts/test.sh, then runs the benchmarks under Wine
# and prints their figures.
exec bash "$(dirname "$0")/with-wine.sh" bash -c \
  'wine bin/ProviderBench.exe && wine bin/FsBench.exe && wine bin/TextBench.exe && wine bin/LoggingBench.exe && wine bin/StackBench.exe'
