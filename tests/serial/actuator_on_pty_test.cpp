// The whole SDK on a real serial line: an Actuator with its own SerialASIO and ChronoClock
// against the simulated device served on the master side of a pseudo-terminal.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>

#include "sdk/actuator/actuator.hpp"
#include "sim/pty_server.hpp"

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
    EXPECT_FALSE(static_cast<bool>(actuator.write_register_blocking(600, 0xABCD)));
    const ZelkResult<unsigned short> read = actuator.read_register_blocking(600);
    EXPECT_FALSE(static_cast<bool>(read.error)) << read.error.what();
    EXPECT_EQ(read.value, 0xABCD);
    EXPECT_FALSE(static_cast<bool>(actuator.write_wide_register_blocking(700, -123456)));
    EXPECT_EQ(actuator.read_wide_register_blocking(700).value, -123456);
    EXPECT_FALSE(static_cast<bool>(actuator.set_mode(PositionMode)));
    EXPECT_EQ(actuator.get_mode().value, PositionMode);
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
    std::istringstream lines(text);
    std::string tx, rx, rest;
    ASSERT_TRUE(std::getline(lines, tx));
    ASSERT_TRUE(std::getline(lines, rx));
    EXPECT_FALSE(std::getline(lines, rest));
    EXPECT_NE(tx.find("\ttx\t01\t03\t01\t3d\t00\t01\t14\t3a\r"), std::string::npos) << tx;
    EXPECT_NE(rx.find("\trx\t01\t03\t02\t00\t01"), std::string::npos) << rx;
    EXPECT_EQ(rx.back(), '\r');
    EXPECT_EQ(text.find("My Test"), std::string::npos);
    std::remove(path.c_str());
}
