// A CSV text is never parsed into a table here: every call walks the text once, up to the row it
// needs, and an edit splices the bytes of one field in place. That keeps the library free of
// allocation (it cannot fail for want of memory) and leaves every other byte of the caller's
// text, line-break style and superfluous quotes included, exactly as it was.
#include "vorncsv.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace {

using std::size_t;

constexpr bool is_break(char c) {
    return c == '\r' || c == '\n';
}

// One field as it lies in the text: [begin, end) holds its raw bytes, quotes included. open
// means the text ended inside its quotes.
struct Field {
    size_t begin;
    size_t end;
    bool open;
};

Field scan_field(const char *s, size_t len, size_t pos) {
    size_t i = pos;
    if (i < len && s[i] == '"') {
        ++i;
        for (;;) {
            if (i >= len) return {pos, len, true};
            if (s[i] == '"') {
                if (i + 1 < len && s[i + 1] == '"') {
                    i += 2;
                    continue;
                }
                ++i;
                break;
            }
            ++i;
        }
    }
    // Unquoted, or what follows a closing quote: up to the next separator or line break.
    while (i < len && s[i] != ',' && !is_break(s[i]))
        ++i;
    return {pos, i, false};
}

// One row: its fields from begin up to contentEnd, then its line break up to next.
struct Row {
    size_t begin;
    size_t contentEnd;
    size_t next;
    size_t fields;
    bool open;       // the last field was left open at the end of the text
    bool terminated; // a line break follows the content
};

// Reads the row starting at pos (< len). When want is a column of the row, *wanted receives
// that field.
Row scan_row(const char *s, size_t len, size_t pos, size_t want = SIZE_MAX,
             Field *wanted = nullptr) {
    Row row{pos, pos, pos, 0, false, false};
    for (;;) {
        const Field f = scan_field(s, len, pos);
        if (row.fields == want && wanted) *wanted = f;
        ++row.fields;
        if (f.end < len && s[f.end] == ',') {
            pos = f.end + 1;
            continue;
        }
        row.contentEnd = f.end;
        row.open = f.open;
        break;
    }
    const size_t e = row.contentEnd;
    if (e < len) {
        row.terminated = true;
        row.next = (s[e] == '\r' && e + 1 < len && s[e + 1] == '\n') ? e + 2 : e + 1;
    } else {
        row.next = len;
    }
    return row;
}

// Decodes a field into dest (cap >= 1 bytes, cut to cap - 1 and terminated); returns the
// decoded field's whole length.
size_t decode_field(const char *s, Field f, char *dest, size_t cap) {
    size_t n = 0;
    auto put = [&](char c) {
        if (n + 1 < cap) dest[n] = c;
        ++n;
    };
    size_t i = f.begin;
    if (i < f.end && s[i] == '"') {
        ++i;
        while (i < f.end) {
            if (s[i] == '"') {
                if (i + 1 < f.end && s[i + 1] == '"') {
                    put('"');
                    i += 2;
                    continue;
                }
                ++i;
                break;
            }
            put(s[i++]);
        }
    }
    while (i < f.end)
        put(s[i++]);
    dest[n < cap ? n : cap - 1] = '\0';
    return n;
}

bool needs_quotes(const char *field, size_t flen, size_t *quotes) {
    bool need = false;
    *quotes = 0;
    for (size_t i = 0; i < flen; ++i) {
        const char c = field[i];
        if (c == '"') ++*quotes;
        if (c == '"' || c == ',' || is_break(c)) need = true;
    }
    return need;
}

char *encode_field(char *out, const char *field, size_t flen, bool quoted) {
    if (!quoted) {
        std::memcpy(out, field, flen);
        return out + flen;
    }
    *out++ = '"';
    for (size_t i = 0; i < flen; ++i) {
        if (field[i] == '"') *out++ = '"';
        *out++ = field[i];
    }
    *out++ = '"';
    return out;
}

bool overlaps(const void *a, size_t alen, const void *b, size_t blen) {
    const auto pa = reinterpret_cast<std::uintptr_t>(a);
    const auto pb = reinterpret_cast<std::uintptr_t>(b);
    return pa < pb + blen && pb < pa + alen;
}

int32_t clamp_i32(size_t n) {
    return n > INT32_MAX ? INT32_MAX : static_cast<int32_t>(n);
}

} // namespace

