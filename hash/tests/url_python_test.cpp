// The URL coder against an independent one: Python's urllib.parse, through url_oracle.py, on a
// few thousand random byte strings.
#include "vornhash.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "../../test_support/python_oracle.hpp"

namespace {

using oracle::to_hex;

// Sends each request line to the oracle and returns its answers, decoded; empty when python3
// cannot be run.
std::vector<std::string> ask_python(const std::vector<std::string> &requests) {
    std::vector<std::string> answers =
        oracle::ask_python(VORN_TESTDATA_DIR "/../url_oracle.py", requests);
    for (auto &a : answers)
        a = oracle::from_hex(a);
    return answers;
}

std::string random_bytes(std::mt19937 &rng, std::size_t maxLen) {
    std::string s(std::uniform_int_distribution<std::size_t>(0, maxLen)(rng), ' ');
    for (auto &c : s)
        c = char(std::uniform_int_distribution<int>(1, 255)(rng));
    return s;
}

// Random text whose every "%" begins a well-formed escape (hex digits of either case): malformed
// escapes are where the two coders are documented to part ways.
std::string random_encoded(std::mt19937 &rng) {
    static const char hex[] = "0123456789abcdefABCDEF";
    std::string s;
    const int pieces = std::uniform_int_distribution<int>(0, 12)(rng);
    for (int i = 0; i < pieces; ++i) {
        switch (rng() % 3) {
        case 0:
            s += '%';
            s += hex[rng() % 22];
            s += hex[rng() % 22];
            break;
        case 1:
            s += '+';
            break;
        default: {
            char c = char(std::uniform_int_distribution<int>(1, 255)(rng));
            s += c == '%' ? 'p' : c;
        }
        }
    }
    return s;
}

TEST(UrlAgainstPython, EncodeAndDecodeAgreeWithUrllib) {
    std::mt19937 rng(2024);
    std::vector<std::string> inputs, requests;
    for (int i = 0; i < 3000; ++i) {
        inputs.push_back(random_bytes(rng, 32));
        requests.push_back("E " + to_hex(inputs.back()));
    }
    for (int i = 0; i < 3000; ++i) {
        inputs.push_back(random_encoded(rng));
        requests.push_back("D " + to_hex(inputs.back()));
    }
    const std::vector<std::string> answers = ask_python(requests);
    if (answers.empty()) GTEST_SKIP() << "python3 with urllib is not available";
    ASSERT_EQ(answers.size(), inputs.size());

    std::vector<char> out(200);
    int mismatches = 0;
    for (std::size_t i = 0; i < inputs.size() && mismatches < 10; ++i) {
        const bool enc = requests[i][0] == 'E';
        const int32_t n = enc ? VornEncodeUrl(out.data(), int32_t(out.size()), inputs[i].c_str())
                              : VornDecodeUrl(out.data(), int32_t(out.size()), inputs[i].c_str());
        const std::string ours(out.data(), std::size_t(n));
        if (ours != answers[i]) {
            ++mismatches;
            ADD_FAILURE() << (enc ? "encode " : "decode ") << to_hex(inputs[i]) << ": ours "
                          << to_hex(ours) << ", urllib " << to_hex(answers[i]);
        }
    }
}

} // namespace
