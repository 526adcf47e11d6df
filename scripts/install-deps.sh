#!/usr/bin/env bash
# Installs from Debian's packages what one use of the tree needs, and no more:
#   scripts/install-deps.sh run      build and run the console and the demo
#   scripts/install-deps.sh test     the plain, --asan and --tsan suites
#   scripts/install-deps.sh fuzz     the libFuzzer targets (clang)
#   scripts/install-deps.sh bench    the benchmarks and their profiles
#   scripts/install-deps.sh docs     the guide's pictures, scripts/screenshots.sh (Xvfb, ImageMagick)
#   scripts/install-deps.sh windows  the test set, and the cross-built core with its Wine tests
# Quick when all is present: apt-get update runs only when a package is missing.
set -euo pipefail

run=(cmake ninja-build g++ pkg-config qt6-base-dev qt6-base-dev-tools libgl-dev
     fonts-wqy-microhei xvfb xauth)
# qt6-base-private-dev: tests queue input with the window system as a real
# mouse does. dpkg-dev, file and util-linux: the install test builds and reads the .deb
# and runs the installed console as another user.
test=("${run[@]}" libgtest-dev libgmock-dev qt6-base-private-dev python3 python3-serial ser2net
      dpkg-dev file util-linux)

# ./test.sh --windows: the MinGW-w64 cross compiler (POSIX threads, for
# std::thread), Wine to run its tests, GoogleTest's sources to build it for
# the target; meter-sim, their peer, is built with the test set.
windows=(g++-mingw-w64-x86-64-posix mingw-w64-x86-64-dev wine64 googletest)

case "${1:-test}" in
  run)   packages=("${run[@]}") ;;
  test)  packages=("${test[@]}") ;;
  fuzz)  packages=("${test[@]}" clang libclang-rt-14-dev) ;;
  bench) packages=("${test[@]}" libbenchmark-dev valgrind) ;;
  docs)  packages=("${test[@]}" x11-utils imagemagick) ;;
  windows) packages=("${test[@]}" "${windows[@]}") ;;
  *) echo "usage: $0 [run|test|fuzz|bench|docs|windows]" >&2; exit 2 ;;
esac

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
