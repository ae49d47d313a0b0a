#!/usr/bin/env bash
# Installs what a fresh Debian 12 machine lacks to build the program, and with the
# argument "test" what its tests need too. Quick when everything is present: it only
# asks dpkg.
#
#   scripts/setup.sh [test]
set -euo pipefail

packages=(
  g++ cmake make pkg-config libssl-dev
  qt6-base-dev fonts-dejavu-core
)
if [ "${1:-}" = test ]; then
  packages+=(
    libgtest-dev libgmock-dev
    python3 curl lftp wget aria2 chromium
    ncftp rclone inetutils-ftp tnftp
    xvfb xauth x11-utils trayer openbox xdotool
    desktop-file-utils
  )
fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "setup: installing ${missing[*]}"
if [ "$(id -u)" -ne 0 ]; then
  echo "setup: must run as root to install: ${missing[*]}" >&2
  exit 1
fi
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq || true
apt-get install -y -qq --no-install-recommends "${missing[@]}"
