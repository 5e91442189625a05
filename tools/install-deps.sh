#!/usr/bin/env bash
# Installs what korvan needs to build and test on Debian 12, as root.
# Skips the package manager when everything is already there.
set -euo pipefail
packages=(cmake ninja-build g++ libgtest-dev libgmock-dev libbenchmark-dev
          qt6-base-dev fonts-noto-cjk clang libclang-rt-14-dev
          g++-mingw-w64-x86-64-posix libeigen3-dev wine64 dpkg-dev nlohmann-json3-dev
          libboost-math-dev chromium)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  apt-get update
  DEBIAN_FRONTEND=noninteractive apt-get install -y "${missing[@]}"
fi
