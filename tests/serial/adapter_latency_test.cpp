// Low-latency mode against played drivers, on a sysfs laid out in a temporary folder: one
// that accepts, ones that refuse, one that takes every request and keeps its 16 ms timer;
// and what open changed put back on close.
#include "sdk/serial/adapter_latency.hpp"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

using namespace zelkSDK;
namespace fs = std::filesystem;

namespace {

// ttyUSB0 with a latency timer of 16 ms, reached through a by-id link.
struct PlayedDriver : AdapterLatency::SystemCalls {
    PlayedDriver() {
        fs::create_directories(root + "/class/tty/ttyUSB0/device");
        fs::create_directories(root + "/dev/serial/by-id");
        std::ofstream(root + "/dev/ttyUSB0").put('\n');
        fs::create_symlink(root + "/dev/ttyUSB0", port);
        std::ofstream(timer_path) << "16\n";
    }
    ~PlayedDriver() override { fs::remove_all(root); }

    std::string sysfs_root() override { return root; }
    int get_low_latency(int, bool& on) override {
        on = flag;
        return get_refusal;
    }
    int set_low_latency(int, bool on) override {
        ++flag_sets;
        flag = set_refusal == 0 ? on : flag;
        return set_refusal;
    }
    int write_file(const std::string& path, const std::string& text) override {
        ++writes;
        return write_refusal != 0 || keeps_timer ? write_refusal
                                                 : SystemCalls::write_file(path, text);
    }
    std::string timer() const {
        std::ostringstream text;
        text << std::ifstream(timer_path).rdbuf();
        return text.str();
    }

    static std::string temporary_folder() {
        char name[] = "/tmp/ferrun-sysfs-XXXXXX";
        return ::mkdtemp(name) != nullptr ? name : "/nonexistent";
    }

    std::string root = temporary_folder();
    std::string port = root + "/dev/serial/by-id/usb-Chip_Adapter_A1-if00-port0";
    std::string timer_path = root + "/class/tty/ttyUSB0/device/latency_timer";
    bool flag = false;
    int get_refusal = 0, set_refusal = 0, write_refusal = 0;
    bool keeps_timer = false;
    int flag_sets = 0, writes = 0;
};

}  // namespace

TEST(AdapterLatency, AnAcceptingDriverGoesTo1MsAndCloseRestoresBoth) {
    PlayedDriver driver;
    AdapterLatency latency(driver);
    latency.apply(3, driver.port);
    EXPECT_EQ(latency.report(), "low-latency flag: off -> on; latency_timer: 16 ms -> 1 ms");
    EXPECT_EQ(latency.latency_us(), 1000);
    EXPECT_TRUE(driver.flag);
    EXPECT_EQ(driver.timer(), "1\n");
    latency.restore(3);
    EXPECT_FALSE(driver.flag);
    EXPECT_EQ(driver.timer(), "16\n");
    latency.restore(3);  // a second close changes nothing
    EXPECT_EQ(driver.flag_sets, 2);
    EXPECT_EQ(driver.writes, 2);
}

TEST(AdapterLatency, RefusalsLeaveThePortAsItWasAndSayWhy) {
    PlayedDriver driver;
    AdapterLatency latency(driver);
    // Some chips: the flag refused; a user who may not write sysfs.
    driver.set_refusal = EINVAL;
    driver.write_refusal = EACCES;
    latency.apply(3, driver.port);
    EXPECT_EQ(latency.report(),
              "low-latency flag: refused (Invalid argument); latency_timer: 16 ms -> 16 ms "
              "(cannot write it: Permission denied)");
    EXPECT_EQ(latency.latency_us(), 16000);
    latency.restore(3);
    EXPECT_EQ(driver.flag_sets, 1);
    EXPECT_EQ(driver.writes, 1);

    // A pseudo-terminal: no flag, no timer.
    driver.get_refusal = ENOTTY;
    fs::remove_all(driver.root + "/class");
    latency.apply(3, "/dev/pts/7");
    EXPECT_EQ(latency.report(),
              "low-latency flag: not supported (Inappropriate ioctl for device); "
              "latency_timer: none");
    EXPECT_EQ(latency.latency_us(), 0);
}

TEST(AdapterLatency, ADriverThatKeepsItsTimerReportsItsLatencyAndIsPutBack) {
    PlayedDriver driver;
    AdapterLatency latency(driver);
    driver.flag = true;  // already on before open: stays on after close
    driver.keeps_timer = true;
    latency.apply(3, driver.port);
    EXPECT_EQ(latency.report(), "low-latency flag: already on; latency_timer: 16 ms -> 16 ms");
    EXPECT_EQ(latency.latency_us(), 16000);
    latency.restore(3);
    EXPECT_TRUE(driver.flag);
    EXPECT_EQ(driver.flag_sets, 0);
    EXPECT_EQ(driver.writes, 2);  // 1 ms, then the original text back
}
