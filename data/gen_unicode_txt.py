#!/usr/bin/env python3
"""Writes Unicode.txt, the Windows-1252 to UCS2 table that the UCS2 converter reads,
from a glibc charmap (Debian's /usr/share/i18n/charmaps/CP1252.gz).

The layout is the Unicode Consortium's mapping-table one: the code as "0xNN", a TAB,
the UCS2 value as "0xNNNN", a TAB, then "#" and the character's name. Positions the
code page leaves unassigned get a line with no value and "#UNDEFINED", as the
Consortium's tables have them.

usage: gen_unicode_txt.py CHARMAP OUTPUT
"""

import gzip
import os
import re
import sys

LINE = re.compile(r"^<U([0-9A-Fa-f]{4,8})>\s+/x([0-9A-Fa-f]{2})\s+(.*)$")


def read_charmap(path):
    opener = gzip.open if path.endswith(".gz") else open
    with opener(path, "rt", encoding="utf-8") as f:
        lines = f.read().splitlines()
    table = {}
    inside = False
    for raw in lines:
        line = raw.strip()
        if line == "CHARMAP":
            inside = True
            continue
        if line == "END CHARMAP":
            break
        if not inside or not line or line.startswith("%"):
            continue
        m = LINE.match(line)
        if not m:
            # A range or a multi-byte entry would mean this is not a single-byte
            # code page; better to stop than to write a table with holes.
            raise SystemExit(f"gen_unicode_txt: unexpected charmap line: {raw!r}")
        ucs, code, name = int(m.group(1), 16), int(m.group(2), 16), m.group(3).strip()
        if ucs > 0xFFFF:
            raise SystemExit(f"gen_unicode_txt: U+{ucs:X} does not fit UCS2")
        if code in table:
            raise SystemExit(f"gen_unicode_txt: code 0x{code:02X} mapped twice")
        table[code] = (ucs, name)
    if not inside:
        raise SystemExit(f"gen_unicode_txt: no CHARMAP section in {path}")
    return table


def main():
    if len(sys.argv) != 3:
        raise SystemExit(__doc__)
    source, output = sys.argv[1], sys.argv[2]
    table = read_charmap(source)
    out = [
        "#",
        "#    Name:     Windows-1252 to Unicode table",
        "#    Source:   " + os.path.basename(source) + " (glibc charmap), generated at build time",
        "#",
        "#    Format:   three TAB-separated columns",
        "#              column 1: the Windows-1252 code in hexadecimal",
        "#              column 2: the Unicode (UCS2) value in hexadecimal",
        "#              column 3: the Unicode name after a number sign",
        "#",
        "#    Unassigned positions have no value and the comment UNDEFINED.",
        "#",
    ]
    for code in range(256):
        if code in table:
            ucs, name = table[code]
            out.append(f"0x{code:02X}\t0x{ucs:04X}\t#{name}")
        else:
            out.append(f"0x{code:02X}\t      \t#UNDEFINED")
    tmp = output + ".tmp"
    with open(tmp, "w", encoding="ascii", newline="\n") as f:
        f.write("\n".join(out) + "\n")
    os.replace(tmp, output)


if __name__ == "__main__":
    main()