extern "C" {

VORNCSV_API int32_t VornSetCsv(char *csv, int32_t size, const char *field, int32_t row,
                               int32_t column) {
    if (!csv || !field || size < 1 || row < 0 || column < 0) return 0;
    const size_t cap = static_cast<size_t>(size);
    const size_t len = strnlen(csv, cap);
    if (len == cap) return 0;
    const size_t flen = std::strlen(field);
    // The tail of the text moves before the field is copied in: a field inside the buffer
    // would be overwritten on its way.
    if (overlaps(csv, cap, field, flen + 1)) return 0;

    // Find the row, or the end of the table.
    size_t pos = 0;
    size_t rows = 0;
    Row last{0, 0, 0, 0, false, true};
    Row target{};
    bool found = false;
    Field f{0, 0, false};
    while (pos < len) {
        const Row r = scan_row(csv, len, pos, static_cast<size_t>(column), &f);
        if (rows == static_cast<size_t>(row)) {
            target = r;
            found = true;
            break;
        }
        last = r;
        ++rows;
        pos = r.next;
    }

    // What replaces [cut, cutEnd): prefix, the encoded field, suffix. Lengths in 64 bits: row and
    // column may ask for far more than any buffer holds.
    size_t quotes = 0;
    bool quoted = needs_quotes(field, flen, &quotes);
    size_t cut, cutEnd;
    bool openQuote; // close a quote left open before anything follows it
    bool breakFirst = false;
    uint64_t emptyRows = 0, commas = 0;
    bool finalBreak = false;
    bool onlyField; // the field is all an existing row will hold
    if (found) {
        const size_t col = static_cast<size_t>(column);
        onlyField = target.fields <= 1 && col == 0;
        if (col < target.fields) {
            cut = f.begin;
            cutEnd = f.end;
            openQuote = false;
        } else {
            cut = cutEnd = target.contentEnd;
            openQuote = target.open;
            commas = col - target.fields + 1;
        }
    } else {
        cut = cutEnd = len;
        openQuote = rows > 0 && last.open;
        breakFirst = rows > 0 && !last.terminated;
        emptyRows = static_cast<uint64_t>(row) - rows;
        commas = static_cast<uint64_t>(column);
        finalBreak = true;
        onlyField = false; // a new row ends with its line break, which keeps it a row
    }
    // A row left with one empty field, written bare, would vanish at the end of the text or,
    // between a lone CR and a lone LF, join the two breaks into one CRLF.
    if (onlyField && flen == 0) quoted = true;
    const uint64_t encLen = flen + (quoted ? 2 + quotes : 0);
    const uint64_t insertLen = (openQuote ? 1 : 0) + (breakFirst ? 2 : 0) + 2 * emptyRows + commas +
                               encLen + (finalBreak ? 2 : 0);
    const uint64_t newLen = uint64_t(len) - (cutEnd - cut) + insertLen;
    if (newLen + 1 > cap) return 0;

    std::memmove(csv + cut + insertLen, csv + cutEnd, len - cutEnd + 1);
    char *out = csv + cut;
    if (openQuote) *out++ = '"';
    if (breakFirst) out = static_cast<char *>(std::memcpy(out, "\r\n", 2)) + 2;
    for (uint64_t i = 0; i < emptyRows; ++i)
        out = static_cast<char *>(std::memcpy(out, "\r\n", 2)) + 2;
    std::memset(out, ',', commas);
    out += commas;
    out = encode_field(out, field, flen, quoted);
    if (finalBreak) std::memcpy(out, "\r\n", 2);
    return static_cast<int32_t>(newLen);
}

VORNCSV_API int32_t VornGetCsv(char *dest, int32_t size, const char *csv, int32_t row,
                               int32_t column) {
    if (!dest || !csv || size < 1 || row < 0 || column < 0) return -1;
    const size_t len = std::strlen(csv);
    if (overlaps(dest, static_cast<size_t>(size), csv, len + 1)) return -1;
    size_t pos = 0;
    for (int32_t r = 0; pos < len; ++r) {
        Field f{0, 0, false};
        const Row cur = scan_row(csv, len, pos, static_cast<size_t>(column), &f);
        if (r == row) {
            if (static_cast<size_t>(column) >= cur.fields) break;
            return clamp_i32(decode_field(csv, f, dest, static_cast<size_t>(size)));
        }
        pos = cur.next;
    }
    dest[0] = '\0';
    return 0;
}

VORNCSV_API int32_t VornCountCsv(const char *csv, int32_t what) {
    if (!csv || (what != VORNCSV_COUNT_ROWS && what != VORNCSV_COUNT_COLUMNS)) return -1;
    const size_t len = std::strlen(csv);
    size_t rows = 0, widest = 0;
    for (size_t pos = 0; pos < len;) {
        const Row r = scan_row(csv, len, pos);
        ++rows;
        if (r.fields > widest) widest = r.fields;
        pos = r.next;
    }
    return clamp_i32(what == VORNCSV_COUNT_ROWS ? rows : widest);
}

} // extern "C"
