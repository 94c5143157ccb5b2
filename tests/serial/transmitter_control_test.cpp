// Transmitter direction control against a played driver: one that takes the settings, one
// that refuses them, and the order of the calls around a write under software control.
#include "sdk/serial/transmitter_control.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

using namespace zelkSDK;
using Calls = std::vector<std::string>;

namespace {

struct PlayedDriver : TransmitterControl::SystemCalls {
    int set_rs485_mode(int, const Rs485Settings& s) override {
        return record("rs485 " + std::to_string(s.enabled) + " after " +
                      std::to_string(s.delay_after_send_us));
    }
    int set_rts(int, bool high) override { return record(high ? "RTS up" : "RTS down"); }
    int drain(int) override {
        record("drain");
        return 0;
    }
    void sleep_us(int64_t us) override { record("sleep " + std::to_string(us)); }
    int record(const std::string& call) {
        calls.push_back(call);
        return refusal;
    }
    int refusal = 0;
    Calls calls;
};

}  // namespace

TEST(TransmitterControl, DriverModeIsTakenOrRefusedAndTheWriteGoesOnEitherWay) {
    PlayedDriver driver;
    TransmitterControl control(driver);
    const auto write = [&] {
        driver.record("write");
        return std::string();
    };
    Rs485Settings settings;
    settings.delay_after_send_us = 2000;
    EXPECT_FALSE(static_cast<bool>(control.configure(3, "/dev/ttyS1", settings)));
    EXPECT_EQ(control.send(3, write), "");
    EXPECT_EQ(driver.calls, (Calls{"rs485 1 after 2000", "write"}));

    driver.refusal = ENOTTY;
    control.reset();
    for (const bool software : {false, true}) {
        settings.software = software;
        EXPECT_EQ(control.configure(3, "/dev/pts/4", settings).what(),
                  std::string(software ? "Cannot switch RTS" : "Cannot set RS-485 mode") +
                      " on /dev/pts/4: Inappropriate ioctl for device");
    }
    driver.calls.clear();
    control.send(3, write);
    EXPECT_EQ(driver.calls, Calls{"write"});  // nothing switched around it
}

TEST(TransmitterControl, SoftwareControlRaisesRtsBeforeTheWriteAndDropsItAfterTheLastBit) {
    PlayedDriver driver;
    TransmitterControl control(driver);
    Rs485Settings settings;
    ASSERT_FALSE(static_cast<bool>(control.configure(3, "/dev/ttyS1", settings)));
    settings.software = true;  // in place of the driver's mode, which must let RTS go
    settings.delay_before_send_us = 150;
    settings.delay_after_send_us = 250;
    ASSERT_FALSE(static_cast<bool>(control.configure(3, "/dev/ttyS1", settings)));
    EXPECT_EQ(driver.calls, (Calls{"rs485 1 after 0", "rs485 0 after 0", "RTS down"}));
    std::string failure;
    const auto write = [&] {
        driver.record("write");
        return failure;
    };
    driver.calls.clear();
    EXPECT_EQ(control.send(3, write), "");
    EXPECT_EQ(driver.calls,
              (Calls{"RTS up", "sleep 150", "write", "drain", "sleep 250", "RTS down"}));
    // A failed write still gives the line back to the device.
    driver.calls.clear();
    failure = "Broken pipe";
    EXPECT_EQ(control.send(3, write), "Broken pipe");
    EXPECT_EQ(driver.calls, (Calls{"RTS up", "sleep 150", "write", "RTS down"}));
}
