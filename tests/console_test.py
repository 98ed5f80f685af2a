#!/usr/bin/env python3
"""A Windows build on a console, under Wine: names in any script must show
as their own characters, whatever the console's code page.

    console_test.py LOADER QUIB.EXE CONTACT

Wine gives a program a console when its stderr is a pseudo-terminal, and
draws that console with escape sequences (a space may arrive as a cursor
move); the screen is rebuilt from them before it is compared with what a
person should read."""
import os
import pty
import re
import sys
import tempfile

LOADER, EXE, CONTACT = sys.argv[1:4]
BANNER = "QUIB " + CONTACT
CSI = re.compile(r"\x1b\[([?0-9;]*)([A-Za-z])")


def screen(text):
    """The lines a terminal shows after receiving text."""
    lines, row, col, at = [""], 0, 0, 0
    while at < len(text):
        escape = CSI.match(text, at)
        if escape:
            count = int(escape.group(1) or 1) if escape.group(1).isdigit() else 1
            action = escape.group(2)
            if action == "C":
                col += count
            elif action == "K":
                lines[row] = lines[row][:col]
            at = escape.end()
            continue
        char = text[at]
        at += 1
        if char == "\r":
            col = 0
        elif char == "\n":
            row += 1
            lines.append("") if row == len(lines) else None
        elif char >= " ":
            line = lines[row].ljust(col)
            lines[row] = line[:col] + char + line[col + 1:]
            col += 1
    return [line.rstrip() for line in lines if line.strip()]


def run(*args):
    pid, terminal = pty.fork()
    if pid == 0:
        os.execve(LOADER, [LOADER, EXE, *args], {**os.environ, "TERM": "xterm"})
    received, chunk = b"", b"-"
    while chunk:
        try:
            chunk = os.read(terminal, 4096)
        except OSError:  # the program is gone
            chunk = b""
        received += chunk
    _, status = os.waitpid(pid, 0)
    return os.waitstatus_to_exitcode(status), screen(received.decode("utf-8", "replace"))


CASES = [
    ((), 1, ["QUIB <image> <vms>", "<image> should be a jpeg",
             "<vms> is the file name to produce", BANNER]),
    (("写真.jpg", "Фото café.vms"), 0,
     [BANNER, "QUIB is not aware of any problems with your file transformation.",
      "[Фото café.vms] is now ready."]),
    (("café Фото 写真.jpg", "x.vms"), 1,
     [BANNER, "Failed to open source file [café Фото 写真.jpg] for input."]),
]

failures = 0
with tempfile.TemporaryDirectory() as folder:
    os.chdir(folder)
    with open("写真.jpg", "wb") as picture:
        picture.write(bytes(range(256)))
    for args, status, expected in CASES:
        got_status, shown = run(*args)
        if (got_status, shown) != (status, expected):
            failures += 1
            print(f"quib {' '.join(args)}:\n  expected {status} {expected}\n"
                  f"  got      {got_status} {shown}")
print(f"{len(CASES) - failures} of {len(CASES)} console cases as expected")
sys.exit(1 if failures else 0)
