#!/usr/bin/env bash
# Sets up and builds like scripts/test.sh, then runs the benchmarks under Wine
# and prints their figures. SyslogBench sends to a local rsyslogd that runs
# only meanwhile.
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
export RSYSLOG_SCRIPT="$ROOT/tests/syslog/rsyslog.sh"
exec bash "$ROOT/scripts/with-wine.sh" bash -c '
  wine bin/ProviderBench.exe && wine bin/LoadBench.exe && wine bin/FsBench.exe && wine bin/TextBench.exe && wine bin/LoggingBench.exe &&
    bash "$RSYSLOG_SCRIPT" start testdata/benchsyslog &&
    FERNWICK_RSYSLOG_DIR="Z:$PWD/testdata/benchsyslog" wine bin/SyslogBench.exe &&
    wine bin/StackBench.exe && wine bin/EnvironmentReportBench.exe
  status=$?
  bash "$RSYSLOG_SCRIPT" stop testdata/benchsyslog
  exit $status'
