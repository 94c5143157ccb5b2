// The host's set-point watchdog for one streaming actuator (the device protocol has none):
// when the set-point has not been refreshed for the time-out, the stream carries a safe
// set-point instead; after the same time again the actuator is put to sleep. A trip lasts
// until the next set-point. Pure logic on the clock readings it is given, so every edge is
// tested with a fake clock; a set-point counts from the next check, so that the threads
// that feed it never read the clock.
#pragma once

#include <cstdint>

namespace zelkSDK {

class SetpointWatchdog {
  public:
    // What the stream command built now carries.
    enum class Verdict { setpoint, safe_setpoint, sleep };

    // A new set-point: the time-out counts from the next check, and a trip is over.
    void feed();
    // Streaming (re)starts or the time-out changes: it counts from now; a trip stays.
    void rearm(int64_t now_us);
    // For a stream command built at now_us with timeout_us in effect; 0 (off) keeps it fed,
    // so a set-point grows stale only while the watchdog is on.
    Verdict check(int64_t now_us, int64_t timeout_us);
    bool tripped() const { return is_tripped; }

  private:
    int64_t fed_us = 0;
    bool fed = false;  // since the last check
    bool is_tripped = false;
};

}  // namespace zelkSDK
