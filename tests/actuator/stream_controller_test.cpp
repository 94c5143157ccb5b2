#include "sdk/actuator/stream_controller.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <stdexcept>

#include "actuator/actuator_fixture.hpp"
#include "fakes/fake_clock.hpp"
#include "fakes/fake_serial.hpp"
#include "fakes/wire.hpp"
#include "sdk/modbus/wire.hpp"
#include "sim/simulated_line.hpp"

using namespace zelkSDK;
using fakes::hex;

namespace {

std::vector<uint8_t> data_block(const std::vector<uint8_t>& frame) {
    return std::vector<uint8_t>(frame.begin() + 2, frame.begin() + 7);
}

}  // namespace

TEST_F(ActuatorTest, StreamCommandPerMode) {
    struct Case {
        MotorMode mode;
        std::vector<uint8_t> block;
    };
    actuator.set_streamed_force_mN(-1);
    actuator.set_streamed_position_um(100000);
    actuator.update_haptic_stream_effects(0x8001);
    const Case cases[] = {
        {ForceMode, hex("1C FF FF FF FF")},  {PositionMode, hex("1E 00 01 86 A0")},
        {HapticMode, hex("22 00 00 80 01")}, {KinematicMode, hex("20 00 00 00 00")},
        {SleepMode, hex("00 00 00 00 00")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.mode);
        ASSERT_FALSE(static_cast<bool>(actuator.set_mode(c.mode)));
        actuator.enable_stream();
        const size_t before = line->requests.size();
        for (int i = 0; i < 200 && line->requests.size() == before; ++i)
            actuator.run();
        ASSERT_GT(line->requests.size(), before);
        EXPECT_EQ(line->requests.back().size(), 9u);
        EXPECT_EQ(line->requests.back()[1], 100);
        EXPECT_EQ(data_block(line->requests.back()), c.block);
        actuator.disable_stream();
        for (int i = 0; i < 200; ++i)
            actuator.run();  // let the last command finish
    }
}

TEST_F(ActuatorTest, FreshActuatorStreamsSleepCommands) {
    actuator.enable_stream();
    EXPECT_TRUE(line->requests.empty());  // nothing until the next run
    actuator.run();
    ASSERT_EQ(line->requests.size(), 1u);
    EXPECT_EQ(line->requests[0], hex("01 64 00 00 00 00 00 03 e4"));
    // Set-points never set are 0 in every mode.
    for (MotorMode mode : {ForceMode, PositionMode, HapticMode}) {
        ASSERT_FALSE(static_cast<bool>(actuator.set_mode(mode)));
        for (int i = 0; i < 200 && line->requests.back()[1] != 100; ++i)
            actuator.run();
        const std::vector<uint8_t>& frame = line->requests.back();
        EXPECT_EQ(std::vector<uint8_t>(frame.begin() + 3, frame.begin() + 7), hex("00 00 00 00"));
    }
}

TEST(StreamController, OneCommandWhileQueuedInFlightOrUnread) {
    fakes::FakeSerial serial;
    fakes::FakeClock clock;
    ModbusClient client(serial, clock);
    StreamController controller(client, 1);
    controller.update();
    EXPECT_EQ(client.get_queue_size(), 0u);  // disabled
    controller.enable();
    controller.update();
    controller.update();
    EXPECT_EQ(client.get_queue_size(), 1u);  // queued
    client.run_out();
    controller.update();
    EXPECT_EQ(client.get_queue_size(), 1u);  // in flight
    serial.push(hex("01 64 00 00 01 00 ff ff ff fe 00 0a c8 5d c0 00 01 f7 78"));
    client.run_in();
    ASSERT_TRUE(client.is_response_ready());
    controller.update();
    EXPECT_EQ(client.get_queue_size(), 1u);  // answered, not yet dequeued
    client.dequeue_transaction();
    controller.update();
    EXPECT_EQ(client.get_queue_size(), 1u);  // the next one
    controller.disable();
    client.dequeue_transaction();
    controller.update();
    EXPECT_EQ(client.get_queue_size(), 0u);
}

TEST_F(ActuatorTest, FailedSetModeKeepsTheCommandType) {
    ASSERT_FALSE(static_cast<bool>(actuator.set_mode(ForceMode)));
    device.set_confirms_modes(false);
    EXPECT_TRUE(static_cast<bool>(actuator.set_mode(PositionMode)));
    EXPECT_EQ(actuator.get_streamed_mode(), ForceMode);
    actuator.enable_stream();
    for (int i = 0; i < 200 && line->requests.back()[1] != 100; ++i)
        actuator.run();
    EXPECT_EQ(line->requests.back()[2], kStreamForce);
}

TEST_F(ActuatorTest, TelemetryFlowsThroughRun) {
    device.place(0.0123);
    actuator.enable_stream();
    for (int i = 0; i < 50; ++i)
        actuator.run();
    EXPECT_NEAR(actuator.stream_cache.position, 12300, 500);
    EXPECT_EQ(actuator.stream_cache.voltage, 24000);
    EXPECT_EQ(actuator.stream_cache.temperature, 25);
    // The two halves of run, for programs that do other work between them.
    actuator.stream_cache = StreamData();
    const size_t sent = line->requests.size();
    for (int i = 0; i < 100 && line->requests.size() == sent; ++i)
        actuator.run_out();
    EXPECT_EQ(line->requests.size(), sent + 1);
    actuator.run_in();
    EXPECT_EQ(actuator.stream_cache.voltage, 24000);
}

