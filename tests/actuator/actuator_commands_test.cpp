#include <gtest/gtest.h>

#include "actuator/actuator_fixture.hpp"
#include "fakes/fake_log.hpp"
#include "fakes/fake_serial.hpp"
#include "fakes/wire.hpp"

using namespace zelkSDK;

namespace {

// The registers a multiple write sent: start address and values in register order.
struct Written {
    int start;
    std::vector<uint16_t> values;
};

Written written(const std::vector<uint8_t>& frame) {
    Written w{frame[2] << 8 | frame[3], {}};
    const int count = frame[4] << 8 | frame[5];
    for (int i = 0; i < count; ++i) {
        w.values.push_back(static_cast<uint16_t>(frame[7 + 2 * i] << 8 | frame[8 + 2 * i]));
    }
    return w;
}

}  // namespace

TEST_F(ActuatorTest, SetModeSucceedsAfterOneWriteAndOneRead) {
    EXPECT_FALSE(static_cast<bool>(actuator.set_mode(ForceMode)));
    EXPECT_EQ(line->requests.size(), 2u);
    EXPECT_EQ(line->requests[0], fakes::hex("01 06 00 03 00 02 f8 0b"));
    EXPECT_EQ(line->requests[1], fakes::hex("01 03 01 3d 00 01 14 3a"));
    EXPECT_EQ(actuator.get_streamed_mode(), ForceMode);
    const ZelkResult<MotorMode> mode = actuator.get_mode();
    EXPECT_EQ(mode.value, ForceMode);
    EXPECT_FALSE(static_cast<bool>(mode.error));
}

TEST_F(ActuatorTest, SetModeGivesUpAfter125MillisecondsOfDeviceClock) {
    device.set_confirms_modes(false);
    const int64_t start = clock->now;
    const ZelkError error = actuator.set_mode(ForceMode);
    EXPECT_TRUE(static_cast<bool>(error));
    EXPECT_EQ(error.what(), "Failed to set mode within 25ms!");
    EXPECT_EQ(actuator.get_streamed_mode(), SleepMode);
    EXPECT_GE(clock->now - start, 125000);
    // write, read, read, write, read, read, ...
    const std::vector<int> codes = function_codes();
    ASSERT_GE(codes.size(), 6u);
    for (size_t i = 0; i < codes.size(); ++i)
        EXPECT_EQ(codes[i], i % 3 == 0 ? 6 : 3) << i;
    // The last step began before the limit.
    EXPECT_LT(codes.size(), 200u);
}

TEST_F(ActuatorTest, SetModeTriesUntilExactly125MillisecondsHavePassed) {
    // The device never confirms. Its answer to the first read comes when answer_at_us have
    // passed; from then on the clock moves 1 us a reading, so the loop's next check reads
    // that time plus the few readings in between. Returns the requests sent and that check.
    device.set_confirms_modes(false);
    const auto attempt = [&](int64_t answer_at_us) {
        const int64_t start = clock->now;  // set_mode's first reading
        const size_t first = line->requests.size();
        line->filter = [&, start, first](const std::vector<uint8_t>&, std::vector<uint8_t> r) {
            if (line->requests.size() == first + 2) {
                clock->now = start + answer_at_us;
                clock->step_per_reading = 1;
            }
            return r;
        };
        EXPECT_TRUE(static_cast<bool>(actuator.set_mode(ForceMode)));
        const int64_t last_check = clock->now - 1 - start;
        clock->step_per_reading = 50;
        return std::make_pair(line->requests.size() - first, last_check);
    };
    const auto [sent, checked_at] = attempt(125000);
    ASSERT_EQ(sent, 2u);  // write, read: then the limit has passed
    const int64_t readings = checked_at - 125000;
    ASSERT_LT(readings, 100);
    EXPECT_EQ(attempt(125000 - readings), std::make_pair(size_t{2}, int64_t{125000}));
    EXPECT_EQ(attempt(124999 - readings).first, 3u);  // one more read at 124.999 ms
}

