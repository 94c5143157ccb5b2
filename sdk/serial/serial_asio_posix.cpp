// Receiving on POSIX: the caller's own thread reads the port. ready_to_receive() takes what
// the driver holds without waiting; a wait sleeps in poll() on the port and on a pipe that
// interrupt() writes to. No thread hop between a byte's arrival and the engine.
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <asio/error.hpp>
#include <cerrno>
#include <chrono>
#include <ctime>
#include <system_error>

#include "sdk/serial/serial_asio.hpp"

namespace zelkSDK {
namespace {

constexpr size_t kReadBufferSize = 256;
// Back-off after a read error that may go away: doubles from 1 ms up to this limit.
constexpr int kMaxBackOffMs = 32;
// A driver that takes no byte of a request for this long never will: even at 300 baud a
// character leaves the line every 37 ms and frees room for the next.
constexpr int64_t kWriteStallUs = 1'000'000;

// Errors after which no read will ever succeed on this descriptor.
bool is_permanent(int error) {
    return error == EIO || error == ENXIO || error == ENODEV || error == EBADF;
}

std::string system_message(int error) {
    return std::error_code(error, std::system_category()).message();
}

int64_t now_us() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

bool set_flags(int fd) {
    const int status = ::fcntl(fd, F_GETFL);
    const int descriptor = ::fcntl(fd, F_GETFD);
    return status >= 0 && descriptor >= 0 && ::fcntl(fd, F_SETFL, status | O_NONBLOCK) == 0 &&
           ::fcntl(fd, F_SETFD, descriptor | FD_CLOEXEC) == 0;
}

// poll() with a timeout in microseconds where the system has one.
int poll_us(pollfd* fds, nfds_t count, int64_t timeout_us) {
#ifdef __linux__
    const timespec timeout{static_cast<time_t>(timeout_us / 1'000'000),
                           static_cast<long>(timeout_us % 1'000'000 * 1000)};
    return ::ppoll(fds, count, &timeout, nullptr);
#else
    return ::poll(fds, count, static_cast<int>((timeout_us + 999) / 1000));
#endif
}

}  // namespace

void SerialASIO::release_receiving() {
    if (wake_read >= 0) {
        ::close(wake_read);
        ::close(wake_write);
    }
}

ZelkError SerialASIO::start_receiving() {
    asio::error_code error;
    // Reads never wait in the driver. asio's writes still write everything: they poll for
    // room when the driver's buffer is full.
    const int flags = ::fcntl(serial_port.native_handle(), F_GETFL);
    if (flags < 0 || ::fcntl(serial_port.native_handle(), F_SETFL, flags | O_NONBLOCK) != 0) {
        error = std::error_code(errno, std::system_category());
    }
    if (!error && wake_read < 0) {
        int ends[2];
        if (::pipe(ends) != 0) {
            error = std::error_code(errno, std::system_category());
        } else {
            wake_read = ends[0];
            wake_write = ends[1];
            if (!set_flags(wake_read) || !set_flags(wake_write)) {
                error = std::error_code(errno, std::system_category());
            }
        }
    }
    if (error) {
        asio::error_code ignored;
        serial_port.close(ignored);
        return ZelkError(1, "Cannot prepare the port for reading: " + error.message());
    }
    // A wake-up left by an interrupt() before this open is not for the waits to come.
    uint8_t stale[16];
    while (::read(wake_read, stale, sizeof stale) > 0) {
    }
    back_off_until_us = 0;
    transmitter.reset();
    latency.apply(serial_port.native_handle(), open_port_name);
    found_latency_us = latency.latency_us();
    found_report = latency.report();
    running = true;
    return ZelkError(0, "");
}

void SerialASIO::stop_receiving() {
    running = false;
    latency.restore(serial_port.native_handle());
}

bool SerialASIO::receiving() const {
    return serial_port.is_open() && running && !failed;
}

void SerialASIO::interrupt() {
    running = false;
    if (wake_write >= 0) {
        const uint8_t wake = 1;
        // A full pipe already holds a wake-up.
        [[maybe_unused]] const ssize_t written = ::write(wake_write, &wake, 1);
    }
}

std::string SerialASIO::write_all() {
    return transmitter.send(serial_port.native_handle(), [this] { return write_bytes(); });
}

ZelkError SerialASIO::configure_transmitter(const Rs485Settings& settings) {
    return transmitter.configure(serial_port.native_handle(), open_port_name, settings);
}

std::string SerialASIO::write_bytes() {
    const int fd = serial_port.native_handle();
    size_t written = 0;
    // When the driver last took a byte: a signal that ends a wait for room early does not
    // start the stall's second again.
    int64_t took_a_byte_us = now_us();
    while (written < send_buffer.size()) {
        const ssize_t count =
            ::write(fd, send_buffer.data() + written, send_buffer.size() - written);
        if (count > 0) {
            written += static_cast<size_t>(count);
            took_a_byte_us = now_us();
            continue;
        }
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            return system_message(errno);
        }
        // The driver's buffer is full: wait for room, for an interrupt(), or give up.
        const int64_t stall_left_us = took_a_byte_us + kWriteStallUs - now_us();
        if (stall_left_us <= 0) {
            return "the driver took no byte for " + std::to_string(kWriteStallUs / 1000) + " ms";
        }
        pollfd fds[2] = {{fd, POLLOUT, 0}, {wake_read, POLLIN, 0}};
        if (poll_us(fds, 2, stall_left_us) < 0 && errno != EINTR) {
            return system_message(errno);
        }
        if (!running) {
            return "the port was closed during the write";
        }
    }
    return {};
}

