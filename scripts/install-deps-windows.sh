#!/usr/bin/env bash
# Installs what the Windows build and its tests under Wine need, when it is missing: the
# mingw-w64 cross compilers (the "-posix" flavour, whose runtime has std::thread), Wine, and the
# JDK whose javac and jni.h QXConJNI.dll is built with; busybox (udhcpc), iproute2 and
# util-linux (unshare) for the check of zr-dhcp.exe in a network namespace.
set -euo pipefail
packages=(
  g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
  mingw-w64-x86-64-dev
  wine wine64
  googletest xvfb xauth
  openjdk-17-jdk-headless
  busybox iproute2 util-linux
)
bash "$(dirname "$0")/install-deps.sh" "${packages[@]}"