TEST_F(ActuatorTest, SetModeOnALostLineStopsAtOnceAndSaysWhy) {
    auto lost = std::make_shared<fakes::FakeSerial>();
    lost->failure = "Input/output error";
    Actuator on_lost_line(lost, clock, "x2", 2);
    auto log = std::make_shared<fakes::FakeLog>();
    on_lost_line.begin_serial_logging("t.log", log);
    const int64_t start = clock->now;
    const ZelkError error = on_lost_line.set_mode(ForceMode);
    EXPECT_EQ(error.what(), "Serial line lost: Input/output error. ");
    EXPECT_LE(log->lines.size(), 4u);
    EXPECT_LT(clock->now - start, 10000);
}

TEST_F(ActuatorTest, AbandonedCallsFailAtOnceAndLeaveTheActuatorUsable) {
    static int checks = 0;
    Bus::set_abandon_check([](bool look_again) { return look_again && ++checks >= 2; });
    silence_device();
    const int64_t start = clock->now;
    const ZelkResult<unsigned short> read = actuator.read_register_blocking(600);
    EXPECT_EQ(read.error.what(), "Call abandoned before its answer came. ");
    EXPECT_EQ(actuator.get_bus()->client().get_queue_size(), 0u);
    EXPECT_GE(clock->now - start, 2 * kAbandonCheckUs);
    EXPECT_LT(clock->now - start, 3 * kAbandonCheckUs);
    const size_t sent = line->requests.size();
    EXPECT_EQ(actuator.set_mode(ForceMode).what(), "Call abandoned before its answer came. ");
    EXPECT_EQ(line->requests.size(), sent + 1);
    Bus::set_abandon_check(nullptr);
    line->filter = nullptr;
    EXPECT_FALSE(static_cast<bool>(actuator.write_register_blocking(600, 9)));
    EXPECT_EQ(actuator.read_register_blocking(600).value, 9);
}

TEST_F(ActuatorTest, SetModeIsRefusedForTheBroadcastAddressBeforeAnythingIsSent) {
    Actuator everyone(line, clock, "all", 0);
    EXPECT_EQ(everyone.set_mode(ForceMode).what(),
              "Mode changes cannot be broadcast: no device would confirm them.");
    EXPECT_TRUE(line->requests.empty());
}

TEST_F(ActuatorTest, SetModeTreatsAFailedReadAsNoConfirmation) {
    int reads = 0;
    line->filter = [&reads](const std::vector<uint8_t>& request, std::vector<uint8_t> response) {
        if (request[1] == 3 && reads++ < 6)
            response.back() ^= 0xFF;  // the first read fails
        return response;
    };
    EXPECT_FALSE(static_cast<bool>(actuator.set_mode(HapticMode)));
    EXPECT_EQ(function_codes(), (std::vector<int>{6, 3, 3, 3, 3, 3, 3, 3}));
}

TEST_F(ActuatorTest, GetModeReportsValuesOutsideTheEnumeration) {
    // A device reporting mode 0 at register 317.
    line->filter = [](const std::vector<uint8_t>&, std::vector<uint8_t> response) {
        if (response[1] == 3)
            response = fakes::with_crc({1, 3, 2, 0, 0});
        return response;
    };
    const ZelkResult<MotorMode> mode = actuator.get_mode();
    EXPECT_EQ(static_cast<int>(mode.value), 0);
    EXPECT_FALSE(static_cast<bool>(mode.error));
}

TEST_F(ActuatorTest, TelemetryReadsUseTheirRegisters) {
    device.place(0.0);
    device.set_temperature(41.0);
    EXPECT_EQ(actuator.get_temperature_C().value, 41);
    EXPECT_EQ(actuator.get_voltage_mV().value, 24000);
    EXPECT_EQ(actuator.get_power_W().value, 0);
    EXPECT_EQ(actuator.get_errors().value, 0);
    EXPECT_EQ(actuator.get_force_mN().value, 0);
    device.place(0.012);
    EXPECT_EQ(actuator.get_position_um().value, 12000);
    const std::vector<int> registers_read = [&] {
        std::vector<int> r;
        for (const auto& f : line->requests)
            r.push_back(f[2] << 8 | f[3]);
        return r;
    }();
    EXPECT_EQ(registers_read, (std::vector<int>{336, 338, 350, 432, 348, 342}));
}

TEST_F(ActuatorTest, WidePositionTakesTheLowWordFirst) {
    line->filter = [](const std::vector<uint8_t>&, std::vector<uint8_t>) {
        return fakes::with_crc(fakes::hex("01 03 04 56 78 12 34"));
    };
    EXPECT_EQ(actuator.get_position_um().value, 0x12345678);
}