bool SerialASIO::ready_to_receive() {
    if (holds_received_bytes()) {
        return true;
    }
    read_available();
    return holds_received_bytes();
}

void SerialASIO::read_available() {
    std::lock_guard<std::mutex> reading(read_mutex);
    if (!running || failed || !serial_port.is_open()) {
        return;
    }
    if (back_off_until_us != 0) {
        if (now_us() < back_off_until_us) {
            return;
        }
        // The back-off is over: waits watch the port again, even when this read finds nothing.
        back_off_until_us = 0;
    }
    uint8_t buffer[kReadBufferSize];
    for (;;) {
        const ssize_t count = ::read(serial_port.native_handle(), buffer, sizeof buffer);
        if (count > 0) {
            read_failures = 0;
            deliver(buffer, static_cast<size_t>(count));
            if (static_cast<size_t>(count) < sizeof buffer) {
                return;
            }
            continue;
        }
        if (count == 0) {
            // A terminal that was hung up (a USB adapter unplugged) reads as end of file.
            mark_failed(asio::error_code(asio::error::eof).message());
            return;
        }
        const int error = errno;
        if (error == EINTR) {
            continue;
        }
        if (error == EAGAIN || error == EWOULDBLOCK) {
            return;
        }
        if (is_permanent(error)) {
            mark_failed(system_message(error));
            return;
        }
        const int wait_ms = std::min(kMaxBackOffMs, 1 << std::min(read_failures++, 5));
        back_off_until_us = now_us() + wait_ms * 1000;
        return;
    }
}

void SerialASIO::sleep_for_bytes(int64_t max_wait_us) {
    if (!running || failed) {
        return;
    }
    pollfd fds[2] = {{serial_port.native_handle(), POLLIN, 0}, {wake_read, POLLIN, 0}};
    nfds_t count = 2;
    const int64_t back_off_until = back_off_until_us;
    if (back_off_until != 0) {
        // Only time or an interrupt() can end a back-off: the port is not watched.
        max_wait_us = std::min(max_wait_us, back_off_until - now_us());
        fds[0].fd = -1;
    }
    if (max_wait_us <= 0 || poll_us(fds, count, max_wait_us) <= 0) {
        return;
    }
    if ((fds[0].revents & POLLNVAL) != 0) {
        mark_failed(system_message(EBADF));
    } else if ((fds[0].revents & (POLLHUP | POLLERR)) != 0 && !ready_to_receive() && !failed) {
        // Nothing to read, no read error: the other end hung up and the port stays
        // readable for ever. Reading again would only spin.
        mark_failed((fds[0].revents & POLLHUP) != 0 ? "the line hung up"
                                                    : "the port reports an error");
    }
}

bool SerialASIO::bytes_in_driver() {
    if (!serial_port.is_open() || !running) {
        return false;
    }
    int count = 0;
    return ::ioctl(serial_port.native_handle(), FIONREAD, &count) == 0 && count > 0;
}

void SerialASIO::mark_failed(const std::string& reason) {
    std::lock_guard<std::mutex> lock(receive_mutex);
    if (!failed) {
        failure_reason = reason;
    }
    failed = true;
}

void SerialASIO::deliver(const uint8_t* data, size_t size) {
    std::lock_guard<std::mutex> lock(receive_mutex);
    receive_buffer.insert(receive_buffer.end(), data, data + size);
}

}  // namespace zelkSDK
