#!/usr/bin/env bash
# Installs the Debian packages the program, its tests and its tools need, and only
# those that are missing. Safe to run again; needs root or sudo for the install.
set -euo pipefail

packages=(
  cmake ninja-build g++ pkg-config
  qt6-base-dev qt6-serialport-dev qt6-qpa-plugins libgl-dev
  libfreexl-dev libgsf-1-dev
  python3-xlrd python3-xlwt
  default-jdk-headless libapache-poi-java
  fonts-wqy-zenhei
  xvfb xauth xdotool
)
# The end-to-end test drives the real window under a virtual X display (xvfb, xdotool).
# The test command also needs clang and its sanitizer and libFuzzer runtimes for its
# sanitized pass; it asks for them with WEIGHBRIDGE_DEV_TOOLS=1.
if [[ "${WEIGHBRIDGE_DEV_TOOLS:-0}" == 1 ]]; then
  packages+=(clang libclang-rt-dev)
fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

echo "Installing: ${missing[*]}"
sudo=""
if [[ $(id -u) -ne 0 ]]; then sudo="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" </dev/null
