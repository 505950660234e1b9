#!/usr/bin/env bash
# check-elf-exports.sh SO DEF
#
# Checks that a deliverable's shared library (host build) exports exactly
# the names its module-definition file exports: the defined symbols of the
# ELF dynamic symbol table (nm -D --defined-only), functions and data alike,
# against the .def's EXPORTS (NONAME entries excepted). Deliverables are
# built with hidden visibility, so nothing else should be there; symbols the
# linker or an instrumentation runtime places in every library (_init, _fini,
# _edata, _end, __bss_start, sanitizer and coverage support) are not the
# deliverable's and are ignored. Exit 0 on a match, 1 on a mismatch (each
# missing or extra name is listed), 2 when the check cannot run.
#
# NM overrides the tool (default nm).
set -u

me=check-elf-exports
if [ $# -ne 2 ]; then
    echo "usage: $0 SO DEF" >&2
    exit 2
fi
so=$1
def=$2
here=$(cd "$(dirname "$0")" && pwd)
nm=${NM:-nm}

for f in "$so" "$def"; do
    if [ ! -r "$f" ]; then
        echo "$me: cannot read $f" >&2
        exit 2
    fi
done
if ! command -v "$nm" >/dev/null 2>&1; then
    echo "$me: $nm not found (install binutils)" >&2
    exit 2
fi

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

if ! "$nm" -D --defined-only "$so" >"$tmp/nm" 2>"$tmp/err"; then
    echo "$me: $nm -D --defined-only $so failed:" >&2
    cat "$tmp/err" >&2
    exit 2
fi
# Lines are "value type name" (absolute symbols may lack the value); a
# versioned name carries "@VERSION" or "@@VERSION".
awk '
    NF >= 2 {
        name = $NF
        sub(/@.*/, "", name)
        if (name ~ /^(_init|_fini|_edata|_end|__bss_start|_DYNAMIC|_GLOBAL_OFFSET_TABLE_)$/) next
        if (name ~ /^__(asan|ubsan|tsan|lsan|msan|sanitizer|odr_asan|gcov|llvm_profile)/) next
        if (name == "mangle_path") next   # part of the gcov runtime
        print name
    }
' "$tmp/nm" | LC_ALL=C sort -u >"$tmp/so"

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

missing=$(LC_ALL=C comm -13 "$tmp/so" "$tmp/def")
extra=$(LC_ALL=C comm -23 "$tmp/so" "$tmp/def")
sname=$(basename "$so")
fname=$(basename "$def")
if [ -z "$missing" ] && [ -z "$extra" ]; then
    echo "$me: $sname exports exactly the $(wc -l <"$tmp/def") names of $fname"
    exit 0
fi
echo "$me: FAIL: exports of $sname differ from $fname ($so, $def)"
for name in $missing; do
    echo "  in $fname but not exported by $sname: $name (not marked KX_EXPORT, or not extern \"C\"?)"
done
for name in $extra; do
    echo "  exported by $sname but not in $fname: $name (default visibility leaked?)"
done
exit 1
