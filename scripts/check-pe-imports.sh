#!/usr/bin/env bash
# check-pe-imports.sh DLL ALLOWED...
#
# Checks that a PE DLL imports from no DLL outside the ALLOWED names (case
# is ignored; ".dll" may be left off). The Windows build uses it to hold each
# deliverable to the platform libraries it may link, and to prove the C++
# runtime is static (no libstdc++/libgcc/libwinpthread DLL imported). Exit 0
# when every import is allowed, 1 when not (each one listed), 2 when the check
# cannot run. OBJDUMP overrides the tool.
set -u

me=check-pe-imports
if [ $# -lt 1 ]; then
    echo "usage: $0 DLL ALLOWED..." >&2
    exit 2
fi
dll=$1
shift
objdump=${OBJDUMP:-x86_64-w64-mingw32-objdump}
if [ ! -r "$dll" ]; then
    echo "$me: cannot read $dll" >&2
    exit 2
fi
if ! headers=$("$objdump" -p "$dll" 2>&1); then
    echo "$me: $objdump -p $dll failed: $headers" >&2
    exit 2
fi

allowed=" "
for name in "$@"; do
    name=$(printf '%s' "$name" | tr 'A-Z' 'a-z')
    allowed="$allowed${name%.dll}.dll "
done

imports=$(printf '%s\n' "$headers" | sed -n 's/^[ \t]*DLL Name:[ \t]*//p' | tr -d '\r')
bad=""
for name in $imports; do
    lower=$(printf '%s' "$name" | tr 'A-Z' 'a-z')
    case "$allowed" in
    *" $lower "*) ;;
    *) bad="$bad $name" ;;
    esac
done
dname=$(basename "$dll")
if [ -z "$bad" ]; then
    echo "$me: $dname imports only from allowed DLLs:" $imports
    exit 0
fi
echo "$me: FAIL: $dname imports from DLLs it may not use ($dll)"
for name in $bad; do
    echo "  $name"
done
echo "  allowed:$allowed"
exit 1
