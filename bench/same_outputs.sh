#!/bin/bash
# Splits every recording under DIR with two korvat binaries, in every mode,
# and says where their outputs, console text or exit status differ: a change
# that should change no behaviour shows none. Recordings: *.av at any depth.
#   bench/same_outputs.sh OLD_KORVAT NEW_KORVAT DIR...
set -u
old=$(realpath "$1") new=$(realpath "$2"); shift 2
work=$(mktemp -d); trap 'rm -rf "$work"' EXIT
modes=("" "-p" "-r" "-k" "-r -p" "-k -p" "-i -r" "-i")
runs=0 differ=0
split() {  # binary recording mode dir
  mkdir -p "$4" && cd "$4" || exit 2
  # shellcheck disable=SC2086
  timeout 600 "$1" $3 "$2" out.mp2 out.m2v >stdout 2>stderr </dev/null
  echo $? >status
  cd - >/dev/null || exit 2
}
while IFS= read -r -d '' rec; do
  for mode in "${modes[@]}"; do
    split "$old" "$rec" "$mode" "$work/old" && split "$new" "$rec" "$mode" "$work/new"
    runs=$((runs + 1))
    if ! diff -r -q "$work/old" "$work/new" >/dev/null; then
      differ=$((differ + 1))
      echo "differs: korvat $mode $rec"
      diff -r -q "$work/old" "$work/new" | sed 's/^/  /'
    fi
    rm -rf "$work/old" "$work/new"
  done
done < <(find "$@" -name '*.av' -print0 | sort -z)
echo "$runs runs, $differ differ"
[ "$differ" -eq 0 ]
