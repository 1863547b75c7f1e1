#include "vornhash.h"
#include "vorn_internal.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

struct Complemented {
    int32_t result;
    std::string text;
};
Complemented complement(const char *text, int32_t noReverse, int32_t size = 64) {
    char out[64];
    std::memset(out, '?', sizeof out);
    const int32_t r = VornDNAComplementary(out, text, size, noReverse);
    return {r, out};
}

TEST(DNAComplementary, ComplementsAndReverses) {
    auto c = complement("atgcN", 1);
    EXPECT_EQ(c.text, "TACGN");
    EXPECT_EQ(c.result, 5);
    c = complement("atgcN", 0);
    EXPECT_EQ(c.text, "NGCAT");
    EXPECT_EQ(c.result, 5);
    EXPECT_EQ(complement("ACGTUKMRY", 1).text, "TGCAAMKYR");
    // The symmetric codes and B/V, D/H stay as they are; so does anything that is no code.
    EXPECT_EQ(complement("BDHVSWN-x.", 1).text, "BDHVSWN-X.");
    EXPECT_EQ(complement("auGC", 0).text, "GCAT");
}

TEST(DNAComplementary, CutsToSizeAndWorksInPlace) {
    auto c = complement("ACGT", 1, 3);
    EXPECT_EQ(c.text, "TG");
    EXPECT_EQ(c.result, 2);
    c = complement("ACGT", 0, 1);
    EXPECT_EQ(c.text, "");
    EXPECT_EQ(c.result, 0);
    char seq[] = "aacg";
    EXPECT_EQ(VornDNAComplementary(seq, seq, sizeof seq, 0), 4);
    EXPECT_STREQ(seq, "CGTT");
    char out[8] = "keep";
    EXPECT_EQ(VornDNAComplementary(nullptr, "A", 8, 0), 0);
    EXPECT_EQ(VornDNAComplementary(out, nullptr, 8, 0), 0);
    EXPECT_EQ(VornDNAComplementary(out, "A", 0, 0), 0);
    EXPECT_STREQ(out, "keep");
}

// The IUPAC meaning of each code, written out independently of the library's match sets: the
// bases it stands for, with T standing for "T or U".
const char *meaning(char code) {
    switch (code) {
    case 'A':
        return "A";
    case 'C':
        return "C";
    case 'G':
        return "G";
    case 'R':
        return "AG";
    case 'Y':
        return "CT";
    case 'K':
        return "GT";
    case 'M':
        return "AC";
    case 'S':
        return "CG";
    case 'W':
        return "AT";
    case 'B':
        return "CGT";
    case 'D':
        return "AGT";
    case 'H':
        return "ACT";
    case 'V':
        return "ACG";
    case 'N':
        return "ACGT";
    default:
        return "";
    }
}

bool expected_match(char base, char code, bool strictTU) {
    if (code == 'T' || code == 'U') {
        if (base == code) return true;
        return !strictTU && (base == 'T' || base == 'U');
    }
    const char b = (base == 'U') ? 'T' : base;
    return std::strchr(meaning(code), b) != nullptr;
}

TEST(CompareMonoNucleotide, FollowsTheIupacCodes) {
    EXPECT_EQ(VornCompareMonoNucleotide('A', 'R', 0), 0);
    EXPECT_EQ(VornCompareMonoNucleotide('a', 'r', 0), 0);
    EXPECT_EQ(VornCompareMonoNucleotide('C', 'R', 0), 1);
    EXPECT_EQ(VornCompareMonoNucleotide('T', 'U', 0), 0);
    EXPECT_EQ(VornCompareMonoNucleotide('T', 'U', 1), 1);
    EXPECT_EQ(VornCompareMonoNucleotide('N', 'N', 0), 0);
    const std::string codes = "ACGTURYKMSWBDHVN";
    for (char base : std::string("ACGTU"))
        for (char code : codes)
            for (int strict = 0; strict < 2; ++strict) {
                const int32_t want = expected_match(base, code, strict) ? 0 : 1;
                EXPECT_EQ(VornCompareMonoNucleotide(base, code, strict), want)
                    << base << " " << code << " strict " << strict;
                EXPECT_EQ(VornCompareMonoNucleotide(vorn::ascii_lower(base),
                                                    vorn::ascii_lower(code), strict),
                          want);
            }
}

