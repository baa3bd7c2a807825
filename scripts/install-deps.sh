#!/usr/bin/env bash
# Installs the Debian packages the project needs, when they are missing.
# Usage: install-deps.sh [PACKAGE...]     (no arguments: the packages of the Linux build)
set -euo pipefail
packages=("$@")
[ $# -gt 0 ] || packages=(
  build-essential cmake ninja-build pkg-config
  googletest libgtest-dev libgmock-dev
  openjdk-17-jdk-headless openjdk-17-jre default-jre-headless default-jre junit4
  libpng-dev libcairo2-dev libx11-dev xvfb xauth x11-utils imagemagick
  iproute2 procps util-linux
  libmnl-dev busybox isc-dhcp-client
  libfuse3-dev fuse3
  dpkg-dev file lintian
  man-db zsh
  clang libclang-rt-14-dev
  llvm-14
)
missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "install-deps: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
