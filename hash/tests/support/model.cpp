#include "support/model.hpp"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <numeric>
#include <sstream>

namespace model {

namespace {

Cell NewCell(std::int32_t unit) {
    return Cell{std::string(), Bytes(static_cast<std::size_t>(unit), 0)};
}

// Bytes of a value up to its first NUL, never past its buffer.
std::size_t TextLength(const Bytes &v) {
    std::size_t n = 0;
    while (n < v.size() && v[n] != 0)
        ++n;
    return n;
}

// Reading rule: a non-null key is looked up and the index ignored; then the index must lie
// inside the record. -1 when nothing is addressed.
std::int32_t Resolve(const Model *m, const char *key, std::int32_t index) {
    if (m == nullptr) return -1;
    const std::int32_t i = key != nullptr ? GetHashIndex(m, key) : index;
    return IndexIsEffective(m, i) ? i : -1;
}

bool IsLower(unsigned char c) {
    return c >= 'a' && c <= 'z';
}
unsigned char Fold(unsigned char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c + 32) : c;
}
bool IsSymbol(unsigned char c) {
    const bool space = c == ' ' || (c >= '\t' && c <= '\r');
    const bool punct = (c >= 0x21 && c <= 0x2F) || (c >= 0x3A && c <= 0x40) ||
                       (c >= 0x5B && c <= 0x60) || (c >= 0x7B && c <= 0x7E);
    return space || punct;
}

// The characters of a value that take part in a comparison.
Bytes Compared(const Bytes &v, bool skipSymbols) {
    Bytes out;
    for (std::size_t i = 0; i < v.size() && v[i] != 0; ++i)
        if (!(skipSymbols && IsSymbol(v[i]))) out.push_back(v[i]);
    return out;
}

} // namespace

std::int64_t BufferSize(std::int32_t unit, std::int64_t n) {
    return std::int64_t(unit) * (n / unit + 1);
}

// ---- storage -------------------------------------------------------------------------------

std::int32_t AllocHash(Model *m, std::int32_t count, std::int32_t unit) {
    if (m == nullptr) return 0;
    if (unit <= 0) unit = 1;
    if (count <= 0) count = 1;
    if (std::int64_t(count) * unit > INT32_MAX) {
        *m = Model{};
        return 0;
    }
    m->unit = unit;
    m->cells.assign(static_cast<std::size_t>(count), NewCell(unit));
    return 1;
}

std::int32_t FreeHash(Model *m) {
    if (m == nullptr) return 0;
    *m = Model{};
    return 1;
}

std::int32_t ReAllocHash(Model *m, std::int32_t newCount) {
    if (m == nullptr || newCount < 0) return 0;
    m->cells.resize(static_cast<std::size_t>(newCount), NewCell(m->unit));
    return 1;
}

std::int32_t GetHashIndex(const Model *m, const char *key) {
    if (m == nullptr || key == nullptr) return -1;
    for (std::int32_t i = 0; i < m->count(); ++i)
        if (m->cells[i].key == key) return i;
    return -1;
}

std::int32_t IndexIsEffective(const Model *m, std::int32_t index) {
    return m != nullptr && index >= 0 && index < m->count() ? 1 : 0;
}

std::int32_t CountHash(const Model *m) {
    return m == nullptr ? 0 : m->count();
}

std::int32_t GetHashLength(const Model *m, const char *key, std::int32_t index) {
    const std::int32_t i = Resolve(m, key, index);
    return i < 0 ? 0 : static_cast<std::int32_t>(m->cells[i].value.size());
}

std::int32_t SetHashKey(Model *m, std::int32_t index, const char *key) {
    if (!IndexIsEffective(m, index)) return 0;
    m->cells[index].key = key != nullptr ? key : "";
    return 1;
}

