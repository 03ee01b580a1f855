#!/usr/bin/env bash
# Installs what the build and the tests need on a Debian machine, quietly,
# and only what is missing.
set -euo pipefail

packages=(cmake ninja-build g++-mingw-w64-x86-64-posix clang lld wine wine64 googletest python3-prometheus-client rsyslog python3)
missing=()
for pkg in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || missing+=("$pkg")
done

if ((${#missing[@]})); then
  echo "Installing: ${missing[*]}"
  SUDO=""
  [[ $(id -u) -ne 0 ]] && SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
