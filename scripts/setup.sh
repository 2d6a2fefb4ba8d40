#!/usr/bin/env bash
# Installs what a fresh Debian 12 machine lacks to build and test runpack:
# the MinGW-w64 i686 cross toolchain, Wine (32-bit), Xvfb, the Czech and US English
# locales, the libraries the host tool, tests and benchmarks use, qemu with a static busybox
# for the guest that runs the 32-bit tests where this kernel cannot, and ccache.
# Idempotent: when everything is present it only checks and prints nothing.
set -euo pipefail

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi

packages=(
  cmake ninja-build g++ clang lld libclang-rt-14-dev
  g++-mingw-w64-i686 binutils-mingw-w64-i686 g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64
  wine wine64 wine32:i386 xvfb x11-utils imagemagick
  locales
  googletest libgtest-dev libbenchmark-dev libssl-dev
  nlohmann-json3-dev liblhasa-dev lhasa
  osslsigncode openssl bc
  qemu-system-x86 busybox-static zstd xz-utils ccache
)

missing=()
for p in "${packages[@]}"; do
  name="${p%%:*}"; arch="${p#*:}"; [ "$arch" = "$p" ] && arch=""
  query="$name"; [ -n "$arch" ] && query="$name:$arch"
  status=$(dpkg-query -W -f='${db:Status-Status}' "$query" 2>/dev/null || true)
  [ "$status" = "installed" ] || missing+=("$p")
done

if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}" >&2
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    $SUDO dpkg --add-architecture i386
  fi
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -qq >/dev/null
  $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# Wine selects Czech resources only when the Linux locale exists.
for loc in cs_CZ en_US; do
  if ! locale -a 2>/dev/null | grep -qix "${loc}.utf8"; then
    echo "setup: generating locale ${loc}.UTF-8" >&2
    $SUDO localedef -i "$loc" -f UTF-8 "${loc}.UTF-8"
  fi
done
