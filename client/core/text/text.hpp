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

// What the receive page shows for a NUL byte, and at the end of a piece of a very long line that
// is carried on in the next line of the page.
inline constexpr char kNulSymbol[] = "\xE2\x90\x80";        // U+2400 SYMBOL FOR NULL
inline constexpr char kDisplayBreakMark[] = "\xE2\x86\xB5"; // U+21B5, then a line break
// Lines of the receive page are cut after this many bytes: an edit control's work for each
// insertion grows with the length of the line it lands in.
inline constexpr std::size_t kDisplayLineLimit = 4096;

// Turns the received byte stream, which arrives in pieces cut anywhere, into text for the receive
// page: CR, LF and CRLF each become one LF even when a CRLF is split between two pieces, a NUL
// byte shows as kNulSymbol, a UTF-8 character split between two pieces is held back until it is
// whole, and a run of more than kDisplayLineLimit bytes without a line break is cut, between two
// characters, with kDisplayBreakMark and an LF. Whatever the cuts between pieces, the text is the
// same.
class ReceivedText {
  public:
    std::string Feed(std::string_view bytes);
    // What is still held back (the start of a character that never completed), as it came.
    std::string Flush();

  private:
    bool afterCr_ = false;
    std::size_t column_ = 0; // bytes since the last line break of the page, held bytes included
    std::string held_;
};

} // namespace tarvotcpc
