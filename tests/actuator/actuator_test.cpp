#include "sdk/actuator/actuator.hpp"

#include <gtest/gtest.h>

#include <map>

#include "actuator/actuator_fixture.hpp"
#include "fakes/fake_log.hpp"
#include "fakes/fake_serial.hpp"
#include "fakes/wire.hpp"
#include "sdk/modbus/request_builders.hpp"

using namespace zelkSDK;
using fakes::hex;

TEST_F(ActuatorTest, NewActuatorIsQuietAndRemembersItsName) {
    EXPECT_STREQ(actuator.name, "x1");
    const int64_t reading = clock->now;
    EXPECT_EQ(actuator.time_since_last_response_microseconds(), reading + (int64_t{1} << 62));
    Actuator nameless(line, clock, nullptr, 1);
    EXPECT_EQ(nameless.name, nullptr);
    EXPECT_TRUE(line->requests.empty());
}

TEST_F(ActuatorTest, OpenAndCloseReachTheLine) {
    EXPECT_FALSE(static_cast<bool>(actuator.open_serial_port("/dev/ttyUSB0", 115200, 3000)));
    EXPECT_TRUE(line->open);
    EXPECT_EQ(line->baud_rate, 115200u);
    actuator.close_serial_port();
    EXPECT_FALSE(line->open);
    EXPECT_FALSE(static_cast<bool>(actuator.open_serial_port(3, 9600, 3000)));
    EXPECT_EQ(line->baud_rate, 9600u);
    EXPECT_EQ(actuator.get_bus()->client().get_interframe_delay_us(), 3000);
}

TEST_F(ActuatorTest, SingleAndWideReads) {
    device.set_register(100, 0xBEEF);
    device.set_register(200, 0x0001);
    device.set_register(201, 0x0002);
    device.set_register(202, 0xFFFF);
    device.set_register(203, 0xFFFF);
    const ZelkResult<unsigned short> single = actuator.read_register_blocking(100);
    EXPECT_EQ(single.value, 0xBEEF);
    EXPECT_FALSE(static_cast<bool>(single.error));
    EXPECT_EQ(actuator.read_wide_register_blocking(200).value, 131073);
    EXPECT_EQ(actuator.read_wide_register_blocking(202).value, -1);
    EXPECT_EQ(function_codes(), (std::vector<int>{3, 3, 3}));
}

TEST_F(ActuatorTest, MultipleReadsAndWrites) {
    const uint16_t values[] = {7, 8, 9};
    EXPECT_FALSE(static_cast<bool>(actuator.write_multiple_registers_blocking(500, 3, values)));
    const auto read = actuator.read_multiple_registers_blocking(500, 3);
    EXPECT_EQ(read.value, (std::vector<unsigned short>{7, 8, 9}));
    EXPECT_FALSE(static_cast<bool>(actuator.write_register_blocking(600, 0x1234)));
    EXPECT_EQ(device.register_value(600), 0x1234);

    EXPECT_FALSE(static_cast<bool>(actuator.write_wide_register_blocking(140, -2)));
    EXPECT_EQ(device.register_value(140), 0xFFFE);
    EXPECT_EQ(device.register_value(141), 0xFFFF);
    EXPECT_EQ(line->requests.back(), hex("01 10 00 8c 00 02 04 ff fe ff ff ab ce"));
    EXPECT_FALSE(static_cast<bool>(actuator.write_wide_register_blocking(144, 0x12345679)));
    EXPECT_EQ(device.register_value(144), 0x5679);
    EXPECT_EQ(device.register_value(145), 0x1234);

    const uint16_t one[] = {42};
    const auto rw = actuator.read_write_multiple_registers_blocking(500, 2, 501, 1, one);
    EXPECT_EQ(rw.value, (std::vector<unsigned short>{7, 42}));
    EXPECT_FALSE(static_cast<bool>(rw.error));
}

