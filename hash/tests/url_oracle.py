#!/usr/bin/env python3
"""Percent-coding oracle for the URL tests, built on Python's urllib.parse.

Reads lines "E <hex>" (encode) or "D <hex>" (decode) on stdin and answers each with one line
holding the hex of the result. Only what our coder is documented to do differently is
normalised: it also keeps "*" and "@", escapes "~", writes lower-case hex digits, and ends a
decoded text at its first NUL.
"""
import re
import sys
from urllib.parse import quote_plus, unquote_to_bytes


def encode(data: bytes) -> bytes:
    text = quote_plus(data, safe="*@").replace("~", "%7E")
    text = re.sub(r"%[0-9A-F]{2}", lambda m: m.group(0).lower(), text)
    return text.encode("ascii")


def decode(data: bytes) -> bytes:
    return unquote_to_bytes(data.replace(b"+", b" ")).split(b"\0", 1)[0]


def main() -> None:
    for line in sys.stdin:
        op, _, hexdata = line.strip().partition(" ")
        data = bytes.fromhex(hexdata)
        result = encode(data) if op == "E" else decode(data)
        sys.stdout.write(result.hex() + "\n")


if __name__ == "__main__":
    main()
