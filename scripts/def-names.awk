# Prints the names a module-definition (.def) file exports, one a line, as
# they appear in the export name table: the external name of every EXPORTS
# entry, except entries marked NONAME (exported by ordinal only).
#
# Entry syntax: name[=internal | ==internal] [@ordinal [NONAME]] [DATA]
# [PRIVATE] [CONSTANT]; ';' starts a comment; names may be quoted.
# Used by check-pe-exports.sh and check-elf-exports.sh.
BEGIN {
    section = ""
    split("NAME LIBRARY DESCRIPTION STACKSIZE HEAPSIZE CODE DATA SECTIONS VERSION IMPORTS " \
          "EXPORTS SEGMENTS", kw, " ")
    for (i in kw) keyword[kw[i]] = 1
}
{
    line = $0
    sub(/\r$/, "", line)
    sub(/;.*/, "", line)
    if (line ~ /^[ \t]*$/) next
    n = split(line, tok, /[ \t]+/)
    first = (tok[1] == "") ? 2 : 1
    head = tok[first]
    # A section keyword switches sections; "EXPORTS Foo" on one line is
    # allowed, as is "DATA" alone as a section.
    if (head in keyword && !(section == "EXPORTS" && head == "DATA" && n > first)) {
        section = head
        if (head != "EXPORTS" || n == first) next
        first++
        head = tok[first]
    }
    if (section != "EXPORTS") next
    name = head
    sub(/==?.*/, "", name)
    gsub(/"/, "", name)
    noname = 0
    for (i = first + 1; i <= n; i++)
        if (tok[i] == "NONAME") noname = 1
    if (name != "" && !noname) print name
}
