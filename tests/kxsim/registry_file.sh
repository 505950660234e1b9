#!/bin/sh
# The registry file is the user's: the host programs that change it (kxsim
# applet --click, kxsim provision) never damage it, and exit non-zero when it
# is refused or a change could not be saved.
#
# usage: registry_file.sh KXSIM PLATFORM_REG CASE
set -u
kxsim=$1
shipped=$2
case_name=$3

work=$(mktemp -d /tmp/kxsim-regfile-XXXXXX)
chmod 777 "$work"
trap 'chmod -R u+rwx "$work"; rm -rf "$work"' EXIT

fail() {
    echo "FAILED: $*"
    [ -f "$work/out" ] && sed 's/^/  | /' "$work/out"
    exit 1
}

# Runs kxsim as an ordinary user: root reads and writes whatever it likes,
# so permissions only show without it.
as_user() {
    if [ "$(id -u)" = 0 ]; then
        setpriv --reuid=65534 --regid=65534 --clear-groups "$@"
    else
        "$@"
    fi
}

# One click of the HAC checkbox: a change to the registry.
click() {
    "$@" "$kxsim" applet --click --registry "$reg" >"$work/out" 2>&1
}

# The number of lines of the output that hold the text.
said() {
    grep -c -- "$1" "$work/out"
}

case "$case_name" in
unreadable)
    reg=$work/registry.reg
    cp "$shipped" "$reg"
    chmod 000 "$reg"
    click as_user && fail "exit status 0 with an unreadable registry file"
    [ "$(said 'cannot be read')" = 1 ] || fail "not one clear message"
    chmod 600 "$reg"
    cmp -s "$shipped" "$reg" || fail "the unreadable file was written"
    ;;
folder)
    reg=$work/registry.reg
    mkdir "$reg"
    click && fail "exit status 0 with a folder as the registry file"
    [ "$(said 'is a folder')" = 1 ] || fail "not one clear message"
    [ -d "$reg" ] && [ -z "$(ls -A "$reg")" ] || fail "the folder was changed"
    [ "$(ls -A "$work" | grep -vx out)" = registry.reg ] || fail "files were left beside it: $(ls -A "$work")"
    ;;
read-only)
    reg=$work/registry.reg
    cp "$shipped" "$reg"
    chmod 444 "$reg"
    click || fail "a read-only file is no failure"
    [ "$(said 'read-only')" = 1 ] || fail "not said once"
    cmp -s "$shipped" "$reg" || fail "the read-only file was written"
    [ "$(stat -c %a "$reg")" = 444 ] || fail "mode changed"
    ;;
link-and-mode)
    # A file of passwords (0600) behind a symbolic link, with comments.
    mkdir "$work/real" "$work/links"
    cp "$shipped" "$work/real/registry.reg"
    chmod 600 "$work/real/registry.reg"
    ln -s ../real/registry.reg "$work/links/registry.reg"
    reg=$work/links/registry.reg
    click || fail "exit status"
    [ -L "$reg" ] || fail "the symbolic link was replaced by a file"
    [ "$(stat -c %a "$work/real/registry.reg")" = 600 ] || fail "mode 600 became $(stat -c %a "$work/real/registry.reg")"
    grep -q '"HACMode"=dword:00000001' "$work/real/registry.reg" || fail "the change is not in the link's target"
    # Everything the file had is still there, in its order (the change is
    # one new section).
    diff "$shipped" "$work/real/registry.reg" | grep '^<' && fail "lines of the file were lost"
    [ "$(diff "$shipped" "$work/real/registry.reg" | grep -c '^>')" = 3 ] || fail "more than the change was added"
    [ "$(ls -A "$work/real")" = registry.reg ] || fail "files were left beside it: $(ls -A "$work/real")"
    ;;
