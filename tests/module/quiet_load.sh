#!/usr/bin/env bash
# A host that loads the provider module, is served and unloads it finds no
# file in its current folder or below its TEMP, no console output and no
# event: the module never configures the library's logger, so what the
# library logs is dropped. Wine prints every event report on the eventlog
# debug channel, on the process's own standard error, which is read here
# together with its standard output. A control run in which the host writes
# one of each shows that each would be noticed.
#
# quiet_load.sh BIN-FOLDER WORK-FOLDER
set -euo pipefail
BIN="$1"
WORK="$2"

# Runs quiet_host with MODE in fresh folders; its output in $WORK/output.txt.
run_host() {
  rm -rf "$WORK"
  mkdir -p "$WORK/current" "$WORK/temp"
  local status=0
  (cd "$WORK/current" &&
    WINEDEBUG=-all,err+eventlog,warn+eventlog,trace+eventlog \
      wine "$BIN/quiet_host.exe" "$1" "$(winepath -w "$WORK/temp")" >"$WORK/output.txt" 2>&1) || status=$?
  return $status
}

traces() { (cd "$WORK" && find current temp -type f | sort); }

fail() {
  echo "FAIL: $1"
  cat "$WORK/output.txt"
  exit 1
}

run_host --control || fail "control run"
grep -q '^console line' "$WORK/output.txt" || fail "control: no console line seen"
grep -q 'eventlog.*control event' "$WORK/output.txt" || fail "control: no event seen"
[ "$(traces)" = "current/control.txt" ] || fail "control: files $(traces)"

run_host --serve || fail "served run"
[ ! -s "$WORK/output.txt" ] || fail "output while loading, serving and unloading the module"
[ -z "$(traces)" ] || fail "files left: $(traces)"
rm -rf "$WORK"
echo "no file, console output or event"
