// The SDK's clock: whole microseconds of the steady clock since construction.
#pragma once

#include <chrono>
#include <cstdint>

#include "sdk/serial/clock.hpp"

namespace zelkSDK {

class ChronoClock final : public Clock {
  public:
    ChronoClock();
    int64_t get_time_microseconds() override;

  private:
    std::chrono::time_point<std::chrono::steady_clock, std::chrono::microseconds> start_time;
};

}  // namespace zelkSDK
