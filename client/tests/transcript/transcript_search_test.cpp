// Search through a transcript against a plain scan of its bytes: the first match at or after the
// start, wrapping round, lying wholly in the shown directions, whatever the slices.
#include "transcript/transcript_search.hpp"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace tarvotcpc::ui {
namespace {

std::string Hex(const std::string &bytes) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (const char c : bytes) {
        out += digits[(static_cast<unsigned char>(c) >> 4) & 15];
        out += digits[static_cast<unsigned char>(c) & 15];
        out += ' ';
    }
    return out;
}

TEST(TranscriptSearch, FindsTheFirstShownMatchFromTheStartRoundTheEnd) {
    std::mt19937 rng(5);
    const std::vector<std::string> words = {"GET ", "あい", "\r\n", "OK", "x", "\xff", "漢字 "};
    for (int round = 0; round < 40; ++round) {
        Transcript t;
        std::string all;
        std::vector<bool> shown;
        const bool both = round % 4 == 0;
        while (all.size() < 3000) {
            std::string piece;
            for (int k = 1 + int(rng() % 6); k > 0; --k)
                piece += words[rng() % words.size()];
            const auto d = rng() % 3 == 0 ? Direction::Sent : Direction::Received;
            ASSERT_EQ(t.Append(d, piece.data(), piece.size(), int64_t(all.size())), 0);
            all += piece;
            shown.insert(shown.end(), piece.size(), both || d == Direction::Received);
        }
        TranscriptLayout layout(t);
        layout.Set(LayoutOptions{Encoding::Utf8, both ? Shown::Both : Shown::Received, false, 80},
                   nullptr);
        for (int query = 0; query < 20; ++query) {
            // A run of a few words; as text only when it has neither a byte that is no UTF-8
            // nor a line break (which a text query takes as the page's).
            std::string needle;
            for (int k = 1 + int(rng() % 3); k > 0; --k)
                needle += words[rng() % words.size()];
            const bool hex = needle.find_first_of("\xff\r") != std::string::npos || rng() % 2;
            const uint64_t from = rng() % (all.size() + 1);
            const auto matches = [&](std::size_t m) {
                if (all.compare(m, needle.size(), needle) != 0) return false;
                for (std::size_t i = m; i < m + needle.size(); ++i)
                    if (!shown[i]) return false;
                return true;
            };
            std::optional<uint64_t> expected;
            for (std::size_t k = 0; k < all.size() && !expected; ++k) {
                const std::size_t m = (from + k) % all.size();
                if (m + needle.size() <= all.size() && matches(m)) expected = m;
            }
            TranscriptSearch search;
            ASSERT_TRUE(search.Start(t, hex ? Hex(needle) : needle, hex, Encoding::Utf8, from));
            TranscriptSearch::Result result;
            const uint64_t slice = 1 + rng() % 700;
            while ((result = search.Step(t, layout, slice)) ==
                   TranscriptSearch::Result::Searching) {
            }
            SCOPED_TRACE(Hex(needle) + " from " + std::to_string(from));
            if (expected) {
                ASSERT_EQ(result, TranscriptSearch::Result::Found);
                ASSERT_EQ(search.FoundAt(), *expected);
                ASSERT_EQ(search.Length(), needle.size());
            } else {
                ASSERT_EQ(result, TranscriptSearch::Result::NotFound);
            }
        }
    }
    TranscriptSearch search;
    Transcript t;
    EXPECT_FALSE(search.Start(t, "", false, Encoding::Utf8, 0));
    EXPECT_FALSE(search.Start(t, "0g", true, Encoding::Utf8, 0));
    EXPECT_FALSE(search.Start(t, "abc", true, Encoding::Utf8, 0));
    EXPECT_FALSE(search.Start(t, "\xe6\xbc\xa2", false, Encoding::Latin1, 0)); // not in Latin-1
    EXPECT_EQ(ParseHexQuery(" 0d0A\t41 "), std::string("\r\nA"));
}

} // namespace
} // namespace tarvotcpc::ui
