#!/usr/bin/env bash
# wine-applet-test.sh KXMODEM BIN HANDHELD_WINDOWS SCENARIOS OUT: the Wine
# lane's test of ModemAbout.dll live. For each scenario NAME of the folder
# SCENARIOS (NAME.kxs, the module's start script; NAME.expected, what the
# host must read back): with kxmodem's AT port on COM9 of the Wine prefix
# (scripts/wine-with-modem.sh), runs the control-panel host
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

for f in "$bin/cplhost.exe" "$bin/ModemAbout.dll" "$bin/ril.dll" "$bin/tapi32.dll"; do
    [ -f "$f" ] || fail "missing $f"
done
[ -d "${WINEPREFIX:-/nonexistent}/drive_c/windows" ] ||
    fail "no Wine prefix at '${WINEPREFIX:-}' (scripts/wine-tests.sh makes it)"
rm -rf "$out"
mkdir -p "$out" || fail "cannot make $out"
cp "$handheld"/*.dll "$WINEPREFIX/drive_c/windows/" || fail "cannot copy the handheld's files"

count=0
for script in "$scenarios"/*.kxs; do
    name=$(basename "$script" .kxs)
    expected=$scenarios/$name.expected
    [ -f "$expected" ] || fail "scenario $name has no $expected"
    echo "--- $name"
    dir=$out/$name
    shot=$out/$name.bmp
    "$here/wine-with-modem.sh" "$modem" "$script" "$dir" \
        "$here/wine-run.sh" "$bin/cplhost.exe" ModemAbout.dll COM9 "Z:$shot" >"$dir.out" 2>&1
    rc=$?
    cat "$dir.out"
    # Only the host's own lines (its console writes CR LF): Wine may add
    # messages of its own.
    tr -d '\r' <"$dir.out" | grep -E '^(HACMode|CPL_|control |screenshot|click |FAILED)' \
        >"$dir.page"
    diff -u "$expected" "$dir.page" ||
        fail "$name: the page read back differs from $expected (above)"
    [ "$rc" -eq 0 ] || fail "$name: ended with status $rc"
    [ "$(head -c 2 "$shot" 2>/dev/null)" = BM ] && [ "$(stat -c %s "$shot")" -gt 1000 ] ||
        fail "$name: no screenshot in $shot"
    count=$((count + 1))
done
[ "$count" -gt 0 ] || fail "no scenario in $scenarios"
echo "$me: OK, $count scenarios (screenshots in $out)"
