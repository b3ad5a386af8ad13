#include "clockcast/cadence.hpp"

#include <gtest/gtest.h>

namespace {

using clockcast::next_step;

TEST(Cadence, SendsOnlyInsideTheWindowAndWakesAtTheNextHalfSecond) {
    struct case_ {
        std::int64_t ns;
        bool send;
        std::int64_t sleep_ns;
    } cases[] = {
        {0, false, 500000000},
        {200000000, false, 300000000},  // a start early in the second waits for its half
        {499999999, false, 1},
        {500000000, false, 0},  // exactly the half: read the clock again at once
        {500000001, true, 999999999},
        {700000000, true, 800000000},  // a start after the half sends at once
        {949999999, true, 550000001},
        {950000000, false, 550000000},  // late wake-up: skip this second
        {999999999, false, 500000001},
    };
    for (const auto& c : cases) {
        const auto s = next_step(c.ns);
        EXPECT_EQ(s.send, c.send) << c.ns;
        EXPECT_EQ(s.sleep_ns, c.sleep_ns) << c.ns;
    }
}

TEST(Cadence, EveryWakeUpLandsOnAHalfSecondWithinASecond) {
    for (std::int64_t ns = 0; ns < 1000000000; ns += 7919) {
        const auto s = next_step(ns);
        ASSERT_GE(s.sleep_ns, 0) << ns;
        ASSERT_LT(s.sleep_ns, 1000000000) << ns;
        ASSERT_EQ((ns + s.sleep_ns) % 1000000000, 500000000) << ns;
    }
}

}  // namespace
