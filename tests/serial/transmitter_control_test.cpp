// Transmitter direction control against a played driver: one that takes the settings, one
// that refuses them, and the order of the calls around a write under software control.
#include "sdk/serial/transmitter_control.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <stdexcept>
#include <string>
#include <vector>

using namespace zelkSDK;

namespace {

class PlayedDriver : public TransmitterControl::SystemCalls {
  public:
    int set_rs485_mode(int, const Rs485Settings& s) override {
        calls.push_back("rs485 " + std::to_string(s.enabled) + std::to_string(s.rts_on_send) +
                        std::to_string(s.rts_after_send) + " " +
                        std::to_string(s.delay_before_send_us) + " " +
                        std::to_string(s.delay_after_send_us));
        return refusal;
    }
    int set_rts(int, bool high) override {
        calls.push_back(high ? "RTS up" : "RTS down");
        return refusal;
    }
    int drain(int) override {
        calls.push_back("drain");
        return 0;
    }
    void sleep_us(int64_t us) override { calls.push_back("sleep " + std::to_string(us)); }

    int refusal = 0;
    std::vector<std::string> calls;
};

}  // namespace

TEST(TransmitterControl, DriverModeIsTakenOrRefusedAndTheWriteGoesOnEitherWay) {
    PlayedDriver driver;
    TransmitterControl control(driver);
    const auto write = [&] {
        driver.calls.push_back("write");
        return std::string();
    };
    Rs485Settings settings;
    settings.delay_after_send_us = 2000;
    EXPECT_FALSE(static_cast<bool>(control.configure(3, "/dev/ttyS1", settings)));
    EXPECT_EQ(control.send(3, write), "");
    EXPECT_EQ(driver.calls, (std::vector<std::string>{"rs485 110 0 2000", "write"}));

    driver.refusal = ENOTTY;
    driver.calls.clear();
    control.reset();
    for (const bool software : {false, true}) {
        settings.software = software;
        const ZelkError refused = control.configure(3, "/dev/pts/4", settings);
        EXPECT_TRUE(static_cast<bool>(refused));
        EXPECT_EQ(refused.what(),
                  std::string(software ? "Cannot switch RTS" : "Cannot set RS-485 mode") +
                      " on /dev/pts/4: Inappropriate ioctl for device");
    }
    EXPECT_EQ(control.send(3, write), "");
    EXPECT_EQ(driver.calls.back(), "write");  // nothing switched around it

    settings.rts_after_send = true;  // RTS that never switches
    EXPECT_THROW(control.configure(3, "/dev/ttyS1", settings), std::invalid_argument);
    settings.rts_after_send = false;
    settings.software = false;
    settings.delay_before_send_us = 1500;  // the driver counts milliseconds
    EXPECT_THROW(control.configure(3, "/dev/ttyS1", settings), std::invalid_argument);
    settings.delay_before_send_us = kMaxRs485DelayUs + 1;
    settings.software = true;
    EXPECT_THROW(control.configure(3, "/dev/ttyS1", settings), std::invalid_argument);
}

TEST(TransmitterControl, SoftwareControlRaisesRtsBeforeTheWriteAndDropsItAfterTheLastBit) {
    PlayedDriver driver;
    TransmitterControl control(driver);
    Rs485Settings settings;
    settings.software = true;
    settings.delay_before_send_us = 150;
    settings.delay_after_send_us = 250;
    ASSERT_FALSE(static_cast<bool>(control.configure(3, "/dev/ttyS1", settings)));
    driver.calls.clear();
    std::string failure;
    const auto write = [&] {
        driver.calls.push_back("write");
        return failure;
    };
    EXPECT_EQ(control.send(3, write), "");
    EXPECT_EQ(driver.calls, (std::vector<std::string>{"RTS up", "sleep 150", "write", "drain",
                                                      "sleep 250", "RTS down"}));
    // A failed write still gives the line back to the device.
    driver.calls.clear();
    failure = "Broken pipe";
    EXPECT_EQ(control.send(3, write), "Broken pipe");
    EXPECT_EQ(driver.calls, (std::vector<std::string>{"RTS up", "sleep 150", "write", "RTS down"}));
    // Switched off: writes alone, the driver's mode untouched (it was never on).
    settings.enabled = false;
    driver.calls.clear();
    EXPECT_FALSE(static_cast<bool>(control.configure(3, "/dev/ttyS1", settings)));
    control.send(3, write);
    EXPECT_EQ(driver.calls, std::vector<std::string>{"write"});
}
