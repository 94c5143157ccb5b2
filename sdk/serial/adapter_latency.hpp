// Low-latency mode of a USB-serial adapter on a POSIX port, best effort. Such an adapter
// hands what the wire brings to the host in packets, when its buffer is full or when its
// latency timer ticks (16 ms by default on the common chips): an answer can pause that long
// between two of its bytes, and every round trip carries the timer.
//
// apply(), on open, in this order: the serial driver's low-latency flag (TIOCGSERIAL and
// TIOCSSERIAL, ASYNC_LOW_LATENCY; Linux only), then, where the driver exposes it, 1 ms
// written to <sysfs root>/class/tty/<name>/device/latency_timer and read back (<name>: the
// port path's last part once symlinks are resolved, /dev/serial/by-id/usb-X -> ttyUSB0,
// /dev/pts/7 -> 7). restore(), on close, puts back both as they were. A driver that
// refuses (a pseudo-terminal answers ENOTTY, some chips EINVAL, a user who may not write
// sysfs) leaves the port as it was; latency_us() and report() say what apply() found.
//
// The system calls go through SystemCalls, so that tests can play a driver that accepts,
// refuses or keeps its timer whatever it is told.
#pragma once

#include <cstdint>
#include <string>

namespace zelkSDK {

class AdapterLatency {
  public:
    // Each is the operating system's own unless a test plays it; 0, or the errno.
    class SystemCalls {
      public:
        virtual ~SystemCalls() = default;
        // Where sysfs lookups start: FERRUN_SYSFS_ROOT when set and not empty (read at each
        // call), else "/sys".
        virtual std::string sysfs_root();
        virtual int get_low_latency(int fd, bool& on);  // TIOCGSERIAL
        virtual int set_low_latency(int fd, bool on);   // TIOCGSERIAL, then TIOCSSERIAL
        // Replaces the file's whole text.
        virtual int write_file(const std::string& path, const std::string& text);
    };
    static SystemCalls& system_calls();

    explicit AdapterLatency(SystemCalls& calls_ = system_calls()) : calls(calls_) {}

    void apply(int fd, const std::string& port_path);
    // Only what apply() changed; a second call changes nothing.
    void restore(int fd);

    // The adapter's latency after apply(): the latency timer read back, 0 where there is
    // none (a bare UART, a pseudo-terminal) or it could not be read.
    int64_t latency_us() const { return found_us; }
    // One line: what apply() found and did, e.g. "low-latency flag: not supported
    // (Inappropriate ioctl for device); latency_timer: 16 ms -> 1 ms".
    const std::string& report() const { return found; }

  private:
    std::string set_flag(int fd);
    std::string lower_timer(const std::string& path);

    SystemCalls& calls;
    bool flag_set = false;   // by apply(): restore() clears it
    std::string timer_path;  // written by apply(): restore() writes original_timer back
    std::string original_timer;
    int64_t found_us = 0;
    std::string found;
};

}  // namespace zelkSDK
