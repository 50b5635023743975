#!/usr/bin/env bash
# Installs every Debian package the project needs, then configures and builds
# one preset (default: "default"). Safe to run again.
set -euo pipefail
preset="${1:-default}"
cd "$(dirname "$0")/.."

packages=(
  build-essential cmake ninja-build pkg-config git
  qt6-base-dev libgl-dev fonts-dejavu-core
  portaudio19-dev libsndfile1-dev libsamplerate0-dev libgsm1-dev
  libshout3-dev libopus-dev libopusenc-dev libopusfile-dev icecast2
  libgtest-dev libgmock-dev libbenchmark-dev libliquid-dev
  clang-14 libclang-rt-14-dev clang-format-14
  xvfb xdotool x11-utils imagemagick trayer
  scdoc dpkg-dev file lintian desktop-file-utils appstream systemd man-db iproute2
  pulseaudio pulseaudio-utils libasound2-plugins
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ "${#missing[@]}" -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $sudo apt-get update -q
  $sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
# icecast2's own service is of no use here (the tests start their own server
# on a free loopback port); keep it stopped and off.
sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
if [ -d /run/systemd/system ]; then
  $sudo systemctl disable --now icecast2 >/dev/null 2>&1 || true
elif [ -x /etc/init.d/icecast2 ]; then
  $sudo /etc/init.d/icecast2 stop >/dev/null 2>&1 || true
fi

cmake --preset "$preset"
cmake --build --preset "$preset" -j "$(nproc)"
