#!/usr/bin/env bash
# Installs what building, testing and running the launcher need on Debian 12.
# Does nothing when everything is already there.
set -euo pipefail

packages=(
  g++ cmake ninja-build pkg-config
  libcurl4-openssl-dev libfltk1.3-dev libx11-dev libxtst-dev libgtest-dev
  libsodium-dev minisign
  libpng-dev libjpeg-dev dpkg-dev file lintian mandoc
  zip unzip python3 openssl makeself desktop-file-utils
  xvfb xauth x11-utils
  clang libclang-rt-14-dev
)

missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' || missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}" >&2
run_as_root=()
[ "$(id -u)" -eq 0 ] || run_as_root=(sudo)
"${run_as_root[@]}" apt-get update -qq
DEBIAN_FRONTEND=noninteractive "${run_as_root[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
