#!/usr/bin/env bash
# Installs the Debian packages the program, its tests and its tools need, and only
# those that are missing. Safe to run again; needs root or sudo for the install.
set -euo pipefail

packages=(
  cmake ninja-build g++ pkg-config
  qt6-base-dev qt6-serialport-dev qt6-qpa-plugins libgl-dev libxcb1-dev
  libfreexl-dev libgsf-1-dev
  python3-xlrd python3-xlwt
  fonts-wqy-zenhei qt6-translations-l10n locales
  xvfb xauth xdotool x11-utils xclip
  lintian udev
  default-jdk-headless libapache-poi-java
)
# The end-to-end test drives the real window under a virtual X display (xvfb, xdotool,
# xprop from x11-utils; xclip reads the text of a message box the test copied). Qt's own
# texts come in the desktop's language from qt6-translations-l10n; the tests switch between
# zh_CN, de_DE and ru_RU, generated below.
# The packaging test checks the Debian package with lintian and the udev rule with udevadm.
# The test command also needs clang and its sanitizer and libFuzzer runtimes for its
# sanitized pass, and clang-format for its check of the sources' layout; it asks for them
# with WEIGHBRIDGE_DEV_TOOLS=1.
if [[ "${WEIGHBRIDGE_DEV_TOOLS:-0}" == 1 ]]; then
  packages+=(clang libclang-rt-dev clang-format)
fi

# The locales the tests run under, generated only when missing.
ensure_locales() {
  local wanted=(zh_CN.UTF-8 de_DE.UTF-8 ru_RU.UTF-8) absent=()
  for l in "${wanted[@]}"; do
    locale -a 2>/dev/null | grep -qix "${l/UTF-8/utf8}" || absent+=("$l")
  done
  [[ ${#absent[@]} -eq 0 ]] && return 0
  echo "Generating locales: ${absent[*]}"
  for l in "${absent[@]}"; do
    $sudo sed -i "s/^# *\(${l//./\\.} UTF-8\)/\1/" /etc/locale.gen
    grep -q "^${l//./\\.} UTF-8" /etc/locale.gen || echo "$l UTF-8" | $sudo tee -a /etc/locale.gen >/dev/null
  done
  $sudo locale-gen >/dev/null
}

sudo=""
if [[ $(id -u) -ne 0 ]]; then sudo="sudo"; fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
if [[ ${#missing[@]} -gt 0 ]]; then
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  $sudo apt-get update -qq
  $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" </dev/null
fi
ensure_locales
