# Python's codecs as the independent answer for the send page's bytes. One request per line:
# "codec ending hex-of-utf8-text"; the answer is "ok hex-of-bytes", or "err line column" for the
# first character the codec refuses (both counted from 1, columns in characters). Each answer is
# flushed: a test reads them one at a time through a pipe, where Python would otherwise hold them.
#
# "ph codec ending hex-of-utf8-text hex-of-json-values" asks for the page with its %name% markers
# replaced first, by the rules libvornhash documents for VornExpandHash (at each "%" the cells are
# tried in order; a marker is "%" key "%"; a value is not scanned again; a "%" that begins no
# marker stays and the scan goes on after it; the unnamed cell, "%%", holds "%"), with the
# client's names: the values' "vars" (pairs), host, port, counter, random, unixtime, date and time
# from "time_us" (local time; "date:FORMAT", "time:FORMAT"), "?NAME" from "answers", and
# bodylength, the bytes after the first empty line of the encoded result, worked out again until
# it holds. The answer is "ok hex-of-bytes" or "err".
import json
import re
import sys
import time

ENDINGS = {"crlf": "\r\n", "lf": "\n", "cr": "\r", "none": ""}
BUILTINS = ["host", "port", "date", "time", "unixtime", "counter", "random", "bodylength"]
TOKENS = [("yyyy", "%04d", "year"), ("yy", "%02d", "yy"), ("MM", "%02d", "mon"), ("M", "%d", "mon"),
          ("dd", "%02d", "day"), ("d", "%d", "day"), ("HH", "%02d", "hour"), ("H", "%d", "hour"),
          ("mm", "%02d", "min"), ("m", "%d", "min"), ("ss", "%02d", "sec"), ("s", "%d", "sec"),
          ("zzz", "%03d", "ms")]


def encode(text, codec, ending):
    return ENDINGS[ending].join(re.split(r"\r\n|\r|\n", text)).encode(codec)


def local_time(fmt, time_us):
    t = time.localtime(time_us // 1000000)
    parts = {"year": t.tm_year, "yy": t.tm_year % 100, "mon": t.tm_mon, "day": t.tm_mday,
             "hour": t.tm_hour, "min": t.tm_min, "sec": t.tm_sec, "ms": (time_us % 1000000) // 1000}
    out, i = "", 0
    while i < len(fmt):
        for letters, form, part in TOKENS:
            if fmt.startswith(letters, i):
                out += form % parts[part]
                i += len(letters)
                break
        else:
            out += fmt[i]
            i += 1
    return out


def usable(name):
    return (name and len(name.encode()) <= 63 and not re.search(r"[%=\r\n\0]", name)
            and name == name.strip(" \t") and name[0] not in "?;[" and name not in BUILTINS
            and not name.startswith(("date:", "time:")))


def cells_for(text, values, body):
    cells = {}
    for name, value in values["vars"]:
        if usable(name) and name not in cells:
            cells[name] = value
    cells.update({"host": values["host"], "port": str(values["port"]),
                  "date": local_time("yyyy-MM-dd", values["time_us"]),
                  "time": local_time("HH:mm:ss", values["time_us"]),
                  "unixtime": str(values["time_us"] // 1000000), "counter": str(values["counter"]),
                  "random": str(values["random"]), "bodylength": body, "": "%"})
    for name in re.findall(r"(?=%([^%]*)%)", text):
        if name.startswith(("date:", "time:")):
            cells[name] = local_time(name[5:] or ("yyyy-MM-dd" if name[0] == "d" else "HH:mm:ss"),
                                     values["time_us"])
        elif name.startswith("?") and name[1:] in values["answers"]:
            cells[name] = values["answers"][name[1:]]
    return cells


def expand(text, cells):
    out, i = [], 0
    while i < len(text):
        if text[i] == "%":
            for key, value in cells.items():
                if text.startswith("%" + key + "%", i):
                    out.append(value)
                    i += len(key) + 2
                    break
            else:
                out.append("%")
                i += 1
        else:
            out.append(text[i])
            i += 1
    return "".join(out)


def body_after_empty_line(data):
    line_start, i = 0, 0
    while i < len(data):
        if data[i] in b"\r\n":
            length = 2 if data[i:i + 2] == b"\r\n" else 1
            if i == line_start:
                return data[i + length:]
            i += length
            line_start = i
        else:
            i += 1
    return b""


def placeholders(codec, ending, text, values):
    body = "0"
    for _ in range(8):
        data = encode(expand(text, cells_for(text, values, body)), codec, ending)
        length = str(len(body_after_empty_line(data)))
        if length == body:
            return data
        body = length
    raise ValueError("no fixed point")


for request in sys.stdin:
    fields = request.rstrip("\n").split(" ")
    if fields[0] == "ph":
        _, codec, ending, hexed, hexed_values = fields
        try:
            data = placeholders(codec, ending, bytes.fromhex(hexed).decode("utf-8"),
                                json.loads(bytes.fromhex(hexed_values).decode("utf-8")))
            print("ok " + data.hex(), flush=True)
        except (UnicodeEncodeError, ValueError):
            print("err", flush=True)
        continue
    codec, ending, hexed = fields
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
