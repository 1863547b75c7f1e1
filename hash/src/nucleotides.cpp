// Nucleotide sequences in the IUPAC one-letter codes: complement, base comparison with
// ambiguity codes, and intron removal. Sequences are single-byte text; case never matters.
#include "vornhash.h"
#include "vorn_internal.hpp"

#include <cstring>

namespace {

using std::size_t;

// Each base's partner; B, D, H, V, S, W, N and anything else are their own.
char complement(char c) {
    static constexpr char kFrom[] = "ACGTUKMRY";
    static constexpr char kTo[] = "TGCAAMKYR";
    const char *at = vorn::find_char(kFrom, c);
    return at ? kTo[at - kFrom] : c;
}

// The codes each concrete base matches, with T and U told apart or not.
struct BaseMatches {
    char base;
    const char *loose;
    const char *strict;
};
constexpr BaseMatches kBaseMatches[] = {
    {'A', "ARMWHVDN", "ARMWHVDN"},  {'C', "CYMSBHVN", "CYMSBHVN"},  {'G', "GRKSBVDN", "GRKSBVDN"},
    {'T', "TUYKWBHDN", "TYKWBHDN"}, {'U', "TUYKWBHDN", "UYKWBHDN"},
};

bool matches(const char *sequence, const char *pattern) {
    return VornComparePolyNucleotide(sequence, pattern, static_cast<int32_t>(std::strlen(pattern)),
                                     0) == 0;
}

} // namespace

extern "C" {

VORN_API int32_t VornDNAComplementary(char *out, const char *text, int32_t size,
                                      int32_t noReverse) {
    if (!out || !text || size < 1) return 0;
    // memmove: out may be text itself, complemented in place.
    const size_t len = strnlen(text, static_cast<size_t>(size) - 1);
    std::memmove(out, text, len);
    out[len] = '\0';
    for (size_t i = 0; i < len; ++i)
        out[i] = complement(vorn::ascii_upper(out[i]));
    if (!noReverse) VornReverseString(out, 0);
    return static_cast<int32_t>(len);
}

VORN_API int32_t VornCompareMonoNucleotide(char base, char pattern, int32_t strictTU) {
    base = vorn::ascii_upper(base);
    pattern = vorn::ascii_upper(pattern);
    for (const BaseMatches &m : kBaseMatches)
        if (m.base == base) return vorn::find_char(strictTU ? m.strict : m.loose, pattern) ? 0 : 1;
    return base == pattern ? 0 : 1; // not a concrete base: only itself matches
}

VORN_API int32_t VornComparePolyNucleotide(const char *sequence, const char *pattern, int32_t count,
                                           int32_t strictTU) {
    if (!sequence || !pattern) return 1;
    for (int32_t i = 0; i < count; ++i) {
        if (!sequence[i] || !pattern[i]) return 0;
        if (VornCompareMonoNucleotide(sequence[i], pattern[i], strictTU)) return 1;
    }
    return 0;
}

VORN_API int32_t VornmRNASplicing(char *sequence) {
    if (!sequence) return 0;
    const size_t len = std::strlen(sequence);
    if (len > static_cast<size_t>(INT32_MAX)) return 0;
    // The scan looks two bases back, so it must read the original while the result is built.
    vorn::MemPtr<char> kept = vorn::mem_text(len + 1);
    if (!kept) return 0;
    size_t n = 0;
    bool inIntron = false, branchSeen = false;
    for (size_t p = 0; p < len; ++p) {
        if (!inIntron) {
            // The donor site is A G | G U with the intron starting at the second G; it is never
            // looked for before position 3.
            if (p < 3 || !matches(sequence + p - 2, "AGGU")) {
                kept.get()[n++] = sequence[p];
                continue;
            }
            inIntron = true;
        }
        if (!branchSeen && matches(sequence + p, "YURAY")) branchSeen = true;
        // After the branch point, the first base preceded by the acceptor A G begins the next
        // exon.
        if (branchSeen && matches(sequence + p - 2, "AG")) {
            inIntron = branchSeen = false;
            kept.get()[n++] = sequence[p];
        }
    }
    std::memcpy(sequence, kept.get(), n + 1);
    return static_cast<int32_t>(n);
}

} // extern "C"
