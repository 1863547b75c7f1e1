// Every text-format function under a failing allocator: the n-th allocation of the call fails,
// for n = 1, 2, ... until the call gets through. The record must stay whole (untouched, or
// holding the entries stored before the failure), the output buffer must be untouched or right,
// and nothing may leak.
#include "vornhash.h"
#include "vorn_internal.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace {

using Cells = std::vector<std::pair<std::string, std::string>>;

const Cells kInitial{{"old", "value"}, {"", "unnamed"}};

struct Rec {
    Hash h{};
    explicit Rec(const Cells &cells) {
        EXPECT_EQ(VornAllocHash(&h, 0, 4), 1);
        EXPECT_EQ(VornReAllocHash(&h, 0), 1);
        for (const auto &[k, v] : cells) {
            EXPECT_EQ(VornSetHash(&h, nullptr, -1, v.c_str(), -1), 1);
            EXPECT_EQ(VornSetHashKey(&h, h.count - 1, k.c_str()), 1);
        }
    }
    ~Rec() { VornFreeHash(&h); }
};

Cells cells_of(const Hash &h) {
    Cells out;
    for (int32_t i = 0; i < h.count; ++i) {
        // Every buffer the record owns is readable to its full size and says so.
        EXPECT_GE(h.sizes[i], h.unit);
        EXPECT_EQ(h.sizes[i] % h.unit, 0);
        out.emplace_back(h.keys[i],
                         std::string(h.values[i], strnlen(h.values[i], std::size_t(h.sizes[i]))));
    }
    return out;
}

bool is_prefix(const Cells &part, const Cells &whole) {
    return part.size() <= whole.size() && std::equal(part.begin(), part.end(), whole.begin());
}

// Runs read on a fresh record holding kInitial, failing the k-th allocation, for every k. The
// input must not repeat a name: the cells of a reader cut short are then a prefix of its result.
void sweep_reader(const std::string &what, const std::function<int32_t(Hash *)> &read) {
    SCOPED_TRACE(what);
    Cells expected;
    {
        Rec r(kInitial);
        ASSERT_EQ(read(&r.h), 1);
        expected = cells_of(r.h);
    }
    for (long k = 1;; ++k) {
        SCOPED_TRACE("failing allocation " + std::to_string(k));
        const long live = vorn::mem_live_blocks();
        bool last = false;
        {
            Rec r(kInitial);
            const long before = vorn::mem_attempts();
            vorn::mem_fail_nth(k);
            const int32_t result = read(&r.h);
            vorn::mem_fail_nth(0);
            last = vorn::mem_attempts() - before < k;
            const Cells got = cells_of(r.h);
            if (result == 1) {
                EXPECT_EQ(got, expected);
            } else {
                EXPECT_FALSE(last);
                EXPECT_TRUE(got == kInitial || is_prefix(got, expected)) << got.size();
            }
        }
        EXPECT_EQ(vorn::mem_live_blocks(), live);
        if (last || k > 500) break;
    }
}

// A function writing into out: under any failing allocation it either delivers the same text
// as without failures, or fails with 0 and out untouched.
void sweep_writer(const std::string &what, const std::function<int32_t(char *)> &write) {
    SCOPED_TRACE(what);
    std::vector<char> want(512, '#');
    const int32_t wantResult = write(want.data());
    for (long k = 1;; ++k) {
        std::vector<char> out(512, '#');
        const long live = vorn::mem_live_blocks();
        const long before = vorn::mem_attempts();
        vorn::mem_fail_nth(k);
        const int32_t result = write(out.data());
        vorn::mem_fail_nth(0);
        const bool last = vorn::mem_attempts() - before < k;
        if (result == wantResult && out == want) {
            EXPECT_TRUE(last || result != 0);
        } else {
            EXPECT_FALSE(last);
            EXPECT_EQ(result, 0);
            EXPECT_EQ(out, std::vector<char>(512, '#'));
        }
        EXPECT_EQ(vorn::mem_live_blocks(), live);
        if (last || k > 500) break;
    }
}

TEST(FormatsAllocation, ReadersKeepTheRecordWholeAndLeakNothing) {
    const std::string block("a=1\0=u\0b=22\0c\0\0", 16);
    sweep_reader("env", [&](Hash *h) { return VornEnvToHash(h, block.c_str()); });
    sweep_reader("keyed note",
                 [](Hash *h) { return VornNoteToHash(h, "k1\r\nv1\r\n\r\nu\r\nk2\nv2", 1); });
    sweep_reader("note", [](Hash *h) { return VornNoteToHash(h, "a\r\n\r\nb\rc", 0); });
    sweep_reader("header", [](Hash *h) {
        return VornHttpHeaderToHash(h, "HTTP/1.1 200 OK\r\nHost: a\r\n\r\n: v\r\nX:  y\r\n");
    });
    sweep_reader("query",
                 [](Hash *h) { return VornQueryStringToHash(h, "q=a+b&=2&&n=%31&flag&", 0); });
    sweep_reader("raw query", [](Hash *h) { return VornQueryStringToHash(h, "q=a+b&n=%31", 1); });
}

TEST(FormatsAllocation, WritersAndCodersNeverHalfWrite) {
    const Cells cells{{"q", "a b"}, {"", "x&y"}, {"name", "Bob"}, {"n", "%n%"}};
    const std::function<int32_t(char *, const Hash *)> writers[] = {
        [](char *out, const Hash *h) { return VornHashToEnv(out, 512, h); },
        [](char *out, const Hash *h) { return VornHashToNote(out, 512, h, 1); },
        [](char *out, const Hash *h) { return VornHashToHttpHeader(out, 512, h); },
        [](char *out, const Hash *h) { return VornHashToQueryString(out, 512, h, 0); },
        [](char *out, const Hash *h) {
            return VornExpandHash(out, 512, "Hi %name%, %n%% 100%", h, 1);
        },
    };
    int i = 0;
    for (const auto &w : writers) {
        Rec r(cells);
        sweep_writer("writer " + std::to_string(i++), [&](char *out) { return w(out, &r.h); });
    }
    sweep_writer("encode", [](char *out) { return VornEncodeUrl(out, 512, "a b/\xE9~"); });
    sweep_writer("decode", [](char *out) { return VornDecodeUrl(out, 512, "a+b%2F%e9%7E"); });
}

TEST(FormatsAllocation, WritersNeedNoMemory) {
    Rec r({{"q", "a b"}, {"k", "v"}});
    char out[256];
    const long before = vorn::mem_attempts();
    VornHashToEnv(out, 256, &r.h);
    VornHashToNote(out, 256, &r.h, 1);
    VornHashToHttpHeader(out, 256, &r.h);
    VornHashToQueryString(out, 256, &r.h, 0);
    VornExpandHash(out, 256, "%q%%k%", &r.h, 0);
    EXPECT_EQ(vorn::mem_attempts(), before);
}

} // namespace
