#include "sdk/serial/serial_asio.hpp"

#include <algorithm>
#include <asio/buffer.hpp>
#include <asio/error.hpp>
#include <asio/post.hpp>
#include <asio/write.hpp>
#include <cerrno>
#include <chrono>
#include <system_error>

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/ioctl.h>
#endif

namespace zelkSDK {
namespace {

constexpr size_t kReadBufferSize = 256;
// Back-off after a read error that may go away: doubles from 1 ms up to this limit.
constexpr int kMaxBackOffMs = 32;

// Errors after which no read will ever succeed on this handle.
bool is_permanent(const asio::error_code& error) {
    if (error == asio::error::eof || error == asio::error::bad_descriptor) {
        return true;
    }
    if (error.category() != asio::system_category()) {
        return false;
    }
#ifdef _WIN32
    switch (error.value()) {
        case 2:     // ERROR_FILE_NOT_FOUND
        case 5:     // ERROR_ACCESS_DENIED
        case 6:     // ERROR_INVALID_HANDLE
        case 21:    // ERROR_NOT_READY
        case 22:    // ERROR_BAD_COMMAND
        case 31:    // ERROR_GEN_FAILURE
        case 38:    // ERROR_HANDLE_EOF
        case 109:   // ERROR_BROKEN_PIPE
        case 1167:  // ERROR_DEVICE_NOT_CONNECTED
        case 1617:  // ERROR_DEVICE_REMOVED
            return true;
        default: return false;
    }
#else
    switch (error.value()) {
        case EIO:
        case ENXIO:
        case ENODEV:
        case EBADF: return true;
        default: return false;
    }
#endif
}

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
    join_reader();
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
    if (serial_port.is_open() && failed) {
        // A lost line is closed before it is opened again.
        asio::error_code ignored;
        running = false;
        join_reader();
        serial_port.close(ignored);
    }
    asio::error_code error;
    serial_port.open(port_name, error);
    if (error) {
        return ZelkError(1, error.message());
    }
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
    {
        std::lock_guard<std::mutex> lock(receive_mutex);
        failed = false;
        failure_reason.clear();
    }
#ifndef _WIN32
    prepare_for_reader();
#endif
    // A reader left over from a close that raised before its join goes first.
    join_reader();
    running = true;
    reader_done = false;
    reader_thread = std::thread(&SerialASIO::read_loop, this);
    return ZelkError(0, "");
}

void SerialASIO::prepare_for_reader() {
    // asio switches the descriptor to non-blocking mode on its first asynchronous read.
    // Do that here, on the caller's thread, so the reader never changes state that
    // transmit() reads concurrently. A byte this first read catches is delivered as usual.
    uint8_t first = 0;
    size_t count = 0;
    serial_port.async_read_some(asio::buffer(&first, 1),
                                [&](const asio::error_code&, size_t n) { count = n; });
    asio::error_code ignored;
    serial_port.cancel(ignored);
    io_context.restart();
    io_context.poll();
    if (count == 1) {
        deliver(&first, 1);
    }
}

void SerialASIO::close_serial_port() {
    running = false;
    if (!serial_port.is_open()) {
        // The raising form reports the closed port with asio's own error and location.
        serial_port.cancel();
    }
    join_reader();
    // Drop a cancel the reader did not run (it left between two reads).
    io_context.restart();
    io_context.poll();
    serial_port.close();
    received.notify_all();
}

void SerialASIO::interrupt() {
    {
        std::lock_guard<std::mutex> lock(receive_mutex);
        running = false;
    }
    received.notify_all();
}

void SerialASIO::join_reader() {
    if (reader_thread.joinable()) {
        running = false;
        // The reader's reads run on its io_context; a cancel posted there reaches the read
        // in progress, or the next one the reader starts, from the reader's own thread.
        asio::post(io_context, [this] {
            asio::error_code ignored;
            serial_port.cancel(ignored);
        });
        {
            // Wakes a back-off wait.
            std::lock_guard<std::mutex> lock(receive_mutex);
        }
        received.notify_all();
        reader_thread.join();
    }
}

void SerialASIO::adjust_baud_rate(uint32_t baud_rate) {
    serial_port.set_option(asio::serial_port_base::baud_rate(baud_rate));
}

void SerialASIO::transmit(size_t) {
    if (send_buffer.empty()) {
        return;
    }
    asio::error_code error;
    if (!serial_port.is_open()) {
        error = asio::error::bad_descriptor;
    } else {
        asio::write(serial_port, asio::buffer(send_buffer), error);
    }
    // Sent or not, the request is gone: a request that did not go out never goes out later.
    send_buffer.clear();
    if (error) {
        mark_failed("write: " + error.message());
    }
}

bool SerialASIO::ready_to_receive() {
    std::lock_guard<std::mutex> lock(receive_mutex);
    return !receive_buffer.empty();
}

uint8_t SerialASIO::receive_byte() {
    std::lock_guard<std::mutex> lock(receive_mutex);
    const uint8_t byte = receive_buffer.front();
    receive_buffer.erase(receive_buffer.begin());
    return byte;
}

bool SerialASIO::wait_to_receive(int64_t max_wait_us) {
    std::unique_lock<std::mutex> lock(receive_mutex);
    if (max_wait_us > 0 && receive_buffer.empty() && !failed) {
        received.wait_for(lock, std::chrono::microseconds(max_wait_us),
                          [this] { return !receive_buffer.empty() || failed || !running; });
    }
    return !receive_buffer.empty();
}

bool SerialASIO::line_failed() {
    return failed || !running;
}

bool SerialASIO::bytes_in_driver() {
    if (!serial_port.is_open() || !running) {
        return false;
    }
#ifdef _WIN32
    DWORD errors = 0;
    COMSTAT status{};
    return ClearCommError(serial_port.native_handle(), &errors, &status) && status.cbInQue > 0;
#else
    int count = 0;
    return ::ioctl(serial_port.native_handle(), FIONREAD, &count) == 0 && count > 0;
#endif
}

std::string SerialASIO::line_failure_reason() {
    std::lock_guard<std::mutex> lock(receive_mutex);
    if (failed) {
        return failure_reason;
    }
    return running ? std::string() : std::string("the port is not open");
}

void SerialASIO::mark_failed(const std::string& reason) {
    {
        std::lock_guard<std::mutex> lock(receive_mutex);
        if (!failed) {
            failure_reason = reason;
        }
        failed = true;
    }
    received.notify_all();
}

size_t SerialASIO::read_some(uint8_t* data, size_t size, asio::error_code& error) {
    size_t count = 0;
    error = asio::error_code();
    if (!running) {
        // Close may already have run its cancel: a read started now would never end.
        error = asio::error::operation_aborted;
        return 0;
    }
#ifdef _WIN32
    // asio's Windows read time-outs complete a read only when its buffer is full or the line
    // pauses for 1 ms: the first bytes of a long response would wait for its end, past the
    // response time-out. A read of what the driver already holds, or else of one byte,
    // completes as soon as there is something to hand over.
    DWORD errors = 0;
    COMSTAT status{};
    const bool queued = ClearCommError(serial_port.native_handle(), &errors, &status) != 0;
    size = queued && status.cbInQue > 0 ? std::min<size_t>(size, status.cbInQue) : 1;
#endif
    serial_port.async_read_some(asio::buffer(data, size),
                                [&](const asio::error_code& result, size_t n) {
                                    error = result;
                                    count = n;
                                });
    io_context.restart();
    io_context.run();
    return count;
}

void SerialASIO::deliver(const uint8_t* data, size_t size) {
    {
        std::lock_guard<std::mutex> lock(receive_mutex);
        receive_buffer.insert(receive_buffer.end(), data, data + size);
    }
    received.notify_all();
}

void SerialASIO::back_off(int failures) {
    const int wait_ms = std::min(kMaxBackOffMs, 1 << std::min(failures, 5));
    std::unique_lock<std::mutex> lock(receive_mutex);
    received.wait_for(lock, std::chrono::milliseconds(wait_ms), [this] { return !running; });
}

void SerialASIO::read_loop() {
    uint8_t read_buffer[kReadBufferSize];
    int failures = 0;
    while (running) {
        asio::error_code error;
        const size_t count = read_some(read_buffer, sizeof read_buffer, error);
        if (count > 0) {
            deliver(read_buffer, count);
        }
        if (!error) {
            failures = 0;
            continue;
        }
        if (!running) {
            break;
        }
        if (is_permanent(error)) {
            mark_failed(error.message());
            break;
        }
        back_off(failures++);
    }
    reader_done = true;
}

}  // namespace zelkSDK