TEST_F(ActuatorTest, ClearErrorsWritesTwoToRegisterZero) {
    EXPECT_FALSE(static_cast<bool>(actuator.clear_errors()));
    EXPECT_EQ(line->requests.back(), fakes::with_crc(fakes::hex("01 06 00 00 00 02")));
}

TEST_F(ActuatorTest, ConfigurationWritesLandWhereTheyBelong) {
    actuator.write_record_780(2, 0x00010002, -1, 7, 0, 0, -1);
    Written w = written(line->requests.back());
    EXPECT_EQ(w.start, 792);
    EXPECT_EQ(w.values, (std::vector<uint16_t>{2, 1, 0xFFFF, 0xFFFF, 7, 24}));

    actuator.write_record_780(0, 0, 0, 0, 1, 1, 5);
    EXPECT_EQ(written(line->requests.back()).values.back(), (1 << 1) | (5 << 3) | 1);

    actuator.write_block_133(1, 2, 3, 0x00050004, 6);
    ASSERT_GE(line->requests.size(), 2u);
    w = written(line->requests[line->requests.size() - 2]);
    EXPECT_EQ(w.start, 133);
    EXPECT_EQ(w.values, (std::vector<uint16_t>{1, 2, 3, 6, 4, 5}));
    EXPECT_EQ(line->requests.back(), fakes::with_crc(fakes::hex("01 06 00 01 04 00")));

    actuator.write_record_644(1, 1, 0x00030002, 4, 5, 6);
    w = written(line->requests.back());
    EXPECT_EQ(w.start, 650);
    EXPECT_EQ(w.values, (std::vector<uint16_t>{1, 2, 3, 6, 4, 5}));

    actuator.write_record_664(2, 1, 2, 3, 4);
    w = written(line->requests.back());
    EXPECT_EQ(w.start, 672);
    EXPECT_EQ(w.values, (std::vector<uint16_t>{1, 4, 2, 3}));

    actuator.write_register_9(-1);
    EXPECT_EQ(line->requests.back(), fakes::hex("01 06 00 09 ff ff 58 78"));
    EXPECT_EQ(device.register_value(9), 0xFFFF);

    actuator.write_wide_register_642(-2);
    EXPECT_EQ(written(line->requests.back()).start, 642);
    EXPECT_EQ(device.register_value(643), 0xFFFF);

    struct Single {
        ZelkError (Actuator::*write)(uint16_t);
        int reg;
    };
    const Single singles[] = {
        {&Actuator::write_register_139, 139}, {&Actuator::write_register_142, 142},
        {&Actuator::write_register_143, 143}, {&Actuator::write_register_150, 150},
        {&Actuator::write_register_641, 641}, {&Actuator::write_register_662, 662},
        {&Actuator::write_register_663, 663}, {&Actuator::write_register_672, 672}};
    for (const Single& s : singles) {
        EXPECT_FALSE(static_cast<bool>((actuator.*s.write)(0x4321)));
        EXPECT_EQ(device.register_value(static_cast<uint16_t>(s.reg)), 0x4321) << s.reg;
    }
    EXPECT_FALSE(static_cast<bool>(actuator.write_register_0_value_4()));
    EXPECT_EQ(device.register_value(0), 4);
    EXPECT_FALSE(static_cast<bool>(actuator.write_wide_register_140(70000)));
    EXPECT_EQ(device.register_value(140), 70000 & 0xFFFF);

    device.set_register(356, 11);
    device.set_register(406, 0xFFFF);
    device.set_register(407, 0xFFFF);
    device.set_register(408, 12);
    device.set_register(409, 13);
    device.set_register(410, 14);
    device.set_register(433, 15);
    EXPECT_EQ(actuator.read_register_356().value, 11);
    EXPECT_EQ(actuator.read_wide_register_406().value, -1);
    EXPECT_EQ(actuator.read_register_408().value, 12);
    EXPECT_EQ(actuator.read_register_409().value, 13);
    EXPECT_EQ(actuator.read_register_410().value, 14);
    EXPECT_EQ(actuator.read_register_433().value, 15);
}
