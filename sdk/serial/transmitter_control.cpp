#include "sdk/serial/transmitter_control.hpp"

#include <sys/ioctl.h>
#include <termios.h>

#include <cerrno>
#include <chrono>
#include <system_error>
#include <thread>

#ifdef __linux__
#include <linux/serial.h>
#endif

namespace zelkSDK {
namespace {

class OperatingSystem : public TransmitterControl::SystemCalls {
  public:
    int set_rs485_mode(int fd, const Rs485Settings& settings) override {
#ifndef __linux__
        (void)fd;
        (void)settings;
        return ENOTTY;  // only Linux drivers have an RS-485 mode
#else
        serial_rs485 mode{};
        if (settings.enabled) {
            mode.flags = SER_RS485_ENABLED | (settings.rts_on_send ? SER_RS485_RTS_ON_SEND : 0) |
                         (settings.rts_after_send ? SER_RS485_RTS_AFTER_SEND : 0);
            mode.delay_rts_before_send = static_cast<__u32>(settings.delay_before_send_us / 1000);
            mode.delay_rts_after_send = static_cast<__u32>(settings.delay_after_send_us / 1000);
        }
        return ::ioctl(fd, TIOCSRS485, &mode) == 0 ? 0 : errno;
#endif
    }
    int set_rts(int fd, bool high) override {
        const int line = TIOCM_RTS;
        return ::ioctl(fd, high ? TIOCMBIS : TIOCMBIC, &line) == 0 ? 0 : errno;
    }
    int drain(int fd) override {
        while (::tcdrain(fd) != 0) {
            if (errno != EINTR) {
                return errno;
            }
        }
        return 0;
    }
    void sleep_us(int64_t microseconds) override {
        std::this_thread::sleep_for(std::chrono::microseconds(microseconds));
    }
};

std::string reason(int error) {
    return std::error_code(error, std::system_category()).message();
}

}  // namespace

TransmitterControl::SystemCalls& TransmitterControl::system_calls() {
    static OperatingSystem system;
    return system;
}

ZelkError TransmitterControl::configure(int fd, const std::string& port_name,
                                        const Rs485Settings& new_settings) {
    check_rs485_settings(new_settings);
    if (mode == Mode::driver && (!new_settings.enabled || new_settings.software)) {
        // Only what this program switched on is switched off again; software control
        // cannot share RTS with the driver's mode.
        Rs485Settings off;
        off.enabled = false;
        if (const int error = calls.set_rs485_mode(fd, off)) {
            return ZelkError(1, "Cannot end RS-485 mode on " + port_name + ": " + reason(error));
        }
        mode = Mode::none;
    }
    if (!new_settings.enabled) {
        mode = Mode::none;
        return no_error();
    }
    if (new_settings.software) {
        // RTS at its receiving level from now on; a port without RTS refuses here.
        if (const int error = calls.set_rts(fd, new_settings.rts_after_send)) {
            return ZelkError(1, "Cannot switch RTS on " + port_name + ": " + reason(error));
        }
    } else if (const int error = calls.set_rs485_mode(fd, new_settings)) {
        return ZelkError(1, "Cannot set RS-485 mode on " + port_name + ": " + reason(error));
    }
    mode = new_settings.software ? Mode::software : Mode::driver;
    settings = new_settings;
    return no_error();
}

std::string TransmitterControl::send(int fd, const std::function<std::string()>& write) {
    if (mode != Mode::software) {
        return write();
    }
    if (const int error = calls.set_rts(fd, settings.rts_on_send)) {
        return "RTS: " + reason(error);
    }
    if (settings.delay_before_send_us > 0) {
        calls.sleep_us(settings.delay_before_send_us);
    }
    std::string failure = write();
    if (failure.empty()) {
        if (const int error = calls.drain(fd)) {
            failure = "drain: " + reason(error);
        } else if (settings.delay_after_send_us > 0) {
            calls.sleep_us(settings.delay_after_send_us);
        }
    }
    // Back to receiving whatever happened, so the device's answer is not talked over.
    const int error = calls.set_rts(fd, settings.rts_after_send);
    return failure.empty() && error != 0 ? "RTS: " + reason(error) : failure;
}

}  // namespace zelkSDK
