# Python's codecs as an independent decoder for the transcript tests. One request per line:
#   E <codec> <hex of UTF-8 text>  ->  hex of the text encoded (characters the codec lacks skipped)
#   D <codec> <hex of bytes>       ->  space-separated units: c<codepoint hex> or x<invalid byte hex>
# An invalid byte is one unit and decoding goes on at the next byte.
import codecs
import sys


def one_byte(err):
    return ("\U000F0000" + chr(0xF0100 + err.object[err.start]), err.start + 1)


codecs.register_error("onebyte", one_byte)

for line in sys.stdin:
    verb, codec, data = (line.rstrip("\n").split(" ") + ["", ""])[:3]
    raw = bytes.fromhex(data)
    if verb == "E":
        print(raw.decode("utf-8").encode(codec, "ignore").hex(), flush=True)
        continue
    text = raw.decode(codec, "onebyte")
    units = []
    i = 0
    while i < len(text):
        if text[i] == "\U000F0000":
            units.append("x%02x" % (ord(text[i + 1]) - 0xF0100))
            i += 2
        else:
            units.append("c%x" % ord(text[i]))
            i += 1
    print(" ".join(units), flush=True)