TEST_F(ActuatorTest, BlockingCallPausesStreamingAndResumesAfter) {
    actuator.enable_stream();
    actuator.run();  // one stream command queued and sent
    ASSERT_EQ(function_codes(), std::vector<int>{100});
    actuator.read_register_blocking(10);
    // The stream command ahead of the read is finished first; no new one while waiting.
    EXPECT_EQ(function_codes(), (std::vector<int>{100, 3}));
    for (int i = 0; i < 100 && line->requests.size() < 3; ++i)
        actuator.run();
    EXPECT_EQ(function_codes(), (std::vector<int>{100, 3, 100}));
}

TEST_F(ActuatorTest, RunWaitSleepsUntilTheNextDeadlineOrItsLimit) {
    struct WaitingLine : sim::SimulatedLine {
        using SimulatedLine::SimulatedLine;
        bool wait_to_receive(int64_t max_wait_us) override {
            waits.push_back(max_wait_us);
            return ready_to_receive();
        }
        std::vector<int64_t> waits;
    };
    auto waiting = std::make_shared<WaitingLine>(device);
    waiting->filter = [](const std::vector<uint8_t>&, std::vector<uint8_t>) {
        return std::vector<uint8_t>();  // a silent device
    };
    clock->step_per_reading = 0;
    Actuator silent(waiting, clock, "s", 1);
    silent.run_wait(0);  // never waits
    silent.run_wait(1);  // nothing to do: the whole limit
    silent.run_wait(5000);
    silent.enable_stream();
    silent.run_wait(100000);  // a command in flight: until its response time-out has passed
    EXPECT_EQ(waiting->waits, (std::vector<int64_t>{1, 5000, kResponseTimeoutUs + 1}));
}

TEST_F(ActuatorTest, SetpointWatchdogSendsASafeSetpointThenSleepModeUntilTheNextSetpoint) {
    // The value of the next stream command sent.
    const auto next_streamed = [&] {
        const size_t sent = line->requests.size();
        for (int i = 0;
             i < 200 && (line->requests.size() == sent || function_codes().back() != 100); ++i)
            actuator.run();
        return static_cast<int32_t>(wire::get_u32(&line->requests.back()[3]));
    };
    device.place(0.0123);
    ASSERT_FALSE(static_cast<bool>(actuator.set_mode(PositionMode)));
    actuator.set_streamed_position_um(4000);
    actuator.enable_stream();
    clock->advance(10'000'000);
    EXPECT_EQ(next_streamed(), 4000);  // off while run() drives the bus
    actuator.set_setpoint_timeout_ms(1000);
    clock->advance(980'000);
    EXPECT_EQ(next_streamed(), 4000);
    EXPECT_FALSE(actuator.watchdog_tripped());
    clock->advance(20'000);
    EXPECT_EQ(next_streamed(), 12300);  // holds the position last measured
    EXPECT_TRUE(actuator.watchdog_tripped());
    EXPECT_EQ(actuator.last_error().what(),
              "Set-point watchdog: no set-point for 1000 ms; streaming a safe set-point. ");

    clock->advance(1'000'000);
    for (int i = 0; i < 200; ++i)
        actuator.run();
    EXPECT_EQ(function_codes().back(), 6);  // sleep mode, and no stream command after it
    EXPECT_EQ(device.mode(), SleepMode);
    EXPECT_EQ(
        actuator.last_error().what(),
        "Set-point watchdog: no set-point for 2000 ms; stream disabled and sleep mode sent. ");
    EXPECT_EQ(actuator.get_mode().value, SleepMode);

    actuator.set_streamed_force_mN(-300);
    EXPECT_FALSE(actuator.watchdog_tripped());
    ASSERT_FALSE(static_cast<bool>(actuator.set_mode(ForceMode)));
    actuator.enable_stream();
    EXPECT_EQ(next_streamed(), -300);
    EXPECT_THROW(actuator.set_setpoint_timeout_ms(-1), std::invalid_argument);
}

TEST_F(ActuatorTest, RecordingKeepsTheNewestSamplesAndCountsThoseAFullRingLost) {
    EXPECT_THROW(actuator.start_recording(0), std::invalid_argument);
    device.place(0.0123);
    ASSERT_FALSE(static_cast<bool>(actuator.set_mode(ForceMode)));
    actuator.start_recording(5);
    actuator.enable_stream();
    std::vector<int32_t> sent;
    for (int32_t force = 1; force <= 8; ++force) {
        actuator.set_streamed_force_mN(force);
        const size_t before = line->requests.size();
        for (int i = 0; i < 200 && line->requests.size() == before; ++i)
            actuator.run();
        sent.push_back(static_cast<int32_t>(wire::get_u32(&line->requests.back()[3])));
    }
    silence_device();
    const size_t unanswered = line->requests.size() + 2;
    for (int i = 0; i < 2000 && line->requests.size() < unanswered; ++i)
        actuator.run();
    actuator.disable_stream();
    for (int i = 0; i < 2000; ++i)
        actuator.run();  // the last command times out
    const TelemetryRecording taken = actuator.take_recording();
    ASSERT_EQ(taken.samples.size(), 5u);
    EXPECT_EQ(taken.lost, 5u);  // 10 exchanges, the last two unanswered
    for (size_t i = 0; i < 5; ++i) {
        const TelemetrySample& s = taken.samples[i];
        EXPECT_EQ(s.subfunction, kStreamForce);
        EXPECT_EQ(s.failed, i >= 3 ? 1 : 0) << i;
        EXPECT_NEAR(s.position_um, 12300, 100);
        EXPECT_EQ(s.voltage_mV, 24000);
        if (i > 0) {
            EXPECT_GT(s.time_us, taken.samples[i - 1].time_us);
        }
        EXPECT_EQ(s.setpoint, sent[std::min<size_t>(5 + i, 7)]);
    }
    const TelemetryRecording again = actuator.take_recording();
    EXPECT_TRUE(again.samples.empty());
    EXPECT_EQ(again.lost, 0u);
}
