#!/usr/bin/env python3
"""check-swprintf.py DIR...: no call of the ISO swprintf family where %s
would mean a narrow string.

Microsoft's C runtime reads %s (and %c) in a wide format as wide text;
mingw-w64's ISO swprintf and vswprintf (swprintf(buffer, count, format, ...))
read them as the C standard does, as narrow text. The same source would
print garbage in the Windows build. So every swprintf or vswprintf call in
the given folders must have a literal format whose string and character
conversions say their width: %ls or %hs (%lc, %hc, %ws, %wc). A format that is
not a literal cannot be checked and is refused too. Declarations and
definitions of the functions themselves are not calls.

Prints each offending call as file:line: reason and exits 1; 0 when there
are none.
"""
import os
import re
import sys

CALL = re.compile(r'(?<![\w.>:])(v?swprintf)\s*\(')
DECLARATION = re.compile(r'\b(int|extern|static|inline)\s*$')
CONVERSION = re.compile(r'%([-+ #0]*)(\*|\d+)?(?:\.(\*|\d*))?(hh|h|ll|l|w|I64|I32|I)?([a-zA-Z%])')
LITERAL = re.compile(r'^(?:(?:TEXT|_T|_TEXT)\s*\(\s*("(?:[^"\\]|\\.)*")\s*\)|[LuU]?("(?:[^"\\]|\\.)*")|\s)+$')


def strip_comments(text):
    # Keeps line numbers: comments become spaces, strings stay.
    out, i, n = [], 0, len(text)
    while i < n:
        if text.startswith('//', i):
            j = text.find('\n', i)
            j = n if j < 0 else j
            out.append(' ' * (j - i))
            i = j
        elif text.startswith('/*', i):
            j = text.find('*/', i + 2)
            j = n if j < 0 else j + 2
            out.append(re.sub(r'[^\n]', ' ', text[i:j]))
            i = j
        elif text[i] in '"\'':
            q, j = text[i], i + 1
            while j < n and text[j] != q:
                j += 2 if text[j] == '\\' else 1
            out.append(text[i:j + 1])
            i = j + 1
        else:
            out.append(text[i])
            i += 1
    return ''.join(out)


def arguments(text, start):
    """The top-level arguments of the call whose '(' is at start."""
    args, depth, i, begin = [], 0, start, start + 1
    while i < len(text):
        c = text[i]
        if c in '"\'':
            j = i + 1
            while j < len(text) and text[j] != c:
                j += 2 if text[j] == '\\' else 1
            i = j
        elif c in '([{':
            depth += 1
        elif c in ')]}':
            depth -= 1
            if depth == 0:
                args.append(text[begin:i])
                return args
        elif c == ',' and depth == 1:
            args.append(text[begin:i])
            begin = i + 1
        i += 1
    return args


def problems(path):
    text = strip_comments(open(path, encoding='utf-8', errors='replace').read())
    for m in CALL.finditer(text):
        line = text.count('\n', 0, m.start()) + 1
        if DECLARATION.search(text[max(0, m.start() - 40):m.start()]):
            continue
        args = arguments(text, m.end() - 1)
        if len(args) < 3:
            yield line, f'{m.group(1)} without buffer, count and format'
            continue
        fmt = args[2].strip()
        literal = LITERAL.match(fmt)
        if not literal:
            yield line, f'{m.group(1)} format is not a literal: cannot tell what %s means'
            continue
        pieces = re.findall(r'"((?:[^"\\]|\\.)*)"', fmt)
        for conv in CONVERSION.finditer(''.join(pieces)):
            size, kind = conv.group(4), conv.group(5)
            if kind in 'sScC' and not size:
                yield line, (f'{m.group(1)} with %{kind}: narrow in the ISO function, wide in '
                             f'Microsoft\'s; write %l{kind.lower()} (wide) or %h{kind.lower()} (narrow)')


def main(dirs):
    found = 0
    for top in dirs:
        for folder, _, files in sorted(os.walk(top)):
            for name in sorted(files):
                if name.endswith(('.c', '.cpp', '.h')):
                    path = os.path.join(folder, name)
                    for line, reason in problems(path):
                        print(f'{path}:{line}: {reason}')
                        found += 1
    if found:
        print(f'check-swprintf: {found} call(s) where %s could mean a narrow string')
        return 1
    print(f'check-swprintf: OK ({", ".join(dirs)})')
    return 0


if __name__ == '__main__':
    sys.exit(main(sys.argv[1:]))
