// A USB-serial adapter between the virtual actuator's line and the host, delivering what the
// wire brings the way the common chips do: bytes collect in the adapter's buffer, and the host
// gets them in USB packets, as soon as the buffer holds a packet's worth, else at the next
// tick of the adapter's latency timer. The timer ticks every latency (whole milliseconds) on
// the clock the times come from. Pure arithmetic on the times it is given, in microseconds,
// so the packets are tested without a clock.
#pragma once

#include <cstdint>
#include <limits>
#include <vector>

namespace sim {

class UsbAdapter {
  public:
    // What the drivers of the common chips accept for the latency timer.
    static constexpr int kMinLatencyMs = 1;
    static constexpr int kMaxLatencyMs = 255;
    static constexpr int kDefaultPacketBytes = 62;  // a full-speed packet less its status bytes

    UsbAdapter(int latency_ms, int packet_bytes) : latency(latency_ms), packet(packet_bytes) {}

    int latency_ms() const { return latency; }
    int packet_bytes() const { return packet; }

    // A new latency, set at now_us: the tick the timer is counting down to keeps its time,
    // and the ticks after it follow the new latency.
    void set_latency_ms(int latency_ms, int64_t now_us);

    // When each of these bytes reaches the host, given when each reached the adapter, in
    // order (a byte earlier than the one before it counts as arriving with it). Bytes of an
    // earlier call still in the buffer share the packet of the first of these: they reach the
    // host no later than the first time returned here, which the caller sees to.
    std::vector<int64_t> delivery_times_us(const std::vector<int64_t>& arrival_us);

  private:
    int64_t next_tick_us(int64_t at_us) const;  // the first tick at or after at_us

    int latency;
    int packet;
    int64_t tick_anchor_us = 0;  // one tick: the timer ticks every latency from it
    int buffered = 0;            // bytes waiting in the buffer
    int64_t flush_us = 0;        // when the buffered bytes go, unless the buffer fills first
    int64_t last_arrival_us = std::numeric_limits<int64_t>::min();
};

}  // namespace sim
