#!/usr/bin/env python3
"""Python's time.strftime as the reference for VornSystemTimeFmt.

The first input line names the LC_TIME locale; each further line holds year, month, day, hour,
minute, second, weekday (0 = Sunday) and the hex-coded format. Each output line is the result,
hex-coded.
"""
import locale
import sys
import time

lines = sys.stdin.read().splitlines()
locale.setlocale(locale.LC_TIME, lines[0])
for line in lines[1:]:
    y, mo, d, h, mi, s, wd, fmt = line.split(" ")
    fields = (int(y), int(mo), int(d), int(h), int(mi), int(s), (int(wd) + 6) % 7, 1, 0)
    text = time.strftime(bytes.fromhex(fmt).decode("utf-8"), fields)
    print(text.encode("utf-8", "surrogateescape").hex())
