#!/usr/bin/env bash
# wine-tests.sh: builds the Wine lane (windows/wine) and runs it: the
# platform's pure-Win32 semantic tests as PE programs under wine64, and
# ModemAbout.dll of the Windows build live under Wine against kxmodem, in a
# fresh Wine prefix, on an X server of their own (xvfb-run), results through
# CTest.
#
#   scripts/wine-tests.sh               build into <repository>/build-wine
#   KX_WINE_BUILD_DIR=dir scripts/wine-tests.sh
#
# The applet's test needs kxmodem of the host build (KX_HOST_BUILD_DIR,
# default <repository>/build) and ModemAbout.dll and KxCmdApi.dll of the
# Windows build (KX_WINDOWS_BUILD_DIR, default <repository>/build-windows);
# both are brought up to date here (nothing to do after scripts/test.sh's
# normal and windows builds).
#
# Every Wine step runs under a time limit (KX_WINE_BOOT_SECONDS for making
# the prefix, 120 s per test), so a Wine that misbehaves fails the lane with
# a message instead of hanging it. Exit status 0 when every test passed.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${KX_WINE_BUILD_DIR:-$root/build-wine}
jobs=${KX_JOBS:-2}
boot_seconds=${KX_WINE_BOOT_SECONDS:-180}
me=wine-tests

say() { printf '%s: %s\n' "$me" "$*"; }

wine64=/usr/lib/wine/wine64
[ -x "$wine64" ] || wine64=$(command -v wine64 || true)
wineserver=/usr/lib/wine/wineserver
[ -x "$wineserver" ] || wineserver=$(command -v wineserver || true)
for tool in "$wine64" "$wineserver" "$(command -v xvfb-run || true)" \
    "$(command -v x86_64-w64-mingw32-g++-posix || true)"; do
    if [ -z "$tool" ] || [ ! -x "$tool" ]; then
        say "missing tools: wine64, wineserver, xvfb-run or x86_64-w64-mingw32-g++-posix (scripts/deps.sh installs them)"
        exit 2
    fi
done

start=$(date +%s)
host_build=${KX_HOST_BUILD_DIR:-$root/build}
windows_build=${KX_WINDOWS_BUILD_DIR:-$root/build-windows}
say "building kxmodem ($host_build) and the applet's DLLs ($windows_build)"
cmake -S "$root" -B "$host_build" >/dev/null
cmake --build "$host_build" --parallel "$jobs" --target kxmodem
cmake -S "$root/windows" -B "$windows_build" -G "Unix Makefiles" \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64.cmake" >/dev/null
cmake --build "$windows_build" --parallel "$jobs" --target ModemAbout KxCmdApi
say "configuring and building $build"
cmake -S "$root/windows/wine" -B "$build" \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-posix.cmake" \
    -DKX_MODEM="$host_build/bin/kxmodem" -DKX_WINDOWS_BIN="$windows_build/bin" >/dev/null
cmake --build "$build" --parallel "$jobs"
built=$(date +%s)

export WINEPREFIX=$build/prefix WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
# A fresh prefix each run: nothing left by an earlier run decides a result.
if [ -d "$WINEPREFIX" ]; then
    timeout 20 "$wineserver" -k 2>/dev/null || true
fi
rm -rf "$WINEPREFIX" "$build/results"

# The inner script runs under xvfb-run: it makes the prefix, keeps one
# wineserver up for all tests (-p: it stays between programs), runs CTest
# and ends the wineserver whatever happened.
inner=$(mktemp)
trap 'rm -f "$inner"' EXIT
cat >"$inner" <<INNER
set -u
cleanup() { timeout 20 "$wineserver" -k 2>/dev/null || true; }
trap cleanup EXIT
"$wineserver" -p
if ! timeout $boot_seconds "$wine64" wineboot -i >"$build/wineboot.log" 2>&1; then
    echo "$me: FAILED: making the Wine prefix took over $boot_seconds s or failed; see $build/wineboot.log" >&2
    exit 1
fi

echo "$me: prefix ready after \$(( \$(date +%s) - $built )) s"
cd "$build" && ctest --output-on-failure --timeout 120
INNER
say "running the tests under Wine"
rc=0
timeout $((boot_seconds + 900)) xvfb-run -a -s "-screen 0 1024x768x24" bash "$inner" || rc=$?
end=$(date +%s)
say "build $((built - start)) s, prefix and tests $((end - built)) s"
# The GoogleTest counts of every program that reported.
passed=0 failed=0
for xml in "$build"/results/*.xml; do
    [ -e "$xml" ] || continue
    read -r t f e d < <(sed -n 's/.*<testsuites tests="\([0-9]*\)" failures="\([0-9]*\)" disabled="\([0-9]*\)" errors="\([0-9]*\)".*/\1 \2 \4 \3/p' "$xml" | head -1)
    passed=$((passed + t - f - e - d))
    failed=$((failed + f + e))
done
echo "wine: $passed passed, $failed failed"
if [ $rc -ne 0 ]; then
    say "FAILED (status $rc)"
    exit 1
fi
say "OK"
