#!/usr/bin/env bash
# check-elf-exports.sh LIBRARY.so FILE.def
# The host build of a deliverable must export exactly the names its .def
# file lists (C linkage, by name): compares the defined dynamic symbols.
set -euo pipefail
lib=$1
def=$2
expected=$(awk 'BEGIN{e=0} /^[[:space:]]*EXPORTS/{e=1;next} e&&NF{print $1}' "$def" | sed 's/[@=].*//' | sort -u)
actual=$(nm -D --defined-only "$lib" | awk '$2 ~ /^[TtWwiDdBbVv]$/ {print $3}' |
    grep -vE '^(_init|_fini|_edata|_end|__bss_start)$' | sort -u)
if [ "$expected" != "$actual" ]; then
    echo "exports of $lib differ from $def:"
    diff <(echo "$expected") <(echo "$actual") | sed -n 's/^< /  missing: /p; s/^> /  extra:   /p'
    exit 1
fi
echo "exports of $(basename "$lib") match $(basename "$def"): $(echo "$expected" | tr '\n' ' ')"