TEST_F(ActuatorTest, ZeroCountsSendNothingExceptReadWrite) {
    const auto read = actuator.read_multiple_registers_blocking(0, 0);
    EXPECT_TRUE(read.value.empty());
    EXPECT_FALSE(static_cast<bool>(read.error));
    EXPECT_EQ(read.error.what(), "");
    EXPECT_FALSE(static_cast<bool>(actuator.write_multiple_registers_blocking(0, 0, nullptr)));
    EXPECT_TRUE(line->requests.empty());

    const auto rw = actuator.read_write_multiple_registers_blocking(0, 0, 0, 0, nullptr);
    ASSERT_EQ(line->requests.size(), 1u);
    EXPECT_EQ(line->requests[0], hex("01 17 00 00 00 00 00 00 00 00 00 b2 57"));
    EXPECT_FALSE(static_cast<bool>(rw.error));
}

TEST_F(ActuatorTest, CountsBeyondTheFrameAreRefusedBeforeAnythingIsSent) {
    std::vector<uint16_t> values(255, 1);
    const auto read = actuator.read_multiple_registers_blocking(0, 126);
    EXPECT_TRUE(static_cast<bool>(read.error));
    EXPECT_NE(read.error.what().find("125"), std::string::npos);
    const ZelkError write = actuator.write_multiple_registers_blocking(0, 124, values.data());
    EXPECT_TRUE(static_cast<bool>(write));
    EXPECT_NE(write.what().find("123"), std::string::npos);
    const auto rw = actuator.read_write_multiple_registers_blocking(0, 1, 0, 122, values.data());
    EXPECT_NE(rw.error.what().find("121"), std::string::npos);
    EXPECT_NE(actuator.read_write_multiple_registers_blocking(0, 126, 0, 1, values.data())
                  .error.what()
                  .find("125"),
              std::string::npos);
    EXPECT_TRUE(line->requests.empty());
    // The largest frames go out.
    EXPECT_FALSE(
        static_cast<bool>(actuator.write_multiple_registers_blocking(0, 123, values.data())));
    EXPECT_FALSE(static_cast<bool>(
        actuator.read_write_multiple_registers_blocking(0, 125, 0, 121, values.data()).error));
    EXPECT_EQ(actuator.read_multiple_registers_blocking(0, 125).value.size(), 125u);
}

TEST_F(ActuatorTest, ExceptionResponseIsAFailureNamingItsCode) {
    // Register 2000 is outside the device's map: exception 2, resent as important.
    const ZelkResult<unsigned short> single = actuator.read_register_blocking(2000);
    EXPECT_TRUE(static_cast<bool>(single.error));
    EXPECT_EQ(single.value, 0);
    EXPECT_EQ(single.error.what(), "Modbus exception response, code 2 (illegal data address). ");
    EXPECT_EQ(line->requests.size(), 6u);

    const ZelkResult<int> wide =
        actuator.read_wide_register_blocking(2000, MessagePriority::not_important);
    EXPECT_TRUE(static_cast<bool>(wide.error));
    EXPECT_EQ(wide.value, 0);
    EXPECT_EQ(line->requests.size(), 7u);
    const auto many =
        actuator.read_multiple_registers_blocking(1020, 10, MessagePriority::not_important);
    EXPECT_TRUE(static_cast<bool>(many.error));
    EXPECT_TRUE(many.value.empty());
}

TEST_F(ActuatorTest, EveryExceptionCodeIsNamed) {
    const std::pair<uint8_t, const char*> names[] = {
        {1, "illegal function"},
        {2, "illegal data address"},
        {3, "illegal data value"},
        {4, "server device failure"},
        {5, "acknowledge"},
        {6, "server device busy"},
        {7, "unknown exception"},
        {8, "memory parity error"},
        {9, "unknown exception"},
        {10, "gateway path unavailable"},
        {11, "gateway target device failed to respond"},
        {12, "unknown exception"}};
    for (const auto& [code, name] : names) {
        line->filter = [code = code](const std::vector<uint8_t>&, std::vector<uint8_t>) {
            return fakes::with_crc({1, 0x83, code});
        };
        EXPECT_EQ(actuator.read_register_blocking(0, MessagePriority::not_important).error.what(),
                  "Modbus exception response, code " + std::to_string(code) + " (" + name + "). ");
    }
}