std::int32_t SetHash(Model *m, const char *key, std::int32_t index, const void *data,
                     std::int32_t length) {
    if (m == nullptr) return 0;
    if (length < 0 && data == nullptr) return 0;
    const auto *p = static_cast<const unsigned char *>(data);
    const std::int64_t n =
        length < 0 ? std::int64_t(std::strlen(static_cast<const char *>(data))) + 1 : length;
    Bytes written;
    if (p != nullptr) written.assign(p, p + n);
    const std::int64_t size = BufferSize(m->unit, n);
    if (size > INT32_MAX) return 0;

    // Writing rule: an empty key counts as no key.
    std::int32_t i;
    if (key != nullptr && *key != 0) {
        i = GetHashIndex(m, key);
        if (i < 0) {
            m->cells.push_back(NewCell(m->unit));
            m->cells.back().key = key;
            i = m->count() - 1;
        }
    } else if (index < 0) {
        m->cells.push_back(NewCell(m->unit));
        i = m->count() - 1;
    } else {
        if (index == INT32_MAX) return 0; // index + 1 cells would not fit the count
        if (index >= m->count())
            m->cells.resize(static_cast<std::size_t>(index) + 1, NewCell(m->unit));
        i = index;
    }

    // A resize keeps the leading bytes and zero-fills growth; an unchanged size keeps all.
    Bytes &v = m->cells[i].value;
    v.resize(static_cast<std::size_t>(size), 0);
    std::copy(written.begin(), written.end(), v.begin());
    return 1;
}

std::int32_t SetHashInt(Model *m, const char *key, std::int32_t index, std::int32_t value,
                        std::int32_t asText) {
    if (asText != 0) {
        char text[64];
        std::snprintf(text, sizeof text, "%d", value);
        return SetHash(m, key, index, text, -1);
    }
    const auto u = static_cast<std::uint32_t>(value);
    const unsigned char raw[4] = {static_cast<unsigned char>(u), static_cast<unsigned char>(u >> 8),
                                  static_cast<unsigned char>(u >> 16),
                                  static_cast<unsigned char>(u >> 24)};
    return SetHash(m, key, index, raw, 4);
}

std::int32_t AddressedCell(const Model *m, const char *key, std::int32_t index) {
    return Resolve(m, key, index);
}

std::int32_t GetHash(char *buffer, std::int32_t bufferSize, const Model *m, const char *key,
                     std::int32_t index, std::int32_t asText) {
    if (buffer == nullptr || bufferSize < 1) return 0;
    const std::int32_t i = Resolve(m, key, index);
    if (i < 0) return 0;
    const Bytes &v = m->cells[i].value;
    const std::int32_t n = std::min(bufferSize, static_cast<std::int32_t>(v.size()));
    if (asText != 0) {
        std::int32_t k = 0;
        for (; k + 1 < n && v[k] != 0; ++k)
            buffer[k] = static_cast<char>(v[k]);
        buffer[k] = 0;
        return k + 1;
    }
    std::memcpy(buffer, v.data(), static_cast<std::size_t>(n));
    return n;
}

std::int32_t GetHashInt(const Model *m, const char *key, std::int32_t index, std::int32_t asText) {
    const std::int32_t i = Resolve(m, key, index);
    if (i < 0) return 0;
    const Bytes &v = m->cells[i].value;
    std::uint32_t result = 0;
    if (asText != 0) {
        std::size_t k = 0;
        bool negative = false;
        if (k < v.size() && (v[k] == '-' || v[k] == '+')) negative = v[k++] == '-';
        for (; k < v.size() && v[k] >= '0' && v[k] <= '9'; ++k)
            result = result * 10u + (v[k] - '0');
        if (negative) result = 0u - result;
    } else {
        for (std::size_t k = 0; k < std::min<std::size_t>(4, v.size()); ++k)
            result |= std::uint32_t(v[k]) << (8 * k);
    }
    return static_cast<std::int32_t>(result);
}

// ---- restructuring -------------------------------------------------------------------------

int CompareValues(const Bytes &a, const Bytes &b, std::int32_t flags) {
    const bool skip = (flags & VORN_SORT_IGNORESYMBOLS) != 0;
    const Bytes x = Compared(a, skip), y = Compared(b, skip);
    Bytes fx(x.size()), fy(y.size());
    std::transform(x.begin(), x.end(), fx.begin(), Fold);
    std::transform(y.begin(), y.end(), fy.begin(), Fold);
    if (fx != fy) return fx < fy ? -1 : 1; // vector<unsigned char> orders as unsigned bytes
    if ((flags & VORN_SORT_IGNORECASE) != 0) return 0;
    for (std::size_t k = 0; k < x.size(); ++k)
        if (x[k] != y[k]) return IsLower(x[k]) ? -1 : 1;
    return 0;
}

