// The whole SDK on a real serial line: an Actuator with its own SerialASIO and ChronoClock
// against the simulated device served on the master side of a pseudo-terminal.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "sdk/actuator/actuator.hpp"
#include "sdk/serial/chrono_clock.hpp"
#include "sim/pty_server.hpp"
#include "tests/serial/register_round_trip.hpp"

using namespace zelkSDK;

namespace {

class ActuatorOnPty : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(server.open()) << server.error();
        server.start();
        ASSERT_FALSE(static_cast<bool>(actuator.open_serial_port(server.slave_path(), 19200, 0)));
    }
    void TearDown() override {
        actuator.close_serial_port();
        server.stop();
    }

    sim::PtyServer server{sim::ServerOptions{}};
    Actuator actuator{"x1", 1};
};

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace

TEST_F(ActuatorOnPty, ReadsAndWritesRegisters) {
    expect_register_round_trips(actuator, 0xABCD, -123456, PositionMode);
    EXPECT_EQ(actuator.get_voltage_mV().value, 24000);
}

TEST_F(ActuatorOnPty, StreamsTelemetry) {
    ASSERT_FALSE(static_cast<bool>(actuator.set_mode(PositionMode)));
    actuator.set_streamed_position_um(5000);
    actuator.enable_stream();
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(1500);
    while (std::chrono::steady_clock::now() < until)
        actuator.run();
    EXPECT_NEAR(actuator.stream_cache.position, 5000, 200);
    EXPECT_NEAR(actuator.stream_cache.voltage, 24000, 500);
}

TEST_F(ActuatorOnPty, TrafficLogHasOneTxAndOneRxLinePerExchange) {
    const std::string path = ::testing::TempDir() + "ferrun_traffic.log";
    std::remove(path.c_str());
    ASSERT_FALSE(static_cast<bool>(actuator.begin_serial_logging(path)));
    actuator.read_register_blocking(317);
    const std::string text = read_file(path);
    std::istringstream split(text);
    std::vector<std::string> lines;
    for (std::string line; std::getline(split, line);)
        lines.push_back(line);
    ASSERT_GE(lines.size(), 2u);
    ASSERT_EQ(lines.size() % 2, 0u);
    // A device starved past the time-out by a busy machine costs a resend of the request:
    // every attempt before the last failed, and the next one sent the same bytes.
    const auto frame = [](const std::string& line) { return line.substr(line.find('\t')); };
    for (size_t i = 0; i + 2 < lines.size(); i += 2) {
        EXPECT_NE(lines[i + 1].find(". "), std::string::npos) << lines[i + 1];
        EXPECT_EQ(frame(lines[i]), frame(lines[i + 2]));
    }
    const std::string& tx = lines[lines.size() - 2];
    const std::string& rx = lines.back();
    EXPECT_NE(tx.find("\ttx\t01\t03\t01\t3d\t00\t01\t14\t3a\r"), std::string::npos) << tx;
    EXPECT_NE(rx.find("\trx\t01\t03\t02\t00\t01"), std::string::npos) << rx;
    EXPECT_EQ(rx.back(), '\r');
    EXPECT_EQ(text.find("My Test"), std::string::npos);
    std::remove(path.c_str());
}

namespace {

// The device on a line paced like a real 19200-baud wire, answering 1 ms after a request.
class ActuatorOnPacedPty : public ::testing::Test {
  protected:
    static sim::ServerOptions paced(double stray_rate) {
        sim::ServerOptions options;
        options.baud_rate = 19200;
        options.turnaround_us = 1000;
        options.fault_rates[sim::kStray] = stray_rate;
        return options;
    }
    void start(double stray_rate = 0, int interframe_delay_us = 2000) {
        server = std::make_unique<sim::PtyServer>(paced(stray_rate));
        ASSERT_TRUE(server->open()) << server->error();
        server->start();
        ASSERT_FALSE(static_cast<bool>(
            actuator.open_serial_port(server->slave_path(), 19200, interframe_delay_us)));
    }
    void TearDown() override {
        actuator.close_serial_port();
        server.reset();
    }
    int counted(int index) { return actuator.get_bus()->get_diagnostic_counters()[index]; }
    int messages_sent() { return counted(messages_sent_index); }
    // What a simulator stalled by a busy machine costs: answers too late or cut by a pause.
    int slow_answers() { return counted(response_timeouts) + counted(interchar_timeouts); }
    int failed_attempts() {
        return slow_answers() + counted(wrong_address_responses) + counted(crc_errors) +
               counted(mismatched_responses);
    }

