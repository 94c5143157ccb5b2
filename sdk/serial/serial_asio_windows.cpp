// Receiving on Windows: a reader thread runs asynchronous reads on the port's own io_context
// and hands every byte over as it is read.
#include <algorithm>
#include <asio/buffer.hpp>
#include <asio/error.hpp>
#include <asio/post.hpp>
#include <asio/write.hpp>
#include <chrono>
// After asio, which includes winsock2.h: windows.h first would bring in the old winsock.h.
#include <windows.h>

#include "sdk/serial/serial_asio.hpp"

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
}

}  // namespace

void SerialASIO::release_receiving() {
    // A reader left over from a close that raised before its join.
    join_reader();
}

ZelkError SerialASIO::start_receiving() {
    // A reader left over from a close that raised before its join goes first.
    join_reader();
    running = true;
    reader_done = false;
    reader_thread = std::thread(&SerialASIO::read_loop, this);
    return ZelkError(0, "");
}

void SerialASIO::stop_receiving() {
    join_reader();
    // Drop a cancel the reader did not run (it left between two reads).
    io_context.restart();
    io_context.poll();
    received.notify_all();
}

bool SerialASIO::receiving() const {
    return reader_thread.joinable() && !reader_done;
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

std::string SerialASIO::write_all() {
    asio::error_code error;
    asio::write(serial_port, asio::buffer(send_buffer), error);
    return error ? error.message() : std::string();
}

// The driver switches RTS itself (either control): high while a request goes out, low
// after its last bit, without delays.
ZelkError SerialASIO::configure_transmitter(const Rs485Settings& settings) {
    const auto refused = [&](const std::string& why) {
        return ZelkError(1, "Cannot set RS-485 mode on " + open_port_name + ": " + why);
    };
    if (settings.enabled && (!settings.rts_on_send || settings.delay_before_send_us != 0 ||
                             settings.delay_after_send_us != 0)) {
        return refused("RTS toggle mode raises RTS while sending, without delays.");
    }
    DCB state{};
    state.DCBlength = sizeof state;
    if (!GetCommState(serial_port.native_handle(), &state)) {
        return refused(asio::error_code(GetLastError(), asio::system_category()).message());
    }
    state.fRtsControl = settings.enabled ? RTS_CONTROL_TOGGLE : RTS_CONTROL_DISABLE;
    if (!SetCommState(serial_port.native_handle(), &state)) {
        return refused(asio::error_code(GetLastError(), asio::system_category()).message());
    }
    return no_error();
}

bool SerialASIO::ready_to_receive() {
    return holds_received_bytes();
}

void SerialASIO::sleep_for_bytes(int64_t max_wait_us) {
    std::unique_lock<std::mutex> lock(receive_mutex);
    received.wait_for(lock, std::chrono::microseconds(max_wait_us),
                      [this] { return !receive_buffer.empty() || failed || !running; });
}

bool SerialASIO::bytes_in_driver() {
    if (!serial_port.is_open() || !running) {
        return false;
    }
    DWORD errors = 0;
    COMSTAT status{};
    return ClearCommError(serial_port.native_handle(), &errors, &status) && status.cbInQue > 0;
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

void SerialASIO::deliver(const uint8_t* data, size_t size) {
    {
        std::lock_guard<std::mutex> lock(receive_mutex);
        receive_buffer.insert(receive_buffer.end(), data, data + size);
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
    // asio's Windows read time-outs complete a read only when its buffer is full or the line
    // pauses for 1 ms: the first bytes of a long response would wait for its end, past the
    // response time-out. A read of what the driver already holds, or else of one byte,
    // completes as soon as there is something to hand over.
    DWORD errors = 0;
    COMSTAT status{};
    const bool queued = ClearCommError(serial_port.native_handle(), &errors, &status) != 0;
    size = queued && status.cbInQue > 0 ? std::min<size_t>(size, status.cbInQue) : 1;
    serial_port.async_read_some(asio::buffer(data, size),
                                [&](const asio::error_code& result, size_t n) {
                                    error = result;
                                    count = n;
                                });
    io_context.restart();
    io_context.run();
    return count;
}

void SerialASIO::back_off() {
    const int wait_ms = std::min(kMaxBackOffMs, 1 << std::min(read_failures++, 5));
    std::unique_lock<std::mutex> lock(receive_mutex);
    received.wait_for(lock, std::chrono::milliseconds(wait_ms), [this] { return !running; });
}

void SerialASIO::read_loop() {
    uint8_t read_buffer[kReadBufferSize];
    while (running) {
        asio::error_code error;
        const size_t count = read_some(read_buffer, sizeof read_buffer, error);
        if (count > 0) {
            deliver(read_buffer, count);
        }
        if (!error) {
            read_failures = 0;
            continue;
        }
        if (!running) {
            break;
        }
        if (is_permanent(error)) {
            mark_failed(error.message());
            break;
        }
        back_off();
    }
    reader_done = true;
}

}  // namespace zelkSDK
