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
}

wine_stop() {
  wineserver -k >/dev/null 2>&1 </dev/null || true
}
