// Markers "%name%" in the text to send, replaced at send time by libvornhash's VornExpandHash over
// a record of their values, so that the library's own rules decide every byte:
//
//  - a marker's name is the text up to the next "%", matched byte for byte (case counts);
//  - a value is never scanned again, so a value holding "%host%" goes out as typed;
//  - "%%" is the record's unnamed cell, which holds "%": the way to write a literal "%" in front of
//    a name ("%%host%" sends "%host%");
//  - a "%" that begins no marker stays and the scan goes on with the next character, so in
//    "%nosuch%host%" the second "%" begins "%host%".
//
// The names: the user's variables (the settings file's own section); host and port of the
// connection's other end; date, time (local; "date:yyyy-MM-dd" and "time:HH:mm:ss.zzz" take a
// format of their own), unixtime, counter (this send's number on the connection, from 1), random
// (0 to 4294967295), bodylength (the bytes after the first empty line, as they go out), and
// "?name", whose value the user is asked for at send time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "text/send_encoding.hpp"

namespace tarvotcpc {

// What the names stand for at one send.
struct PlaceholderValues {
    // The user's variables in their order; a name that is also a built-in one gives way to it.
    std::vector<std::pair<std::string, std::string>> variables;
    std::string host;
    int32_t port = 0;
    uint64_t counter = 0;
    int64_t timeUs = 0; // wall clock, microseconds since the epoch
    uint32_t random = 0;
    // The answers for "%?name%", by name without the "?".
    std::map<std::string, std::string> answers;
};

// What a text's markers come to, found by the scan VornExpandHash makes.
struct PlaceholderScan {
    // Names without "?" whose value is asked for, each once, in order of first use.
    std::vector<std::string> asked;
    // Markers that stay as typed ("%nosuch%"), each once, in order; only what looks like a name
    // (letters, digits, "_-.:?" and non-ASCII) counts, so that "100% and 50%" is no marker.
    std::vector<std::string> unknown;
};
PlaceholderScan ScanPlaceholders(std::string_view text, const PlaceholderValues &values);

// The text with its markers replaced, through VornExpandHash; bodyLength stands for
// "%bodylength%". An answer missing for a "%?name%" leaves that marker as typed.
struct Expanded {
    bool ok = false;
    std::string text;
    std::string error;       // a Japanese sentence: the text or a value too large for the library
    bool bodyLength = false; // "%bodylength%" was replaced
};
Expanded ExpandPlaceholders(std::string_view text, const PlaceholderValues &values,
                            std::string_view bodyLength);

// The bytes that follow the first empty line of bytes (a line break right after a line break or
// at the very start; breaks are CRLF, LF or a lone CR), or none without one.
std::string_view BodyAfterEmptyLine(std::string_view bytes);

// What goes out for the send page's text: the markers replaced when values are given (none: the
// text as typed, "%" and all), then encoding, line ending and escapes as EncodeForSend makes
// them. "%bodylength%" is the length of the body of these very bytes, worked out again until it
// holds when it stands in the body itself. A refusal's place names the text after replacing.
struct PreparedSend {
    SendBytes bytes;
    std::string text; // what was encoded
    PlaceholderScan scan;
};
PreparedSend PrepareSend(std::string_view pageText, const PlaceholderValues *values,
                         SendEncoding encoding, LineEnding ending, bool escapes);

// Why name cannot be a user's variable, or empty: it must be 1 to 63 bytes without "%", "=", a
// line break, blanks at its ends or a leading "?", ";" or "[", and not a built-in name.
std::string VariableNameProblem(std::string_view name);

// The user's message before a send with markers that stay as typed: names them.
std::string UnknownMarkersText(const std::vector<std::string> &unknown);

// The local day and time of timeUs in format, whose letters yyyy yy MM M dd d HH H mm m ss s zzz
// stand for year, month, day, hour, minute, second and millisecond (the doubled ones with leading
// zeros); any other character stands for itself.
std::string FormatLocalTime(std::string_view format, int64_t timeUs);

} // namespace tarvotcpc
