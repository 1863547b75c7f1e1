#include "replay/line_diff.hpp"

#include <string_view>
#include <unordered_map>

namespace tarvotcpc {

namespace {

enum class Op : uint8_t { Equal, Delete, Insert };

// The bisection of Myers' algorithm, as diff-match-patch lays it out: each side's lines as
// numbers, the shortest edit found from both ends at once until the two searches meet, then each
// half done the same way.
class Differ {
  public:
    Differ(const std::vector<int32_t> &a, const std::vector<int32_t> &b, uint64_t budget)
        : a_(a), b_(b), budget_(budget) {}

    void Run() { Diff(0, a_.size(), 0, b_.size()); }
    const std::vector<Op> &Ops() const { return ops_; }
    bool Coarse() const { return coarse_; }

  private:
    void Add(Op op, std::size_t count) { ops_.insert(ops_.end(), count, op); }

    void Diff(std::size_t aLo, std::size_t aHi, std::size_t bLo, std::size_t bHi) {
        std::size_t prefix = 0;
        while (aLo + prefix < aHi && bLo + prefix < bHi && a_[aLo + prefix] == b_[bLo + prefix])
            ++prefix;
        Add(Op::Equal, prefix);
        aLo += prefix;
        bLo += prefix;
        std::size_t suffix = 0;
        while (aHi - suffix > aLo && bHi - suffix > bLo &&
               a_[aHi - suffix - 1] == b_[bHi - suffix - 1])
            ++suffix;
        aHi -= suffix;
        bHi -= suffix;
        if (aLo == aHi) {
            Add(Op::Insert, bHi - bLo);
        } else if (bLo == bHi) {
            Add(Op::Delete, aHi - aLo);
        } else {
            Bisect(aLo, aHi, bLo, bHi);
        }
        Add(Op::Equal, suffix);
    }

    void Bisect(std::size_t aLo, std::size_t aHi, std::size_t bLo, std::size_t bHi) {
        const auto n = static_cast<int64_t>(aHi - aLo);
        const auto m = static_cast<int64_t>(bHi - bLo);
        const int64_t maxD = (n + m + 1) / 2;
        const int64_t offset = maxD;
        const int64_t length = 2 * maxD + 2;
        std::vector<int64_t> v1(static_cast<std::size_t>(length), -1);
        std::vector<int64_t> v2(static_cast<std::size_t>(length), -1);
        v1[static_cast<std::size_t>(offset + 1)] = 0;
        v2[static_cast<std::size_t>(offset + 1)] = 0;
        const int64_t delta = n - m;
        const bool front = delta % 2 != 0;
        int64_t k1start = 0, k1end = 0, k2start = 0, k2end = 0;
        const auto A = [&](int64_t i) { return a_[aLo + static_cast<std::size_t>(i)]; };
        const auto B = [&](int64_t i) { return b_[bLo + static_cast<std::size_t>(i)]; };
        const auto at = [](std::vector<int64_t> &v, int64_t i) -> int64_t & {
            return v[static_cast<std::size_t>(i)];
        };
        for (int64_t d = 0; d < maxD; ++d) {
            if (spent_ > budget_) break;
            for (int64_t k1 = -d + k1start; k1 <= d - k1end; k1 += 2) {
                const int64_t k1Offset = offset + k1;
                int64_t x1 = k1 == -d || (k1 != d && at(v1, k1Offset - 1) < at(v1, k1Offset + 1))
                                 ? at(v1, k1Offset + 1)
                                 : at(v1, k1Offset - 1) + 1;
                int64_t y1 = x1 - k1;
                const int64_t start1 = x1;
                while (x1 < n && y1 < m && A(x1) == B(y1)) {
                    ++x1;
                    ++y1;
                }
                spent_ += 1 + static_cast<uint64_t>(x1 - start1);
                at(v1, k1Offset) = x1;
                if (x1 > n) {
                    k1end += 2;
                } else if (y1 > m) {
                    k1start += 2;
                } else if (front) {
                    const int64_t k2Offset = offset + delta - k1;
                    if (k2Offset >= 0 && k2Offset < length && at(v2, k2Offset) != -1 &&
                        x1 >= n - at(v2, k2Offset))
                        return Split(aLo, aHi, bLo, bHi, x1, y1);
                }
            }
            for (int64_t k2 = -d + k2start; k2 <= d - k2end; k2 += 2) {
                const int64_t k2Offset = offset + k2;
                int64_t x2 = k2 == -d || (k2 != d && at(v2, k2Offset - 1) < at(v2, k2Offset + 1))
                                 ? at(v2, k2Offset + 1)
                                 : at(v2, k2Offset - 1) + 1;
                int64_t y2 = x2 - k2;
                const int64_t start2 = x2;
                while (x2 < n && y2 < m && A(n - x2 - 1) == B(m - y2 - 1)) {
                    ++x2;
                    ++y2;
                }
                spent_ += 1 + static_cast<uint64_t>(x2 - start2);
                at(v2, k2Offset) = x2;
                if (x2 > n) {
                    k2end += 2;
                } else if (y2 > m) {
                    k2start += 2;
                } else if (!front) {
                    const int64_t k1Offset = offset + delta - k2;
                    if (k1Offset >= 0 && k1Offset < length && at(v1, k1Offset) != -1) {
                        const int64_t x1 = at(v1, k1Offset);
                        const int64_t y1 = offset + x1 - k1Offset;
                        if (x1 >= n - x2) return Split(aLo, aHi, bLo, bHi, x1, y1);
                    }
                }
            }
        }
        // No snake meets the other within D = (n + m) / 2: the two have no line in common, and all
        // of one side changes into all of the other; past the budget, that is the search giving up.
        if (spent_ > budget_) coarse_ = true;
        Add(Op::Delete, static_cast<std::size_t>(n));
        Add(Op::Insert, static_cast<std::size_t>(m));
    }