TEST(CompareMonoNucleotide, AmbiguityCodesAsBasesMatchOnlyThemselves) {
    EXPECT_EQ(VornCompareMonoNucleotide('N', 'A', 0), 1);
    EXPECT_EQ(VornCompareMonoNucleotide('A', 'N', 0), 0);
    EXPECT_EQ(VornCompareMonoNucleotide('r', 'R', 0), 0);
    EXPECT_EQ(VornCompareMonoNucleotide('R', 'Y', 0), 1);
    EXPECT_EQ(VornCompareMonoNucleotide('-', '-', 1), 0);
    EXPECT_EQ(VornCompareMonoNucleotide('\xC3', '\xE3', 0), 1);
    EXPECT_EQ(VornCompareMonoNucleotide('A', '\0', 0), 1);
}

TEST(ComparePolyNucleotide, MatchesAsFarAsTheTextsGo) {
    EXPECT_EQ(VornComparePolyNucleotide("ACGT", "ACG", 4, 0), 0);
    EXPECT_EQ(VornComparePolyNucleotide("ACGT", "ACCT", 4, 0), 1);
    EXPECT_EQ(VornComparePolyNucleotide("ACGT", "ACCT", 2, 0), 0);
    EXPECT_EQ(VornComparePolyNucleotide("acgu", "MSKY", 4, 0), 0);
    EXPECT_EQ(VornComparePolyNucleotide("ACGU", "ACGT", 4, 1), 1);
    EXPECT_EQ(VornComparePolyNucleotide("", "ACGT", 4, 0), 0);
    EXPECT_EQ(VornComparePolyNucleotide("AC", "GG", 0, 0), 0);
    EXPECT_EQ(VornComparePolyNucleotide("AC", "GG", -3, 0), 0);
    EXPECT_EQ(VornComparePolyNucleotide(nullptr, "A", 1, 0), 1);
    EXPECT_EQ(VornComparePolyNucleotide("A", nullptr, 1, 0), 1);
}

struct Spliced {
    int32_t result;
    std::string text;
};
Spliced splice(std::string s) {
    const int32_t r = VornmRNASplicing(s.data());
    return {r, s.c_str()};
}

TEST(mRNASplicing, RemovesIntrons) {
    auto s = splice("CCCAGGUAAUACUAACAGGCC");
    EXPECT_EQ(s.text, "CCCAGGCC");
    EXPECT_EQ(s.result, 8);
    // T is U, and case does not matter.
    EXPECT_EQ(splice("cccaggtaatactaacaggcc").text, "cccaggcc");
    // Two introns, the second after the first exon boundary.
    s = splice("CCCAGGUAAUACUAACAGGCCAGGUAAUACUAACAGUU");
    EXPECT_EQ(s.text, "CCCAGGCCAGUU");
    EXPECT_EQ(s.result, 12);
}

TEST(mRNASplicing, EdgesOfTheScan) {
    // No donor: unchanged, with its length.
    auto s = splice("ACGUACGUAC");
    EXPECT_EQ(s.text, "ACGUACGUAC");
    EXPECT_EQ(s.result, 10);
    // A donor at the very start is not looked for.
    EXPECT_EQ(splice("AGGUCC").text, "AGGUCC");
    // An intron that never closes runs to the end: without a branch point an acceptor does not
    // close it.
    EXPECT_EQ(splice("CCCAGGUAAAAGCC").text, "CCCAG");
    // Near the end a site matches as far as the text goes.
    EXPECT_EQ(splice("CCCAGG").text, "CCCAG");
    EXPECT_EQ(splice("").result, 0);
    EXPECT_EQ(VornmRNASplicing(nullptr), 0);
}

TEST(mRNASplicing, NoMemoryLeavesTheSequence) {
    char seq[] = "CCCAGGUAAUACUAACAGGCC";
    const long live = vorn::mem_live_blocks();
    vorn::mem_fail_nth(1);
    EXPECT_EQ(VornmRNASplicing(seq), 0);
    vorn::mem_fail_nth(0);
    EXPECT_STREQ(seq, "CCCAGGUAAUACUAACAGGCC");
    EXPECT_EQ(vorn::mem_live_blocks(), live);
}

} // namespace
