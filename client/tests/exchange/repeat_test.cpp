// The repeat's schedule under a timer that fires late by random amounts: it keeps to the grid of
// its first send, never sends twice for one slot, starts afresh after a long delay, and ends at
// its count with the notes and status texts the record and the window show.
#include "exchange/repeat.hpp"

#include <gtest/gtest.h>

#include <random>

namespace tarvotcpc {
namespace {

using namespace std::chrono_literals;
using Clock = Repeater::Clock;

TEST(Repeater, KeepsToItsGridUnderALateTimerAndEndsAtItsCount) {
    std::mt19937 rng(7);
    Repeater repeat;
    repeat.Start({10, 500});
    Clock::time_point now{};
    Clock::time_point anchor = now;
    ASSERT_TRUE(repeat.Due(now));
    EXPECT_EQ(repeat.NoteForNext(), "繰り返し送信 1/500");
    uint64_t slot = 0;
    while (repeat.Running()) {
        // The timer fires when asked, or late: mostly by a little, now and then by a lot.
        const auto due = repeat.NextDue(now);
        ASSERT_GE(due, now);
        const unsigned pick = rng() % 100;
        now = due + std::chrono::microseconds(pick < 95 ? rng() % 3000 : 10000 + rng() % 30000);
        ASSERT_TRUE(repeat.Due(now));
        const bool restarts = repeat.Done() > 0 && now - due >= 10ms;
        repeat.Sent(now);
        if (repeat.Done() == 1 || restarts) {
            anchor = now;
            slot = 0;
        }
        ++slot;
        if (!repeat.Running()) break;
        // Never due again before the next slot of the grid.
        EXPECT_EQ(repeat.NextDue(now), anchor + slot * 10ms);
        EXPECT_FALSE(repeat.Due(now));
    }
    EXPECT_EQ(repeat.Done(), 500u);
    EXPECT_EQ(repeat.StatusText(), "繰り返し送信 500/500 完了");

    repeat.Start({1, 0});
    repeat.Sent(now);
    repeat.Sent(now + 1ms);
    EXPECT_EQ(repeat.NoteForNext(), "繰り返し送信 3");
    EXPECT_EQ(repeat.StatusText(), "繰り返し送信中 2回 (停止するまで)");
    repeat.Stop("切断しました");
    EXPECT_FALSE(repeat.Due(now + 1h));
    EXPECT_EQ(repeat.StatusText(), "繰り返し送信を停止しました (2回): 切断しました");
}

TEST(Repeater, TheDialogsFieldsAndTheQueuesLimit) {
    std::string error;
    const auto params = ParseRepeatParams(" 10 ", "100", error);
    ASSERT_TRUE(params);
    EXPECT_EQ(params->intervalMs, 10);
    EXPECT_EQ(params->count, 100u);
    EXPECT_TRUE(ParseRepeatParams("1", "0", error));
    EXPECT_TRUE(ParseRepeatParams("86400000", "1000000000", error));
    for (const auto &[interval, count] : {std::pair{"0", "1"},
                                          {"", "1"},
                                          {"-5", "1"},
                                          {"1.5", "1"},
                                          {"86400001", "1"},
                                          {"99999999999999999999999", "1"},
                                          {"10", ""},
                                          {"10", "1000000001"},
                                          {"10", "x"}}) {
        error.clear();
        EXPECT_FALSE(ParseRepeatParams(interval, count, error)) << interval << " " << count;
        EXPECT_FALSE(error.empty());
    }
    // Two sends' worth may wait, and never less than the socket's own slack.
    EXPECT_EQ(RepeatUnsentLimit(1), std::size_t{64} << 10);
    EXPECT_EQ(RepeatUnsentLimit(std::size_t{1} << 20), std::size_t{2} << 20);
}

} // namespace
} // namespace tarvotcpc
