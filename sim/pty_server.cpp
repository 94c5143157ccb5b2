#include "sim/pty_server.hpp"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/prctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

namespace sim {
namespace {

int64_t now_us() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Wire time must be kept to a few microseconds when the line is paced: sleep most of the
// wait, then spin the rest, since a sleep can overshoot by tens of microseconds.
void sleep_until_us(int64_t deadline) {
    constexpr int64_t kSpinUs = 300;
    const int64_t wait = deadline - now_us();
    if (wait > kSpinUs) {
        std::this_thread::sleep_for(std::chrono::microseconds(wait - kSpinUs));
    }
    while (now_us() < deadline) {
    }
}

void write_all(int fd, const uint8_t* bytes, size_t count) {
    while (count > 0) {
        const ssize_t written = ::write(fd, bytes, count);
        if (written < 0) {
            if (errno == EINTR || errno == EAGAIN) {
                continue;
            }
            return;  // the client went away; the response is lost like on a cut line
        }
        bytes += written;
        count -= static_cast<size_t>(written);
    }
}

}  // namespace

PtyServer::PtyServer(const ServerOptions& options_)
    : options(options_),
      model(options_.server_address),
      injector(options_.fault_rates, options_.seed) {
    model.set_confirms_modes(options.confirms_modes);
}

PtyServer::~PtyServer() {
    stop();
    for (int fd : {master_fd, slave_fd, wake_pipe[0], wake_pipe[1]}) {
        if (fd >= 0) {
            ::close(fd);
        }
    }
}

bool PtyServer::open() {
    char name[256] = {};
    if (::openpty(&master_fd, &slave_fd, name, nullptr, nullptr) != 0) {
        error_text = std::string("openpty: ") + std::strerror(errno);
        return false;
    }
    // Raw from the start, so nothing is echoed or translated before a client sets the line.
    termios settings{};
    ::tcgetattr(slave_fd, &settings);
    ::cfmakeraw(&settings);
    ::tcsetattr(slave_fd, TCSANOW, &settings);
    if (::pipe(wake_pipe) != 0) {
        error_text = std::string("pipe: ") + std::strerror(errno);
        return false;
    }
    slave_name = name;
    return true;
}

int64_t PtyServer::wire_time_us(size_t characters) const {
    // 11 bits a character: start, 8 data, parity, stop.
    return options.baud_rate > 0
               ? static_cast<int64_t>(characters) * 11'000'000LL / options.baud_rate
               : 0;
}

int64_t PtyServer::frame_gap_us() const {
    // A request that stalls this long is given up (3.5 characters, at least 1.75 ms as the
    // Modbus serial line guide fixes for fast lines; longer on an unpaced pty).
    return std::max<int64_t>(options.baud_rate > 0 ? 1750 : 5000, wire_time_us(35) / 10);
}

void PtyServer::start() {
    thread = std::thread([this] { serve(); });
}

void PtyServer::stop() {
    if (!stopping.exchange(true) && wake_pipe[1] >= 0) {
        const char wake = 1;
        (void)!::write(wake_pipe[1], &wake, 1);
    }
    if (thread.joinable() && thread.get_id() != std::this_thread::get_id()) {
        thread.join();
    }
}

void PtyServer::serve(int stop_fd) {
    last_advance_us = now_us();
#ifdef PR_SET_TIMERSLACK
    ::prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);  // keep wakeups close to wire time
#endif
    uint8_t buffer[512];
    while (!stopping) {
        pollfd fds[3] = {{master_fd, POLLIN, 0}, {wake_pipe[0], POLLIN, 0}, {stop_fd, POLLIN, 0}};
        const int timeout_ms = input.empty() ? 20 : 1;
        const int ready = ::poll(fds, stop_fd >= 0 ? 3 : 2, timeout_ms);
        const int64_t now = now_us();
        model.advance((now - last_advance_us) / 1e6);
        last_advance_us = now;
        if (ready < 0) {
            if (errno == EINTR) {
                continue;
            }
            break;
        }
        if (fds[1].revents != 0) {
            break;
        }
        if (stop_fd >= 0 && fds[2].revents != 0) {
            const ssize_t n = ::read(stop_fd, buffer, sizeof buffer);
            if (n <= 0) {
                break;  // stdin closed: time to go
            }
        }
        if (fds[0].revents & POLLIN) {
            const ssize_t n = ::read(master_fd, buffer, sizeof buffer);
            if (n > 0) {
                handle_input(buffer, static_cast<size_t>(n), now);
                continue;
            }
        }
        process_frames(now, true);
    }
    stopping = true;
}

void PtyServer::handle_input(const uint8_t* bytes, size_t count, int64_t now) {
    if (input.empty()) {
        first_byte_us = now;
    }
    input.insert(input.end(), bytes, bytes + count);
    last_byte_us = now;
    process_frames(now, false);
}

void PtyServer::process_frames(int64_t now, bool quiet_check) {
    while (!input.empty()) {
        const int length = DeviceModel::request_length(input.data(), input.size());
        const bool gap_passed = now - last_byte_us > frame_gap_us();
        if (length > 0 && input.size() >= static_cast<size_t>(length)) {
            std::vector<uint8_t> request(input.begin(), input.begin() + length);
            input.erase(input.begin(), input.begin() + length);
            // On a paced line the last request byte arrives a wire time after the first.
            const int64_t request_end = first_byte_us + wire_time_us(static_cast<size_t>(length));
            first_byte_us = now;
            respond(request, request_end);
            continue;
        }
        if (quiet_check && gap_passed) {
            // A frame of unknown length ends at the gap; a stalled one is a lost frame.
            if (length < 0) {
                respond(input, last_byte_us);
            }
            input.clear();
        }
        return;
    }
}

void PtyServer::respond(const std::vector<uint8_t>& request, int64_t request_end_us) {
    const int64_t start = now_us();
    model.advance((start - last_advance_us) / 1e6);
    last_advance_us = start;
    const std::vector<uint8_t> response = model.handle_frame(request.data(), request.size());
    ++served;
    if (response.empty()) {
        return;
    }
    sleep_until_us(request_end_us + options.turnaround_us);
    for (const Chunk& chunk : injector.apply(response)) {
        if (chunk.gap_before_us > 0) {
            std::this_thread::sleep_for(std::chrono::microseconds(chunk.gap_before_us));
        }
        write_paced(chunk.bytes);
    }
}

void PtyServer::write_paced(const std::vector<uint8_t>& bytes) {
    if (options.baud_rate <= 0) {
        write_all(master_fd, bytes.data(), bytes.size());
        return;
    }
    // Each piece goes out when its last character would have left a real line, in pieces
    // of about a millisecond of wire time.
    const size_t per_piece = std::max<size_t>(1, static_cast<size_t>(options.baud_rate / 11000));
    const int64_t start = now_us();
    for (size_t at = 0; at < bytes.size(); at += per_piece) {
        const size_t count = std::min(per_piece, bytes.size() - at);
        sleep_until_us(start + wire_time_us(at + count));
        write_all(master_fd, &bytes[at], count);
    }
}

}  // namespace sim
