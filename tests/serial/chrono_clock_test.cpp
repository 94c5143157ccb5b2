// The SDK's own clock: whole microseconds of the steady clock since construction.
#include "sdk/serial/chrono_clock.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>

using namespace zelkSDK;

TEST(ChronoClock, StartsNearZeroAndNeverGoesBack) {
    auto clock = std::make_shared<ChronoClock>();
    const int64_t first = clock->get_time_microseconds();
    const int64_t second = clock->get_time_microseconds();
    EXPECT_GE(first, 0);
    EXPECT_LT(first, 1'000'000);
    EXPECT_GE(second, first);
}
