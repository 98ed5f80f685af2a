#!/usr/bin/env python3
"""Checks that the manual page lists every message the program can print,
word for word, so that a message changed in the code fails here until the
page follows.

    check_manual.py MANDOC PAGE SRC_DIR [MACRO=VALUE ...]

The messages are the string literals, in every .cpp and .hpp file below
SRC_DIR, that end in a newline: adjacent literals are joined, with each MACRO named
on the command line put in where it stands between them. The page is
rendered by mandoc without line breaks, and white space is folded on both
sides. A %s in a message stands for a path, which the page names by its
argument: [image] or [vms].
"""
import pathlib
import re
import subprocess
import sys

TOKEN = re.compile(
    r'(?P<skip>//[^\n]*|/\*.*?\*/|\s+)'
    r'|(?:u8|[uUL])?R"(?P<delim>[^(\s]*)\((?P<raw>.*?)\)(?P=delim)"'
    r'|(?:u8|[uUL])?"(?P<text>(?:[^"\\\n]|\\.)*)"'
    r"|'(?:[^'\\\n]|\\.)+'"
    r'|(?P<name>[A-Za-z_]\w*)'
    r'|.', re.S)
ESCAPES = {'n': '\n', 't': '\t', 'r': '\r'}


def unescape(text):
    return re.sub(r'\\(x[0-9A-Fa-f]+|[0-7]{1,3}|.)',
                  lambda m: chr(int(m[1][1:], 16)) if m[1][0] == 'x'
                  else chr(int(m[1], 8)) if m[1][0] in '01234567'
                  else ESCAPES.get(m[1], m[1]), text)


def messages(source, macros):
    """The newline-ended strings of one file, adjacent literals joined."""
    found, run, has_literal = [], '', False
    for match in TOKEN.finditer(source):
        if match['skip']:
            continue
        if match['raw'] is not None or match['text'] is not None:
            run += match['raw'] if match['raw'] is not None else unescape(match['text'])
            has_literal = True
            continue
        if match['name'] in macros:
            run += macros[match['name']]
            continue
        if has_literal and run.endswith('\n'):
            found.append(run)
        run, has_literal = '', False
    return found


def folded(text):
    return ' '.join(text.split())


def main(mandoc, page, src_dir, *definitions):
    macros = dict(d.split('=', 1) for d in definitions)
    sources = sorted(path for path in pathlib.Path(src_dir).rglob('*')
                     if path.suffix in ('.cpp', '.hpp'))
    printed = sorted({m for path in sources
                      for m in messages(path.read_text(encoding='utf-8'), macros)})
    if not printed:
        sys.exit(f'no messages found in {len(sources)} source files under {src_dir}')
    rendered = subprocess.run([mandoc, '-Tascii', '-Owidth=1000', page], check=True,
                              capture_output=True, text=True).stdout
    rendered = folded(re.sub('.\b', '', rendered))  # bold and underline are overstruck
    missing = [m for m in printed
               if not re.search(re.escape(folded(m)).replace('%s', r'[a-z]+'), rendered)]
    for message in missing:
        print(f'not in {page}: {message!r}')
    print(f'{len(printed) - len(missing)} of {len(printed)} messages from '
          f'{len(sources)} source files are in the page')
    return 1 if missing else 0


if __name__ == '__main__':
    sys.exit(main(*sys.argv[1:]))
