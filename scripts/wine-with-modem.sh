#!/usr/bin/env bash
# wine-with-modem.sh KXMODEM MODEM_SCRIPT DIR COMMAND [ARGS...]: runs COMMAND
# (a Wine program, through scripts/wine-run.sh) while kxmodem serves its AT
# port on a pseudo-terminal linked to COM9 of the Wine prefix
# ($WINEPREFIX/dosdevices/com9). kxmodem runs in DIR (its device folder,
# log and terminal link), started with MODEM_SCRIPT ("-" for none), and is
# stopped and the link removed afterwards, whatever happened.
# Exit status: COMMAND's, or 1 when the module could not be started or
# ended while COMMAND ran.
set -u
if [ $# -lt 4 ]; then
    echo "usage: $0 KXMODEM MODEM_SCRIPT DIR COMMAND [ARGS...]" >&2
    exit 2
fi
modem=$1 script=$2 dir=$3
shift 3
me=wine-with-modem
fail() {
    echo "$me: FAILED: $*"
    exit 1
}
[ -n "${WINEPREFIX:-}" ] && [ -d "$WINEPREFIX/dosdevices" ] ||
    fail "no Wine prefix at '${WINEPREFIX:-}' (scripts/wine-tests.sh makes it)"
[ -x "$modem" ] || fail "no kxmodem at $modem (scripts/wine-tests.sh builds it)"
mkdir -p "$dir/dev" || fail "cannot make $dir"
link=$dir/at.pty
com=$WINEPREFIX/dosdevices/com9
log=$dir/kxmodem.log
# The log is emptied here, not by the module's start: what an earlier run
# wrote must not be read as this module's report.
: >"$log" || fail "cannot write $log"
options=(--device-dir "$dir/dev" --at-pty "$link" --no-control-socket)
[ "$script" = - ] || options+=(--script "$script")
"$modem" "${options[@]}" >>"$log" 2>&1 &
pid=$!
cleanup() {
    kill "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
    rm -f "$com"
}
trap cleanup EXIT

# kxmodem has made the link once it reports its AT port.
for _ in $(seq 100); do
    grep -q '^kxmodem: AT port on ' "$log" && break
    kill -0 "$pid" 2>/dev/null || fail "kxmodem ended: $(cat "$log")"
    sleep 0.1
done
[ -L "$link" ] || fail "kxmodem made no AT terminal: $(cat "$log")"
ln -sfn "$link" "$com" || fail "cannot link $com"

"$@"
rc=$?
kill -0 "$pid" 2>/dev/null || fail "kxmodem ended while $1 ran: $(cat "$log")"
exit $rc
