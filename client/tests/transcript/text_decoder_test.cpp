#include "transcript/text_decoder.hpp"

#include "../../../test_support/python_oracle.hpp"
#include "support/temp_dir.hpp"
#include "transcript/transcript_render.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <string>
#include <vector>

namespace tarvotcpc {
namespace {

struct Codec {
    Encoding encoding;
    const char *python;
};
const Codec kCodecs[] = {{Encoding::Utf8, "utf-8"},
                         {Encoding::ShiftJis, "cp932"},
                         {Encoding::EucJp, "euc_jp"},
                         {Encoding::Iso2022Jp, "iso2022_jp"},
                         {Encoding::Latin1, "latin-1"}};

// Where glibc and Python's codecs are known to disagree, as (Python's unit -> glibc's unit) over a
// run of bytes. Python's answers are mapped to glibc's before comparing.
struct Difference {
    Encoding encoding;
    unsigned first, last; // the bytes
    char python, glibc;   // 'c': decoded to the character of the same number; 'x': invalid byte
    char32_t pythonBase;  // what Python decodes `first` to, when it does
};
const Difference kDifferences[] = {
    // Microsoft's table gives these single bytes characters (U+0080 and private use); glibc's
    // CP932 rejects them.
    {Encoding::ShiftJis, 0x80, 0x80, 'c', 'x', 0x80},
    {Encoding::ShiftJis, 0xA0, 0xA0, 'c', 'x', 0xF8F0},
    {Encoding::ShiftJis, 0xFD, 0xFF, 'c', 'x', 0xF8F1},
    // glibc's EUC-JP passes lone C1 bytes on as C1 controls; Python rejects them.
    {Encoding::EucJp, 0x80, 0x8D, 'x', 'c', 0},
    {Encoding::EucJp, 0x90, 0x9F, 'x', 'c', 0},
};
// Not compared, and so not produced by the damage below:
// - Encoding, where glibc's CP932 takes U+00A5 YEN SIGN, U+203E OVERLINE and U+2014 EM DASH, which
//   Python refuses.
// - An ISO-2022-JP ESC that starts no designation: glibc passes it on as the control U+001B and
//   goes on in the current set; Python rejects it or, in a two-byte set, handles the next byte
//   its own way. (Decoder.StrayEscapeShowsAsAControl pins down what glibc does.)

std::string Token(const Unit &u) {
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, u.kind == UnitKind::Invalid ? "x%02x" : "c%x",
                  unsigned(u.codepoint));
    return buffer;
}

std::string PythonTokens(Encoding encoding, const std::string &answer) {
    std::string out;
    std::size_t i = 0;
    while (i < answer.size()) {
        std::size_t end = answer.find(' ', i);
        if (end == std::string::npos) end = answer.size();
        std::string token = answer.substr(i, end - i);
        const unsigned value = unsigned(std::stoul(token.substr(1), nullptr, 16));
        for (const Difference &d : kDifferences) {
            if (d.encoding != encoding || token[0] != d.python) continue;
            const unsigned byte = d.python == 'c' ? value - d.pythonBase + d.first : value;
            if (byte < d.first || byte > d.last) continue;
            char mapped[16];
            std::snprintf(mapped, sizeof mapped, d.glibc == 'x' ? "x%02x" : "c%x", byte);
            token = mapped;
        }
        out += (out.empty() ? "" : " ") + token;
        i = end + 1;
    }
    return out;
}

// Random text from the scripts a Japanese peer sends, with Latin-1 letters and an emoji mixed in.
std::string RandomText(std::mt19937 &rng) {
    const std::pair<char32_t, char32_t> ranges[] = {
        {0x20, 0x7E},     {0x20, 0x7E},     {0x0A, 0x0D},       {0xA0, 0xFF},
        {0x3041, 0x3096}, {0x30A1, 0x30F6}, {0x4E00, 0x9FA0},   {0xFF61, 0xFF9F},
        {0x2010, 0x2030}, {0xFF01, 0xFF5E}, {0x1F600, 0x1F64F}, {0x0391, 0x03C9}};
    std::string text;
    const int n = 1 + int(rng() % 120);
    for (int i = 0; i < n; ++i) {
        const auto &r = ranges[rng() % std::size(ranges)];
        AppendUtf8(text, r.first + char32_t(rng() % (r.second - r.first + 1)));
    }
    return text;
}

// Whether a byte put in or taken out at `at` would break an ISO-2022-JP escape sequence.
bool InsideEscape(const std::string &bytes, std::size_t at) {
    return (at >= 1 && bytes[at - 1] == 0x1B) || (at >= 2 && bytes[at - 2] == 0x1B);
}

// Damages encoded bytes the ways a peer or a cut does: stray high bytes, a byte dropped from a
// character, an escape sequence cut short, a control byte, the end cut inside a character.
std::string Damage(std::mt19937 &rng, std::string bytes, Encoding encoding) {
    const bool iso = encoding == Encoding::Iso2022Jp;
    const int n = int(rng() % 4);
    for (int i = 0; i < n && !bytes.empty(); ++i) {
        const std::size_t at = rng() % bytes.size();
        if (iso && (InsideEscape(bytes, at) || bytes[at] == 0x1B)) continue;
        switch (rng() % 4) {
        case 0:
            bytes.insert(at, 1, char(0x80 + rng() % 0x80));
            break;
        case 1:
            bytes.erase(at, 1);
            break;
        case 2:
            if (!iso) bytes.insert(at, rng() % 2 ? "\x1b$" : "\x1b(");
            break;
        default:
            bytes.insert(at, 1, char(rng() % 0x20));
        }
    }
    if (rng() % 4 == 0 && bytes.size() > 1) bytes.pop_back();
    return bytes;
}

// Decodes with random cuts between feeds, and once in the middle hands over to a fresh decoder
// through the saved state, as a block boundary does.
std::string DecodeInPieces(Encoding encoding, const std::string &bytes, std::mt19937 &rng) {
    std::vector<Unit> units;
    auto decoder = std::make_unique<Decoder>(encoding);
    const std::size_t handOver = bytes.empty() ? 0 : rng() % bytes.size();
    bool handed = false;
    for (std::size_t at = 0; at < bytes.size();) {
        const std::size_t n = std::min(bytes.size() - at, std::size_t(1 + rng() % 7));
        decoder->Feed(std::string_view(bytes).substr(at, n), at, units);
        at += n;
        if (!handed && at >= handOver) {
            handed = true;
            const DecoderState state = decoder->State();
            decoder = std::make_unique<Decoder>(encoding);
            decoder->Restore(state, at);
        }
    }
    decoder->Finish(units);
    std::string tokens;
    uint64_t expectedOffset = 0;
    for (const Unit &u : units) {
        EXPECT_EQ(u.offset, expectedOffset) << "units cover the bytes in order";
        expectedOffset = u.offset + u.length;
        if (u.kind == UnitKind::Shift) continue;
        tokens += (tokens.empty() ? "" : " ") + Token(u);
    }
    EXPECT_EQ(expectedOffset, bytes.size());
    return tokens;
}

TEST(Decoder, AgreesWithPythonOnRandomTextCutAnywhereWithInvalidBytes) {
    const std::string script = TARVOTCPC_TEST_DATA "/codec_oracle.py";
    std::mt19937 rng(2024);
    std::vector<std::string> texts, requests;
    for (const Codec &codec : kCodecs)
        for (int i = 0; i < 60; ++i) {
            texts.push_back(RandomText(rng));
            requests.push_back(std::string("E ") + codec.python + " " +
                               oracle::to_hex(texts.back()));
        }
    const auto encoded = oracle::ask_python(script, requests);
    if (encoded.size() != requests.size()) GTEST_SKIP() << "python3 cannot be run";

    std::vector<std::string> inputs;
    requests.clear();
    for (std::size_t i = 0; i < encoded.size(); ++i) {
        const Codec &codec = kCodecs[i / 60];
        inputs.push_back(i % 60 < 10 ? oracle::from_hex(encoded[i])
                                     : Damage(rng, oracle::from_hex(encoded[i]), codec.encoding));
        requests.push_back(std::string("D ") + codec.python + " " + oracle::to_hex(inputs.back()));
    }
    const auto decoded = oracle::ask_python(script, requests);
    ASSERT_EQ(decoded.size(), requests.size());
    for (std::size_t i = 0; i < inputs.size(); ++i) {
        const Codec &codec = kCodecs[i / 60];
        EXPECT_EQ(DecodeInPieces(codec.encoding, inputs[i], rng),
                  PythonTokens(codec.encoding, decoded[i]))
            << codec.python << " " << oracle::to_hex(inputs[i]);
    }
}

TEST(Decoder, CharacterSplitBetweenFeedsComesOutWhole) {
    Decoder d(Encoding::Utf8);
    std::vector<Unit> units;
    d.Feed("a\xE3", 0, units);
    EXPECT_EQ(units.size(), 1u);
    d.Feed("\x81", 2, units);
    d.Feed("\x82z\xE3\x81", 3, units);
    d.Finish(units);
    const std::vector<Unit> expected = {{0, U'a', 1, UnitKind::Char},
                                        {1, U'\u3042', 3, UnitKind::Char},
                                        {4, U'z', 1, UnitKind::Char},
                                        {5, 0xE3, 1, UnitKind::Invalid},
                                        {6, 0x81, 1, UnitKind::Invalid}};
    EXPECT_EQ(units, expected);
}

TEST(Decoder, StrayEscapeShowsAsAControl) {
    Decoder d(Encoding::Iso2022Jp);
    std::vector<Unit> units;
    d.Feed("\x1b$B\x24\x22\x1b(Z\x1b(Ba", 0, units);
    d.Finish(units);
    const std::vector<Unit> expected = {
        {0, 0x1B, 3, UnitKind::Shift},   {3, U'\u3042', 2, UnitKind::Char},
        {5, 0x1B, 1, UnitKind::Char},    {6, 0x28, 1, UnitKind::Invalid},
        {7, 0x5A, 1, UnitKind::Invalid}, {8, 0x1B, 3, UnitKind::Shift},
        {11, U'a', 1, UnitKind::Char}};
    EXPECT_EQ(units, expected);
}

// The character index against a plain decode of the whole received stream, on a transcript
// with sent chunks woven in and the file store in use.
TEST(CharIndex, CountsAndFindsCharactersLikeAPlainDecode) {
    std::mt19937 rng(5);
    testing::TempDir dir;
    for (const Codec &codec : kCodecs) {
        TranscriptOptions options;
        options.directory = dir.Path();
        options.memoryLimit = 50000;
        Transcript t(options);
        std::string received;
        std::vector<uint64_t> where; // transcript offset of each received byte
        // Bytes that are mostly valid in every encoding here, with stray high bytes.
        const std::string alphabet = "ab\r\n\x1b$B\x1b(B\x82\xa0\xe3\x81\x82\xa4\xa2\xff";
        while (t.Size() < 300000) {
            const bool sent = rng() % 5 == 0;
            std::string piece(1 + rng() % 5000, 0);
            for (auto &c : piece)
                c = alphabet[rng() % alphabet.size()];
            if (!sent) {
                for (std::size_t i = 0; i < piece.size(); ++i)
                    where.push_back(t.Size() + i);
                received += piece;
            }
            ASSERT_EQ(t.Append(sent ? Direction::Sent : Direction::Received, piece.data(),
                               piece.size(), 0),
                      0);
        }
        Decoder plain(codec.encoding);
        std::vector<Unit> units;
        plain.Feed(received, 0, units);
        std::vector<uint64_t> starts; // transcript offsets of the shown units, in order
        for (const Unit &u : units)
            if (u.kind != UnitKind::Shift) starts.push_back(where[u.offset]);

        CharIndex index(t, codec.encoding, Shown::Received);
        index.Advance(t.Size() / 3);
        const uint64_t reached = index.Reached();
        for (int k = 0; k < 40; ++k) {
            const std::size_t i = rng() % starts.size();
            const uint64_t at = starts[i];
            const auto quick = index.CharsBefore(at);
            EXPECT_EQ(quick.has_value(), at <= index.Reached());
            if (quick) {
                EXPECT_EQ(*quick, i) << codec.python;
            }
            if (at > reached) {
                const uint64_t guess = index.CharsBeforeApprox(at);
                EXPECT_NEAR(double(guess), double(i), double(starts.size()) / 4);
            }
        }
        for (int k = 0; k < 40; ++k) {
            const std::size_t i = rng() % starts.size();
            EXPECT_EQ(index.OffsetOfChar(i), starts[i]) << codec.python << " " << i;
            EXPECT_EQ(index.CharsBeforeExact(starts[i]), i) << codec.python;
        }
        // What the view draws for a range between two units: exactly those units, whatever the
        // range cuts, from the exact state at its start.
        for (int k = 0; k < 20; ++k) {
            const std::size_t a = rng() % starts.size();
            const std::size_t b = std::min(starts.size() - 1, a + rng() % 3000);
            const auto drawn = DecodeRange(t, codec.encoding, Shown::Received, starts[a], starts[b],
                                           index.StateAt(starts[a]));
            std::vector<uint64_t> drawnStarts;
            for (const Unit &u : drawn)
                if (u.kind != UnitKind::Shift) drawnStarts.push_back(u.offset);
            EXPECT_EQ(drawnStarts, std::vector<uint64_t>(starts.begin() + std::ptrdiff_t(a),
                                                         starts.begin() + std::ptrdiff_t(b)))
                << codec.python;
        }
        while (!index.Advance(100000)) {
        }
        EXPECT_EQ(index.CharsBeforeExact(t.Size()), starts.size());
        t.Clear();
        EXPECT_EQ(index.CharsBeforeExact(0), 0u);
        EXPECT_TRUE(index.Advance(0));
    }
}

} // namespace
} // namespace tarvotcpc