std::int32_t SortHash(Model *m, std::int32_t compareFlags, std::int32_t moveKeys,
                      std::int32_t descending) {
    if (m == nullptr) return 0;
    const std::vector<Cell> before = m->cells;
    std::vector<std::size_t> order(before.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        const int c = CompareValues(before[a].value, before[b].value, compareFlags);
        return descending != 0 ? c > 0 : c < 0;
    });
    for (std::size_t i = 0; i < order.size(); ++i) {
        if (moveKeys != 0)
            m->cells[i] = before[order[i]];
        else
            m->cells[i].value = before[order[i]].value;
    }
    return m->count();
}

std::int32_t DeleteHash(Model *m, const char *key, std::int32_t index) {
    const std::int32_t i = Resolve(m, key, index);
    if (i < 0) return 0;
    m->cells.erase(m->cells.begin() + i);
    return 1;
}

std::int32_t DeleteEmptyHash(Model *m) {
    if (m == nullptr) return 0;
    std::erase_if(m->cells, [](const Cell &c) { return c.value.empty() || c.value[0] == 0; });
    return 1;
}

std::int32_t CopyHashCell(Model *target, const char *targetKey, std::int32_t targetIndex,
                          const Model *source, const char *sourceKey, std::int32_t sourceIndex) {
    if (target == nullptr || source == nullptr) return 0;
    const std::int32_t i = Resolve(source, sourceKey, sourceIndex);
    if (i < 0) return 0;
    const Bytes data = source->cells[i].value;
    return SetHash(target, targetKey, targetIndex, data.data(),
                   static_cast<std::int32_t>(data.size()));
}

std::int32_t CopyHash(Model *target, const Model *source) {
    if (target == nullptr || source == nullptr) return 0;
    std::vector<Cell> cells;
    for (std::int32_t i = 0; i < source->count(); ++i) {
        const Bytes &data = source->cells[i].value;
        const std::int64_t size = BufferSize(target->unit, std::int64_t(data.size()));
        if (size > INT32_MAX) return 0;
        // Cell i is rewritten in place, so a buffer of unchanged size keeps its tail.
        Cell c = i < target->count() ? target->cells[i] : NewCell(target->unit);
        c.key = source->cells[i].key;
        c.value.resize(static_cast<std::size_t>(size), 0);
        std::copy(data.begin(), data.end(), c.value.begin());
        cells.push_back(std::move(c));
    }
    target->cells = std::move(cells);
    return 1;
}

std::int32_t CatHashString(Model *m, const char *key, std::int32_t index, const char *text) {
    if (m == nullptr || text == nullptr) return 0;
    const std::string added = text;
    const auto addedLength = static_cast<std::int32_t>(added.size());
    std::int32_t i = index;
    if (key != nullptr) {
        i = GetHashIndex(m, key);
        if (i < 0 && *key != 0) return SetHash(m, key, 0, added.c_str(), addedLength);
        if (i < 0) return SetHash(m, nullptr, -1, added.c_str(), addedLength);
    }
    const std::int64_t current =
        IndexIsEffective(m, i) ? std::int64_t(TextLength(m->cells[i].value)) : 0;
    const std::int64_t newLength = current + addedLength;
    if (newLength + 1 > INT32_MAX) return 0;
    // The cell VornSetHash will use: the found one, an appended one, or index i after growth.
    const std::int32_t used = i < 0 ? m->count() : i;
    if (!SetHash(m, key, i, nullptr, static_cast<std::int32_t>(newLength + 1))) return 0;
    Bytes &v = m->cells[used].value;
    const std::size_t at = TextLength(v);
    std::copy(added.begin(), added.end(), v.begin() + static_cast<std::ptrdiff_t>(at));
    v[at + added.size()] = 0;
    return 1;
}

std::int32_t UnitingHash(Model *target, const Model *source) {
    if (target == nullptr || source == nullptr) return 0;
    const Model from = *source;
    for (std::int32_t i = 0; i < from.count(); ++i) {
        const std::string key = from.cells[i].key;
        if (!CopyHashCell(target, key.c_str(), -1, &from, key.c_str(), i)) return 0;
    }
    return 1;
}

