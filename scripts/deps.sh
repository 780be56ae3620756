#!/usr/bin/env bash
# Installs every Debian package the project builds, tests and runs with.
# Idempotent and non-interactive; does nothing when everything is present.
set -euo pipefail

packages=(
  build-essential g++ cmake ninja-build pkg-config git clang clang-format ccache
  libgtest-dev libgmock-dev libbenchmark-dev
  zlib1g-dev libssl-dev openssl libcurl4-openssl-dev nlohmann-json3-dev
  libsqlite3-dev sqlite3 libboost-dev libboost-system-dev libcpp-httplib-dev
  qt6-base-dev qt6-base-dev-tools libqt6opengl6-dev libgl-dev qt6-translations-l10n
  xvfb xauth x11-utils libx11-dev libxext-dev libxdamage-dev libxfixes-dev libxtst-dev libxi-dev libxrandr-dev libpng-dev libgif-dev
  fontconfig fonts-dejavu-core
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ "${#missing[@]}" -eq 0 ]; then
  exit 0
fi

echo "deps.sh: installing ${missing[*]}"
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
