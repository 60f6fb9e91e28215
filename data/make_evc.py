#!/usr/bin/env python3
"""Builds the MAC vendor table Nimbo.evc from the IEEE registry listings.

Usage: make_evc.py OUTPUT oui.txt [mam.txt] [oui36.txt]

Each listing holds blocks whose second line reads
    002272     (base 16)\t\tAmerican Micro-Fuel Device Corp.       (24-bit, MA-L)
    D00000-DFFFFF     (base 16)\t\tName                           (28 or 36 bit)
preceded by a line "20-85-93   (hex)\t\tName" that gives the 24-bit block.

Output lines: "00:22:72\tAmerican" for 24-bit prefixes and
"20:85:93:D0:00:00/28\tShanghai" for longer ones. Names are one short word.
"""
import re
import sys

HEX_LINE = re.compile(r'^([0-9A-Fa-f]{2})-([0-9A-Fa-f]{2})-([0-9A-Fa-f]{2})\s+\(hex\)\s*(.*)$')
BASE_LINE = re.compile(r'^([0-9A-Fa-f]{6})(?:-([0-9A-Fa-f]{6}))?\s+\(base 16\)\s*(.*)$')
MAX_NAME = 8


def short_name(org):
    org = re.sub(r'\(.*?\)', ' ', org)
    words = re.findall(r'[A-Za-z0-9]+', org)
    if not words:
        return 'Unknown'
    return words[0][:MAX_NAME]


def read_listing(path, entries24, entries_long):
    block = None
    with open(path, encoding='utf-8', errors='replace') as f:
        for raw in f:
            line = raw.rstrip('\r\n')
            m = HEX_LINE.match(line)
            if m:
                block = bytes(int(x, 16) for x in m.group(1, 2, 3))
                continue
            m = BASE_LINE.match(line)
            if not m or block is None:
                continue
            low, high, org = m.group(1), m.group(2), m.group(3).strip()
            name = short_name(org)
            if high is None:
                entries24.setdefault(block, name)
            else:
                lo, hi = int(low, 16), int(high, 16)
                span = hi - lo + 1
                bits = 48 - (span.bit_length() - 1)
                if span & (span - 1) or bits not in (28, 36):
                    continue
                mac = block + lo.to_bytes(3, 'big')
                entries_long.setdefault((mac, bits), name)
            block = None


def main():
    if len(sys.argv) < 3:
        sys.exit(__doc__)
    entries24, entries_long = {}, {}
    for path in sys.argv[2:]:
        read_listing(path, entries24, entries_long)
    rows = []
    for prefix, name in entries24.items():
        rows.append((prefix + b'\0\0\0', 24, '%02X:%02X:%02X\t%s' % (*prefix, name)))
    for (mac, bits), name in entries_long.items():
        rows.append((mac, bits, '%s/%d\t%s' % (':'.join('%02X' % b for b in mac), bits, name)))
    rows.sort()
    with open(sys.argv[1], 'w', encoding='ascii', errors='replace', newline='\n') as out:
        out.write('# Nimbo MAC vendor codes\n')
        out.write('# Generated from the IEEE registry listings (MA-L, MA-M, MA-S)\n')
        out.write('# Format: XX:XX:XX<TAB>name  or  XX:XX:XX:XX:XX:XX/bits<TAB>name\n')
        out.write('# %d entries\n' % len(rows))
        for _, _, text in rows:
            out.write(text + '\n')


if __name__ == '__main__':
    main()
