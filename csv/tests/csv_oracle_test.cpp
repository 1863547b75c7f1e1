// The library against Python's csv module, which reads what VornSetCsv writes and writes what
// VornGetCsv reads, over random tables full of separators, quotes, line breaks and UTF-8.
#include "vorncsv.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "../../test_support/python_oracle.hpp"

namespace {

using Table = std::vector<std::vector<std::string>>;
using oracle::from_hex;
using oracle::to_hex;

// A row without fields (Python's reading of a blank line) is the row of one empty field.
Table normalised(Table t) {
    for (auto &row : t)
        if (row.empty()) row.push_back("");
    return t;
}

std::string random_field(std::mt19937 &rng) {
    static const char *pieces[] = {"a", "Zz",     " ", ",",   "\"",   "\r", "\n", "\r\n", "0.5",
                                   "é", "日本語", "😀", "x,y", "\"\"", "'",  ";",  "\t"};
    std::string f;
    const int n = std::uniform_int_distribution<int>(0, 5)(rng);
    for (int i = 0; i < n; ++i)
        f += pieces[std::uniform_int_distribution<size_t>(0, std::size(pieces) - 1)(rng)];
    return f;
}

Table random_table(std::mt19937 &rng) {
    Table t(std::uniform_int_distribution<size_t>(0, 7)(rng));
    for (auto &row : t) {
        row.resize(std::uniform_int_distribution<size_t>(1, 5)(rng));
        for (auto &f : row)
            f = random_field(rng);
    }
    return t;
}

class CsvOracle : public ::testing::Test {
  protected:
    void SetUp() override {
        if (std::string(VORN_PYTHON).empty()) GTEST_SKIP() << "no Python interpreter";
    }

    // The script's answer lines to the task and its input lines; empty when Python failed.
    static std::vector<std::string> ask(const char *task, std::vector<std::string> lines) {
        lines.insert(lines.begin(), task);
        return oracle::ask_python(VORNCSV_ORACLE, lines);
    }

    static void add_table(std::vector<std::string> &lines, const Table &t) {
        for (const auto &row : t) {
            std::string line;
            for (size_t i = 0; i < row.size(); ++i)
                line += (i ? " h" : "h") + to_hex(row[i]);
            lines.push_back(line);
        }
        lines.push_back("#");
    }

    static std::vector<Table> read_tables(const std::vector<std::string> &lines) {
        std::vector<Table> tables(1);
        for (const std::string &line : lines) {
            if (line == "#") {
                tables.emplace_back();
                continue;
            }
            std::vector<std::string> row;
            std::istringstream fields(line);
            for (std::string tok; fields >> tok;)
                row.push_back(from_hex(tok.substr(1)));
            tables.back().push_back(row);
        }
        tables.pop_back();
        return tables;
    }
};

TEST_F(CsvOracle, PythonReadsWhatWeWrite) {
    std::mt19937 rng(20240611);
    std::vector<Table> expected;
    std::vector<std::string> texts;
    for (int n = 0; n < 300; ++n) {
        const Table t = random_table(rng);
        // Every cell once, in random order, some first with a decoy value to be overwritten:
        // this exercises appending rows and columns as well as editing inside the text.
        std::vector<std::pair<int32_t, int32_t>> cells;
        for (size_t r = 0; r < t.size(); ++r)
            for (size_t c = 0; c < t[r].size(); ++c)
                cells.emplace_back(int32_t(r), int32_t(c));
        std::shuffle(cells.begin(), cells.end(), rng);
        std::vector<char> buf(8192, '\0');
        for (auto [r, c] : cells) {
            if (rng() % 3 == 0) {
                const std::string decoy = random_field(rng);
                ASSERT_GT(VornSetCsv(buf.data(), int32_t(buf.size()), decoy.c_str(), r, c), 0);
            }
            const int32_t len = VornSetCsv(buf.data(), int32_t(buf.size()), t[r][c].c_str(), r, c);
            ASSERT_EQ(len, int32_t(std::strlen(buf.data())));
        }
        // Read back here too, so that a failure names the cell.
        ASSERT_EQ(VornCountCsv(buf.data(), VORNCSV_COUNT_ROWS), int32_t(t.size())) << buf.data();
        for (auto [r, c] : cells) {
            std::vector<char> field(buf.size());
            VornGetCsv(field.data(), int32_t(field.size()), buf.data(), r, c);
            ASSERT_EQ(std::string(field.data()), t[r][c]) << buf.data();
        }
        texts.push_back(to_hex(buf.data()));
        expected.push_back(t);
    }
    const auto got = read_tables(ask("read", texts));
    ASSERT_EQ(got.size(), expected.size());
    for (size_t i = 0; i < got.size(); ++i)
        EXPECT_EQ(normalised(got[i]), expected[i]) << "table " << i;
}

TEST_F(CsvOracle, WeReadWhatPythonWrites) {
    std::mt19937 rng(777);
    std::vector<Table> tables;
    std::vector<std::string> request;
    for (int n = 0; n < 300; ++n) {
        Table t = random_table(rng);
        // Python quotes CR and LF in a field only when they belong to its line terminator, so
        // the bare-CR and bare-LF styles are written fully quoted.
        static const char *styles[] = {"@ crlf minimal", "@ crlf all", "@ lf all", "@ cr all"};
        request.push_back(styles[rng() % 4]);
        add_table(request, t);
        tables.push_back(t);
    }
    const std::vector<std::string> texts = ask("write", request);
    size_t i = 0;
    for (; i < texts.size(); ++i) {
        ASSERT_LT(i, tables.size());
        const std::string &line = texts[i];
        const std::string text = from_hex(line);
        const Table &t = tables[i];
        ASSERT_EQ(VornCountCsv(text.c_str(), VORNCSV_COUNT_ROWS), int32_t(t.size())) << line;
        size_t widest = 0;
        for (const auto &row : t)
            widest = std::max(widest, row.size());
        EXPECT_EQ(VornCountCsv(text.c_str(), VORNCSV_COUNT_COLUMNS), int32_t(widest));
        for (size_t r = 0; r < t.size(); ++r)
            for (size_t c = 0; c <= widest; ++c) {
                char field[512];
                const int32_t len =
                    VornGetCsv(field, sizeof field, text.c_str(), int32_t(r), int32_t(c));
                const std::string want = c < t[r].size() ? t[r][c] : "";
                EXPECT_EQ(len, int32_t(want.size()));
                EXPECT_EQ(std::string(field), want) << "table " << i << " cell " << r << "," << c;
            }
    }
    EXPECT_EQ(i, tables.size());
}

} // namespace
