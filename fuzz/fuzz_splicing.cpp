// VornmRNASplicing on sequences that mostly speak the nucleotide alphabet (so that sites occur)
// and sometimes any bytes: it only ever drops bases, keeps the first three, and leaves a
// sequence without a donor site alone. The complement and comparison functions ride along.
#include "formats_check.hpp"

#include <fuzzer/FuzzedDataProvider.h>

using namespace fuzzcheck;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzedDataProvider in(data, size);
    const bool rawBytes = in.ConsumeIntegralInRange<int>(0, 7) == 0;
    std::string seq = in.ConsumeRemainingBytesAsString().c_str();
    if (!rawBytes) {
        static const char alphabet[] = "AGGUACUYRNagutcKMSWBDHV";
        for (char &c : seq)
            c = alphabet[static_cast<unsigned char>(c) % (sizeof alphabet - 1)];
    }
    const std::size_t n = seq.size();

    Exact spliced(n + 1);
    std::memcpy(spliced.data(), seq.c_str(), n + 1);
    const int32_t r = VornmRNASplicing(spliced.data());
    FUZZ_CHECK(r >= 0 && std::size_t(r) <= n && std::strlen(spliced.data()) == std::size_t(r));
    std::size_t j = 0;
    for (std::size_t i = 0; i < std::size_t(r); ++i, ++j) {
        while (j < n && seq[j] != spliced.data()[i])
            ++j;
        FUZZ_CHECK(j < n);
    }
    FUZZ_CHECK(std::memcmp(spliced.data(), seq.c_str(), std::min<std::size_t>(n, 3)) == 0);
    bool donor = false;
    for (std::size_t p = 3; p < n && !donor; ++p)
        donor = VornComparePolyNucleotide(seq.c_str() + p - 2, "AGGU", 4, 0) == 0;
    if (!donor) FUZZ_CHECK(std::size_t(r) == n && spliced.data() == seq);

    // Complementing twice gives the upper-cased text with U read as T, reversed or not.
    std::string norm = seq;
    for (char &c : norm) {
        if (c >= 'a' && c <= 'z') c = char(c - 'a' + 'A');
        if (c == 'U') c = 'T';
    }
    for (int32_t noReverse = 0; noReverse < 2; ++noReverse) {
        Exact once(n + 1), twice(n + 1);
        FUZZ_CHECK(VornDNAComplementary(once.data(), seq.c_str(), int32_t(n + 1), noReverse) ==
                   int32_t(n));
        FUZZ_CHECK(VornDNAComplementary(twice.data(), once.data(), int32_t(n + 1), noReverse) ==
                   int32_t(n));
        FUZZ_CHECK(twice.data() == norm);
    }
    FUZZ_CHECK(VornComparePolyNucleotide(seq.c_str(), seq.c_str(), int32_t(n), 1) == 0);
    for (char c : seq) {
        FUZZ_CHECK(VornCompareMonoNucleotide(c, c, 1) == 0);
        if (std::strchr("ACGTUacgtu", c)) FUZZ_CHECK(VornCompareMonoNucleotide(c, 'n', 1) == 0);
    }
    return 0;
}
