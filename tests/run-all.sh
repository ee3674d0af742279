#!/usr/bin/env bash
# Builds korvat and runs every test: the Linux build, then the Windows builds
# (x86_64 tested under Wine, i686 built only: 32-bit programs cannot run on
# these machines). Installs what a fresh Debian machine lacks when run as root.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=${JOBS:-2}

packages=(cmake g++ make libgtest-dev googletest ffmpeg
          g++-mingw-w64-x86-64 g++-mingw-w64-i686 wine64)
missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
done
if ((${#missing[@]})); then
  if [ "$(id -u)" -ne 0 ]; then
    echo "missing packages: ${missing[*]} (apt-get install them, or run as root)" >&2
    exit 1
  fi
  echo "installing ${missing[*]}"
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

step() { printf '\n=== %s\n' "$*"; }

step "Linux build and tests"
cmake -S . -B build -DKORVAT_WERROR=ON >/dev/null
cmake --build build -j"$jobs"
ctest --test-dir build --output-on-failure -j"$jobs"

step "Windows x86_64 build, tests under Wine"
cmake -S . -B build-win64 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-x86_64.cmake -DKORVAT_WERROR=ON >/dev/null
cmake --build build-win64 -j"$jobs"
ctest --test-dir build-win64 --output-on-failure -j"$jobs"

step "The sample split by both builds: the same bytes, no temporary file left"
cmake --build build --target split-sample >/dev/null
cmake --build build-win64 --target split-sample >/dev/null
for output in sample.m2v sample.mp2; do
  cmp build/sample/$output build-win64/sample/$output
done
if ls build/sample/kvt* build-win64/sample/kvt* >/dev/null 2>&1; then
  echo "a temporary file was left behind" >&2
  exit 1
fi
echo "identical"

step "Windows i686 build (compiled and linked only)"
cmake -S . -B build-win32 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake -DKORVAT_WERROR=ON >/dev/null
cmake --build build-win32 -j"$jobs"
