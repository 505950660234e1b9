#!/usr/bin/env bash
# check-pe-exports.sh DLL DEF
#
# Checks that the export name table of a PE DLL holds exactly the names that
# the module-definition file exports (NONAME entries excepted): nothing
# missing, nothing extra; and that the .def's LIBRARY name, if it has one, is
# the DLL's file name. Exit 0 on a match, 1 on a mismatch (each missing or
# extra name is listed), 2 when the check cannot run.
#
# OBJDUMP overrides the tool (default x86_64-w64-mingw32-objdump).
set -u

me=check-pe-exports
if [ $# -ne 2 ]; then
    echo "usage: $0 DLL DEF" >&2
    exit 2
fi
dll=$1
def=$2
here=$(cd "$(dirname "$0")" && pwd)
objdump=${OBJDUMP:-x86_64-w64-mingw32-objdump}

for f in "$dll" "$def"; do
    if [ ! -r "$f" ]; then
        echo "$me: cannot read $f" >&2
        exit 2
    fi
done
if ! command -v "$objdump" >/dev/null 2>&1; then
    echo "$me: $objdump not found (install binutils-mingw-w64-x86-64)" >&2
    exit 2
fi

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

if ! "$objdump" -p "$dll" >"$tmp/headers" 2>"$tmp/err"; then
    echo "$me: $objdump -p $dll failed:" >&2
    cat "$tmp/err" >&2
    exit 2
fi
# The name table follows the line "[Ordinal/Name Pointer] Table" (spelled
# "[Name Pointer/Ordinal]" by some binutils) up to the next blank line; each
# entry is "[index] name".
awk '
    /^\[(Ordinal\/Name Pointer|Name Pointer\/Ordinal)\] Table/ { inside = 1; next }
    inside && /^[ \t]*$/ { inside = 0; next }
    inside {
        line = $0
        sub(/^[ \t]*\[[ \t]*[0-9]+\][ \t]*/, "", line)
        split(line, f, /[ \t]+/)
        if (f[1] != "") print f[1]
    }
' "$tmp/headers" | LC_ALL=C sort >"$tmp/dll"

if ! awk -f "$here/def-names.awk" "$def" >"$tmp/def.raw"; then
    echo "$me: cannot parse $def" >&2
    exit 2
fi
LC_ALL=C sort "$tmp/def.raw" >"$tmp/def"
dups=$(uniq -d "$tmp/def")
if [ -n "$dups" ]; then
    echo "$me: $def lists a name twice: $dups" >&2
    exit 1
fi

# The LIBRARY (or NAME) line, when there is one, names the DLL in its export
# directory and in every import library made from the .def; it must be the
# DLL's own file name.
declared=$(awk '{ sub(/;.*/, "") } toupper($1) == "LIBRARY" || toupper($1) == "NAME" {
    gsub(/"/, "", $2); print $2; exit }' "$def")
if [ -n "$declared" ]; then
    want=$(basename "$dll" | tr 'A-Z' 'a-z')
    got=$(printf '%s' "$declared" | tr 'A-Z' 'a-z')
    case "$got" in *.*) ;; *) got="$got.dll" ;; esac
    if [ "$got" != "$want" ]; then
        echo "$me: FAIL: $(basename "$def") names the library $declared, but the DLL is $(basename "$dll")"
        exit 1
    fi
fi

missing=$(LC_ALL=C comm -13 "$tmp/dll" "$tmp/def")
extra=$(LC_ALL=C comm -23 "$tmp/dll" "$tmp/def")
dname=$(basename "$dll")
fname=$(basename "$def")
if [ -z "$missing" ] && [ -z "$extra" ]; then
    echo "$me: $dname exports exactly the $(wc -l <"$tmp/def") names of $fname"
    exit 0
fi
echo "$me: FAIL: exports of $dname differ from $fname ($dll, $def)"
for name in $missing; do
    echo "  in $fname but not exported by $dname: $name"
done
for name in $extra; do
    echo "  exported by $dname but not in $fname: $name"
done
exit 1
