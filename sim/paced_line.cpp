#include "sim/paced_line.hpp"

#include <algorithm>

#include "sdk/modbus/wire.hpp"

namespace sim {

int64_t PacedLine::wire_time_us(size_t characters) const {
    return zelkSDK::wire::wire_time_us(static_cast<int64_t>(characters), baud);
}

int64_t PacedLine::request_received_us(size_t length, int64_t first_us, int64_t last_us) {
    const int64_t start = std::max(first_us, request_line_free);
    request_line_free = std::max(start + wire_time_us(length), last_us);
    return request_line_free;
}

std::vector<int64_t> PacedLine::byte_times_us(const Delivery& delivery, int64_t received_us,
                                              int turnaround_us) {
    std::vector<int64_t> times;
    const int64_t wait = delivery.late_us > 0 ? delivery.late_us : turnaround_us;
    int64_t chunk_start = std::max(received_us + wait, response_line_free);
    for (const Chunk& chunk : delivery.chunks) {
        if (!times.empty()) {
            chunk_start = times.back() + chunk.gap_before_us;
        }
        for (size_t i = 0; i < chunk.bytes.size(); ++i) {
            times.push_back(chunk_start + wire_time_us(i + 1));
        }
    }
    if (!times.empty()) {
        response_line_free = times.back();
    }
    return times;
}

}  // namespace sim