TEST_F(ActuatorTest, SilentDeviceTimesOutAfterSixAttempts) {
    silence_device();
    const ZelkResult<unsigned short> read = actuator.read_register_blocking(317);
    EXPECT_TRUE(static_cast<bool>(read.error));
    EXPECT_EQ(read.value, 0);
    EXPECT_EQ(read.error.what(), "Response timed out, the motor took too long to respond. ");
    EXPECT_EQ(line->requests.size(), 6u);
}

TEST_F(ActuatorTest, FailureTextsComeInTheirFixedOrder) {
    struct Case {
        std::vector<TransactionFailure> failures;
        const char* text;
    };
    const std::string timeout = "Response timed out, the motor took too long to respond. ";
    const Case cases[] = {
        {{interchar_timeout, response_timeout}, "Unexpected interchar delay timeout. "},
        {{wrong_crc, wrong_address}, "Wrong modbus response address. Wrong CRC. "},
        {{wrong_crc, response_timeout}, "Wrong CRC. "},
        {{line_busy, response_mismatch},
         "Response does not match the request. The line never fell quiet; the request was not "
         "sent. "},
    };
    for (const Case& c : cases) {
        Transaction t = build_read_holding_registers(1, 0, 1, MessagePriority::important);
        for (TransactionFailure f : c.failures)
            t.mark_failed(f);
        actuator.handle_transaction_response(t);
        const bool timed_out = (t.failure_flags & 0x10) != 0;
        EXPECT_EQ(actuator.last_error().what(), (timed_out ? timeout : "") + c.text);
        EXPECT_TRUE(static_cast<bool>(actuator.last_error()));
    }
    // Wrong address with wrong CRC from the line itself.
    line->filter = [](const std::vector<uint8_t>&, std::vector<uint8_t> response) {
        response[0] = 9;
        return response;
    };
    const ZelkError err = actuator.write_register_blocking(10, 1, MessagePriority::not_important);
    EXPECT_EQ(err.what(), "Wrong modbus response address. Wrong CRC. ");
}

TEST_F(ActuatorTest, LastResponseTimeMovesOnlyOnCleanResponses) {
    actuator.read_register_blocking(10);
    const int64_t after_good = actuator.time_since_last_response_microseconds();
    EXPECT_LT(after_good, 10000);
    silence_device();
    actuator.read_register_blocking(10, MessagePriority::not_important);
    EXPECT_GT(actuator.time_since_last_response_microseconds(), after_good + 20000);
}

TEST_F(ActuatorTest, StreamResponseIsDecodedIntoTheCache) {
    Transaction stream = build_stream_command(1, 0, 0);
    for (uint8_t b : hex("01 64 00 00 01 00 ff ff ff fe 00 0a c8 5d c0 00 01 f7 78")) {
        stream.append_response_byte(b);
    }
    stream.state = TransactionState::finished;
    actuator.handle_transaction_response(stream);
    EXPECT_EQ(actuator.stream_cache.position, 256);
    EXPECT_EQ(actuator.stream_cache.force, -2);
    EXPECT_EQ(actuator.stream_cache.power, 10);
    EXPECT_EQ(actuator.stream_cache.temperature, 200);
    EXPECT_EQ(actuator.stream_cache.voltage, 24000);
    EXPECT_EQ(actuator.stream_cache.errors, 1);

    Transaction hot = build_stream_command(1, 0, 0);
    for (uint8_t b : hex("01 64 00 00 00 00 00 00 00 00 00 00 fb 00 00 00 00 ee df")) {
        hot.append_response_byte(b);
    }
    actuator.handle_transaction_response(hot);
    EXPECT_EQ(actuator.stream_cache.temperature, 251);

    Transaction distinct = build_stream_command(1, 0, 0);  // every byte tells where it went
    for (uint8_t b : fakes::with_crc(hex("01 64 01 02 03 04 05 06 07 08 09 0a 0b 0c 0d 0e 0f"))) {
        distinct.append_response_byte(b);
    }
    actuator.handle_transaction_response(distinct);
    EXPECT_EQ(actuator.stream_cache.position, 0x01020304);
    EXPECT_EQ(actuator.stream_cache.force, 0x05060708);
    EXPECT_EQ(actuator.stream_cache.power, 0x090a);
    EXPECT_EQ(actuator.stream_cache.temperature, 0x0b);
    EXPECT_EQ(actuator.stream_cache.voltage, 0x0c0d);
    EXPECT_EQ(actuator.stream_cache.errors, 0x0e0f);
}

