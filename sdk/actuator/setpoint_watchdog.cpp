#include "sdk/actuator/setpoint_watchdog.hpp"

namespace zelkSDK {

void SetpointWatchdog::feed() {
    fed = true;
    is_tripped = false;
}

void SetpointWatchdog::rearm(int64_t now_us) {
    fed_us = now_us;
}

SetpointWatchdog::Verdict SetpointWatchdog::check(int64_t now_us, int64_t timeout_us) {
    if (fed || timeout_us <= 0) {
        fed = false;
        fed_us = now_us;
        return Verdict::setpoint;
    }
    const int64_t stale_us = now_us - fed_us;
    if (stale_us >= 2 * timeout_us) {
        is_tripped = true;
        return Verdict::sleep;
    }
    if (is_tripped || stale_us >= timeout_us) {
        is_tripped = true;
        return Verdict::safe_setpoint;
    }
    return Verdict::setpoint;
}

}  // namespace zelkSDK
