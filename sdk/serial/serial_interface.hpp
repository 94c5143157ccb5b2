// The byte-oriented serial line the Modbus engine is written against. The SDK's own
// implementation is SerialASIO; tests and the simulator put their own lines in its place.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <thread>

#include "sdk/serial/rs485_settings.hpp"
#include "sdk/types/zelk_error.hpp"

namespace zelkSDK {

class SerialInterface {
  public:
    virtual ~SerialInterface() = default;

    // Open the line at the given baud rate. Failure is reported only through the result.
    virtual ZelkError open_serial_port(std::string port_path, int baud_rate) = 0;
    virtual ZelkError open_serial_port(int port_number, int baud_rate) = 0;
    // Stop receiving and release the line; no byte is delivered after it returns.
    virtual void close_serial_port() = 0;
    // Called without the bus's lock before close: makes line_failed() true and wakes a
    // waiter, so a call in progress on another thread ends at once and frees the lock.
    virtual void interrupt() {}
    virtual void adjust_baud_rate(uint32_t baud_rate) = 0;
    // True when a new request may be written now.
    virtual bool ready_to_send() = 0;
    // Append one byte to the outgoing message; nothing reaches the line before transmit().
    virtual void send_byte(uint8_t byte) = 0;
    // Put the appended bytes on the line and announce the length of the response.
    virtual void transmit(size_t expected_response_length) = 0;
    // True while at least one received byte waits; receive_byte() takes the oldest.
    virtual bool ready_to_receive() = 0;
    virtual uint8_t receive_byte() = 0;

    // Waits until a received byte is ready or max_wait_us have passed, and returns
    // ready_to_receive(). Lines that receive on the caller's own thread keep this default,
    // which only yields once.
    virtual bool wait_to_receive(int64_t max_wait_us) {
        (void)max_wait_us;
        std::this_thread::yield();
        return ready_to_receive();
    }
    // True once the line can carry no more bytes until it is opened again: the device
    // went away, the port was never opened or closed under the engine, a write failed.
    // line_failure_reason() says why, in the operating system's words.
    virtual bool line_failed() { return false; }
    // True when bytes have reached the operating system's driver but not yet the receive
    // buffer (a busy machine has not run the reader yet): a time-out must wait for them.
    virtual bool bytes_in_driver() { return false; }
    virtual std::string line_failure_reason() { return {}; }
    // What the last open found of a USB-serial adapter behind the line: the latency with
    // which it hands bytes over (microseconds; 0 for none, or none known), and one line
    // saying what open found and did to lower it (empty when it looked for nothing).
    virtual int64_t adapter_latency_us() { return 0; }
    virtual std::string adapter_report() { return {}; }
    // Transmitter direction control (see Rs485Settings) of the line as it is open now.
    // Settings no line can have throw std::invalid_argument; a line that cannot take them
    // says why in the result and goes on as before.
    virtual ZelkError set_rs485(const Rs485Settings& settings) {
        check_rs485_settings(settings);
        return ZelkError(1, "This serial line has no transmitter direction control.");
    }
};

}  // namespace zelkSDK