TEST_F(ActuatorTest, BadStreamFramesKeepTheLastGoodTelemetry) {
    Transaction good = build_stream_command(1, 0, 0);
    for (uint8_t b : hex("01 64 00 00 01 00 ff ff ff fe 00 0a c8 5d c0 00 01 f7 78")) {
        good.append_response_byte(b);
    }
    actuator.handle_transaction_response(good);
    const std::vector<uint8_t> corrupted =
        hex("01 64 00 00 02 00 ff ff ff fe 00 0a c8 5d c0 00 01 f7 78");
    Transaction bad = build_stream_command(1, 0, 0);
    for (uint8_t b : corrupted)
        bad.append_response_byte(b);
    DiagnosticCounters counters{};
    bad.validate_response(counters);
    ASSERT_EQ(bad.failure_flags, 0x40);
    actuator.handle_transaction_response(bad);
    EXPECT_EQ(actuator.stream_cache.position, 256);

    Transaction truncated = build_stream_command(1, 0, 0);
    for (int i = 0; i < 10; ++i)
        truncated.append_response_byte(corrupted[i]);
    truncated.mark_failed(interchar_timeout);
    actuator.handle_transaction_response(truncated);
    EXPECT_EQ(actuator.stream_cache.position, 256);
    // ...while the failure still becomes the last error.
    EXPECT_EQ(actuator.last_error().what(), "Unexpected interchar delay timeout. ");
}

TEST_F(ActuatorTest, BroadcastBlockingCallReturnsWithoutData) {
    Actuator broadcast(line, clock, "all", 0);
    const ZelkError write = broadcast.write_register_blocking(600, 5);
    EXPECT_FALSE(static_cast<bool>(write));
    EXPECT_EQ(device.register_value(600), 5);  // carried out, never answered
    // Nobody can answer a broadcast read: every kind is refused before anything is queued.
    const ZelkResult<unsigned short> read = broadcast.read_register_blocking(600);
    EXPECT_EQ(read.error.what(), "Reads cannot be broadcast.");
    EXPECT_EQ(read.value, 0);
    const ZelkResult<int> wide = broadcast.read_wide_register_blocking(600);
    EXPECT_TRUE(static_cast<bool>(wide.error));
    EXPECT_EQ(wide.value, 0);
    EXPECT_TRUE(static_cast<bool>(broadcast.read_multiple_registers_blocking(600, 2).error));
    const uint16_t one = 1;
    EXPECT_TRUE(static_cast<bool>(
        broadcast.read_write_multiple_registers_blocking(600, 1, 601, 1, &one).error));
    EXPECT_EQ(line->requests.size(), 1u);
}

TEST_F(ActuatorTest, TruncatedReadNeverHandsBackRegistersThatDidNotArrive) {
    line->filter = [](const std::vector<uint8_t>&, std::vector<uint8_t>) {
        return fakes::hex("01 03 06 00 01 00 02 00");  // then silence
    };
    const auto read =
        actuator.read_multiple_registers_blocking(0, 3, MessagePriority::not_important);
    EXPECT_EQ(read.error.what(), "Unexpected interchar delay timeout. ");
    ASSERT_LE(read.value.size(), 2u);
    for (size_t i = 0; i < read.value.size(); ++i)
        EXPECT_EQ(read.value[i], i + 1);
}

