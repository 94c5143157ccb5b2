// The timing of the virtual actuator's half-duplex serial line, in microseconds: when a
// request has completely arrived, and when each byte of a response reaches the client.
// A pseudo-terminal moves bytes at once; this gives them the wire time of a real line at
// the baud rate, 11 bits per character (start, 8 data, parity, stop). Pure arithmetic on
// the times it is given, so the pacing is tested without a clock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

#include "sim/fault_injector.hpp"

namespace sim {

class PacedLine {
  public:
    // 0: unpaced, bytes take no time on the line.
    explicit PacedLine(int baud_rate) : baud(baud_rate) {}

    int baud_rate() const { return baud; }
    int64_t wire_time_us(size_t characters) const;

    // A request of `length` bytes whose first byte arrived at first_us and its last at
    // last_us has been received one wire time after it started (after its first byte, or
    // after the previous request if that was still on the line), never before its last
    // byte arrived.
    int64_t request_received_us(size_t length, int64_t first_us, int64_t last_us);

    // When each byte of a delivery reaches the client: the first chunk starts the
    // turnaround time (or the delivery's late time) after the request was received, and
    // not before the previous response has left the line; a chunk starts its gap after the
    // previous one; each byte arrives one character time after the one before it, the
    // first one character time after its chunk starts.
    std::vector<int64_t> byte_times_us(const Delivery& delivery, int64_t received_us,
                                       int turnaround_us);

  private:
    int baud;
    int64_t request_line_free = std::numeric_limits<int64_t>::min();
    int64_t response_line_free = std::numeric_limits<int64_t>::min();
};

}  // namespace sim
