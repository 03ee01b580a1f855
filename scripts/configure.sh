# Sourced by the build scripts: installs what is missing, then configures a
# Ninja build of the tree.  configure_build BUILD_DIR TOOLCHAIN_FILE [CMAKE_ARGS...]
configure_build() {
  local root build_dir="$1" toolchain="$2"
  shift 2
  root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
  bash "$root/scripts/setup.sh"
  # ccache, where present, lets several checkouts of the tree share objects.
  local launcher=()
  if command -v ccache >/dev/null; then
    export CCACHE_BASEDIR="$root" CCACHE_NOHASHDIR=1
    launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
  fi
  cmake -S "$root" -B "$build_dir" -G Ninja "${launcher[@]}" \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/$toolchain" "$@" >/dev/null
}