failed-save)
    mkdir "$work/locked"
    reg=$work/locked/registry.reg
    cp "$shipped" "$reg"
    chmod 666 "$reg"
    chmod 555 "$work/locked"
    click as_user && fail "exit status 0 when the change could not be saved"
    [ "$(said 'cannot save')" = 1 ] || fail "not reported once"
    cmp -s "$shipped" "$reg" || fail "the file was changed"
    ;;
provision-failed-save)
    # The driver applies a profile, but the file cannot take it: the result
    # says so, and the exit status is a failure.
    mkdir "$work/locked"
    reg=$work/locked/registry.reg
    cp "$shipped" "$reg"
    chmod 666 "$reg"
    chmod 555 "$work/locked"
    as_user "$kxsim" provision --registry "$reg" --timeout 20 >"$work/out" 2>&1 &&
        fail "exit status 0 when the applied profile could not be saved"
    [ "$(said 'result: the registry file did not keep the change')" = 1 ] ||
        fail "the result does not say that the change was not kept"
    cmp -s "$shipped" "$reg" || fail "the file was changed"
    ;;
run-folder)
    # kxsim run names the user's registry file in its first step: a folder
    # is refused there, not reported as in use.
    reg=$work/registry.reg
    mkdir "$reg"
    "$kxsim" run --registry "$reg" --out "$work/run" >"$work/out" 2>&1 &&
        fail "exit status 0 with a folder as the registry file"
    grep -q "registry: $reg (is a folder, not a registry file)" "$work/out" ||
        fail "step 1 does not refuse the folder"
    [ "$(said 'changes are kept')" = 0 ] || fail "the folder was reported as in use"
    [ -d "$reg" ] && [ -z "$(ls -A "$reg")" ] || fail "the folder was changed"
    ;;
line-feed-config-name)
    # A ConfigName with a line feed in it, provisioned twice: the registry
    # file still loads, and the entry is found current the second time.
    reg=$work/registry.reg
    sed 's/^"ConfigName"="KxTel Internet"/"ConfigName"=hex(1):4b,00,78,00,0a,00,4e,00,65,00,74,00,00,00/' \
        "$shipped" >"$reg"
    grep -q '^"ConfigName"=hex(1)' "$reg" || fail "the test's registry is not as meant"
    "$kxsim" provision --registry "$reg" --timeout 20 >"$work/out" 2>&1 || fail "first provisioning"
    grep -q 'result: applied' "$work/out" || fail "nothing applied the first time"
    "$kxsim" provision --registry "$reg" --timeout 20 >"$work/out" 2>&1 || fail "second provisioning"
    [ "$(said '^registry: ')" = 1 ] || fail "the registry file was refused"
    grep -q 'current already' "$work/out" || fail "not current the second time"
    grep -q '^\[HKEY_LOCAL_MACHINE\\Comm\\ConnMgr\\GPRSEntries\\Kx Net\]' "$reg" ||
        fail "the entry is not named with a space"
    ;;
dword-current-config)
    # A CurrentConfig that is not text does not block the profile.
    reg=$work/registry.reg
    sed 's/^\[HKEY_LOCAL_MACHINE\\Comm\\CarrierCfg\]/&\r\n"CurrentConfig"=dword:00000001/' \
        "$shipped" >"$reg"
    grep -q '^"CurrentConfig"=dword:00000001' "$reg" || fail "the test's registry is not as meant"
    "$kxsim" provision --registry "$reg" --timeout 20 >"$work/out" 2>&1 || fail "exit status"
    grep -q 'Current Configuration is not a usable entry name' "$work/out" ||
        fail "the driver did not say why it ignored CurrentConfig"
    grep -q 'result: applied "KxTel Internet"' "$work/out" || fail "the profile was not applied"
    grep -q '^"CurrentConfig"="KxTel Internet"' "$reg" || fail "CurrentConfig not written"
    ;;
*)
    fail "unknown case $case_name"
    ;;
esac
echo "registry file case $case_name: as expected"
