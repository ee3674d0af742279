#!/usr/bin/env bash
# Builds korvat and runs every test: the Linux build, the same suite with
# AddressSanitizer and UndefinedBehaviorSanitizer, valgrind on the sample, a
# bounded fuzz run, and the Windows builds (x86_64 tested under Wine, i686
# built only: 32-bit programs cannot run on these machines). Installs what a
# fresh Debian machine lacks when run as root.
#   FUZZ_SECONDS=N  length of the fuzz run (default 120; 0 skips it)
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=${JOBS:-2}
fuzz_seconds=${FUZZ_SECONDS:-120}

packages=(cmake g++ make libgtest-dev googletest ffmpeg valgrind clang-14 libclang-rt-14-dev
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
total=0 failed=0 skipped=0
run_ctest() {  # counts what each suite ran, for the closing line
  local log; log=$(mktemp)
  local status=0
  ctest --test-dir "$1" --output-on-failure -j"$jobs" 2>&1 | tee "$log" || status=$?
  local summary; summary=$(grep -E 'tests passed, [0-9]+ tests failed out of [0-9]+' "$log" | tail -1)
  total=$((total + $(sed -E 's/.* out of ([0-9]+).*/\1/' <<<"$summary")))
  failed=$((failed + $(sed -E 's/.*passed, ([0-9]+) tests failed.*/\1/' <<<"$summary")))
  skipped=$((skipped + $(grep -c '(Skipped)' "$log" || true)))
  rm -f "$log"
  return "$status"
}

step "Linux build and tests"
cmake --preset release -DKORVAT_WERROR=ON >/dev/null
cmake --build build -j"$jobs"
run_ctest build

step "The same tests with AddressSanitizer and UndefinedBehaviorSanitizer"
cmake --preset sanitize -DKORVAT_WERROR=ON >/dev/null
cmake --build build-asan -j"$jobs"
run_ctest build-asan

step "valgrind on the sample recording"
scratch=$(mktemp -d)
(cd "$scratch" && valgrind -q --error-exitcode=99 --leak-check=full --errors-for-leak-kinds=all \
  "$OLDPWD/build/korvat" "$OLDPWD/samples/sample.av" a.mp2 v.m2v >/dev/null)
rm -rf "$scratch"
echo "no errors, no leaks"

if ((fuzz_seconds > 0)); then
  step "Fuzzing for $fuzz_seconds seconds"
  cmake --preset fuzz -DKORVAT_WERROR=ON >/dev/null
  cmake --build build-fuzz -j"$jobs" --target korvat_fuzz
  mkdir -p build-fuzz/corpus build-fuzz/findings
  build-fuzz/korvat_fuzz -max_total_time="$fuzz_seconds" -max_len=65536 -print_final_stats=1 \
    -artifact_prefix="$PWD/build-fuzz/findings/" build-fuzz/corpus tests/fuzz/corpus 2>&1 | tail -15
fi

step "Windows x86_64 build, tests under Wine"
cmake --preset windows-x86_64 -DKORVAT_WERROR=ON >/dev/null
cmake --build build-win64 -j"$jobs"
run_ctest build-win64

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
cmake --preset windows-i686 -DKORVAT_WERROR=ON >/dev/null
cmake --build build-win32 -j"$jobs"

echo
echo "all suites: $((total - failed - skipped)) passed, $failed failed, $skipped skipped"