    void Split(std::size_t aLo, std::size_t aHi, std::size_t bLo, std::size_t bHi, int64_t x,
               int64_t y) {
        const std::size_t aMid = aLo + static_cast<std::size_t>(x);
        const std::size_t bMid = bLo + static_cast<std::size_t>(y);
        Diff(aLo, aMid, bLo, bMid);
        Diff(aMid, aHi, bMid, bHi);
    }

    const std::vector<int32_t> &a_;
    const std::vector<int32_t> &b_;
    const uint64_t budget_;
    uint64_t spent_ = 0;
    bool coarse_ = false;
    std::vector<Op> ops_;
};

} // namespace

LineDiff DiffLines(const std::vector<std::string> &left, const std::vector<std::string> &right,
                   uint64_t budget) {
    // Lines as numbers, so that the search compares numbers.
    std::unordered_map<std::string_view, int32_t> numbers;
    const auto number = [&](const std::vector<std::string> &lines) {
        std::vector<int32_t> out;
        out.reserve(lines.size());
        for (const std::string &line : lines)
            out.push_back(
                numbers.emplace(line, static_cast<int32_t>(numbers.size())).first->second);
        return out;
    };
    const std::vector<int32_t> a = number(left);
    const std::vector<int32_t> b = number(right);
    Differ differ(a, b, budget);
    differ.Run();

    LineDiff diff;
    diff.coarse = differ.Coarse();
    const std::vector<Op> &ops = differ.Ops();
    std::size_t l = 0, r = 0;
    for (std::size_t i = 0; i < ops.size();) {
        if (ops[i] == Op::Equal) {
            diff.rows.push_back({DiffRow::Kind::Same, l++, r++});
            ++i;
            continue;
        }
        // A run of differences: what left lost beside what right gained, row by row.
        std::size_t deleted = 0, inserted = 0;
        for (; i < ops.size() && ops[i] != Op::Equal; ++i)
            (ops[i] == Op::Delete ? deleted : inserted)++;
        diff.differences.push_back(diff.rows.size());
        for (std::size_t k = 0; k < std::max(deleted, inserted); ++k) {
            DiffRow row;
            if (k < deleted) row.left = l++;
            if (k < inserted) row.right = r++;
            row.kind = k < deleted && k < inserted ? DiffRow::Kind::Changed
                       : k < deleted               ? DiffRow::Kind::LeftOnly
                                                   : DiffRow::Kind::RightOnly;
            diff.rows.push_back(row);
        }
    }
    return diff;
}

} // namespace tarvotcpc
