#!/usr/bin/env bash
# wine-applet-test.sh KXMODEM BIN HANDHELD_WINDOWS SCENARIOS OUT: the Wine
# lane's test of ModemAbout.dll live. For each scenario NAME of the folder
# SCENARIOS (NAME.kxs, the module's start script; NAME.expected, what the
# host must read back): starts kxmodem with its AT port on a
# pseudo-terminal, links the terminal to COM9 of the Wine prefix
# ($WINEPREFIX/dosdevices/com9), runs the control-panel host
# BIN/cplhost.exe on BIN/ModemAbout.dll under Wine and compares what it read
# back through Win32 with NAME.expected. The handheld's \windows files (the
# radio drivers' version resources) go into drive C: first. The page, the
# module's log and the screenshot (NAME.bmp) stay in OUT.
# Exit status 0 only when every scenario matched and left a BMP screenshot.
set -u
if [ $# -ne 5 ]; then
    echo "usage: $0 KXMODEM BIN HANDHELD_WINDOWS SCENARIOS OUT" >&2
    exit 2
fi
modem=$1 bin=$2 handheld=$3 scenarios=$4 out=$5
here=$(cd "$(dirname "$0")" && pwd)
me=wine-applet-test
fail() {
    echo "$me: FAILED: $*"
    exit 1
}

[ -n "${WINEPREFIX:-}" ] && [ -d "$WINEPREFIX/dosdevices" ] ||
    fail "no Wine prefix at '${WINEPREFIX:-}' (scripts/wine-tests.sh makes it)"
[ -x "$modem" ] || fail "no kxmodem at $modem (scripts/wine-tests.sh builds it)"
for f in "$bin/cplhost.exe" "$bin/ModemAbout.dll" "$bin/ril.dll" "$bin/tapi32.dll"; do
    [ -f "$f" ] || fail "missing $f"
done
rm -rf "$out"
mkdir -p "$out" || fail "cannot make $out"
cp "$handheld"/*.dll "$WINEPREFIX/drive_c/windows/" || fail "cannot copy the handheld's files"

# Wine's own tapi32 has no line devices: the lane's, beside the host, is
# loaded instead.
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:+$WINEDLLOVERRIDES;}tapi32=n"
com=$WINEPREFIX/dosdevices/com9
pid=""
stop_module() {
    if [ -n "$pid" ]; then
        kill "$pid" 2>/dev/null
        wait "$pid" 2>/dev/null
        pid=""
    fi
    rm -f "$com"
}
trap stop_module EXIT

count=0
for script in "$scenarios"/*.kxs; do
    name=$(basename "$script" .kxs)
    expected=$scenarios/$name.expected
    [ -f "$expected" ] || fail "scenario $name has no $expected"
    echo "--- $name"
    dir=$out/$name
    mkdir -p "$dir/dev"
    link=$dir/at.pty
    "$modem" --device-dir "$dir/dev" --at-pty "$link" --script "$script" \
        --no-control-socket >"$dir/kxmodem.log" 2>&1 &
    pid=$!
    # kxmodem has made the link once it reports its AT port.
    for _ in $(seq 100); do
        grep -q '^kxmodem: AT port on ' "$dir/kxmodem.log" && break
        kill -0 "$pid" 2>/dev/null || fail "$name: kxmodem ended: $(cat "$dir/kxmodem.log")"
        sleep 0.1
    done
    [ -L "$link" ] || fail "$name: kxmodem made no AT terminal: $(cat "$dir/kxmodem.log")"
    ln -sfn "$link" "$com" || fail "cannot link $com"

    shot=$out/$name.bmp
    "$here/wine-run.sh" "$bin/cplhost.exe" ModemAbout.dll COM9 "Z:$shot" >"$dir/page.txt" 2>&1
    rc=$?
    cat "$dir/page.txt"
    kill -0 "$pid" 2>/dev/null || fail "$name: kxmodem ended while the applet ran"
    stop_module
    # Only the host's own lines (its console writes CR LF): Wine may add
    # messages of its own.
    tr -d '\r' <"$dir/page.txt" | grep -E '^(HACMode|CPL_|control |screenshot|click |FAILED)' \
        >"$dir/page-lines.txt"
    diff -u "$expected" "$dir/page-lines.txt" ||
        fail "$name: the page read back differs from $expected (above)"
    [ "$rc" -eq 0 ] || fail "$name: cplhost ended with status $rc"
    [ "$(head -c 2 "$shot" 2>/dev/null)" = BM ] && [ "$(stat -c %s "$shot")" -gt 1000 ] ||
        fail "$name: no screenshot in $shot"
    count=$((count + 1))
done
[ "$count" -gt 0 ] || fail "no scenario in $scenarios"
echo "$me: OK, $count scenarios (screenshots in $out)"
