#!/usr/bin/env bash
# Installs from Debian's packages everything the build, the tests, the
# benchmarks and the demo need. Quick when all is present: apt-get update runs
# only when a package is missing.
#   --windows   also what the cross-built core and its Wine tests need
set -euo pipefail

packages=(
  cmake ninja-build g++ pkg-config
  qt6-base-dev qt6-base-dev-tools libgl-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  clang libclang-rt-14-dev
  xvfb xauth x11-utils imagemagick fonts-wqy-microhei
  socat ser2net python3 python3-serial valgrind
)

# ./test.sh --windows: the MinGW-w64 cross compiler (POSIX threads, for
# std::thread), Wine to run its tests, and GoogleTest's sources to build it
# for the target.
windows_packages=(
  g++-mingw-w64-x86-64-posix mingw-w64-x86-64-dev
  wine64 googletest
)

if [ "${1:-}" = --windows ]; then
  packages+=("${windows_packages[@]}")
fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

if [ "$(id -u)" -ne 0 ]; then
  echo "Missing packages: ${missing[*]}" >&2
  echo "Run as root (or install them with apt-get) and try again." >&2
  exit 1
fi

echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -q
apt-get install -y -q --no-install-recommends "${missing[@]}"
