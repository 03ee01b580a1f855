#!/usr/bin/env bash
# The main job, on a fresh Debian machine: installs what is missing, builds,
# registers the provider DLL in the build's own Wine prefix, starts RouterSim
# (the stand-in for the router service) in the background, and shows five
# samples of the sessions' counters and rates through RouterStat. Leaves
# nothing running.
set -euo pipefail
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
export BUILD_DIR="${BUILD_DIR:-$ROOT/build}"

bash "$ROOT/scripts/build.sh"
source "$ROOT/scripts/wine-env.sh"
BIN="$BUILD_DIR/bin"
SIM_LOG="$BUILD_DIR/routersim.log"

# A wineserver left running for this prefix makes "wineserver -p" fail;
# the prefix is usable all the same.
wine_start || true
SIM_PID=""
finish() {
  if [[ -n "$SIM_PID" ]] && kill -0 "$SIM_PID" 2>/dev/null; then
    wine "$BIN/RouterSim.exe" --stop >/dev/null 2>&1 </dev/null || true
    for _ in $(seq 50); do kill -0 "$SIM_PID" 2>/dev/null || break; sleep 0.2; done
  fi
  wine_stop
}
trap finish EXIT

# Through COM, as WMI would load it; fall back to loading the file directly.
STAT_SOURCE=()
if ! wine regsvr32 /s "$(winepath -w "$BIN/FernwickRouterSessionPerf.dll")" </dev/null >/dev/null 2>&1; then
  echo "run.sh: regsvr32 could not register the provider; RouterStat loads the DLL directly (--module)." >&2
  STAT_SOURCE=(--module "$(winepath -w "$BIN/FernwickRouterSessionPerf.dll")")
fi

echo "Starting RouterSim: 4 sessions, 10 ticks a second."
wine "$BIN/RouterSim.exe" --sessions 4 --rate 10 --seed 1 --seconds 300 >"$SIM_LOG" 2>&1 </dev/null &
SIM_PID=$!
for _ in $(seq 300); do
  grep -q '^ready' "$SIM_LOG" 2>/dev/null && break
  kill -0 "$SIM_PID" 2>/dev/null || { cat "$SIM_LOG" >&2; exit 1; }
  sleep 0.2
done
grep -q '^ready' "$SIM_LOG" || { echo "run.sh: RouterSim did not get ready" >&2; exit 1; }
grep '^session' "$SIM_LOG" | sed 's/^/  /'

echo "RouterStat: five samples, one a second."
wine "$BIN/RouterStat.exe" "${STAT_SOURCE[@]}" --count 5 --interval 1 </dev/null
