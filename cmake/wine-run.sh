#!/bin/sh
# Runs a Windows program of the build under Wine, for the tests. A Wine that
# cannot start (seen under load: a failure in 0.01 s, not a byte from the
# program) is not the program's fault, so such a start is tried once more,
# with a word on standard error. Any run that printed anything stands as it is.
out=$(mktemp) || exit 1
trap 'rm -f "$out"' EXIT
WINEDEBUG=-all /usr/lib/wine/wine64 "$@" >"$out"
status=$?
if [ "$status" -ne 0 ] && [ ! -s "$out" ]; then
  echo "wine-run: '$1' ended with status $status before printing anything; starting it once more" >&2
  WINEDEBUG=-all /usr/lib/wine/wine64 "$@" >"$out"
  status=$?
fi
cat "$out"
exit "$status"
