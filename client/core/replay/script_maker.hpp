// A script made from a record, to run the exchange again: each send as send_bytes with its exact
// bytes, each answer's first line as an expect before the next send, a connect where each
// connection began and starttls where the record switched. The user reads and edits it before it
// runs; docs/scripts.md says what it holds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "saves/saving.hpp"
#include "text/send_encoding.hpp"

namespace tarvotcpc {

// Where a connection of the record went.
struct ScriptTarget {
    std::string host;
    int32_t port = 0;
    bool tls = false;
};

struct ScriptMakerOptions {
    // Where connection `connection` of the record went; none for one this side did not make (a
    // peer that connected to a listening side) or whose destination is not known.
    std::function<std::optional<ScriptTarget>(uint64_t connection)> target;
    // Received bytes are decoded from it for expect, as a script sees them.
    SendEncoding encoding = SendEncoding::Utf8;
    // The longest first line an expect waits for, in bytes; a longer one is cut there.
    std::size_t longestExpect = 200;
};

std::string ScriptFromRecord(const SavedTranscript &record, const ScriptMakerOptions &options);

// A Lua string literal of exactly these bytes: printable ASCII as it is, \r \n \t \" \\ and \xNN
// for every other byte; after each \n escape the literal goes on on the next line (\z), indented
// by `indent` spaces.
std::string LuaLiteral(std::string_view bytes, std::size_t indent = 0);

} // namespace tarvotcpc
