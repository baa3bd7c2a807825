#!/usr/bin/env bash
# Installs what the Windows build and its tests under Wine need, when it is missing: the
# mingw-w64 cross compilers (the "-posix" flavour, whose runtime has std::thread), Wine, and the
# JDK whose javac and jni.h QXConJNI.dll is built with.
set -euo pipefail
packages=(
  g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
  mingw-w64-x86-64-dev
  wine wine64
  googletest xvfb xauth
  openjdk-17-jdk-headless
)
missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "install-deps-windows: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