    static constexpr int messages_sent_index = zelkSDK::messages_sent;
    std::unique_ptr<sim::PtyServer> server;
    Actuator actuator{"x1", 1};
};

}  // namespace

TEST_F(ActuatorOnPacedPty, LongestWriteAndReadSucceed) {
    // 41 ms and 146 ms on the wire: with a time-out counted from the hand-over every attempt
    // would time out. One request each, and a resend only for an attempt that failed: a simulator
    // stalled by a busy machine answers too late, and its late answer may spoil the next one.
    start();
    std::vector<uint16_t> values(123);
    for (size_t i = 0; i < values.size(); ++i)
        values[i] = static_cast<uint16_t>(i * 7);
    EXPECT_FALSE(
        static_cast<bool>(actuator.write_multiple_registers_blocking(800, 123, values.data())));
    const auto read = actuator.read_multiple_registers_blocking(800, 125);
    ASSERT_FALSE(static_cast<bool>(read.error)) << read.error.what();
    EXPECT_LE(messages_sent(), 2 + failed_attempts());  // an attempt may fail two ways
    EXPECT_EQ(std::vector<uint16_t>(read.value.begin(), read.value.begin() + 123), values);
}

TEST_F(ActuatorOnPacedPty, StrayBytesAfterResponsesNeverSpoilTheNextExchange) {
    // 1 to 3 stray bytes after every response. The window is wider than the default so a
    // simulator delayed by a busy machine still puts them inside it, as a wire would.
    start(1.0, 10000);
    int failed = 0;
    for (int i = 0; i < 30; ++i) {
        const auto read = actuator.read_register_blocking(338, MessagePriority::not_important);
        failed += read.error ? 1 : 0;
        if (!read.error) {
            EXPECT_EQ(read.value, 24000) << i;
        }
    }
    // Stray bytes taken for an answer used to fail a read in five.
    EXPECT_LE(failed - slow_answers(), 3);
}

TEST_F(ActuatorOnPacedPty, ThreadsSharingAnActuatorEachGetTheirOwnAnswers) {
    start();
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 3; ++t) {
        threads.emplace_back([&, t] {
            const uint16_t reg = static_cast<uint16_t>(600 + t);
            for (int i = 0; i < 15; ++i) {
                const auto value = static_cast<uint16_t>(t * 1000 + i);
                if (actuator.write_register_blocking(reg, value) ||
                    actuator.read_register_blocking(reg).value != value) {
                    ++wrong;
                }
            }
        });
    }
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(wrong, 0);
}

TEST_F(ActuatorOnPacedPty, UnpluggedLineFailsCallsAtOnceAndOpensAgain) {
    start();
    server.reset();  // the far end goes away
    const auto started = std::chrono::steady_clock::now();
    ZelkResult<unsigned short> read{0, no_error()};
    for (int i = 0; i < 100 && !read.error.what().rfind("Serial line lost: ", 0) == 0; ++i)
        read = actuator.read_register_blocking(338);
    EXPECT_EQ(read.error.what().rfind("Serial line lost: ", 0), 0u) << read.error.what();
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10));
    start();  // a device on a new path
    EXPECT_EQ(actuator.read_register_blocking(338).value, 24000);
}

