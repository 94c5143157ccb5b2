// A clock that tests set by hand, and that can also move on by itself at every reading
// (so blocking calls, which spin until a time-out, see time pass).
#pragma once

#include <cstdint>

#include "sdk/serial/clock.hpp"

namespace fakes {

class FakeClock : public zelkSDK::Clock {
  public:
    int64_t get_time_microseconds() override {
        const int64_t reading = now;
        now += step_per_reading;
        return reading;
    }
    void advance(int64_t microseconds) { now += microseconds; }

    int64_t now = 1'000'000;
    int64_t step_per_reading = 0;
};

}  // namespace fakes
