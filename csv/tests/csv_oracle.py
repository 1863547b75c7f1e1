#!/usr/bin/env python3
"""Python's csv module as the reference reader and writer for the CSV library's tests.

Standard input starts with a line naming the task; the answer goes to standard output.
Tables travel as text: one line per row, each field written as "h" followed by its UTF-8 bytes
in hex (so an empty field is "h" and a row without fields is an empty line), and a line "#"
after each table. CSV texts travel one per line, hex-coded.

  read    the lines are CSV texts: parse each, answer the tables
  write   the lines are tables, each preceded by a line "@ TERMINATOR QUOTING"
          (crlf|lf|cr, minimal|all): write each as CSV, answer the texts
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


def read(lines, dst):
    for line in lines:
        text = bytes.fromhex(line.strip()).decode("utf-8", "surrogateescape")
        for row in csv.reader(io.StringIO(text, newline="")):
            dst.write(" ".join(encode(f) for f in row) + "\n")
        dst.write("#\n")


def write(lines, dst):
    out, writer = None, None
    for line in lines:
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
    task = sys.stdin.readline().strip()
    {"read": read, "write": write}[task](sys.stdin, sys.stdout)
