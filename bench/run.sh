#!/usr/bin/env bash
# Throughput benchmark: korvat against cp on two 512 MiB recordings (small and
# large packets), korvat's peak memory, and the cost of a terminal.
#   bench/run.sh [BUILD_DIR] [RUNS]
# Needs /usr/bin/time (Debian package "time") and script (bsdutils).
set -euo pipefail

build=$(cd "${1:-build}" && pwd)
runs=${2:-5}
korvat=$build/korvat
pack=$build/korvat-pack
[ -x "$korvat" ] && [ -x "$pack" ] || { echo "build korvat first: cmake --build ${1:-build}" >&2; exit 1; }
[ -x /usr/bin/time ] || { echo "needs /usr/bin/time: apt-get install time" >&2; exit 1; }

base=/dev/shm
[ -d "$base" ] && [ -w "$base" ] || base=${TMPDIR:-/tmp}
# The recordings are kept under the packer's layout version: a packer that
# lays them out anew makes them anew.
layout=$("$pack" --version | sed 's/.* //')
data=$base/korvat-bench-layout$layout
work=$(mktemp -d "$base/korvat-bench-run.XXXXXX")
trap 'rm -rf "$work"' EXIT
mkdir -p "$data"

# The recordings are made once and kept for later runs.
for mix in small large; do
  if [ ! -s "$data/$mix.av" ]; then
    echo "making $data/$mix.av ..."
    "$pack" --seed 7 --mix "$mix" 512 "$data/$mix.av.part" && mv "$data/$mix.av.part" "$data/$mix.av"
  fi
done
# Real MPEG-2 video (noise keeps it from compressing to nothing) with
# B-pictures, whose picture headers -r reads: with ffmpeg only.
mixes=(small large)
if [ -s "$data/real.av" ] || command -v ffmpeg >/dev/null; then
  if [ ! -s "$data/real.av" ]; then
    echo "making $data/real.av (about 110 MiB) ..."
    ffmpeg -v error -y -f lavfi -i testsrc2=size=720x576:rate=25:duration=60 -vf noise=alls=12:allf=t \
      -c:v mpeg2video -g 12 -bf 2 -b:v 15M -maxrate 20M -bufsize 4M -pix_fmt yuv420p -f mpeg2video "$work/real.m2v"
    ffmpeg -v error -y -f lavfi -i sine=frequency=440:sample_rate=48000:duration=60 -ac 2 -c:a mp2 -b:a 192k \
      -f mp2 "$work/real.mp2"
    "$pack" --prefix 100 --pes-frames "$work/real.m2v" "$work/real.mp2" "$data/real.av.part"
    mv "$data/real.av.part" "$data/real.av"
    rm -f "$work/real.m2v" "$work/real.mp2"
  fi
  mixes+=(real)
else
  echo "no ffmpeg: the recording of real MPEG-2 video is left out"
fi

now() { date +%s%N; }
clean() { rm -f "$work"/a.mp2 "$work"/v.m2v "$work"/copy "$work"/kvt*; }
time_korvat() {  # RECORDING [OPTION...]; prints nanoseconds
  clean
  local t0; t0=$(now)
  (cd "$work" && "$korvat" "$@" a.mp2 v.m2v >/dev/null 2>&1) || { echo "korvat failed on $1" >&2; exit 1; }
  echo $(($(now) - t0))
}
time_cp() {
  clean
  local t0; t0=$(now)
  cp "$1" "$work/copy"
  echo $(($(now) - t0))
}
median() { sort -g | awk '{v[NR]=$1} END {print (NR%2 ? v[(NR+1)/2] : (v[NR/2]+v[NR/2+1])/2)}'; }
ms() { awk -v ns="$1" 'BEGIN {printf "%.0f ms", ns/1e6}'; }

for mix in small large; do
  rec=$data/$mix.av
  korvat_times=() cp_times=() ratios=()
  for ((i = 0; i < runs; i++)); do  # interleaved, so both see the same machine
    c=$(time_cp "$rec")
    k=$(time_korvat "$rec")
    cp_times+=("$c") korvat_times+=("$k")
    ratios+=("$(awk -v k="$k" -v c="$c" 'BEGIN {print k/c}')")
  done
  km=$(printf '%s\n' "${korvat_times[@]}" | median)
  cm=$(printf '%s\n' "${cp_times[@]}" | median)
  rm_=$(printf '%s\n' "${ratios[@]}" | median)
  printf '%-5s mix: korvat %s, cp %s, median ratio korvat/cp %.2f (%d runs)\n' \
    "$mix" "$(ms "$km")" "$(ms "$cm")" "$rm_" "$runs"
done

# -r checks every packet's successor before it takes the packet, and reads
# every picture header: against the same run without it, interleaved.
for mix in "${mixes[@]}"; do
  ratios=()
  for ((i = 0; i < runs; i++)); do
    plain=$(time_korvat "$data/$mix.av")
    checked=$(time_korvat "$data/$mix.av" -r)
    ratios+=("$(awk -v r="$checked" -v p="$plain" 'BEGIN {print r/p}')")
  done
  printf '%-5s mix: median ratio korvat -r / korvat %.2f (%d runs)\n' "$mix" \
    "$(printf '%s\n' "${ratios[@]}" | median)" "$runs"
done

clean
peak=$(cd "$work" && /usr/bin/time -v "$korvat" "$data/small.av" a.mp2 v.m2v 2>&1 >/dev/null |
       awk -F: '/Maximum resident set size/ {gsub(/ /, "", $2); print $2}')
echo "peak resident memory of korvat: $peak KiB"

# The same run at a terminal (a pseudo-terminal made by script) and redirected.
clean
t0=$(now)
(cd "$work" && script -qfc "'$korvat' '$data/small.av' a.mp2 v.m2v" /dev/null >/dev/null)
terminal=$(($(now) - t0))
redirected=$(time_korvat "$data/small.av")
awk -v t="$terminal" -v r="$redirected" \
  'BEGIN {printf "terminal run %.0f ms, redirected %.0f ms, ratio %.2f\n", t/1e6, r/1e6, t/r}'
