#!/usr/bin/env bash
# Installs the Debian packages of the groups named (default: run), and only those that are
# missing. Safe to run again; needs root or sudo for the install.
#
#   scripts/setup.sh [run] [demo] [test]
#
#   run   building the program and running it (./scripts/run.sh)
#   demo  the program on the indicator simulator (./scripts/demo.sh): nothing beyond run
#   test  the test command (./scripts/test.sh): the test tools, the other programs the tests
#         compare with, clang for the sanitized pass, clang-format, ccache, and the locales
#         the tests run under
set -euo pipefail

# Building: CMake, Ninja, g++, Qt with its serial port, the X11 client library (the close
# request of a window under a box is read off the connection) and FreeXL (Excel 5/95 files).
# Running:
# the window system plugin, a Chinese font, and Qt's own texts (the buttons of message boxes,
# the file dialog) in the desktop's language.
run_packages=(
  cmake ninja-build g++ pkg-config
  qt6-base-dev qt6-serialport-dev qt6-qpa-plugins libgl-dev libxcb1-dev
  libfreexl-dev
  fonts-wqy-zenhei qt6-translations-l10n
)
# The simulator is built from the same sources with Qt Core alone.
demo_packages=()
# The end-to-end runs and the proofs drive the real window under a virtual X display (xvfb,
# xdotool, xprop from x11-utils; xclip reads the text of a message box the test copied).
# xlrd reads our files independently and xlwt writes foreign ones; Apache POI, run with a
# JDK, is the second independent reader, and libgsf reads and writes compound files beside
# ours. The packaging test
# checks the Debian package with lintian and the udev rule with udevadm. The sanitized pass
# needs clang with its sanitizer and libFuzzer runtimes; the layout check clang-format;
# ccache keeps compiled objects between runs.
test_packages=(
  python3-xlrd python3-xlwt libgsf-1-dev
  xvfb xauth xdotool x11-utils xclip
  lintian udev
  default-jdk-headless libapache-poi-java
  clang libclang-rt-dev clang-format ccache
  locales
)

packages=()
with_test=0
for group in "${@:-run}"; do
  case $group in
    run) packages+=("${run_packages[@]}") ;;
    demo) packages+=("${run_packages[@]}" "${demo_packages[@]}") ;;
    test)
      packages+=("${run_packages[@]}" "${test_packages[@]}")
      with_test=1
      ;;
    *)
      echo "unknown group $group (run, demo, test)" >&2
      exit 2
      ;;
  esac
done

# The locales the tests switch between (zh_CN, de_DE, ru_RU), generated only when missing.
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
for p in $(printf '%s\n' "${packages[@]}" | sort -u); do
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
if [[ $with_test == 1 ]]; then ensure_locales; fi
