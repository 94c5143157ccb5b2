// The wire format against frames computed apart from this project.
#include "sdk/modbus/wire.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fakes/wire.hpp"

using namespace zelkSDK;

TEST(Wire, CrcGoesLowByteFirstAndIsChecked) {
    std::vector<uint8_t> check_value(std::begin("123456789"), std::end("123456789") - 1);
    wire::append_crc(check_value);
    EXPECT_EQ(wire::hex(check_value.data() + 9, 2, " "), "37 4b");
    EXPECT_TRUE(wire::crc_ok(check_value.data(), check_value.size()));
    check_value[0] ^= 1;
    EXPECT_FALSE(wire::crc_ok(check_value.data(), check_value.size()));
    const std::vector<uint8_t> too_short = {0xff, 0xff, 0xff};
    EXPECT_FALSE(wire::crc_ok(too_short.data(), too_short.size()));
}

TEST(Wire, TelemetryMatchesIndependentStreamAnswers) {
    for (const fakes::WireVector& v : fakes::load_wire_vectors("responses")) {
        if (v.frame.size() != static_cast<size_t>(kStreamResponseLength) || v.frame[1] != 0x64)
            continue;
        SCOPED_TRACE(v.what);
        const StreamData data = wire::decode_telemetry(&v.frame[2]);
        std::vector<uint8_t> again = {v.frame[0], v.frame[1]};
        wire::append_telemetry(again, data);
        EXPECT_EQ(again.size(), 2u + wire::kTelemetryLength);
        wire::append_crc(again);
        EXPECT_EQ(again, v.frame);
    }
    const std::vector<uint8_t> first =
        fakes::hex("01 64 00 00 01 00 ff ff ff fe 00 0a c8 5d c0 00 01 f7 78");
    const StreamData data = wire::decode_telemetry(&first[2]);
    EXPECT_EQ(data.position, 256);
    EXPECT_EQ(data.force, -2);
    EXPECT_EQ(data.temperature, 200);
    EXPECT_EQ(data.voltage, 24000);
}

TEST(Wire, TimeOnTheWireRoundsUp) {
    EXPECT_EQ(wire::wire_time_us(8, 19200), 4584);  // 4583.3
    EXPECT_EQ(wire::wire_time_us(1, 1'000'000), 11);
    EXPECT_EQ(wire::wire_time_us(256, 0), 0);
}

TEST(Wire, FailureTextsJoinInOneOrder) {
    EXPECT_EQ(wire::log_failure_text(0x7f),
              "Timed out. Unexpected interchar. Wrong address. Wrong CRC. Response does not "
              "match. Line lost. Line busy. ");
    EXPECT_EQ(wire::caller_failure_text(0x52),
              "Response timed out, the motor took too long to respond. Wrong CRC. ");
    EXPECT_EQ(wire::caller_failure_text(0), "");
}

TEST(Wire, HexBothWays) {
    std::vector<uint8_t> bytes;
    EXPECT_TRUE(wire::parse_hex("09ABff", bytes));
    EXPECT_EQ(wire::hex(bytes, "\t"), "09\tab\tff");
    EXPECT_FALSE(wire::parse_hex("01zz02", bytes));
    EXPECT_TRUE(bytes.empty());  // never half a frame
    bytes = {9};
    EXPECT_FALSE(wire::parse_hex("abc", bytes));
    EXPECT_TRUE(bytes.empty());
}
