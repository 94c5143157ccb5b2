#include "sdk/serial/serial_asio.hpp"

#include <algorithm>
#include <asio/error.hpp>
#include <chrono>
#include <system_error>

namespace zelkSDK {
namespace {

// A timed wait sleeps until this long before its end and spins the rest: a sleeping thread
// wakes tens of microseconds late (the kernel's timer slack alone is 50 us).
constexpr int64_t kSpinUs = 100;
// Longer waits are cut to this (a day), so that their end is a time the clock can hold.
constexpr int64_t kLongestWaitUs = 86'400'000'000;

}  // namespace

SerialASIO::SerialASIO() : serial_port(io_context) {}

SerialASIO::~SerialASIO() {
    if (serial_port.is_open()) {
        try {
            close_serial_port();
        } catch (const std::exception&) {
            // Nothing may leave a destructor; the port goes with its members below.
        }
    }
    release_receiving();
}

std::string SerialASIO::port_name_for_number(int port_number) {
#ifdef _WIN32
    return "\\\\.\\COM" + std::to_string(port_number);
#else
    return "/dev/ttyS" + std::to_string(port_number);
#endif
}

ZelkError SerialASIO::open_serial_port(int port_number, int baud_rate) {
    return open_port(port_name_for_number(port_number), baud_rate);
}

ZelkError SerialASIO::open_serial_port(std::string port_path, int baud_rate) {
    return open_port(port_path, baud_rate);
}

ZelkError SerialASIO::open_port(const std::string& port_name, int baud_rate) {
    if (port_name.find('\0') != std::string::npos) {
        // The system would open the part before the NUL: another device than the one named.
        return ZelkError(1, "Invalid argument: the port path holds a NUL character.");
    }
    if (serial_port.is_open() && failed) {
        // A lost line is closed before it is opened again.
        asio::error_code ignored;
        running = false;
        stop_receiving();
        serial_port.close(ignored);
    }
    asio::error_code error;
    serial_port.open(port_name, error);
    if (error) {
        return ZelkError(
            1, error.message() + ": cannot open " +
                   (port_name.empty() ? std::string("an empty port path") : port_name) + ".");
    }
    found_latency_us = 0;
    found_report.clear();
    using base = asio::serial_port_base;
    const auto failed_step = [&](const std::string& step) {
        asio::error_code ignored;
        serial_port.close(ignored);
        return ZelkError(1, "Cannot set " + step + " on " + port_name + ": " + error.message());
    };
    if (baud_rate <= 0) {
        error = asio::error::invalid_argument;
        return failed_step("the baud rate " + std::to_string(baud_rate));
    }
    if (serial_port.set_option(base::baud_rate(static_cast<unsigned>(baud_rate)), error)) {
        return failed_step("the baud rate " + std::to_string(baud_rate));
    }
    if (serial_port.set_option(base::character_size(8), error)) {
        return failed_step("8 data bits");
    }
    if (serial_port.set_option(base::parity(base::parity::even), error)) {
        return failed_step("even parity");
    }
    if (serial_port.set_option(base::stop_bits(base::stop_bits::one), error)) {
        return failed_step("1 stop bit");
    }
    if (serial_port.set_option(base::flow_control(base::flow_control::none), error)) {
        return failed_step("no flow control");
    }
    send_buffer.clear();
    open_port_name = port_name;
    {
        std::lock_guard<std::mutex> lock(receive_mutex);
        failed = false;
        failure_reason.clear();
        read_failures = 0;
    }
    return start_receiving();
}

void SerialASIO::close_serial_port() {
    running = false;
    if (!serial_port.is_open()) {
        // Closing a closed port (never opened, a failed open, a second close) changes
        // nothing, so a close in a finally block never hides the error that came before.
        return;
    }
    stop_receiving();
    serial_port.close();
}

void SerialASIO::adjust_baud_rate(uint32_t baud_rate) {
    serial_port.set_option(asio::serial_port_base::baud_rate(baud_rate));
}

void SerialASIO::transmit(size_t) {
    if (send_buffer.empty()) {
        return;
    }
    const std::string failure = serial_port.is_open()
                                    ? write_all()
                                    : asio::error_code(asio::error::bad_descriptor).message();
    // Sent or not, the request is gone: a request that did not go out never goes out later.
    send_buffer.clear();
    if (!failure.empty()) {
        mark_failed("write: " + failure);
    }
}

uint8_t SerialASIO::receive_byte() {
    std::lock_guard<std::mutex> lock(receive_mutex);
    const uint8_t byte = receive_buffer.front();
    receive_buffer.pop_front();
    return byte;
}

bool SerialASIO::wait_to_receive(int64_t max_wait_us) {
    using Steady = std::chrono::steady_clock;
    max_wait_us = std::min(max_wait_us, kLongestWaitUs);
    const Steady::time_point end = Steady::now() + std::chrono::microseconds(max_wait_us);
    if (holds_received_bytes()) {
        return true;
    }
    // Straight to sleep, which ends at once when the driver already holds bytes: a request
    // just written reaches the other end sooner when this thread leaves the CPU at once.
    // A sleep also ends early without a byte (a signal, the end of a read back-off): the
    // time left before the spin is slept again.
    const Steady::time_point sleep_end = end - std::chrono::microseconds(kSpinUs);
    for (Steady::time_point now = Steady::now(); now < sleep_end && !line_failed();
         now = Steady::now()) {
        sleep_for_bytes(
            std::chrono::duration_cast<std::chrono::microseconds>(sleep_end - now).count());
        if (ready_to_receive()) {
            return true;
        }
    }
    while (!ready_to_receive() && !line_failed() && Steady::now() < end) {
    }
    return ready_to_receive();
}

ZelkError SerialASIO::set_rs485(const Rs485Settings& settings) {
    check_rs485_settings(settings);
    if (!receiving()) {
        return ZelkError(1, "Cannot set RS-485 mode: the port is not open.");
    }
    return configure_transmitter(settings);
}

bool SerialASIO::holds_received_bytes() {
    std::lock_guard<std::mutex> lock(receive_mutex);
    return !receive_buffer.empty();
}

bool SerialASIO::line_failed() {
    return failed || !running;
}

std::string SerialASIO::line_failure_reason() {
    std::lock_guard<std::mutex> lock(receive_mutex);
    if (failed) {
        return failure_reason;
    }
    return running ? std::string() : std::string("the port is not open");
}

}  // namespace zelkSDK
