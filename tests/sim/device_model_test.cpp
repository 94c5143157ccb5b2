#include "sim/device_model.hpp"

#include <gtest/gtest.h>

#include <array>

#include "fakes/wire.hpp"
#include "sdk/modbus/wire.hpp"
#include "sim/fault_injector.hpp"

using fakes::hex;
using fakes::with_crc;

namespace {

std::vector<uint8_t> ask(sim::DeviceModel& device, const std::vector<uint8_t>& request) {
    return device.handle_frame(request.data(), request.size());
}

}  // namespace

TEST(DeviceModel, AnswersTheWireVectors) {
    sim::DeviceModel device(1);
    device.set_register(20, 0x1234);
    device.set_register(21, 0x5678);
    EXPECT_EQ(ask(device, with_crc(hex("01 03 00 14 00 02"))), hex("01 03 04 12 34 56 78 81 07"));
    EXPECT_EQ(ask(device, hex("01 10 00 8c 00 02 04 ff fe ff ff ab ce")),
              hex("01 10 00 8c 00 02 80 23"));
    EXPECT_EQ(ask(device, hex("01 06 00 03 00 02 f8 0b")), hex("01 06 00 03 00 02 f8 0b"));
    EXPECT_EQ(device.mode(), 2);
    EXPECT_EQ(ask(device, hex("01 03 01 3d 00 01 14 3a")), hex("01 03 02 00 02 39 85"));
    EXPECT_EQ(ask(device, with_crc(hex("01 03 04 00 00 01"))), hex("01 83 02 c0 f1"));
}

TEST(DeviceModel, RefusesAndIgnoresLikeARealDevice) {
    sim::DeviceModel device(1);
    EXPECT_EQ(ask(device, with_crc(hex("01 2B 0E 01 00"))), with_crc(hex("01 AB 01")));
    EXPECT_EQ(ask(device, with_crc(hex("01 03 00 00 00 7E"))), with_crc(hex("01 83 03")));
    EXPECT_TRUE(ask(device, with_crc(hex("02 03 00 00 00 01"))).empty());  // another server
    EXPECT_TRUE(ask(device, hex("01 03 00 00 00 01 00 00")).empty());      // bad CRC
    EXPECT_TRUE(ask(device, with_crc(hex("00 06 02 00 00 07"))).empty());  // broadcast
    EXPECT_EQ(device.register_value(512), 7);                              // ...carried out
    EXPECT_EQ(ask(device, with_crc(hex("01 64 63 00 00 00 00"))), with_crc(hex("01 E4 03")));
}

TEST(DeviceModel, StreamResponseCarriesTheModelState) {
    sim::DeviceModel device(1);
    device.place(0.000256);
    device.set_temperature(200.0);
    const std::vector<uint8_t> response = ask(device, hex("01 64 00 00 00 00 00 03 e4"));
    ASSERT_EQ(response.size(), 19u);
    EXPECT_EQ(std::vector<uint8_t>(response.begin(), response.begin() + 6),
              hex("01 64 00 00 01 00"));
    EXPECT_EQ(response[12], 200);
    EXPECT_EQ(response[13] << 8 | response[14], 24000);
    EXPECT_TRUE(zelkSDK::wire::crc_ok(response.data(), response.size()));
}

TEST(DeviceModel, ModesMoveTheMass) {
    sim::DeviceModel device(1);
    ask(device, with_crc(hex("01 06 00 03 00 03")));     // position mode
    ask(device, with_crc(hex("01 64 1e 00 00 4e 20")));  // 20000 um
    device.advance(2.0);
    EXPECT_NEAR(device.position_m(), 0.020, 0.001);
    EXPECT_EQ(device.errors(), 0);

    ask(device, with_crc(hex("01 06 00 03 00 02")));     // force mode, push to the end stop
    ask(device, with_crc(hex("01 64 1c 00 00 27 10")));  // 10 N
    device.advance(2.0);
    EXPECT_NEAR(device.position_m(), 0.05, 1e-9);
    EXPECT_EQ(device.errors() & sim::kErrorStrokeLimit, sim::kErrorStrokeLimit);
    EXPECT_GT(device.register_value(sim::kRegPower), 0);
    EXPECT_GT(device.temperature_C(), 25.0);

    ask(device, with_crc(hex("01 06 00 03 00 01")));  // sleep: the mass rests at the stop
    ask(device, with_crc(hex("01 06 00 00 00 02")));  // clear errors
    device.advance(0.5);
    EXPECT_EQ(device.errors(), 0);
    EXPECT_EQ(device.register_value(sim::kRegMode), 1);
}

TEST(DeviceModel, OverTemperatureRaisesItsBit) {
    sim::DeviceModel device(1);
    device.set_temperature(95.0);
    device.advance(0.01);
    EXPECT_EQ(device.errors() & sim::kErrorOverTemperature, sim::kErrorOverTemperature);
}

TEST(FaultInjector, EachKindAtItsRate) {
    const std::vector<uint8_t> response = hex("01 03 02 00 02 39 85");
    for (int kind = 0; kind < sim::kFaultKindCount; ++kind) {
        SCOPED_TRACE(sim::fault_name(static_cast<sim::FaultKind>(kind)));
        std::array<double, sim::kFaultKindCount> rates{};
        rates[kind] = 0.25;
        sim::FaultInjector faults(rates, 42);
        int changed = 0;
        for (int i = 0; i < 4000; ++i) {
            const sim::Delivery delivery = faults.apply(response);
            std::vector<uint8_t> joined;
            for (const auto& c : delivery.chunks)
                joined.insert(joined.end(), c.bytes.begin(), c.bytes.end());
            const bool bent =
                joined != response || delivery.chunks.size() != 1 || delivery.late_us != 0;
            changed += bent;
            EXPECT_EQ(delivery.faults.size(), bent ? 1u : 0u);
            if (kind == sim::kLate && bent) {
                EXPECT_GE(delivery.late_us, sim::kLateMinUs);
                EXPECT_LE(delivery.late_us, sim::kLateMaxUs);
            }
            if (kind != sim::kDrop) {  // the frame is what precedes the stray bytes
                EXPECT_EQ(delivery.frame_length,
                          kind == sim::kStray ? response.size() : joined.size());
            }
        }
        EXPECT_NEAR(faults.counts()[kind], 1000, 120);
        EXPECT_EQ(changed, faults.counts()[kind]);
    }
}

TEST(FaultInjector, SameSeedSameFaults) {
    std::array<double, sim::kFaultKindCount> rates;
    rates.fill(0.1);
    sim::FaultInjector a(rates, 7), b(rates, 7);
    const std::vector<uint8_t> response = hex("01 03 02 00 02 39 85");
    for (int i = 0; i < 200; ++i) {
        const auto x = a.apply(response), y = b.apply(response);
        ASSERT_EQ(x.chunks.size(), y.chunks.size());
        EXPECT_EQ(x.late_us, y.late_us);
        EXPECT_EQ(x.faults, y.faults);
        for (size_t j = 0; j < x.chunks.size(); ++j)
            EXPECT_EQ(x.chunks[j].bytes, y.chunks[j].bytes);
    }
}