TEST_F(ActuatorTest, CleanReplyThatDoesNotAnswerTheReadIsAFailureWithoutData) {
    // Right address, length and CRC, but another function code, or a byte count of 0.
    for (const char* reply : {"01 10 01 3d 00", "01 03 00 00 00"}) {
        const std::vector<uint8_t> frame = fakes::with_crc(fakes::hex(reply));
        line->filter = [&](const std::vector<uint8_t>&, std::vector<uint8_t>) { return frame; };
        const ZelkResult<unsigned short> read =
            actuator.read_register_blocking(317, MessagePriority::not_important);
        EXPECT_EQ(read.error.what(), "Response does not match the request. ") << reply;
        EXPECT_EQ(read.value, 0);
    }
}

TEST_F(ActuatorTest, LoggingGoesThroughTheGivenLog) {
    auto log = std::make_shared<fakes::FakeLog>();
    log->open_failure = "no";
    EXPECT_EQ(actuator.begin_serial_logging("a.log", log).what(), "no");
    actuator.read_register_blocking(10);
    EXPECT_TRUE(log->lines.empty());
    log->open_failure.clear();
    EXPECT_FALSE(static_cast<bool>(actuator.begin_serial_logging("a.log", log)));
    actuator.read_register_blocking(10);
    ASSERT_EQ(log->lines.size(), 2u);
    EXPECT_NE(log->lines[0].find("\ttx\t01\t03\t00\t0a\t00\t01"), std::string::npos);
    EXPECT_NE(log->lines[1].find("\trx\t01\t03\t02"), std::string::npos);
}

TEST_F(ActuatorTest, ErrorsRaisedBySendingLeaveTheStreamPauseRestored) {
    // A line whose first write fails, as a port closed under the caller does.
    struct FailingOnceLine : sim::SimulatedLine {
        using SimulatedLine::SimulatedLine;
        void transmit(size_t expected) override {
            if (!failed) {
                failed = true;
                throw std::runtime_error("write_some: Bad file descriptor");
            }
            SimulatedLine::transmit(expected);
        }
        bool failed = false;
    };
    auto failing = std::make_shared<FailingOnceLine>(device);
    Actuator a(failing, clock, "x", 1);
    a.enable_stream();
    EXPECT_THROW(a.read_register_blocking(10), std::runtime_error);
    // The read stays queued; run() finishes it, then streaming goes on, so the pause was lifted.
    for (int i = 0; i < 2000; ++i)
        a.run();
    ASSERT_FALSE(failing->requests.empty());
    EXPECT_EQ(failing->requests.front()[1], 3);
    EXPECT_EQ(failing->requests.back()[1], 100);
}

TEST(ActuatorOnLostLine, FailureTextNamesTheReasonWithOnePeriod) {
    const std::pair<const char*, const char*> cases[] = {
        {"Input/output error", "Serial line lost: Input/output error. "},
        {"Broken pipe.", "Serial line lost: Broken pipe. "}};
    for (const auto& [reason, text] : cases) {
        auto serial = std::make_shared<fakes::FakeSerial>();
        serial->failure = reason;
        Actuator actuator(serial, std::make_shared<fakes::FakeClock>(), "x", 1);
        EXPECT_EQ(actuator.read_register_blocking(317).error.what(), text);
        EXPECT_TRUE(serial->frames.empty());
    }
}

TEST(RegisterMap, EachQuantitySpansTheRegistersItsValueNeeds) {
    // A 32-bit value takes two registers, anything narrower one.
    const StreamData d{};
    const std::map<uint16_t, size_t> bytes = {
        {registers::kPosition, sizeof d.position}, {registers::kForce, sizeof d.force},
        {registers::kPower, sizeof d.power},       {registers::kTemperature, sizeof d.temperature},
        {registers::kVoltage, sizeof d.voltage},   {registers::kErrors, sizeof d.errors}};
    for (const registers::Quantity& q : registers::kQuantities)
        EXPECT_EQ(q.width, bytes.count(q.address) ? (bytes.at(q.address) + 1) / 2 : 1) << q.address;
}
