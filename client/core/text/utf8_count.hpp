// Counting what the receive page shows of UTF-8 bytes without decoding them one by one: the
// character index has to keep up with a socket flood, and iconv called per character reaches
// barely a tenth of that.
//
// The units are those of transcript/text_decoder's Decoder over glibc's iconv, exactly: a
// well-formed character is one unit (no overlong forms, no surrogates, nothing past U+10FFFF),
// every other byte one invalid unit. The bytes at the end that glibc would still wait on (a lead
// byte followed only by continuation bytes, fewer than its length, including the old five- and
// six-byte leads F8-FD) are left uncounted, for the caller to hold until more bytes come.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace tarvotcpc {

struct Utf8Count {
    uint64_t units = 0;
    std::size_t used = 0; // bytes counted; bytes.size() - used (at most 5) wait for more
};

Utf8Count CountUtf8Units(std::string_view bytes);

} // namespace tarvotcpc
