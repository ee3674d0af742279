#!/usr/bin/env bash
# Throughput benchmark: korvat against cat of the same 512 MiB recordings
# (small packets and large), and against the floor of each mode; -r against
# the same run without it; korvat's peak anonymous memory. See bench/speed.py.
#   bench/run.sh [BUILD_DIR] [speed.py options: --against OLD/korvat, --pairs N, --data DIR, --work DIR]
set -euo pipefail
build=$(cd "${1:-build}" && pwd)
[ $# -gt 0 ] && shift
[ -x "$build/korvat" ] && [ -x "$build/korvat-pack" ] || { echo "build korvat first: cmake --build build" >&2; exit 1; }
exec python3 "$(dirname "$0")/speed.py" --korvat "$build/korvat" --pack "$build/korvat-pack" "$@"