std::int32_t MoveHashArray(Model *target, std::int32_t targetIndex, Model *source,
                           std::int32_t sourceIndex, std::int32_t n, std::int32_t withKeys) {
    if (target == nullptr || source == nullptr) return 0;
    if (sourceIndex < 0 || sourceIndex > source->count() || targetIndex < 0) return 0;
    const std::int32_t avail = source->count() - sourceIndex;
    if (n < 0 || n > avail) n = avail;
    if (std::int64_t(targetIndex) + n > INT32_MAX) return 0;

    if (target != source) {
        const Model from = *source;
        for (std::int32_t i = 0; i < n; ++i) {
            if (!CopyHashCell(target, nullptr, targetIndex + i, &from, nullptr, sourceIndex + i))
                return 0;
            if (withKeys != 0 &&
                !SetHashKey(target, targetIndex + i, from.cells[sourceIndex + i].key.c_str()))
                return 0;
        }
        return 1;
    }

    if (targetIndex == sourceIndex || n == 0) return 1;
    Model &m = *target;
    const std::vector<Cell> run(m.cells.begin() + sourceIndex, m.cells.begin() + sourceIndex + n);
    if (targetIndex + n > m.count())
        m.cells.resize(static_cast<std::size_t>(targetIndex) + n, NewCell(m.unit));
    for (std::int32_t j = sourceIndex; j < sourceIndex + n; ++j) {
        if (j >= targetIndex && j < targetIndex + n) continue;
        m.cells[j].value.assign(static_cast<std::size_t>(m.unit), 0);
        if (withKeys != 0) m.cells[j].key.clear();
    }
    for (std::int32_t j = 0; j < n; ++j) {
        m.cells[targetIndex + j].value = run[j].value;
        if (withKeys != 0) m.cells[targetIndex + j].key = run[j].key;
    }
    return 1;
}

std::int32_t AddHash(Model *m, const char *key, std::int32_t index, const void *data,
                     std::int32_t length) {
    if (m == nullptr) return 0;
    if (length < 0 && data == nullptr) return 0;
    const std::int32_t i = key != nullptr ? GetHashIndex(m, key) : index;
    const bool insert = key != nullptr ? i >= 0 : IndexIsEffective(m, i) != 0;
    if (!insert) return SetHash(m, key, i, data, length);

    const auto *p = static_cast<const unsigned char *>(data);
    const std::int64_t n =
        length < 0 ? std::int64_t(std::strlen(static_cast<const char *>(data))) + 1 : length;
    const std::int64_t size = BufferSize(m->unit, n);
    if (size > INT32_MAX) return 0;
    Cell c{key != nullptr ? key : "", Bytes(static_cast<std::size_t>(size), 0)};
    if (p != nullptr) std::copy(p, p + n, c.value.begin());
    m->cells.insert(m->cells.begin() + i, std::move(c));
    return 1;
}

std::vector<Model> UnitingSteps(const Model &target, const Model &source) {
    std::vector<Model> steps{target};
    Model m = target;
    for (std::int32_t i = 0; i < source.count(); ++i) {
        const std::string key = source.cells[i].key;
        CopyHashCell(&m, key.c_str(), -1, &source, key.c_str(), i);
        steps.push_back(m);
    }
    return steps;
}

std::vector<Model> MoveBetweenSteps(const Model &target, std::int32_t targetIndex,
                                    const Model &source, std::int32_t sourceIndex, std::int32_t n,
                                    std::int32_t withKeys) {
    std::vector<Model> steps{target};
    Model m = target;
    const std::int32_t avail = source.count() - sourceIndex;
    if (n < 0 || n > avail) n = avail;
    for (std::int32_t i = 0; i < n; ++i) {
        CopyHashCell(&m, nullptr, targetIndex + i, &source, nullptr, sourceIndex + i);
        steps.push_back(m);
        if (withKeys != 0) {
            SetHashKey(&m, targetIndex + i, source.cells[sourceIndex + i].key.c_str());
            steps.push_back(m);
        }
    }
    return steps;
}

// ---- bridges -------------------------------------------------------------------------------

Model Of(const Hash &h) {
    Model m;
    m.unit = h.unit;
    for (std::int32_t i = 0; i < h.count; ++i) {
        Cell c;
        c.key = h.keys[i] != nullptr ? h.keys[i] : "";
        const auto *v = reinterpret_cast<const unsigned char *>(h.values[i]);
        if (v != nullptr) c.value.assign(v, v + h.sizes[i]);
        m.cells.push_back(std::move(c));
    }
    return m;
}

