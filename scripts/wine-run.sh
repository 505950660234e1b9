#!/usr/bin/env bash
# wine-run.sh PROGRAM [ARGS...]: runs one PE program under wine64 for CTest.
# The program's output goes through a file, not CTest's pipe: Wine's own
# background processes (services, explorer) inherit the pipe of the first
# program that starts them and would keep CTest waiting until its time-out.
# KX_WINE_SECONDS (default 100) bounds the run; on time-out the output so far
# is shown and the status is 124.
set -u
seconds=${KX_WINE_SECONDS:-100}
wine64=/usr/lib/wine/wine64
[ -x "$wine64" ] || wine64=$(command -v wine64)
out=$(mktemp)
timeout -k 5 "$seconds" "$wine64" "$@" >"$out" 2>&1 </dev/null
rc=$?
cat "$out"
rm -f "$out"
if [ $rc -eq 124 ] || [ $rc -eq 137 ]; then
    echo "wine-run: $1 did not end within $seconds s under Wine"
fi
exit $rc
