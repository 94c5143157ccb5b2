// How the transmitter of a two-wire RS-485 line is switched on around each request: RTS
// drives the transceiver's direction. Either the driver does it (Linux's RS-485 mode of a
// UART, Windows' RTS toggle mode), or, for UARTs whose driver has no such mode, this program
// raises RTS before the write, waits until the last bit has left and drops it again.
#pragma once

#include <stdexcept>
#include <string>

namespace zelkSDK {

// The longest delay around a request; Linux's RS-485 mode allows no more either.
constexpr int kMaxRs485DelayUs = 100000;

struct Rs485Settings {
    bool enabled = true;           // false: no direction control, as a port opens
    bool rts_on_send = true;       // the level of RTS while a request goes out (true: high)
    bool rts_after_send = false;   // its level the rest of the time, while answers come in
    int delay_before_send_us = 0;  // from RTS switched to the first bit of the request
    int delay_after_send_us = 0;   // from its last bit to RTS switched back
    bool software = false;         // this program switches RTS, not the driver (POSIX)
};

// Throws std::invalid_argument for settings no line can have: RTS that keeps its level, a
// delay outside 0 to kMaxRs485DelayUs, or, for the driver's mode (which counts in
// milliseconds), a delay that is not a whole number of milliseconds.
inline void check_rs485_settings(const Rs485Settings& settings) {
    if (!settings.enabled) {
        return;
    }
    if (settings.rts_on_send == settings.rts_after_send) {
        throw std::invalid_argument(
            "RS-485: rts_on_send and rts_after_send must differ, or RTS never switches.");
    }
    for (const int delay : {settings.delay_before_send_us, settings.delay_after_send_us}) {
        if (delay < 0 || delay > kMaxRs485DelayUs) {
            throw std::invalid_argument("RS-485: a delay of " + std::to_string(delay) +
                                        " us is out of range: 0 to " +
                                        std::to_string(kMaxRs485DelayUs) + " us.");
        }
        if (!settings.software && delay % 1000 != 0) {
            throw std::invalid_argument(
                "RS-485: the driver's mode counts delays in whole milliseconds, not " +
                std::to_string(delay) + " us; software control takes microseconds.");
        }
    }
}

}  // namespace zelkSDK
