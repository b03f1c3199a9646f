#!/usr/bin/env bash
# Installs the Debian packages that the build, the tests and the demo need.
# Idempotent and quiet when nothing is missing. Chromium (headless) opens the
# line manager's page in its test and benchmark; DejaVu gives its screenshot
# real glyphs.
set -euo pipefail
pkgs=(cmake make g++ clang libclang-rt-14-dev
      googletest libgtest-dev libgmock-dev libbenchmark-dev
      mingw-w64 g++-mingw-w64-x86-64 wine64 wine fonts-wine
      xvfb x11-utils imagemagick
      git python3 unzip openssl osslsigncode jq
      nlohmann-json3-dev libcli11-dev xdotool wixl msitools
      postgresql odbc-postgresql unixodbc
      chromium fonts-dejavu-core)
missing=()
for p in "${pkgs[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[[ ${#missing[@]} -eq 0 ]] && exit 0
echo "deps: installing ${missing[*]}" >&2
sudo=""; [[ $(id -u) -ne 0 ]] && sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq "${missing[@]}" >/dev/null
