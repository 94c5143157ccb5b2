#include "sim/usb_adapter.hpp"

#include <gtest/gtest.h>

using Times = std::vector<int64_t>;

// The timer ticks at whole multiples of the latency on the clock of the times given.
TEST(UsbAdapter, APacketGoesWhenFullElseAtTheNextTick) {
    sim::UsbAdapter adapter(16, 4);
    // Four bytes fill a packet, which goes with its last byte; the fifth waits for the tick
    // at 16 ms; the sixth came after that tick and waits for the next; one that arrives on a
    // tick goes with it.
    EXPECT_EQ(adapter.delivery_times_us({1000, 2000, 3000, 4000, 5000, 17000}),
              (Times{4000, 4000, 4000, 4000, 16000, 32000}));
    EXPECT_EQ(adapter.delivery_times_us({48000}), Times{48000});
    // A whole answer at once (an unpaced line): full packets at once, the rest at the tick.
    EXPECT_EQ(adapter.delivery_times_us(Times(10, 50000)),
              (Times{50000, 50000, 50000, 50000, 50000, 50000, 50000, 50000, 64000, 64000}));
}

TEST(UsbAdapter, BytesOfAnEarlierCallShareThePacket) {
    sim::UsbAdapter adapter(16, 4);
    EXPECT_EQ(adapter.delivery_times_us({100}), Times{16000});
    // Three more fill the packet before the tick: they go at 400 (and the caller moves the
    // first byte's time there); a byte stamped before the last one arrives with it.
    EXPECT_EQ(adapter.delivery_times_us({200, 300, 400}), (Times{400, 400, 400}));
    EXPECT_EQ(adapter.delivery_times_us({50, 15000}), (Times{16000, 16000}));
}

TEST(UsbAdapter, ANewLatencyTakesOverAfterThePendingTick) {
    sim::UsbAdapter adapter(16, 62);
    adapter.set_latency_ms(1, 20000);  // the tick at 32 ms stands, then one every 1 ms
    EXPECT_EQ(adapter.latency_ms(), 1);
    EXPECT_EQ(adapter.delivery_times_us({21000, 32500, 40200}), (Times{32000, 33000, 41000}));
    adapter.set_latency_ms(16, 41500);  // back: the tick at 42 ms, then every 16 ms
    EXPECT_EQ(adapter.delivery_times_us({41600, 42100, 58000}), (Times{42000, 58000, 58000}));
}
