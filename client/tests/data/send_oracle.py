# Python's codecs as the independent answer for the send page's bytes. One request per line:
# "codec ending hex-of-utf8-text"; the answer is "ok hex-of-bytes", or "err line column" for the
# first character the codec refuses (both counted from 1, columns in characters). Each answer is
# flushed: a test reads them one at a time through a pipe, where Python would otherwise hold them.
import re
import sys

ENDINGS = {"crlf": "\r\n", "lf": "\n", "cr": "\r", "none": ""}

for request in sys.stdin:
    codec, ending, hexed = request.rstrip("\n").split(" ")
    text = bytes.fromhex(hexed).decode("utf-8")
    lines = re.split(r"\r\n|\r|\n", text)
    refused = None
    for number, line in enumerate(lines, 1):
        for column, char in enumerate(line, 1):
            try:
                char.encode(codec)
            except UnicodeEncodeError:
                refused = (number, column)
                break
        if refused:
            break
    if refused:
        print("err %d %d" % refused, flush=True)
    else:
        print("ok " + ENDINGS[ending].join(lines).encode(codec).hex(), flush=True)
