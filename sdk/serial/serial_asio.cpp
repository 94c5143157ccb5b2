#include "sdk/serial/serial_asio.hpp"

#include <algorithm>
#include <asio/buffer.hpp>
#include <asio/error.hpp>
#include <asio/post.hpp>
#include <asio/steady_timer.hpp>
#include <chrono>
#include <iostream>
#include <system_error>

namespace zelkSDK {
namespace {

constexpr size_t kReadBufferSize = 256;
constexpr size_t kHeaderLength = 2;
constexpr size_t kExceptionLength = 5;
// Bytes that came are handed over once the line has been quiet this long, even when the
// response they belong to is not complete yet.
constexpr int kQuietUs = 2000;
constexpr int kNoLimit = -1;

size_t clamp_announced_length(size_t announced) {
    return std::min(std::max(announced, kHeaderLength), kReadBufferSize);
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
    const std::string port_name = port_name_for_number(port_number);
    return open_port(port_name, baud_rate);
}

ZelkError SerialASIO::open_serial_port(std::string port_path, int baud_rate) {
    return open_port(port_path, baud_rate);
}

ZelkError SerialASIO::open_port(const std::string& port_name, int baud_rate) {
    asio::error_code error;
    serial_port.open(port_name, error);
    if (error) {
        return ZelkError(1, error.message());
    }
    serial_port.set_option(asio::serial_port_base::baud_rate(static_cast<unsigned>(baud_rate)));
    serial_port.set_option(
        asio::serial_port_base::stop_bits(asio::serial_port_base::stop_bits::one));
    serial_port.set_option(asio::serial_port_base::parity(asio::serial_port_base::parity::even));
#ifndef _WIN32
    prepare_for_reader();
#endif
    // A reader left over from a close that raised before its join goes first.
    join_reader();
    running = true;
    reader_thread = std::thread(&SerialASIO::read_loop, this);
    return ZelkError(0, "");
}

void SerialASIO::prepare_for_reader() {
    // asio switches the descriptor to non-blocking mode on its first asynchronous read.
    // Do that here, on the caller's thread, so the reader never changes state that
    // transmit() reads concurrently. A byte this first read catches is delivered as usual.
    uint8_t first = 0;
    size_t received = 0;
    serial_port.async_read_some(asio::buffer(&first, 1),
                                [&](const asio::error_code&, size_t count) { received = count; });
    asio::error_code ignored;
    serial_port.cancel(ignored);
    io_context.restart();
    io_context.poll();
    if (received == 1) {
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
        reader_thread.join();
    }
}

void SerialASIO::adjust_baud_rate(uint32_t baud_rate) {
    serial_port.set_option(asio::serial_port_base::baud_rate(baud_rate));
}

void SerialASIO::transmit(size_t expected) {
    expected_response_length = expected;
    if (send_buffer.empty()) {
        return;
    }
    const size_t written = serial_port.write_some(asio::buffer(send_buffer));
    send_buffer.erase(send_buffer.begin(),
                      send_buffer.begin() + static_cast<std::ptrdiff_t>(written));
}

bool SerialASIO::ready_to_receive() {
    std::lock_guard<std::mutex> light_lock(light_mutex);
    std::lock_guard<std::mutex> lock(receive_mutex);
    return !receive_buffer.empty();
}

uint8_t SerialASIO::receive_byte() {
    std::lock_guard<std::mutex> light_lock(light_mutex);
    std::lock_guard<std::mutex> lock(receive_mutex);
    const uint8_t byte = receive_buffer.front();
    receive_buffer.erase(receive_buffer.begin());
    return byte;
}

size_t SerialASIO::read_some(uint8_t* data, size_t size, asio::error_code& error,
                             int quiet_limit_us, bool& quiet) {
    size_t received = 0;
    quiet = false;
    error = asio::error_code();
    if (!running) {
        // Close may already have run its cancel: a read started now would never end.
        error = asio::error::operation_aborted;
        return 0;
    }
    bool read_done = false;
    asio::steady_timer quiet_timer(io_context);
    serial_port.async_read_some(asio::buffer(data, size),
                                [&](const asio::error_code& result, size_t count) {
                                    error = result;
                                    received = count;
                                    read_done = true;
                                    quiet_timer.cancel();
                                });
    if (quiet_limit_us >= 0) {
        quiet_timer.expires_after(std::chrono::microseconds(quiet_limit_us));
        quiet_timer.async_wait([&](const asio::error_code& result) {
            if (!result && !read_done) {
                quiet = true;
                asio::error_code ignored;
                serial_port.cancel(ignored);
            }
        });
    }
    io_context.restart();
    io_context.run();
    if (received > 0) {
        quiet = false;  // the bytes came just as the quiet limit passed: a plain read
    }
    if (quiet) {
        error = running ? asio::error_code() : asio::error::operation_aborted;
    }
    return received;
}

void SerialASIO::deliver(const uint8_t* data, size_t size) {
    {
        std::unique_lock<std::mutex> lock(receive_mutex);
        receive_buffer.insert(receive_buffer.end(), data, data + size);
    }
    // Let a consumer call that was waiting for the buffer finish before the next read.
    std::lock_guard<std::mutex> light_lock(light_mutex);
}

void SerialASIO::read_loop() {
    std::vector<uint8_t> read_buffer(kReadBufferSize, 0);
    while (running) {
        // Bytes of this cycle already handed over because the line fell quiet after them.
        size_t delivered = 0;
        const auto hand_over_quiet_bytes = [&](size_t upto) {
            deliver(&read_buffer[delivered], upto - delivered);
            delivered = upto;
        };

        asio::error_code error;
        size_t header = 0;
        while (header < kHeaderLength && !error) {
            bool quiet = false;
            const int limit = header > delivered ? kQuietUs : kNoLimit;
            header += read_some(&read_buffer[header], kHeaderLength - header, error, limit, quiet);
            if (quiet) {
                hand_over_quiet_bytes(header);
            }
        }
        if (error) {
            continue;
        }
        if (read_buffer[1] & 0x80) {
            expected_response_length = kExceptionLength;
        }
        const size_t remainder = clamp_announced_length(expected_response_length) - kHeaderLength;
        size_t received = 0;
        while (remainder > 0) {
            bool quiet = false;
            const int limit = delivered < kHeaderLength ? kQuietUs : kNoLimit;
            received = read_some(&read_buffer[kHeaderLength], remainder, error, limit, quiet);
            if (!quiet) {
                break;
            }
            hand_over_quiet_bytes(kHeaderLength);
        }
        if (error) {
            std::cerr << "Read Remaining Message Failed" << error.message() << "\n";
            continue;
        }
        hand_over_quiet_bytes(kHeaderLength + received);
    }
}

}  // namespace zelkSDK
