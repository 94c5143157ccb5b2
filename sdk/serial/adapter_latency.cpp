#include "sdk/serial/adapter_latency.hpp"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <system_error>

#ifdef __linux__
#include <linux/serial.h>
#endif

namespace zelkSDK {
namespace {

// The longest latency a timer file may say, in milliseconds: anything more is not one.
constexpr int kMaxTimerMs = 1000;

std::string reason(int error) {
    return std::error_code(error, std::system_category()).message();
}

// The port's name in sysfs: the last part of its path, symlinks resolved where they can be.
std::string sysfs_name(const std::string& port_path) {
    std::string path = port_path;
    if (char* resolved = ::realpath(port_path.c_str(), nullptr)) {
        path = resolved;
        std::free(resolved);
    }
    return path.substr(path.find_last_of('/') + 1);
}

int read_file(const std::string& path, std::string& text) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return errno;
    }
    char buffer[64];
    const ssize_t count = ::read(fd, buffer, sizeof buffer);
    const int error = count < 0 ? errno : 0;
    ::close(fd);
    text.assign(buffer, count > 0 ? static_cast<size_t>(count) : 0);
    return error;
}

std::string trimmed(const std::string& text) {
    return text.substr(0, text.find_last_not_of(" \t\n") + 1);
}

// Whole milliseconds as the timer file says them ("16\n"); -1 for anything else.
int timer_ms(const std::string& text) {
    const std::string digits = trimmed(text);
    if (digits.empty() || digits.size() > 4 ||
        digits.find_first_not_of("0123456789") != std::string::npos) {
        return -1;
    }
    const int ms = std::stoi(digits);
    return ms <= kMaxTimerMs ? ms : -1;
}

std::string describe_timer(const std::string& text) {
    const int ms = timer_ms(text);
    return ms >= 0 ? std::to_string(ms) + " ms" : "not a latency (\"" + trimmed(text) + "\")";
}

}  // namespace

std::string AdapterLatency::SystemCalls::sysfs_root() {
    const char* root = std::getenv("FERRUN_SYSFS_ROOT");
    return root != nullptr && *root != '\0' ? root : "/sys";
}

int AdapterLatency::SystemCalls::get_low_latency(int fd, bool& on) {
#ifdef __linux__
    serial_struct serial{};
    if (::ioctl(fd, TIOCGSERIAL, &serial) != 0) {
        return errno;
    }
    on = (serial.flags & ASYNC_LOW_LATENCY) != 0;
    return 0;
#else
    (void)fd;
    (void)on;
    return ENOTTY;  // only Linux drivers have the flag
#endif
}

int AdapterLatency::SystemCalls::set_low_latency(int fd, bool on) {
#ifdef __linux__
    serial_struct serial{};
    if (::ioctl(fd, TIOCGSERIAL, &serial) != 0) {
        return errno;
    }
    serial.flags = on ? serial.flags | ASYNC_LOW_LATENCY : serial.flags & ~ASYNC_LOW_LATENCY;
    return ::ioctl(fd, TIOCSSERIAL, &serial) == 0 ? 0 : errno;
#else
    (void)fd;
    (void)on;
    return ENOTTY;
#endif
}

int AdapterLatency::SystemCalls::write_file(const std::string& path, const std::string& text) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
    if (fd < 0) {
        return errno;
    }
    const ssize_t count = ::write(fd, text.data(), text.size());
    const int error = count < 0 ? errno : static_cast<size_t>(count) < text.size() ? EIO : 0;
    return ::close(fd) != 0 && error == 0 ? errno : error;
}

AdapterLatency::SystemCalls& AdapterLatency::system_calls() {
    static SystemCalls system;
    return system;
}

void AdapterLatency::apply(int fd, const std::string& port_path) {
    flag_set = false;
    timer_path.clear();
    found_us = 0;
    const std::string path =
        calls.sysfs_root() + "/class/tty/" + sysfs_name(port_path) + "/device/latency_timer";
    // The timer as it was before the flag: a driver may set its timer when the flag changes.
    const int unread = read_file(path, original_timer);
    const std::string flag = set_flag(fd);
    const std::string timer = unread == ENOENT || unread == ENOTDIR ? "none"
                              : unread != 0 ? "unreadable (" + reason(unread) + ")"
                                            : lower_timer(path);
    found = "low-latency flag: " + flag + "; latency_timer: " + timer;
}

std::string AdapterLatency::set_flag(int fd) {
    bool on = false;
    if (const int error = calls.get_low_latency(fd, on)) {
        return "not supported (" + reason(error) + ")";
    }
    if (on) {
        return "already on";
    }
    if (const int error = calls.set_low_latency(fd, true)) {
        return "refused (" + reason(error) + ")";
    }
    flag_set = true;
    return "off -> on";
}

std::string AdapterLatency::lower_timer(const std::string& path) {
    const int refused = calls.write_file(path, "1\n");
    if (refused == 0) {
        timer_path = path;
    }
    std::string now;
    const int unread = read_file(path, now);
    const int ms = unread == 0 ? timer_ms(now) : -1;
    found_us = ms > 0 ? ms * int64_t{1000} : 0;
    return describe_timer(original_timer) + " -> " +
           (unread != 0 ? "unreadable (" + reason(unread) + ")" : describe_timer(now)) +
           (refused != 0 ? " (cannot write it: " + reason(refused) + ")" : "");
}

void AdapterLatency::restore(int fd) {
    // The flag first: a driver that sets its timer when the flag changes does so before the
    // timer's own text is put back.
    if (flag_set) {
        calls.set_low_latency(fd, false);
        flag_set = false;
    }
    if (!timer_path.empty()) {
        calls.write_file(timer_path, original_timer);
        timer_path.clear();
    }
}

}  // namespace zelkSDK
