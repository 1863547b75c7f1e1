// The bulk UTF-8 count against the decoder's iconv path, which it must match unit for unit: the
// character index mixes both (counts in bulk, draws and settles held bytes through iconv).
#include "transcript/text_decoder.hpp"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace tarvotcpc {
namespace {

struct Outcome {
    std::vector<uint64_t> counts; // per piece
    DecoderState state;           // after the last piece
    bool operator==(const Outcome &) const = default;
};

// Counts the pieces one character at a time through iconv or in bulk, handing over to a
// fresh decoder through the saved state after piece `handOver`, as a block boundary does.
Outcome Run(const std::string &bytes, const std::vector<std::size_t> &cuts, bool bulk,
            std::size_t handOver) {
    Outcome outcome;
    auto decoder = std::make_unique<Decoder>(Encoding::Utf8);
    std::size_t at = 0;
    for (std::size_t i = 0; i <= cuts.size(); ++i) {
        const std::size_t to = i < cuts.size() ? cuts[i] : bytes.size();
        const std::string_view piece = std::string_view(bytes).substr(at, to - at);
        outcome.counts.push_back(bulk ? decoder->Count(piece, at) : decoder->CountEach(piece, at));
        at = to;
        if (i == handOver) {
            const DecoderState state = decoder->State();
            decoder = std::make_unique<Decoder>(Encoding::Utf8);
            decoder->Restore(state, at);
        }
    }
    outcome.state = decoder->State();
    return outcome;
}

void ExpectSame(const std::string &bytes, const std::vector<std::size_t> &cuts,
                std::size_t handOver = std::size_t(-1)) {
    const Outcome slow = Run(bytes, cuts, false, handOver), fast = Run(bytes, cuts, true, handOver);
    if (slow == fast) return;
    std::string hex;
    for (unsigned char c : bytes) {
        static const char digits[] = "0123456789abcdef";
        hex += digits[c >> 4];
        hex += digits[c & 15];
        hex += ' ';
    }
    std::string where;
    for (std::size_t c : cuts)
        where += std::to_string(c) + " ";
    ADD_FAILURE() << "bytes " << hex << "cut at " << where;
}

// Every sequence of up to four bytes drawn from the bytes where UTF-8's rules change (lead
// classes, the edges of continuation ranges that make overlongs, surrogates and code points past
// U+10FFFF), whole, and up to three bytes also cut at every place.
TEST(Utf8Count, MatchesIconvOnEveryShortSequenceOfEdgeBytes) {
    const unsigned char edges[] = {0x41, 0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xBF, 0xC0, 0xC1, 0xC2, 0xDF,
                                   0xE0, 0xED, 0xEF, 0xF0, 0xF4, 0xF5, 0xF8, 0xFC, 0xFE, 0xFF};
    const std::size_t n = std::size(edges);
    Decoder slow(Encoding::Utf8), fast(Encoding::Utf8);
    const auto same = [&](std::string_view bytes, std::size_t cut) {
        slow.Restore({}, 0);
        fast.Restore({}, 0);
        const uint64_t a = slow.CountEach(bytes.substr(0, cut), 0),
                       b = fast.Count(bytes.substr(0, cut), 0);
        const uint64_t c = slow.CountEach(bytes.substr(cut), cut),
                       d = fast.Count(bytes.substr(cut), cut);
        return a == b && c == d && slow.State() == fast.State();
    };
    std::string bytes;
    for (std::size_t length = 1; length <= 4; ++length) {
        std::size_t total = 1;
        for (std::size_t k = 0; k < length; ++k)
            total *= n;
        for (std::size_t code = 0; code < total; ++code) {
            bytes.clear();
            for (std::size_t k = 0, c = code; k < length; ++k, c /= n)
                bytes += char(edges[c % n]);
            for (std::size_t cut = length < 4 ? 0 : length; cut <= length; ++cut)
                if (!same(bytes, cut)) return ExpectSame(bytes, {cut}, 0);
        }
    }
}

// Long hostile input (valid characters of every length among ASCII runs, truncated, overlong,
// surrogate and out-of-range sequences, old five- and six-byte forms, stray bytes) in random
// pieces, with a hand-over through the saved state.
TEST(Utf8Count, MatchesIconvOnHostileTextInRandomPieces) {
    std::mt19937 rng(99);
    const std::vector<std::string> kinds = {"plain ascii text that runs past sixteen bytes ",
                                            "\xC3\xBC",
                                            "\xE5\x8F\x97",
                                            "\xF0\x9F\x98\x80",
                                            "\xE5\x8F",
                                            "\xF0\x9F\x98",
                                            "\xC0\xAF",
                                            "\xE0\x80\xAF",
                                            "\xF0\x80\x80\xAF",
                                            "\xED\xA0\x80",
                                            "\xED\xBF\xBF",
                                            "\xF4\x90\x80\x80",
                                            "\xF5\x80\x80\x80",
                                            "\xF8\x88\x80\x80\x80",
                                            "\xFC\x84\x80\x80\x80\x80",
                                            "\xFE",
                                            "\xFF",
                                            "\x80",
                                            "\xBF\xBF",
                                            "\r\n",
                                            "\xEF\xBB\xBF",
                                            "\xF4\x8F\xBF\xBF",
                                            "\xE0\xA0\x80",
                                            "\xEE\x80\x80"};
    for (int round = 0; round < 3000; ++round) {
        std::string bytes;
        const int parts = 1 + int(rng() % 40);
        for (int i = 0; i < parts; ++i) {
            const std::string &kind = kinds[rng() % kinds.size()];
            bytes += rng() % 8 == 0 ? kind.substr(0, rng() % (kind.size() + 1)) : kind;
        }
        std::vector<std::size_t> cuts;
        for (std::size_t at = 0; bytes.size() > 1;) {
            at += 1 + rng() % (rng() % 2 ? 5 : 60);
            if (at >= bytes.size()) break;
            cuts.push_back(at);
        }
        ExpectSame(bytes, cuts, cuts.empty() ? 0 : rng() % cuts.size());
        if (::testing::Test::HasFailure()) return;
    }
}

} // namespace
} // namespace tarvotcpc
