#include "sim/paced_line.hpp"

#include <gtest/gtest.h>

namespace {

// At 19200 baud a character takes 11 / 19200 s = 572.9 us; 8 take 4583.3 us, 4584 rounded up.
constexpr int kBaud = 19200;

sim::Delivery in_one_piece(size_t length) {
    sim::Delivery delivery;
    delivery.chunks.push_back({std::vector<uint8_t>(length, 0xAA), 0});
    delivery.frame_length = length;
    return delivery;
}

}  // namespace

TEST(PacedLine, RequestArrivesAfterItsOwnWireTime) {
    sim::PacedLine line(kBaud);
    EXPECT_EQ(line.wire_time_us(8), 4584);
    EXPECT_EQ(line.request_received_us(8, 1000, 1000), 5584);
    // Bytes that trickled in more slowly than the wire: the last one decides.
    EXPECT_EQ(line.request_received_us(8, 10000, 20000), 20000);
    // A request written while the previous one is still on the wire queues behind it.
    EXPECT_EQ(line.request_received_us(8, 30000, 30000), 34584);
    EXPECT_EQ(line.request_received_us(8, 30010, 30010), 34584 + 4584);

    sim::PacedLine unpaced(0);
    EXPECT_EQ(unpaced.request_received_us(8, 1000, 1200), 1200);
}

TEST(PacedLine, ResponseBytesOneCharacterApartAfterTheTurnaround) {
    sim::PacedLine line(kBaud);
    const std::vector<int64_t> times = line.byte_times_us(in_one_piece(7), 5584, 1000);
    ASSERT_EQ(times.size(), 7u);
    for (size_t i = 0; i < times.size(); ++i)
        EXPECT_EQ(times[i], 6584 + line.wire_time_us(i + 1)) << i;

    // One talker at a time: an answer due earlier waits for the line to be free.
    const std::vector<int64_t> next = line.byte_times_us(in_one_piece(2), 6000, 0);
    EXPECT_EQ(next[0], times.back() + line.wire_time_us(1));

    // A late answer starts its late time after the request, instead of the turnaround.
    sim::Delivery late = in_one_piece(1);
    late.late_us = 30000;
    EXPECT_EQ(line.byte_times_us(late, 100000, 1000)[0], 130000 + line.wire_time_us(1));

    // The second piece of a split answer starts its gap after the first piece's last byte.
    sim::Delivery split;
    split.chunks = {{{1, 2}, 0}, {{3}, 2000}};
    const std::vector<int64_t> pieces = line.byte_times_us(split, 200000, 0);
    EXPECT_EQ(pieces[2], pieces[1] + 2000 + line.wire_time_us(1));
}

TEST(PacedLine, UnpacedBytesGoAtOnce) {
    sim::PacedLine line(0);
    sim::Delivery delivery = in_one_piece(5);
    delivery.chunks.push_back({{9}, 300});
    const std::vector<int64_t> times = line.byte_times_us(delivery, 1000, 50);
    EXPECT_EQ(times, (std::vector<int64_t>{1050, 1050, 1050, 1050, 1050, 1350}));
}
