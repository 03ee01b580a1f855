# Sourced by the scripts: one Wine prefix per build folder, no Mono/Gecko
# prompts, no debug chatter.
BUILD_DIR="${BUILD_DIR:-$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)/build}"
export WINEPREFIX="$BUILD_DIR/wineprefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
export WINEARCH=win64

# Wine's first start launches wineserver and helper services that inherit
# stdout; start them detached so they never hold a caller's pipes open.
wine_start() {
  mkdir -p "$WINEPREFIX"
  # Answers non-zero when a server for this prefix already runs.
  wineserver -p >/dev/null 2>&1 </dev/null || true
  wineboot -i >/dev/null 2>&1 </dev/null
  # The prefix says Windows 10, whose true version differs from the one
  # GetVersionEx tells a program without a compatibility manifest.
  grep -q '^"ProductName"="Microsoft Windows 10"' "$WINEPREFIX/system.reg" 2>/dev/null ||
    wine winecfg -v win10 >/dev/null 2>&1 </dev/null
}

wine_stop() {
  wineserver -k >/dev/null 2>&1 </dev/null || true
}
