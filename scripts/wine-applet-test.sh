#!/usr/bin/env bash
# wine-applet-test.sh KXMODEM BIN HANDHELD_WINDOWS APPLET_DIR OUT: the Wine
# lane's test of ModemAbout.dll live. Starts kxmodem with its AT port on a
# pseudo-terminal, links the terminal to COM9 of the Wine prefix
# ($WINEPREFIX/dosdevices/com9), puts the handheld's \windows files (the
# radio drivers' version resources) into drive C:, runs the control-panel
# host BIN/cplhost.exe on BIN/ModemAbout.dll under Wine and compares what it
# read back through Win32 with APPLET_DIR/expected_page.txt. The page, the
# module's log and the screenshot (modem_about.bmp) stay in OUT.
# Exit status 0 only when every line matched and the screenshot is a BMP.
set -u
if [ $# -ne 5 ]; then
    echo "usage: $0 KXMODEM BIN HANDHELD_WINDOWS APPLET_DIR OUT" >&2
    exit 2
fi
modem=$1 bin=$2 handheld=$3 applet=$4 out=$5
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
mkdir -p "$out/dev" || fail "cannot make $out"
link=$out/at.pty
com=$WINEPREFIX/dosdevices/com9
"$modem" --device-dir "$out/dev" --at-pty "$link" --script "$applet/module.kxs" \
    --no-control-socket >"$out/kxmodem.log" 2>&1 &
pid=$!
cleanup() {
    kill "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
    rm -f "$com"
}
trap cleanup EXIT

# kxmodem makes the link before it reports that it serves its ports.
for _ in $(seq 100); do
    grep -q '^kxmodem: AT port on ' "$out/kxmodem.log" && break
    kill -0 "$pid" 2>/dev/null || fail "kxmodem ended: $(cat "$out/kxmodem.log")"
    sleep 0.1
done
[ -L "$link" ] || fail "kxmodem made no AT terminal: $(cat "$out/kxmodem.log")"
ln -sfn "$link" "$com" || fail "cannot link $com"
cp "$handheld"/*.dll "$WINEPREFIX/drive_c/windows/" || fail "cannot copy the handheld's files"

# Wine's own tapi32 has no line devices: the lane's, beside the host, is
# loaded instead.
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:+$WINEDLLOVERRIDES;}tapi32=n"
shot=$out/modem_about.bmp
"$here/wine-run.sh" "$bin/cplhost.exe" ModemAbout.dll COM9 "Z:$shot" >"$out/page.txt" 2>&1
rc=$?
cat "$out/page.txt"
kill -0 "$pid" 2>/dev/null || fail "kxmodem ended while the applet ran: $(cat "$out/kxmodem.log")"
# Only the host's own lines (its console writes CR LF): Wine may add
# messages of its own.
tr -d '\r' <"$out/page.txt" | grep -E '^(HACMode|CPL_|control |screenshot|click |FAILED)' >"$out/page-lines.txt"
if ! diff -u "$applet/expected_page.txt" "$out/page-lines.txt"; then
    fail "the page read back differs from $applet/expected_page.txt (above)"
fi
[ "$rc" -eq 0 ] || fail "cplhost ended with status $rc"
[ "$(head -c 2 "$shot" 2>/dev/null)" = BM ] && [ "$(stat -c %s "$shot")" -gt 1000 ] ||
    fail "no screenshot in $shot"
echo "$me: OK (screenshot $shot)"
