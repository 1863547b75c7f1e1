// The pieces replay rests on, held to a simple reference: the line diff keeps every line once, in
// order, and finds as many common lines as a textbook LCS; its unified form, applied as patch(1)
// applies one, turns the old lines into the new; a Lua literal made from any bytes reads back in
// Lua as exactly those bytes.
#include "replay/file_compare.hpp"
#include "replay/line_diff.hpp"
#include "replay/script_maker.hpp"

#include <gtest/gtest.h>

#include <lua.hpp>

#include <cstdio>
#include <optional>
#include <random>

namespace tarvotcpc {
namespace {

std::size_t LcsLength(const std::vector<std::string> &a, const std::vector<std::string> &b) {
    std::vector<std::vector<std::size_t>> table(a.size() + 1,
                                                std::vector<std::size_t>(b.size() + 1, 0));
    for (std::size_t i = 1; i <= a.size(); ++i)
        for (std::size_t j = 1; j <= b.size(); ++j)
            table[i][j] = a[i - 1] == b[j - 1] ? table[i - 1][j - 1] + 1
                                               : std::max(table[i - 1][j], table[i][j - 1]);
    return table[a.size()][b.size()];
}

std::vector<std::string> RandomLines(std::mt19937 &random, std::size_t most, int alphabet) {
    std::vector<std::string> lines(std::uniform_int_distribution<std::size_t>(0, most)(random));
    for (std::string &line : lines)
        line = std::string(1, static_cast<char>('a' + random() % alphabet));
    return lines;
}

TEST(LineDiff, KeepsEveryLineInOrderAndAsManySameRowsAsTheLongestCommonSubsequence) {
    std::mt19937 random(20261209);
    for (int round = 0; round < 3000; ++round) {
        // Few distinct lines make many matches and the hard cases for the middle snake.
        const int alphabet = 1 + round % 6;
        std::vector<std::string> left = RandomLines(random, 40, alphabet);
        std::vector<std::string> right = round % 3 == 0 ? left : RandomLines(random, 40, alphabet);
        if (round % 3 == 0 && !right.empty()) right[random() % right.size()] = "changed";
        const LineDiff diff = DiffLines(left, right);
        ASSERT_FALSE(diff.coarse);

        std::size_t l = 0, r = 0, same = 0;
        bool inDifference = false;
        std::size_t runs = 0;
        for (std::size_t row = 0; row < diff.rows.size(); ++row) {
            const DiffRow &d = diff.rows[row];
            if (d.left) {
                ASSERT_EQ(*d.left, l++);
            }
            if (d.right) {
                ASSERT_EQ(*d.right, r++);
            }
            ASSERT_TRUE(d.left || d.right);
            switch (d.kind) {
            case DiffRow::Kind::Same:
                ASSERT_TRUE(d.left && d.right && left[*d.left] == right[*d.right]);
                ++same;
                break;
            case DiffRow::Kind::Changed:
                ASSERT_TRUE(d.left && d.right);
                break;
            case DiffRow::Kind::LeftOnly:
                ASSERT_TRUE(d.left && !d.right);
                break;
            case DiffRow::Kind::RightOnly:
                ASSERT_TRUE(!d.left && d.right);
                break;
            }
            const bool differs = d.kind != DiffRow::Kind::Same;
            if (differs && !inDifference) {
                ASSERT_LT(runs, diff.differences.size());
                ASSERT_EQ(diff.differences[runs++], row);
            }
            inDifference = differs;
        }
        ASSERT_EQ(l, left.size());
        ASSERT_EQ(r, right.size());
        ASSERT_EQ(runs, diff.differences.size());
        ASSERT_EQ(same, LcsLength(left, right)) << "round " << round;
    }

    // A search cut short by its budget still pairs only equal lines and keeps every line.
    std::vector<std::string> left, right;
    for (int i = 0; i < 2000; ++i) {
        left.push_back(std::to_string(random() % 50));
        right.push_back(std::to_string(random() % 50));
    }
    const LineDiff coarse = DiffLines(left, right, 1000);
    EXPECT_TRUE(coarse.coarse);
    std::size_t l = 0, r = 0;
    for (const DiffRow &d : coarse.rows) {
        if (d.kind == DiffRow::Kind::Same) {
            EXPECT_EQ(left[*d.left], right[*d.right]);
        }
        l += d.left ? 1 : 0;
        r += d.right ? 1 : 0;
    }
    EXPECT_EQ(l, left.size());
    EXPECT_EQ(r, right.size());
}

// Applies a unified diff to old as patch(1) would, checking each hunk's header against its body
// and each context and removed line against old; nullopt where it does not apply.
std::optional<std::vector<std::string>> Patched(const std::vector<std::string> &old,
                                                const std::string &diff) {
    std::vector<std::string> lines;
    for (std::size_t at = 0; at < diff.size();) {
        const std::size_t end = diff.find('\n', at);
        if (end == std::string::npos) return std::nullopt; // every line ends with a break
        lines.push_back(diff.substr(at, end - at));
        at = end + 1;
    }
    std::vector<std::string> out;
    std::size_t taken = 0; // lines of old used so far
    std::size_t i = lines.empty() ? 0 : 2;
    if (!lines.empty() && (lines[0] != "--- old" || lines[1] != "+++ new")) return std::nullopt;
    while (i < lines.size()) {
        std::size_t a = 0, b = 0, c = 0, d = 0;
        if (std::sscanf(lines[i].c_str(), "@@ -%zu,%zu +%zu,%zu @@", &a, &b, &c, &d) != 4)
            return std::nullopt;
        const std::size_t first = b == 0 ? a : a - 1;
        if (first < taken || first > old.size()) return std::nullopt;
        out.insert(out.end(), old.begin() + static_cast<std::ptrdiff_t>(taken),
                   old.begin() + static_cast<std::ptrdiff_t>(first));
        taken = first;
        if ((d == 0 ? c : c - 1) != out.size()) return std::nullopt;
        std::size_t used = 0, made = 0;
        for (++i; i < lines.size() && lines[i].rfind("@@", 0) != 0; ++i) {
            const char kind = lines[i].empty() ? '?' : lines[i][0];
            const std::string text = lines[i].substr(1);
            if (kind == ' ' || kind == '-') {
                if (taken >= old.size() || old[taken] != text) return std::nullopt;
                ++taken, ++used;
            }
            if (kind == ' ' || kind == '+') out.push_back(text), ++made;
            if (kind != ' ' && kind != '-' && kind != '+') return std::nullopt;
        }
        if (used != b || made != d) return std::nullopt;
    }
    out.insert(out.end(), old.begin() + static_cast<std::ptrdiff_t>(taken), old.end());
    return out;
}

TEST(UnifiedDiff, AppliedAsPatchDoesItTurnsTheOldLinesIntoTheNew) {
    std::mt19937 random(20261210);
    for (int round = 0; round < 3000; ++round) {
        const int alphabet = 1 + round % 6;
        const std::vector<std::string> left = RandomLines(random, 60, alphabet);
        std::vector<std::string> right = left;
        // Edits here and there, so that hunks stand apart or run into each other.
        for (int edits = round % 5; edits > 0; --edits) {
            const std::size_t at = right.empty() ? 0 : random() % (right.size() + 1);
            if (random() % 2 == 0 && at < right.size())
                right.erase(right.begin() + static_cast<std::ptrdiff_t>(at));
            else
                right.insert(right.begin() + static_cast<std::ptrdiff_t>(at), "new");
        }
        if (round % 7 == 0) right = RandomLines(random, 60, alphabet);
        const LineDiff diff = DiffLines(left, right);
        const std::string text = UnifiedDiff(left, right, diff, "old", "new", round % 4);
        EXPECT_EQ(text.empty(), left == right) << text;
        EXPECT_EQ(Patched(left, text), right) << text;
    }
}

TEST(LuaLiteral, AnyBytesReadBackInLuaAsThemselves) {
    std::mt19937 random(7);
    lua_State *L = luaL_newstate();
    ASSERT_NE(L, nullptr);
    for (int round = 0; round < 2000; ++round) {
        std::string bytes(std::uniform_int_distribution<std::size_t>(0, 300)(random), '\0');
        // Blanks and line breaks often, as protocol text has them; any byte beside them.
        for (char &c : bytes) {
            const unsigned pick = random() % 8;
            c = pick == 0 ? ' ' : pick == 1 ? '\n' : static_cast<char>(random() % 256);
        }
        const std::string literal = LuaLiteral(bytes, round % 12);
        const std::string chunk = "return " + literal;
        ASSERT_EQ(luaL_loadbuffer(L, chunk.data(), chunk.size(), "literal"), LUA_OK)
            << lua_tostring(L, -1) << "\n"
            << literal;
        ASSERT_EQ(lua_pcall(L, 0, 1, 0), LUA_OK);
        std::size_t size = 0;
        const char *back = lua_tolstring(L, -1, &size);
        ASSERT_EQ(std::string(back, size), bytes) << literal;
        lua_pop(L, 1);
        // Only printable ASCII and line breaks: the script reads and edits as plain text.
        for (const char c : literal)
            ASSERT_TRUE(c == '\n' || (c >= 0x20 && c < 0x7F)) << literal;
    }
    lua_close(L);
}

} // namespace
} // namespace tarvotcpc
