// Transmitter direction control of a POSIX serial port (see Rs485Settings): the driver's
// RS-485 mode, or RTS switched by this program around each write. The system calls go
// through SystemCalls, so that tests can play a driver that takes the settings or refuses
// them, and see the order of the calls around a write.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "sdk/serial/rs485_settings.hpp"
#include "sdk/types/zelk_error.hpp"

namespace zelkSDK {

class TransmitterControl {
  public:
    // One system call each; 0, or the errno of the failure.
    class SystemCalls {
      public:
        virtual ~SystemCalls() = default;
        virtual int set_rs485_mode(int fd, const Rs485Settings& settings) = 0;  // TIOCSRS485
        virtual int set_rts(int fd, bool high) = 0;  // TIOCMBIS, TIOCMBIC
        virtual int drain(int fd) = 0;               // tcdrain: until the last bit has left
        virtual void sleep_us(int64_t microseconds) = 0;
    };
    // The operating system's own.
    static SystemCalls& system_calls();

    explicit TransmitterControl(SystemCalls& calls_ = system_calls()) : calls(calls_) {}

    // Applies settings (checked with check_rs485_settings) to the port fd, named port_name.
    // A driver or port that refuses them (a pseudo-terminal, a USB adapter that switches
    // by itself) fails with the port's name and the system's reason, and the port goes on
    // as before.
    ZelkError configure(int fd, const std::string& port_name, const Rs485Settings& settings);
    // A port opened again starts without control.
    void reset() { mode = Mode::none; }

    // Sends a request through write (which returns the failure in the system's words, or
    // nothing); under software control with RTS switched before it and after its last bit.
    std::string send(int fd, const std::function<std::string()>& write);

  private:
    enum class Mode { none, driver, software };

    SystemCalls& calls;
    Mode mode = Mode::none;
    Rs485Settings settings;
};

}  // namespace zelkSDK
