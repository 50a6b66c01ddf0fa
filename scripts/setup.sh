#!/usr/bin/env bash
# Installs what the builds need on Debian 12: CMake, Ninja, GoogleTest/GoogleMock
# (with their sources, built again for the 32-bit host), the 32-bit host libraries
# the mingw-w64 i686 and x86-64 cross compilers with their DDK headers, and OpenSSL
# with osslsigncode for the package's test signature, and clang with libFuzzer and the
# LLVM symbolizer for the fuzz build. Installs only what is missing.
set -euo pipefail
packages=(cmake ninja-build python3 g++ g++-multilib libgtest-dev libgmock-dev googletest g++-mingw-w64-i686 binutils-mingw-w64-i686 mingw-w64-i686-dev
  g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64 mingw-w64-x86-64-dev openssl osslsigncode
  clang libclang-rt-14-dev llvm)
missing=()
for p in "${packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO=sudo
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}"
fi
