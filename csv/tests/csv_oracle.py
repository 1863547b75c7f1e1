#!/usr/bin/env python3
"""Python's csv module as the reference reader and writer for the CSV library's tests.

Tables travel as text: one line per row, each field written as "h" followed by its UTF-8 bytes
in hex (so an empty field is "h" and a row without fields is an empty line), and a line "#"
after each table. CSV texts travel one per line, hex-coded.

  csv_oracle.py read  TEXTS TABLES   parse each CSV text, write the tables
  csv_oracle.py write TABLES TEXTS   write each table as CSV; every table is preceded by a line
                                     "@ TERMINATOR QUOTING" (crlf|lf|cr, minimal|all)
"""
import csv
import io
import sys

TERMINATORS = {"crlf": "\r\n", "lf": "\n", "cr": "\r"}
QUOTING = {"minimal": csv.QUOTE_MINIMAL, "all": csv.QUOTE_ALL}


def decode(token):
    return bytes.fromhex(token[1:]).decode("utf-8", "surrogateescape")


def encode(field):
    return "h" + field.encode("utf-8", "surrogateescape").hex()


def read(texts_path, tables_path):
    with open(texts_path, encoding="ascii") as src, open(tables_path, "w", encoding="ascii") as dst:
        for line in src:
            text = bytes.fromhex(line.strip()).decode("utf-8", "surrogateescape")
            for row in csv.reader(io.StringIO(text, newline="")):
                dst.write(" ".join(encode(f) for f in row) + "\n")
            dst.write("#\n")


def write(tables_path, texts_path):
    with open(tables_path, encoding="ascii") as src, open(texts_path, "w", encoding="ascii") as dst:
        out, writer = None, None
        for line in src:
            line = line.rstrip("\n")
            if line.startswith("@"):
                _, term, quoting = line.split(" ")
                out = io.StringIO(newline="")
                writer = csv.writer(out, lineterminator=TERMINATORS[term], quoting=QUOTING[quoting])
            elif line == "#":
                dst.write(out.getvalue().encode("utf-8", "surrogateescape").hex() + "\n")
            else:
                writer.writerow([decode(t) for t in line.split(" ") if t])


if __name__ == "__main__":
    {"read": read, "write": write}[sys.argv[1]](sys.argv[2], sys.argv[3])