TEST_F(ActuatorOnPacedPty, StreamLoopOfRunWaitAndBlockingCallsFromAnotherThread) {
    start();
    ASSERT_FALSE(static_cast<bool>(actuator.set_mode(PositionMode)));
    actuator.set_streamed_position_um(3000);
    actuator.enable_stream();
    std::atomic<bool> done{false};
    std::thread streamer([&] {
        while (!done)
            actuator.run_wait(10000);
    });
    int wrong = 0;
    for (uint16_t i = 0; i < 20; ++i) {
        if (actuator.write_register_blocking(600, i) ||
            actuator.read_register_blocking(600).value != i)
            ++wrong;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    done = true;
    streamer.join();
    EXPECT_EQ(wrong, 0);
    EXPECT_NEAR(actuator.get_stream_data().position, 3000, 200);
}

namespace {

// Tells when the first request has gone out.
struct FirstRequestSignal : LogInterface {
    ZelkError open(const std::string&) override { return no_error(); }
    ZelkError write(const std::string& text) override {
        if (text.find("\ttx") != std::string::npos)
            sent = true;
        return no_error();
    }
    std::atomic<bool> sent{false};
};

}  // namespace

// Close from another thread ends a call that waits on a silent device
// at once, as a lost line, instead of waiting for all its resends to time out.
TEST_F(ActuatorOnPacedPty, CloseFromAnotherThreadEndsAWaitingCallAsLineLost) {
    start();
    auto signal = std::make_shared<FirstRequestSignal>();
    ASSERT_FALSE(static_cast<bool>(actuator.begin_serial_logging("unused", signal)));
    Actuator silent(actuator.get_bus(), "silent", 9);
    ZelkResult<unsigned short> read{0, no_error()};
    std::thread caller([&] { read = silent.read_register_blocking(600); });
    while (!signal->sent)
        std::this_thread::yield();
    actuator.close_serial_port();
    caller.join();
    EXPECT_EQ(read.error.what().rfind("Serial line lost: ", 0), 0u) << read.error.what();
    ASSERT_FALSE(static_cast<bool>(actuator.open_serial_port(server->slave_path(), 19200, 2000)));
    EXPECT_EQ(actuator.read_register_blocking(338).value, 24000);
}

TEST_F(ActuatorOnPacedPty, BusThreadStreamsWhileBlockingCallsFromTwoThreadsSlotIn) {
    start();
    ASSERT_FALSE(static_cast<bool>(actuator.set_mode(PositionMode)));
    actuator.set_streamed_position_um(3000);
    actuator.set_setpoint_timeout_ms(0);  // the set-point is never refreshed here
    actuator.enable_stream();
    actuator.start_streaming();
    actuator.start_streaming();  // already running: nothing changes
    EXPECT_THROW(actuator.run(), std::logic_error);
    EXPECT_THROW(actuator.run_wait(1000), std::logic_error);
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (uint16_t t = 0; t < 2; ++t) {
        threads.emplace_back([&, t] {
            for (uint16_t i = 0; i < 15; ++i) {
                const auto value = static_cast<uint16_t>(t * 1000 + i);
                if (actuator.write_register_blocking(600 + t, value) ||
                    actuator.read_register_blocking(600 + t).value != value)
                    ++wrong;
            }
        });
    }
    for (auto& thread : threads)
        thread.join();
    for (int i = 0; i < 1000 && std::abs(actuator.get_stream_data().position - 3000) > 200; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    actuator.stop_streaming();
    EXPECT_FALSE(actuator.is_streaming());
    actuator.run();  // the caller's again
    EXPECT_EQ(wrong, 0);
    EXPECT_NEAR(actuator.get_stream_data().position, 3000, 200);
    EXPECT_FALSE(static_cast<bool>(actuator.get_bus()->last_error()));
    // Close and destruction stop the thread first.
    actuator.start_streaming();
    actuator.close_serial_port();
    EXPECT_FALSE(actuator.is_streaming());
    Actuator own("own", 1);
    own.enable_stream();
    own.start_streaming();
}

namespace {

// A line whose every transmit throws, as the serial layer's system errors do.
struct ThrowingLine : SerialInterface {
    ZelkError open_serial_port(std::string, int) override { return no_error(); }
    ZelkError open_serial_port(int, int) override { return no_error(); }
    void close_serial_port() override {}
    void adjust_baud_rate(uint32_t) override {}
    bool ready_to_send() override { return true; }
    void send_byte(uint8_t) override {}
    void transmit(size_t) override { throw std::runtime_error("wire cut."); }
    bool ready_to_receive() override { return false; }
    uint8_t receive_byte() override { return 0; }
};

}  // namespace

TEST(BusThread, AnErrorInsideEndsItAndIsKept) {
    auto bus =
        std::make_shared<Bus>(std::make_shared<ThrowingLine>(), std::make_shared<ChronoClock>());
    Actuator actuator(bus, "x1", 1);
    actuator.enable_stream();
    bus->start_streaming();
    for (int i = 0; i < 10000 && bus->is_streaming(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_FALSE(bus->is_streaming());
    EXPECT_EQ(bus->last_error().what(), "The bus thread stopped: wire cut. ");
    EXPECT_EQ(actuator.last_error().what(), bus->last_error().what());
}
