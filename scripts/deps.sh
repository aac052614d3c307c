#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the console need,
# only when something is missing. Runs apt as root, or through sudo.
set -euo pipefail

packages=(cmake g++ make pkg-config qt6-base-dev qt6-serialport-dev libgl-dev
          qt6-websockets-dev libqt6sql6-sqlite
          chromium chromium-driver python3-selenium
          libqt6sql6-psql postgresql-15 postgresql-contrib
          fonts-noto-cjk xvfb xauth xdotool qt6-qpa-plugins clang libclang-rt-14-dev
          libmosquitto-dev mosquitto mosquitto-clients
          dpkg-dev file lintian curl sqlite3 python3-websockets)

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
sudo=""
if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
