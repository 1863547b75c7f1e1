// Byte-string rules shared by the client's dialogs and pages. Texts are UTF-8 by convention but
// may hold any bytes; nothing here ever fails on invalid UTF-8.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace tarvotcpc {

// The length of the longest prefix of text of at most maxBytes bytes that does not end inside a
// UTF-8 character. Bytes that do not form valid UTF-8 count one by one.
std::size_t Utf8CutLength(std::string_view text, std::size_t maxBytes);
std::string Utf8Cut(std::string_view text, std::size_t maxBytes);

// An optional sign, then decimal digits up to the first other byte; no digits gives 0. Wraps like
// 32-bit arithmetic. Leading blanks are not skipped.
int32_t ParseDecimal(std::string_view text);

// Equality with ASCII letters folded; bytes from 0x80 on compare as they are.
bool EqualsIgnoringAsciiCase(std::string_view a, std::string_view b);

// Every line break (CRLF, a lone CR or a lone LF) as CRLF: the form in which text goes on the wire
// and into stored templates.
std::string ToCrlf(std::string_view text);

// Every line break as LF: the form in which the pages hold text.
std::string ToLf(std::string_view text);

// Turns the received byte stream, which arrives in pieces cut anywhere, into text for the receive
// page: CR, LF and CRLF each become one LF even when a CRLF is split between two pieces, NUL bytes
// are left out, and a UTF-8 character split between two pieces is held back until it is whole.
class ReceivedText {
  public:
    std::string Feed(std::string_view bytes);
    // What is still held back (the start of a character that never completed), as it came.
    std::string Flush();

  private:
    bool afterCr_ = false;
    std::string held_;
};

} // namespace tarvotcpc
