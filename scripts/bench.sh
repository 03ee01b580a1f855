#!/usr/bin/env bash
# Sets up and builds like scripts/test.sh, then runs the benchmarks under Wine
# and prints their figures. SyslogBench sends to a local rsyslogd that runs
# only meanwhile.
exec bash "$(dirname "$0")/with-wine.sh" bash -c '
  rsyslog="$(dirname "$PWD")/tests/syslog/rsyslog.sh"
  [[ -f "$rsyslog" ]] || rsyslog="'"$(cd "$(dirname "$0")/.." && pwd)"'/tests/syslog/rsyslog.sh"
  wine bin/ProviderBench.exe && wine bin/FsBench.exe && wine bin/TextBench.exe && wine bin/LoggingBench.exe &&
  bash "$rsyslog" start testdata/benchsyslog &&
  FERNWICK_RSYSLOG_DIR="Z:$PWD/testdata/benchsyslog" wine bin/SyslogBench.exe
  status=$?
  bash "$rsyslog" stop testdata/benchsyslog
  exit $status'
