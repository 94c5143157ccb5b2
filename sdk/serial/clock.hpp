// A monotonic time source in microseconds. Implementations are always owned as their
// concrete type (std::make_shared), so the interface has no virtual destructor.
#pragma once

#include <cstdint>

namespace zelkSDK {

class Clock {
  public:
    // Readings never decrease; only differences between readings carry meaning.
    virtual int64_t get_time_microseconds() = 0;

  protected:
    ~Clock() = default;
};

}  // namespace zelkSDK
