// Turning the send page's text into the exact bytes that go on the wire: the encoding, the line
// ending, and an escape mode for bytes that cannot be typed. A file loaded into the page that is
// not text in the chosen encoding is turned into the escape form, so that it goes out unchanged.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "text/encoding.hpp"

namespace tarvotcpc {

// The send page is written in any of the encodings the receive page reads.
using SendEncoding = Encoding;

// What each line break of the page becomes. None joins the lines: the page's breaks are sent as
// nothing, so that a long request can be laid out on several lines (and, in escape mode, line
// bytes are then exactly the \r and \n the user wrote). Nothing is ever added at the end of the
// text, whatever the choice: a page that should end with a line break ends with one.
enum class LineEnding { Crlf, Lf, Cr, None };

// The stored form of the option: "crlf", "lf", "cr", "none" (an encoding's is in its row of
// kEncodingTable). Parsing folds ASCII case; anything else gives nullopt (the caller keeps its
// default: CRLF, as the client always sent).
std::optional<LineEnding> ParseLineEnding(std::string_view stored);
std::string_view FormatLineEnding(LineEnding ending);

// The bytes to send, or why there are none. line and column count from 1; the column counts
// characters of the page, not bytes.
struct SendBytes {
    bool ok = false;
    std::string bytes;
    std::string error; // a Japanese sentence naming the place, for a message box
    std::size_t line = 0;
    std::size_t column = 0;
};

// The page's text (UTF-8; line breaks CRLF, CR or LF) as bytes. The literal text is encoded and
// its line breaks become the chosen ending; in escape mode \r \n \t \\ \0 and \xNN (two hex digits)
// give their byte as it stands, never encoded and never converted (\xA0 is the byte A0). For a
// stateful encoding (ISO-2022-JP) every stretch of literal text ends back in ASCII, so an escaped
// byte is never read as half of a kanji. The first character the encoding cannot carry, the first
// bad escape, or a byte of the page that is not UTF-8 makes the whole send fail: nothing is
// produced.
SendBytes EncodeForSend(std::string_view text, SendEncoding encoding, LineEnding ending,
                        bool escapeMode);

// What a file's bytes become in the send page.
struct PageTextForFile {
    // Text in the encoding (valid, no NUL, and encoding it again gives the very same bytes): text
    // holds it decoded, line breaks as LF (the page's own form); its backslashes are doubled when
    // escape mode is on, so they go out as backslashes.
    bool isText = false;
    // Otherwise the escape form: characters of the encoding that are printable stay text, tab,
    // CR, LF and backslash become \t \r \n \\, and every other byte becomes \xNN. Sent in escape
    // mode it gives back the file's bytes exactly, whatever the line ending: the form holds no
    // line break of its own, except that with the ending None each \n is followed by one (it sends
    // as nothing) to keep the page readable. For ISO-2022-JP only ASCII stays text.
    std::string text;
    // For a file that is not text: the question to put to the user before loading it this way
    // (escape mode must be switched on for it to be sent as the file's bytes).
    std::string notice;
};
PageTextForFile PageTextFromFile(std::string_view bytes, SendEncoding encoding, LineEnding ending,
                                 bool escapeMode);

// Bytes in the escape form above (what a file that is not text becomes), each escaped \n followed
// by a line break: every byte can be read off exactly, and the text still reads as lines.
std::string EscapedLines(std::string_view bytes, SendEncoding encoding);

} // namespace tarvotcpc
