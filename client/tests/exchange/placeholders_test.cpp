// Placeholders at send time: random pages of markers, in every encoding and line ending, against
// Python's reading of the library's documented rules and its codecs; then what only the client
// decides (escapes in the body, NUL, the warning's names, variable names).
#include "exchange/placeholders.hpp"

#include "../../../test_support/python_oracle.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <string>
#include <vector>

namespace tarvotcpc {
namespace {

const SendEncoding kEncodings[] = {SendEncoding::Utf8, SendEncoding::ShiftJis, SendEncoding::EucJp,
                                   SendEncoding::Iso2022Jp, SendEncoding::Latin1};
const LineEnding kEndings[] = {LineEnding::Crlf, LineEnding::Lf, LineEnding::Cr, LineEnding::None};

std::string PythonCodec(SendEncoding encoding) {
    const char *codecs[] = {"utf-8", "cp932", "euc_jp", "iso2022_jp", "latin-1"};
    return codecs[static_cast<int>(encoding)];
}

std::string Json(const std::string &text) {
    std::string out = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(c));
            out += escaped;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

std::string Json(const PlaceholderValues &values) {
    std::string out = "{\"vars\": [";
    for (std::size_t i = 0; i < values.variables.size(); ++i)
        out += (i ? ", [" : "[") + Json(values.variables[i].first) + ", " +
               Json(values.variables[i].second) + "]";
    out += "], \"host\": " + Json(values.host) + ", \"port\": " + std::to_string(values.port) +
           ", \"counter\": " + std::to_string(values.counter) +
           ", \"random\": " + std::to_string(values.random) +
           ", \"time_us\": " + std::to_string(values.timeUs) + ", \"answers\": {";
    bool first = true;
    for (const auto &[name, value] : values.answers) {
        out += (first ? "" : ", ") + Json(name) + ": " + Json(value);
        first = false;
    }
    return out + "}}";
}

PlaceholderValues SomeValues() {
    PlaceholderValues values;
    // A name the built-ins take and one the library could not tell from text are left out.
    values.variables = {{"user", "太郎"},      {"mail", "a@b.example"}, {"host", "shadow"},
                        {"bad%name", "never"}, {"raw", "%host%"},       {"two", "x\ny"}};
    values.host = "::1";
    values.port = 8080;
    values.counter = 42;
    values.random = 4294967295u;
    values.timeUs = 1700000000123456;
    values.answers = {{"q", "答え"}, {"empty", ""}};
    return values;
}

// Pages built of markers of every kind, broken ones included, between text and line breaks.
std::string RandomPage(std::mt19937 &rng) {
    static const char *pieces[] = {"%",
                                   "%%",
                                   "%host%",
                                   "%port%",
                                   "%counter%",
                                   "%random%",
                                   "%unixtime%",
                                   "%date%",
                                   "%time%",
                                   "%date:yyyy-MM-dd HH:mm:ss.zzz%",
                                   "%time:H.m.s%",
                                   "%bodylength%",
                                   "%user%",
                                   "%raw%",
                                   "%two%",
                                   "%?q%",
                                   "%?empty%",
                                   "%?missing%",
                                   "%nosuch%",
                                   "%bad%name%",
                                   "%Host%",
                                   "GET / HTTP/1.1",
                                   "a",
                                   "日本",
                                   "é",
                                   " ",
                                   "\n",
                                   "\r\n",
                                   "\n\n",
                                   "\r\n\r\n",
                                   ":",
                                   "?"};
    std::string page;
    const int length = static_cast<int>(rng() % 24);
    for (int k = 0; k < length; ++k)
        page += pieces[rng() % std::size(pieces)];
    return page;
}

TEST(Placeholders, EveryEncodingAndLineEndingGivesPythonsBytes) {
    std::mt19937 rng(2024);
    const PlaceholderValues values = SomeValues();
    const std::string valuesHex = oracle::to_hex(Json(values));
    struct Case {
        std::string page;
        SendEncoding encoding;
        LineEnding ending;
    };
    std::vector<Case> cases;
    std::vector<std::string> requests;
    const std::string post = "POST /form HTTP/1.1\nHost: [%host%]:%port%\nContent-Length: "
                             "%bodylength%\n\nn=%counter%&u=%user%&%%q%%=%?q%";
    for (const auto encoding : kEncodings)
        for (const auto ending : kEndings)
            for (int k = 0; k < 60; ++k) {
                cases.push_back({k == 0 ? post : RandomPage(rng), encoding, ending});
                requests.push_back("ph " + PythonCodec(encoding) + " " +
                                   std::string(FormatLineEnding(ending)) + " " +
                                   oracle::to_hex(cases.back().page) + " " + valuesHex);
            }
    const auto answers = oracle::ask_python(TARVOTCPC_TEST_DATA "/send_oracle.py", requests);
    ASSERT_EQ(answers.size(), cases.size()) << "python3 did not answer";
    int refused = 0;
    for (std::size_t k = 0; k < cases.size(); ++k) {
        const Case &c = cases[k];
        SCOPED_TRACE(PythonCodec(c.encoding) + " " + std::string(FormatLineEnding(c.ending)) +
                     " page " + oracle::to_hex(c.page));
        const PreparedSend got = PrepareSend(c.page, &values, c.encoding, c.ending, false);
        if (answers[k] == "err") {
            ++refused;
            EXPECT_FALSE(got.bytes.ok);
            continue;
        }
        ASSERT_TRUE(got.bytes.ok) << got.bytes.error;
        EXPECT_EQ(oracle::to_hex(got.bytes.bytes), answers[k].substr(3));
    }
    // The Japanese values and text are refused by Latin-1, and only there.
    EXPECT_GT(refused, 100);
    EXPECT_LT(refused, static_cast<int>(cases.size()) / 4);
}

TEST(Placeholders, WhatTheClientDecidesBesideTheLibrary) {
    PlaceholderValues values = SomeValues();
    const auto send = [&](std::string_view page, bool escapes = false) {
        return PrepareSend(page, &values, SendEncoding::Utf8, LineEnding::Crlf, escapes);
    };
    // Off: every "%" goes out as typed.
    EXPECT_EQ(
        PrepareSend("%host%%%", nullptr, SendEncoding::Utf8, LineEnding::Lf, false).bytes.bytes,
        "%host%%%");
    // The body is found in the bytes, so escaped line breaks count, and so does the body's own
    // length when it stands in the body.
    EXPECT_EQ(
        send("POST / HTTP/1.0\\r\\nContent-Length: %bodylength%\\r\\n\\r\\nab%bodylength%", true)
            .bytes.bytes,
        "POST / HTTP/1.0\r\nContent-Length: 3\r\n\r\nab3");
    EXPECT_EQ(send("x\n\n%bodylength%...%bodylength%......").bytes.bytes, "x\r\n\r\n13...13......");
    EXPECT_EQ(send("no body %bodylength%").bytes.bytes, "no body 0");
    // NUL ends a text for the library: each side of it is expanded on its own.
    EXPECT_EQ(send(std::string_view("%port%\0%port%", 13)).bytes.bytes, std::string("8080\0"
                                                                                    "8080",
                                                                                    9));
    // A value the encoding cannot carry names the place in the text as replaced.
    const PreparedSend latin =
        PrepareSend("a\n%user%", &values, SendEncoding::Latin1, LineEnding::Lf, false);
    ASSERT_FALSE(latin.bytes.ok);
    EXPECT_NE(latin.bytes.error.find("置き換え後の2行1列目"), std::string::npos)
        << latin.bytes.error;

    // What the scan tells before anything is sent: each name once, in order; "%" in prose is no
    // marker; an asked name counts as known.
    const PlaceholderScan scan =
        ScanPlaceholders("%b% %a% %b% 100% and 50% %?x%%?x% %?y% %bodylength%", values);
    EXPECT_EQ(scan.unknown, (std::vector<std::string>{"b", "a"}));
    EXPECT_EQ(scan.asked, (std::vector<std::string>{"x", "y"}));
    const std::string warning = UnknownMarkersText(scan.unknown);
    EXPECT_NE(warning.find("%b%、%a%"), std::string::npos) << warning;
    // Without its answer an asked marker stays as typed, and the scan goes on from its "%"
    // as the library's does: here the "%%" after it is the literal "%", and no length follows.
    values.answers.clear();
    EXPECT_EQ(send("[%?q%]").bytes.bytes, "[%?q%]");
    EXPECT_EQ(send("%?q%%bodylength%\n\nab").bytes.bytes, "%?q%bodylength%\r\n\r\nab");

    EXPECT_EQ(FormatLocalTime("yyyyMMdd'T'HHmmss", values.timeUs).size(), 17u);

    for (const char *bad : {"", "a=b", "a%b", "?a", "[a", ";a", " a", "host", "date:x",
                            "0123456789012345678901234567890123456789012345678901234567890123"})
        EXPECT_FALSE(VariableNameProblem(bad).empty()) << bad;
    for (const char *good : {"user", "ユーザー", "a.b-c_d", "hosts"})
        EXPECT_TRUE(VariableNameProblem(good).empty()) << good;
}

} // namespace
} // namespace tarvotcpc
