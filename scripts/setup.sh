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
  locales
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
sudo=""
if [[ $(id -u) -ne 0 ]]; then sudo="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
if [[ ${#missing[@]} -gt 0 ]]; then
  echo "Installing: ${missing[*]}"
  $sudo apt-get update -qq
  $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" </dev/null
fi

# The locales the program is tried under: Chinese, and two with a decimal comma.
want_locales=(zh_CN.UTF-8 de_DE.UTF-8 ru_RU.UTF-8)
have=$(locale -a 2>/dev/null | tr '[:upper:]' '[:lower:]' | sed 's/utf8/utf-8/')
generate=0
for l in "${want_locales[@]}"; do
  if ! grep -qx "$(echo "$l" | tr '[:upper:]' '[:lower:]')" <<<"$have"; then
    $sudo sed -i "s/^# *\($l UTF-8\)/\1/" /etc/locale.gen
    grep -q "^$l UTF-8" /etc/locale.gen || echo "$l UTF-8" | $sudo tee -a /etc/locale.gen >/dev/null
    generate=1
  fi
done
if [[ $generate == 1 ]]; then
  $sudo locale-gen >/dev/null
fi