namespace {
void Bytes16(std::ostringstream &out, const unsigned char *p, std::size_t n) {
    static const char hex[] = "0123456789abcdef";
    const std::size_t shown = std::min<std::size_t>(n, 24);
    for (std::size_t k = 0; k < shown; ++k)
        out << (k ? " " : "") << hex[p[k] >> 4] << hex[p[k] & 15];
    if (shown < n) out << " ...";
}
} // namespace

std::string Describe(const Model &m) {
    std::ostringstream out;
    out << "unit " << m.unit << ", " << m.count() << " cells";
    for (std::int32_t i = 0; i < m.count(); ++i) {
        out << "\n  [" << i << "] \"" << m.cells[i].key << "\" size " << m.cells[i].value.size()
            << ": ";
        Bytes16(out, m.cells[i].value.data(), m.cells[i].value.size());
    }
    return out.str();
}

std::string Describe(const Hash &h) {
    std::ostringstream out;
    out << "unit " << h.unit << ", " << h.count << " cells";
    if (h.count > 0 && (h.keys == nullptr || h.values == nullptr || h.sizes == nullptr)) {
        out << " (null array)";
        return out.str();
    }
    for (std::int32_t i = 0; i < h.count && i < 64; ++i) {
        out << "\n  [" << i << "] \"" << (h.keys[i] ? h.keys[i] : "(null)") << "\" size "
            << h.sizes[i] << ": ";
        if (h.values[i] != nullptr && h.sizes[i] >= 0)
            Bytes16(out, reinterpret_cast<const unsigned char *>(h.values[i]),
                    static_cast<std::size_t>(h.sizes[i]));
        else
            out << "(null)";
    }
    return out.str();
}

::testing::AssertionResult Matches(const Hash &h, const Model &m) {
    auto fail = [&](const std::string &what) {
        return ::testing::AssertionFailure()
               << what << "\nrecord: " << Describe(h) << "\nmodel:  " << Describe(m);
    };
    if (!m.live()) {
        if (h.count != 0 || h.unit != 0 || h.keys != nullptr || h.values != nullptr ||
            h.sizes != nullptr)
            return fail("record is not zeroed");
        return ::testing::AssertionSuccess();
    }
    if (h.unit != m.unit) return fail("unit differs");
    if (h.count != m.count()) return fail("count differs");
    if (h.count > 0 && (h.keys == nullptr || h.values == nullptr || h.sizes == nullptr))
        return fail("null cell array");
    for (std::int32_t i = 0; i < h.count; ++i) {
        const Cell &c = m.cells[i];
        const std::string where = "cell " + std::to_string(i) + ": ";
        if (h.keys[i] == nullptr) return fail(where + "null key");
        if (c.key != h.keys[i]) return fail(where + "key differs");
        if (h.values[i] == nullptr) return fail(where + "null value");
        if (h.sizes[i] != static_cast<std::int32_t>(c.value.size()))
            return fail(where + "size differs");
        if (std::memcmp(h.values[i], c.value.data(), c.value.size()) != 0)
            return fail(where + "value bytes differ");
    }
    return ::testing::AssertionSuccess();
}

void Fill(Hash *h, std::int32_t unit, std::initializer_list<KV> cells) {
    const auto n = static_cast<std::int32_t>(cells.size());
    if (VornAllocHash(h, std::max(n, 1), unit) != 1 || (n == 0 && VornReAllocHash(h, 0) != 1)) {
        ADD_FAILURE() << "cannot allocate a record";
        return;
    }
    std::int32_t i = 0;
    for (const KV &kv : cells) {
        if (VornSetHashKey(h, i, kv.key) != 1 || VornSetHash(h, nullptr, i, kv.text, -1) != 1)
            ADD_FAILURE() << "cannot fill cell " << i;
        ++i;
    }
}

std::vector<std::string> Keys(const Hash &h) {
    std::vector<std::string> out;
    for (std::int32_t i = 0; i < h.count; ++i)
        out.emplace_back(h.keys[i]);
    return out;
}

std::vector<std::string> Texts(const Hash &h) {
    std::vector<std::string> out;
    for (std::int32_t i = 0; i < h.count; ++i)
        out.emplace_back(h.values[i], strnlen(h.values[i], static_cast<std::size_t>(h.sizes[i])));
    return out;
}

} // namespace model
