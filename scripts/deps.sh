#!/usr/bin/env bash
# Installs every build and test dependency from Debian 12 packages, only when missing. The
# tests also run nm (binutils), setsid (util-linux) and the demo mkfifo (coreutils): listed so
# that a slimmed image gets them too.
set -euo pipefail

PACKAGES=(
  g++ cmake ninja-build pkg-config
  libssl-dev openssl
  libboost-dev libboost-system-dev libboost-thread-dev libboost-regex-dev libboost-date-time-dev
  nlohmann-json3-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  tinyproxy
  binutils util-linux coreutils
)

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "Installing missing packages: ${missing[*]}"
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
