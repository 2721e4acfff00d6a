#!/usr/bin/env python3
"""Lists functions in the product code whose body runs longer than a screen (60 lines).

A function is accepted when a comment containing "long:" (the reason) stands in the lines just
above its signature. Exits 1 when an unaccepted one exists. A heuristic, not a C++ parser: it
finds brace blocks whose header looks like a function signature, outside other function bodies.
"""
import re
import subprocess
import sys
from pathlib import Path

LIMIT = 60
PRODUCT = ('app/', 'bridge/', 'cli/', 'connector/', 'fleet/', 'journal/', 'kvt_sdk/', 'secure/', 'simulator/')
MACRO_LINE = re.compile(r'^\s*[A-Z][A-Z0-9_]*\s*\(.*\)\s*$')
NOT_FUNCTIONS = re.compile(r'^\s*(if|for|while|switch|catch|do|else|try|return|namespace|class|struct|union|enum)\b')


def blank_out(text):
    """Replaces comments and string/char literals by spaces, keeping line breaks."""
    out, i, n = [], 0, len(text)
    while i < n:
        c = text[i]
        if text.startswith('//', i):
            j = text.find('\n', i)
            j = n if j < 0 else j
            out.append(' ' * (j - i)); i = j
        elif text.startswith('/*', i):
            j = text.find('*/', i + 2)
            j = n if j < 0 else j + 2
            out.append(re.sub(r'[^\n]', ' ', text[i:j])); i = j
        elif c == 'R' and text.startswith('R"', i):
            m = re.match(r'R"([^(\s]*)\(', text[i:])
            if not m:
                out.append(c); i += 1; continue
            end = text.find(')' + m.group(1) + '"', i)
            j = n if end < 0 else end + len(m.group(1)) + 2
            out.append(re.sub(r'[^\n]', ' ', text[i:j])); i = j
        elif c in '"\'':
            j = i + 1
            while j < n and text[j] != c:
                j += 2 if text[j] == '\\' else 1
            out.append(' ' * (j + 1 - i)); i = j + 1
        else:
            out.append(c); i += 1
    return ''.join(out)


def functions(path):
    raw = path.read_text(errors='replace')
    code = blank_out(raw)
    lines = raw.split('\n')
    found, depth, inside = [], 0, None  # inside: (start line, depth at the body's brace, name)
    header_start = 0
    for i, c in enumerate(code):
        if c == '{':
            if inside is None:
                # Preprocessor lines and macro calls without a semicolon belong to no signature.
                kept = [l if not (l.lstrip().startswith('#') or MACRO_LINE.match(l)) else ''
                        for l in code[header_start:i].split('\n')]
                header = '\n'.join(kept)
                flat = ' '.join(header.split())
                m = re.search(r'([~\w:]+(?:operator\s*\S+)?)\s*\(', flat)
                if m and ')' in flat and not NOT_FUNCTIONS.match(flat) and '=' not in flat.split('(')[0]:
                    first = header_start + len(header) - len(header.lstrip())
                    inside = (code.count('\n', 0, first) + 1, depth, m.group(1))
            depth += 1
            header_start = i + 1
        elif c == '}':
            depth -= 1
            header_start = i + 1
            if inside is not None and depth == inside[1]:
                start, _, name = inside
                end = code.count('\n', 0, i) + 1
                found.append((name, start, end, lines))
                inside = None
        elif c == ';':
            header_start = i + 1
    return found


def accepted(lines, start):
    above = lines[max(0, start - 4):start - 1]
    return any('long:' in l for l in above)


def main():
    root = Path(__file__).resolve().parent.parent
    files = subprocess.run(['git', 'ls-files', '*.cpp', '*.h', '*.c'], cwd=root, capture_output=True,
                           text=True, check=True).stdout.split()
    bad = 0
    for f in files:
        if not f.startswith(PRODUCT):
            continue
        for name, start, end, lines in functions(root / f):
            length = end - start + 1
            if length <= LIMIT:
                continue
            ok = accepted(lines, start)
            bad += not ok
            print('%s:%d: %s is %d lines%s' % (f, start, name, length, ' (reason given)' if ok else ''))
    return 1 if bad else 0


if __name__ == '__main__':
    sys.exit(main())
