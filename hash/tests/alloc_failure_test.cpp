// Out-of-memory behaviour of every export. Each scenario is run again and again with the k-th
// allocation failing, k = 1, 2, ..., until a run no longer reaches the failing allocation.
// After every failed run the records must hold exactly what they held before the call (or, for
// the two merging exports, the cells finished before the failure), must still work, and must
// give back every block once freed.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include <vornhash.h>

#include "support/model.hpp"
#include "vorn_internal.hpp"

namespace {

using model::Fill;
using model::Model;
using States = std::vector<std::pair<Model, Model>>;

struct Scenario {
    std::string name;
    // Builds both records (the second may stay zeroed) from nothing.
    std::function<void(Hash &, Hash &)> setup;
    std::function<std::int32_t(Hash &, Hash &)> call;
    // The same call on the model: the outcome of a run that meets no failure.
    std::function<std::int32_t(Model &, Model &)> expect;
    // What a failed run may leave; by default exactly the state before the call.
    std::function<States(const Model &, const Model &)> failureStates;
    // Exports that need no memory must succeed whichever allocation fails.
    bool needsNoMemory = false;
};

// The records are still fully usable: a lookup-append and an insertion behave as on the model.
::testing::AssertionResult StillUsable(Hash &h, Model m) {
    if (!m.live()) return ::testing::AssertionSuccess();
    if (VornSetHash(&h, "probe", -1, "p", -1) != model::SetHash(&m, "probe", -1, "p", -1) ||
        VornAddHash(&h, nullptr, 0, "q", -1) != model::AddHash(&m, nullptr, 0, "q", -1))
        return ::testing::AssertionFailure() << "a write after the failure gave a wrong result";
    return model::Matches(h, m);
}

void Exercise(const Scenario &s) {
    SCOPED_TRACE(s.name);
    const long liveAtStart = vorn::mem_live_blocks();
    for (long k = 1;; ++k) {
        ASSERT_LT(k, 10000) << "the call never got past its failing allocation";
        Hash rec[2] = {};
        s.setup(rec[0], rec[1]);
        const Model before0 = model::Of(rec[0]), before1 = model::Of(rec[1]);
        Model want0 = before0, want1 = before1;
        const std::int32_t wanted = s.expect(want0, want1);

        const long attempts = vorn::mem_attempts();
        vorn::mem_fail_nth(k);
        const std::int32_t result = s.call(rec[0], rec[1]);
        vorn::mem_fail_nth(0);
        const bool hit = vorn::mem_attempts() - attempts >= k;

        // A call that met the failure may still have coped with it (say, a shrink that kept
        // the larger block); otherwise it must report failure and leave an allowed state.
        const bool succeeded =
            result == wanted && model::Matches(rec[0], want0) && model::Matches(rec[1], want1);
        if (!hit || s.needsNoMemory) {
            EXPECT_EQ(result, wanted) << "allocation " << k << " set to fail";
            EXPECT_TRUE(model::Matches(rec[0], want0)) << "allocation " << k << " set to fail";
            EXPECT_TRUE(model::Matches(rec[1], want1)) << "allocation " << k << " set to fail";
        } else if (!succeeded) {
            EXPECT_EQ(result, 0) << "allocation " << k << " failed";
            const States allowed =
                s.failureStates ? s.failureStates(before0, before1) : States{{before0, before1}};
            const std::pair<Model, Model> *left = nullptr;
            for (const auto &st : allowed)
                if (model::Matches(rec[0], st.first) && model::Matches(rec[1], st.second))
                    left = &st;
            if (left == nullptr) {
                ADD_FAILURE() << "allocation " << k
                              << " failed and left a state not allowed\nfirst record: "
                              << model::Describe(rec[0]) << "\nbefore: " << model::Describe(before0)
                              << "\nsecond record: " << model::Describe(rec[1])
                              << "\nbefore: " << model::Describe(before1);
            } else {
                EXPECT_TRUE(StillUsable(rec[0], left->first))
                    << "after allocation " << k << " failed";
                EXPECT_TRUE(StillUsable(rec[1], left->second))
                    << "after allocation " << k << " failed";
            }
        }
        VornFreeHash(&rec[0]);
        VornFreeHash(&rec[1]);
        EXPECT_EQ(vorn::mem_live_blocks(), liveAtStart)
            << "blocks leaked with allocation " << k << " failing";
        if (!hit || ::testing::Test::HasFailure()) return;
    }
}

// Two records with duplicate and empty keys, different units and values with stale tails.
void Pair(Hash &h, Hash &g) {
    Fill(&h, 3, {{"a", "alpha"}, {"", "u"}, {"b", "beta"}, {"a", "dup"}, {"", ""}});
    VornSetHash(&h, nullptr, 2, "b", -1); // leaves a stale byte after the terminator
    Fill(&g, 1, {{"b", "B!"}, {"", "x"}, {"c", "gamma"}, {"b", "B2"}, {"d", "delta delta"}});
}
void One(Hash &h, Hash &) {
    Fill(&h, 2, {{"a", "alpha"}, {"", "u"}, {"b", "beta"}, {"a", "dup"}});
}

// ---- storage -------------------------------------------------------------------------------

TEST(AllocFailure, AllocHashLeavesAZeroedRecord) {
    for (auto [count, unit] : {std::pair{1, 1}, {4, 3}, {40, 16}}) {
        Scenario s;
        s.name = "VornAllocHash " + std::to_string(count) + " x " + std::to_string(unit);
        s.setup = [](Hash &, Hash &) {};
        s.call = [count, unit](Hash &h, Hash &) { return VornAllocHash(&h, count, unit); };
        s.expect = [count, unit](Model &h, Model &) { return model::AllocHash(&h, count, unit); };
        Exercise(s);
    }
}

TEST(AllocFailure, ReAllocHashKeepsTheRecord) {
    for (std::int32_t n : {0, 2, 4, 5, 30}) {
        Scenario s;
        s.name = "VornReAllocHash to " + std::to_string(n);
        s.setup = One;
        s.call = [n](Hash &h, Hash &) { return VornReAllocHash(&h, n); };
        s.expect = [n](Model &h, Model &) { return model::ReAllocHash(&h, n); };
        Exercise(s);
    }
}

TEST(AllocFailure, SetHashKeyKeepsTheCell) {
    for (const char *key : {"a much longer key than any", "", "b"}) {
        Scenario s;
        s.name = std::string("VornSetHashKey to \"") + key + "\"";
        s.setup = One;
        s.call = [key](Hash &h, Hash &) { return VornSetHashKey(&h, 1, key); };
        s.expect = [key](Model &h, Model &) { return model::SetHashKey(&h, 1, key); };
        Exercise(s);
    }
}

struct SetCase {
    const char *key;
    std::int32_t index;
    const char *data;
    std::int32_t length;
};

TEST(AllocFailure, SetHashIsAllOrNothing) {
    const SetCase cases[] = {
        {"a", 0, "a longer value than before", -1}, // existing cell grows
        {"a", 0, "x", -1},                          // existing cell shrinks
        {"new", 0, "v", -1},                        // named cell appended
        {nullptr, 9, "far", -1},                    // record grows by several cells
        {"", -1, "end", -1},                        // unnamed cell appended
        {nullptr, 2, nullptr, 40},                  // buffer sized only
        {nullptr, 1, "raw\0bytes", 9},
    };
    for (const SetCase &c : cases) {
        Scenario s;
        s.name = std::string("VornSetHash ") + (c.key ? c.key : "null") + " " +
                 std::to_string(c.index) + " " + (c.data ? c.data : "null") + " " +
                 std::to_string(c.length);
        s.setup = One;
        s.call = [c](Hash &h, Hash &) { return VornSetHash(&h, c.key, c.index, c.data, c.length); };
        s.expect = [c](Model &h, Model &) {
            return model::SetHash(&h, c.key, c.index, c.data, c.length);
        };
        Exercise(s);
    }
    // Data read from the very buffer that grows.
    Scenario s;
    s.name = "VornSetHash from its own buffer";
    s.setup = One;
    s.call = [](Hash &h, Hash &) { return VornSetHash(&h, nullptr, 0, h.values[0], h.sizes[0]); };
    s.expect = [](Model &h, Model &) {
        const model::Bytes v = h.cells[0].value;
        return model::SetHash(&h, nullptr, 0, v.data(), static_cast<std::int32_t>(v.size()));
    };
    Exercise(s);
}

TEST(AllocFailure, SetHashIntIsAllOrNothing) {
    for (std::int32_t asText : {0, 1}) {
        Scenario s;
        s.name = "VornSetHashInt asText " + std::to_string(asText);
        s.setup = One;
        s.call = [asText](Hash &h, Hash &) { return VornSetHashInt(&h, "n", 0, -123456, asText); };
        s.expect = [asText](Model &h, Model &) {
            return model::SetHashInt(&h, "n", 0, -123456, asText);
        };
        Exercise(s);
    }
}

TEST(AllocFailure, ReadingNeedsNoMemory) {
    Scenario s;
    s.name = "reads";
    s.setup = One;
    s.needsNoMemory = true;
    s.call = [](Hash &h, Hash &) {
        char buf[8];
        const char *p = VornGetHashPtr(&h, "b", 0);
        const char *safe = VornGetHashPtrSafe(&h, "zz", 0);
        return VornGetHashIndex(&h, "a") + 10 * VornIndexIsEffective(&h, 3) +
               100 * VornCountHash(&h) + 1000 * VornGetHashLength(&h, "", 0) +
               10000 * VornGetHash(buf, 8, &h, "a", 0, 1) +
               100000 * VornGetHashInt(&h, nullptr, 1, 0) + (p == h.values[2] ? 1 << 30 : 0) +
               (*safe == 0 ? 1 << 29 : 0) + VornHashVersion() * (1 << 24);
    };
    s.expect = [](Model &h, Model &) {
        char buf[8];
        return model::GetHashIndex(&h, "a") + 10 * model::IndexIsEffective(&h, 3) +
               100 * model::CountHash(&h) + 1000 * model::GetHashLength(&h, "", 0) +
               10000 * model::GetHash(buf, 8, &h, "a", 0, 1) +
               100000 * model::GetHashInt(&h, nullptr, 1, 0) + (1 << 30) + (1 << 29) +
               12 * (1 << 24);
    };
    Exercise(s);
}

TEST(AllocFailure, FreeHashNeedsNoMemory) {
    Scenario s;
    s.name = "VornFreeHash";
    s.setup = One;
    s.needsNoMemory = true;
    s.call = [](Hash &h, Hash &) { return VornFreeHash(&h); };
    s.expect = [](Model &h, Model &) { return model::FreeHash(&h); };
    Exercise(s);
}

// ---- restructuring -------------------------------------------------------------------------

TEST(AllocFailure, SortAndDeleteNeedNoMemory) {
    std::vector<Scenario> all;
    for (std::int32_t flags : {0, 1, 5}) {
        Scenario s;
        s.name = "VornSortHash " + std::to_string(flags);
        s.setup = One;
        s.needsNoMemory = true;
        s.call = [flags](Hash &h, Hash &) { return VornSortHash(&h, flags, flags & 1, 1); };
        s.expect = [flags](Model &h, Model &) { return model::SortHash(&h, flags, flags & 1, 1); };
        all.push_back(s);
    }
    Scenario del;
    del.name = "VornDeleteHash";
    del.setup = One;
    del.needsNoMemory = true;
    del.call = [](Hash &h, Hash &) {
        return VornDeleteHash(&h, "a", 0) + 2 * VornDeleteHash(&h, nullptr, 2);
    };
    del.expect = [](Model &h, Model &) {
        return model::DeleteHash(&h, "a", 0) + 2 * model::DeleteHash(&h, nullptr, 2);
    };
    all.push_back(del);
    Scenario empty;
    empty.name = "VornDeleteEmptyHash";
    empty.setup = Pair;
    empty.needsNoMemory = true;
    empty.call = [](Hash &h, Hash &) { return VornDeleteEmptyHash(&h); };
    empty.expect = [](Model &h, Model &) { return model::DeleteEmptyHash(&h); };
    all.push_back(empty);
    for (const Scenario &s : all)
        Exercise(s);
}

TEST(AllocFailure, CopyHashCellIsAllOrNothing) {
    struct Case {
        const char *name;
        std::int32_t (*real)(Hash &, Hash &);
        std::int32_t (*modelled)(Model &, Model &);
    };
    const Case cases[] = {
        {"into a new key",
         [](Hash &h, Hash &g) { return VornCopyHashCell(&h, "new", 0, &g, "d", 0); },
         [](Model &h, Model &g) { return model::CopyHashCell(&h, "new", 0, &g, "d", 0); }},
        {"over an existing cell",
         [](Hash &h, Hash &g) { return VornCopyHashCell(&h, "a", 0, &g, nullptr, 4); },
         [](Model &h, Model &g) { return model::CopyHashCell(&h, "a", 0, &g, nullptr, 4); }},
        {"past the end",
         [](Hash &h, Hash &g) { return VornCopyHashCell(&h, nullptr, 12, &g, "", 0); },
         [](Model &h, Model &g) { return model::CopyHashCell(&h, nullptr, 12, &g, "", 0); }},
        {"within one record",
         [](Hash &h, Hash &) { return VornCopyHashCell(&h, nullptr, 0, &h, "b", 0); },
         [](Model &h, Model &) { return model::CopyHashCell(&h, nullptr, 0, &h, "b", 0); }},
    };
    for (const Case &c : cases) {
        Scenario s;
        s.name = std::string("VornCopyHashCell ") + c.name;
        s.setup = Pair;
        s.call = c.real;
        s.expect = c.modelled;
        Exercise(s);
    }
}

TEST(AllocFailure, CopyHashIsAllOrNothing) {
    Scenario grow;
    grow.name = "VornCopyHash onto fewer cells";
    grow.setup = [](Hash &h, Hash &g) {
        Pair(h, g);
        VornReAllocHash(&h, 2);
    };
    grow.call = [](Hash &h, Hash &g) { return VornCopyHash(&h, &g); };
    grow.expect = [](Model &h, Model &g) { return model::CopyHash(&h, &g); };
    Exercise(grow);
    Scenario shrink = grow;
    shrink.name = "VornCopyHash onto more cells";
    shrink.setup = [](Hash &h, Hash &g) {
        Pair(h, g);
        VornSetHash(&h, nullptr, 9, "x", -1);
    };
    Exercise(shrink);
    Scenario reverse = grow;
    reverse.name = "VornCopyHash from the record with the larger unit";
    reverse.setup = Pair;
    reverse.call = [](Hash &h, Hash &g) { return VornCopyHash(&g, &h); };
    reverse.expect = [](Model &h, Model &g) { return model::CopyHash(&g, &h); };
    Exercise(reverse);
}

TEST(AllocFailure, CatHashStringIsAllOrNothing) {
    struct Case {
        const char *key;
        std::int32_t index;
    };
    for (const Case c : {Case{"a", 0}, Case{"new", 0}, Case{"", 0}, Case{nullptr, 7},
                         Case{nullptr, -1}, Case{nullptr, 2}}) {
        Scenario s;
        s.name = std::string("VornCatHashString ") + (c.key ? c.key : "null") + " " +
                 std::to_string(c.index);
        s.setup = [](Hash &h, Hash &g) {
            Pair(h, g);
            VornSetHashKey(&h, 1, "named"); // no unnamed cell left in h
            VornSetHashKey(&h, 4, "named");
        };
        s.call = [c](Hash &h, Hash &) {
            return VornCatHashString(&h, c.key, c.index, "+appended text");
        };
        s.expect = [c](Model &h, Model &) {
            return model::CatHashString(&h, c.key, c.index, "+appended text");
        };
        Exercise(s);
    }
    Scenario own;
    own.name = "VornCatHashString of its own value";
    own.setup = Pair;
    own.call = [](Hash &h, Hash &) { return VornCatHashString(&h, "a", 0, h.values[0]); };
    own.expect = [](Model &h, Model &) {
        const std::string text(reinterpret_cast<const char *>(h.cells[0].value.data()));
        return model::CatHashString(&h, "a", 0, text.c_str());
    };
    Exercise(own);
}

TEST(AllocFailure, UnitingHashKeepsTheCellsMerged) {
    for (bool reverse : {false, true}) {
        Scenario s;
        s.name =
            reverse ? "VornUnitingHash second into first" : "VornUnitingHash first into second";
        s.setup = Pair;
        s.call = [reverse](Hash &h, Hash &g) {
            return reverse ? VornUnitingHash(&h, &g) : VornUnitingHash(&g, &h);
        };
        s.expect = [reverse](Model &h, Model &g) {
            return reverse ? model::UnitingHash(&h, &g) : model::UnitingHash(&g, &h);
        };
        s.failureStates = [reverse](const Model &h, const Model &g) {
            States out;
            if (reverse)
                for (const Model &m : model::UnitingSteps(h, g))
                    out.emplace_back(m, g);
            else
                for (const Model &m : model::UnitingSteps(g, h))
                    out.emplace_back(h, m);
            return out;
        };
        Exercise(s);
    }
}

TEST(AllocFailure, MoveBetweenRecordsKeepsTheCellsCopied) {
    struct Case {
        std::int32_t targetIndex, sourceIndex, n, withKeys;
    };
    for (const Case c : {Case{1, 0, -1, 1}, Case{6, 2, 2, 0}, Case{0, 1, 3, 1}}) {
        Scenario s;
        s.name = "VornMoveHashArray between records to " + std::to_string(c.targetIndex) +
                 " from " + std::to_string(c.sourceIndex) + " n " + std::to_string(c.n) + " keys " +
                 std::to_string(c.withKeys);
        s.setup = Pair;
        s.call = [c](Hash &h, Hash &g) {
            return VornMoveHashArray(&h, c.targetIndex, &g, c.sourceIndex, c.n, c.withKeys);
        };
        s.expect = [c](Model &h, Model &g) {
            return model::MoveHashArray(&h, c.targetIndex, &g, c.sourceIndex, c.n, c.withKeys);
        };
        s.failureStates = [c](const Model &h, const Model &g) {
            States out;
            for (const Model &m :
                 model::MoveBetweenSteps(h, c.targetIndex, g, c.sourceIndex, c.n, c.withKeys))
                out.emplace_back(m, g);
            return out;
        };
        Exercise(s);
    }
}

TEST(AllocFailure, MoveWithinARecordIsAllOrNothing) {
    struct Case {
        std::int32_t targetIndex, sourceIndex, n, withKeys;
    };
    for (const Case c : {Case{1, 0, -1, 1}, Case{0, 2, 2, 1}, Case{3, 1, 2, 0}, Case{8, 0, 3, 1},
                         Case{0, 3, -1, 0}}) {
        Scenario s;
        s.name = "VornMoveHashArray within a record to " + std::to_string(c.targetIndex) +
                 " from " + std::to_string(c.sourceIndex) + " n " + std::to_string(c.n) + " keys " +
                 std::to_string(c.withKeys);
        s.setup = Pair;
        s.call = [c](Hash &h, Hash &) {
            return VornMoveHashArray(&h, c.targetIndex, &h, c.sourceIndex, c.n, c.withKeys);
        };
        s.expect = [c](Model &h, Model &) {
            return model::MoveHashArray(&h, c.targetIndex, &h, c.sourceIndex, c.n, c.withKeys);
        };
        Exercise(s);
    }
}

TEST(AllocFailure, AddHashIsAllOrNothing) {
    for (const SetCase c : {SetCase{nullptr, 1, "inserted", -1}, SetCase{"a", 0, "ahead", -1},
                            SetCase{"", 0, "u2", -1}, SetCase{"new", 0, "appended", -1},
                            SetCase{nullptr, 8, "far", -1}, SetCase{nullptr, 0, nullptr, 33}}) {
        Scenario s;
        s.name =
            std::string("VornAddHash ") + (c.key ? c.key : "null") + " " + std::to_string(c.index);
        s.setup = Pair;
        s.call = [c](Hash &h, Hash &) { return VornAddHash(&h, c.key, c.index, c.data, c.length); };
        s.expect = [c](Model &h, Model &) {
            return model::AddHash(&h, c.key, c.index, c.data, c.length);
        };
        Exercise(s);
    }
}

// Small keys and values are carved from blocks the record owns; these writes land just before,
// on and just after the end of a block, so that some of them need a new block and every
// allocation they make is made to fail once.
TEST(AllocFailure, WritesAroundTheEndOfABlockAreAllOrNothing) {
    static const std::string big(200, 'B'); // kept on the heap, not in a block
    struct Call {
        const char *name;
        std::function<std::int32_t(Hash &, Hash &)> call;
        std::function<std::int32_t(Model &, Model &)> expect;
    };
    const Call calls[] = {
        {"append", [](Hash &h, Hash &) { return VornSetHash(&h, "new", 0, "v", -1); },
         [](Model &h, Model &) { return model::SetHash(&h, "new", 0, "v", -1); }},
        {"grow a value onto the heap",
         [](Hash &h, Hash &) { return VornSetHash(&h, nullptr, 1, big.c_str(), -1); },
         [](Model &h, Model &) { return model::SetHash(&h, nullptr, 1, big.c_str(), -1); }},
        {"shrink a value into a block",
         [](Hash &h, Hash &) { return VornSetHash(&h, nullptr, 0, "x", -1); },
         [](Model &h, Model &) { return model::SetHash(&h, nullptr, 0, "x", -1); }},
        {"insert", [](Hash &h, Hash &) { return VornAddHash(&h, nullptr, 1, "ins", -1); },
         [](Model &h, Model &) { return model::AddHash(&h, nullptr, 1, "ins", -1); }},
        {"move within", [](Hash &h, Hash &) { return VornMoveHashArray(&h, 2, &h, 0, 3, 1); },
         [](Model &h, Model &) { return model::MoveHashArray(&h, 2, &h, 0, 3, 1); }},
        {"copy", [](Hash &h, Hash &g) { return VornCopyHash(&g, &h); },
         [](Model &h, Model &g) { return model::CopyHash(&g, &h); }},
        {"grow", [](Hash &h, Hash &) { return VornReAllocHash(&h, h.count + 5); },
         [](Model &h, Model &) { return model::ReAllocHash(&h, h.count() + 5); }},
    };
    for (std::int32_t n = 26; n <= 36; ++n) {
        for (const Call &c : calls) {
            Scenario s;
            s.name = std::string(c.name) + " after " + std::to_string(n) + " cells";
            s.setup = [n](Hash &h, Hash &g) {
                VornAllocHash(&h, 1, 8);
                VornSetHash(&h, nullptr, 0, big.c_str(), -1);
                for (std::int32_t i = 1; i <= n; ++i)
                    VornSetHash(&h, ("k" + std::to_string(i)).c_str(), 0, "v", -1);
                Fill(&g, 4, {{"z", "1"}});
            };
            s.call = c.call;
            s.expect = c.expect;
            Exercise(s);
        }
    }
}

} // namespace
