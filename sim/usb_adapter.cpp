#include "sim/usb_adapter.hpp"

#include <algorithm>
#include <cstddef>

namespace sim {

int64_t UsbAdapter::next_tick_us(int64_t at_us) const {
    if (at_us <= tick_anchor_us) {
        return tick_anchor_us;
    }
    const int64_t period = int64_t{latency} * 1000;
    return tick_anchor_us + (at_us - tick_anchor_us + period - 1) / period * period;
}

void UsbAdapter::set_latency_ms(int latency_ms, int64_t now_us) {
    tick_anchor_us = next_tick_us(now_us);
    latency = latency_ms;
}

std::vector<int64_t> UsbAdapter::delivery_times_us(const std::vector<int64_t>& arrival_us) {
    std::vector<int64_t> times(arrival_us.size());
    size_t packet_start = 0;  // this call's first byte in the buffer
    for (size_t i = 0; i < arrival_us.size(); ++i) {
        const int64_t at = std::max(arrival_us[i], last_arrival_us);
        last_arrival_us = at;
        if (buffered > 0 && at > flush_us) {
            buffered = 0;  // the tick took them
        }
        if (buffered == 0) {
            flush_us = next_tick_us(at);
            packet_start = i;
        }
        times[i] = flush_us;
        if (++buffered == packet) {
            std::fill(times.begin() + static_cast<std::ptrdiff_t>(packet_start),
                      times.begin() + static_cast<std::ptrdiff_t>(i) + 1, at);
            buffered = 0;
        }
    }
    return times;
}

}  // namespace sim
