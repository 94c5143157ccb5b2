#include "sdk/serial/chrono_clock.hpp"

namespace zelkSDK {

ChronoClock::ChronoClock()
    : start_time(std::chrono::time_point_cast<std::chrono::microseconds>(
          std::chrono::steady_clock::now())) {}

int64_t ChronoClock::get_time_microseconds() {
    const auto now =
        std::chrono::time_point_cast<std::chrono::microseconds>(std::chrono::steady_clock::now());
    return static_cast<int64_t>((now - start_time).count());
}

}  // namespace zelkSDK
