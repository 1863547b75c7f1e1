// Two texts compared line by line (Myers' difference algorithm in linear space), as rows side by
// side: lines both have, lines changed from one to the other, lines only one has.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tarvotcpc {

struct DiffRow {
    enum class Kind : uint8_t { Same, Changed, LeftOnly, RightOnly };
    Kind kind = Kind::Same;
    std::optional<std::size_t> left; // the line's index on each side, when it has one here
    std::optional<std::size_t> right;
};

struct LineDiff {
    std::vector<DiffRow> rows;
    // The rows where a run of differences begins, in order: what next and previous step through.
    std::vector<std::size_t> differences;
    // The search for the fewest differences gave up (texts that differ in most of many lines):
    // the rows are still a correct comparison, with more lines marked than need be.
    bool coarse = false;
};

// Every line of both sides is in the rows once, in its order; Same rows pair equal lines. The
// rows have as many Same rows as the two texts have lines in common (their longest common
// subsequence) unless the search gave up, which it does after about `budget` steps.
LineDiff DiffLines(const std::vector<std::string> &left, const std::vector<std::string> &right,
                   uint64_t budget = uint64_t{1} << 26);

} // namespace tarvotcpc
