#!/usr/bin/env bash
# Installs the Debian packages that building, running and testing Sondrel need, if any is missing.
# Packages named as arguments are added (a benchmark's peer, say).
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config
  qt6-base-dev qt6-base-dev-tools
  libsqlite3-dev sqlite3
  libzip-dev libdeflate-dev zlib1g-dev libssl-dev
  libgtest-dev
  unzip zip 7zip python3
  desktop-file-utils libglib2.0-bin dpkg-dev fakeroot file man-db lintian
  dbus-daemon
  xvfb xauth
  fonts-dejavu-core
  "$@"
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "Installing: ${missing[*]}"
sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then
  sudo_cmd=(sudo)
fi
"${sudo_cmd[@]}" apt-get update -q
DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -q "${missing[@]}"
