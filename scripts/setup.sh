#!/usr/bin/env bash
# Installs what the build and the tests need, when it is missing (Debian, as root).
# Safe to run again: it only installs what is absent.
set -euo pipefail

need=()
have() { command -v "$1" >/dev/null 2>&1; }
have cmake || need+=(cmake)
have ninja || need+=(ninja-build)
have g++ || need+=(g++)
have clang++ || need+=(clang)
[ -f /usr/include/gtest/gtest.h ] || need+=(libgtest-dev)
[ -f /usr/include/benchmark/benchmark.h ] || need+=(libbenchmark-dev)
have i686-w64-mingw32-g++ || need+=(g++-mingw-w64-i686)
have wine || need+=(wine wine32)
if [ "${SETUP_TOOLS:-}" = bench ]; then
  for t in gzip bzip2 xz lz4 zstd; do have $t || need+=("$( [ $t = xz ] && echo xz-utils || echo $t)"); done
fi

if [ ${#need[@]} -gt 0 ]; then
  if [ "$(id -u)" != 0 ]; then
    echo "setup: missing packages (${need[*]}); run as root or install them" >&2
    exit 1
  fi
  echo "setup: installing ${need[*]}" >&2
  export DEBIAN_FRONTEND=noninteractive
  if printf '%s\n' "${need[@]}" | grep -qx wine32; then
    dpkg --add-architecture i386
  fi
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${need[@]}" >/dev/null
fi
