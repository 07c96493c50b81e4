#!/usr/bin/env bash
# Installs every Debian package the build, the tests and the benchmarks need.
# Safe to run again: packages already present are left alone.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config git clang libclang-rt-dev
  # llvm-symbolizer: the sanitizers name the frames of a report with it, and the
  # leak suppressions (fuzz/lsan.supp) match only named frames
  llvm
  libgtest-dev libgmock-dev libbenchmark-dev
  libsndfile1-dev libflac-dev libsoxr-dev libcli11-dev nlohmann-json3-dev
  qt6-base-dev libgl-dev
  portaudio19-dev libpulse-dev libasound2-dev libasound2-plugins alsa-utils pulseaudio pulseaudio-utils
  xvfb xauth imagemagick time
  libmosquitto-dev mosquitto
  libsqlite3-dev libcpp-httplib-dev chromium
  help2man lintian file
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done

if [ ${#missing[@]} -eq 0 ]; then
  echo "setup: all packages present"
  exit 0
fi

if [ "$(id -u)" -eq 0 ]; then SUDO=(); else SUDO=(sudo); fi
echo "setup: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
"${SUDO[@]}" apt-get update -qq
"${SUDO[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
