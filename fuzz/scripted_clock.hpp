// The engine fuzzer's clock: it moves on at every reading, so a blocking call that spins
// until a time-out sees time pass, and the scripted line makes it jump. While nothing
// happens on the line the moves grow (doubling every second reading, up to 2 ms), so waits
// of tens of milliseconds take a few dozen readings; any line activity brings them back to
// the base step. It counts the readings of the current operation so a call that never
// returns is caught.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "sdk/serial/clock.hpp"

namespace fuzz {

// Clock readings plus line polls one operation may take before it is judged stuck.
constexpr uint64_t kMaxTicksPerOperation = 2'000'000;
constexpr int64_t kMaxIdleMoveUs = 2000;

class ScriptedClock final : public zelkSDK::Clock {
  public:
    int64_t get_time_microseconds() override {
        tick();
        const int64_t reading = now;
        const int doublings = idle_readings / 2 < 10 ? idle_readings / 2 : 10;
        const int64_t move = step << doublings;
        now += move < kMaxIdleMoveUs ? move : (step > kMaxIdleMoveUs ? step : kMaxIdleMoveUs);
        ++idle_readings;
        return reading;
    }
    // Something happened on the line: time moves in base steps again.
    void activity() { idle_readings = 0; }
    void advance(int64_t microseconds) { now += microseconds; }
    void tick() {
        if (++ticks > kMaxTicksPerOperation) {
            std::fprintf(stderr,
                         "fuzz: violation: an operation has not returned after %llu "
                         "clock readings and line polls\n",
                         static_cast<unsigned long long>(ticks));
            std::abort();
        }
    }

    int64_t now = 1'000'000;
    int64_t step = 100;
    uint64_t ticks = 0;  // reset by the harness at the start of every operation
    int idle_readings = 0;
};

}  // namespace fuzz
