#include "sim/pty_server.hpp"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <pty.h>
#include <sched.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <limits>

#include "sdk/modbus/wire.hpp"

namespace sim {
namespace {

// Below this much waiting the server spins instead of sleeping: a sleep can overshoot by
// tens of microseconds, and paced bytes are kept to a few.
constexpr int64_t kSpinUs = 300;

int64_t now_us() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
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

bool listed(const std::vector<uint8_t>& addresses, uint8_t address) {
    return std::find(addresses.begin(), addresses.end(), address) != addresses.end();
}

std::string join(const std::vector<uint8_t>& addresses) {
    std::string text;
    for (uint8_t address : addresses) {
        text += (text.empty() ? "" : ",") + std::to_string(address);
    }
    return text;
}

std::string settings_text(const ServerOptions& options) {
    std::string text = "addresses " + join(options.addresses) + ", baud " +
                       std::to_string(options.baud_rate) + ", turnaround-us " +
                       std::to_string(options.turnaround_us) + ", seed " +
                       std::to_string(options.seed);
    for (int kind = 0; kind < kFaultKindCount; ++kind) {
        if (options.fault_rates[kind] > 0) {
            text += ", " + std::string(fault_name(static_cast<FaultKind>(kind))) + " " +
                    std::to_string(options.fault_rates[kind]);
        }
    }
    if (!options.fault_addresses.empty()) {
        text += ", fault-address " + join(options.fault_addresses);
    }
    if (options.echo) {
        text += ", echo";
    }
    if (options.strict_baud) {
        text += ", strict-baud";
    }
    if (options.usb_latency_ms > 0) {
        text += ", usb-latency-ms " + std::to_string(options.usb_latency_ms) + ", usb-packet " +
                std::to_string(options.usb_packet);
    }
    if (!options.sysfs_root.empty()) {
        text += ", sysfs-root " + options.sysfs_root;
    }
    return text;
}

// The rates a client can set its port to, as termios names them.
struct Speed {
    speed_t code;
    int baud;
};
constexpr Speed kSpeeds[] = {
    {B50, 50},           {B75, 75},           {B110, 110},         {B134, 134},
    {B150, 150},         {B200, 200},         {B300, 300},         {B600, 600},
    {B1200, 1200},       {B1800, 1800},       {B2400, 2400},       {B4800, 4800},
    {B9600, 9600},       {B19200, 19200},     {B38400, 38400},     {B57600, 57600},
    {B115200, 115200},   {B230400, 230400},
#ifdef B460800
    {B460800, 460800},   {B500000, 500000},   {B576000, 576000},   {B921600, 921600},
    {B1000000, 1000000}, {B1152000, 1152000}, {B1500000, 1500000}, {B2000000, 2000000},
    {B2500000, 2500000}, {B3000000, 3000000}, {B3500000, 3500000}, {B4000000, 4000000},
#endif
};

}  // namespace

PtyServer::PtyServer(const ServerOptions& options_) : options(options_), line(options_.baud_rate) {
    uint32_t seed = options.seed;
    for (uint8_t address : options.addresses) {
        std::array<double, kFaultKindCount> rates{};
        if (options.fault_addresses.empty() || listed(options.fault_addresses, address)) {
            rates = options.fault_rates;
        }
        devices.push_back({DeviceModel(address), FaultInjector(rates, seed++)});
        devices.back().model.set_confirms_modes(options.confirms_modes);
    }
    if (options.usb_latency_ms > 0) {
        adapter.emplace(options.usb_latency_ms, options.usb_packet);
    }
}

PtyServer::~PtyServer() {
    stop();
    remove_latency_file();
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
    if (!options.journal_path.empty() &&
        !journal.open(options.journal_path, settings_text(options))) {
        error_text =
            "cannot write the journal " + options.journal_path + ": " + std::strerror(errno);
        return false;
    }
    slave_name = name;
    return make_latency_file();
}

bool PtyServer::make_latency_file() {
    if (!adapter || options.sysfs_root.empty()) {
        return true;
    }
    // Where a client looks for its port's latency timer: the pty's sysfs name is its base name.
    const std::string pty_name = slave_name.substr(slave_name.rfind('/') + 1);
    std::string path = options.sysfs_root;
    for (const char* part : {"class", "tty", pty_name.c_str(), "device"}) {
        path += std::string("/") + part;
        if (::mkdir(path.c_str(), 0755) == 0) {
            made_dirs.push_back(path);
        } else if (errno != EEXIST) {
            error_text = "cannot make " + path + ": " + std::strerror(errno);
            return false;
        }
    }
    latency_path = path + "/latency_timer";  // removed with the folders, whatever happens
    std::FILE* file = std::fopen(latency_path.c_str(), "w");
    bool written = file != nullptr && std::fprintf(file, "%d\n", adapter->latency_ms()) > 0;
    if (file != nullptr) {
        written = std::fclose(file) == 0 && written;
    }
    if (!written) {
        error_text = "cannot write " + latency_path + ": " + std::strerror(errno);
    }
    return written;
}

void PtyServer::read_latency_file() {
    if (latency_path.empty()) {
        return;
    }
    char text[16] = {};
    const int fd = ::open(latency_path.c_str(), O_RDONLY);
    if (fd < 0) {
        return;
    }
    const ssize_t length = ::read(fd, text, sizeof text - 1);
    ::close(fd);
    if (length <= 0) {
        return;  // empty for a moment while a writer puts a new value in
    }
    // Whole milliseconds in decimal, a newline after them; anything else leaves it as it was.
    char* end = nullptr;
    const long value = std::strtol(text, &end, 10);
    const bool whole = end != text && (*end == '\0' || (*end == '\n' && end[1] == '\0'));
    if (!whole || value < UsbAdapter::kMinLatencyMs || value > UsbAdapter::kMaxLatencyMs ||
        value == adapter->latency_ms()) {
        return;
    }
    const int64_t now = now_us();
    journal.latency(now, sequence, adapter->latency_ms(), static_cast<int>(value));
    adapter->set_latency_ms(static_cast<int>(value), now);
}

void PtyServer::remove_latency_file() {
    if (!latency_path.empty()) {
        ::unlink(latency_path.c_str());
        latency_path.clear();
    }
    for (auto dir = made_dirs.rbegin(); dir != made_dirs.rend(); ++dir) {
        ::rmdir(dir->c_str());
    }
    made_dirs.clear();
}

std::vector<int64_t> PtyServer::through_adapter(const std::vector<int64_t>& wire_us) {
    if (!adapter || wire_us.empty()) {
        return wire_us;
    }
    std::vector<int64_t> times = adapter->delivery_times_us(wire_us);
    // Echo still in the adapter's buffer goes in the same packet as these bytes, or before.
    for (auto waiting = echo.rbegin(); waiting != echo.rend() && waiting->second > times[0];
         ++waiting) {
        waiting->second = times[0];
    }
    return times;
}

std::array<long, kFaultKindCount> PtyServer::fault_counts() const {
    std::array<long, kFaultKindCount> counts{};
    for (const Device& device : devices) {
        for (int kind = 0; kind < kFaultKindCount; ++kind) {
            counts[kind] += device.faults.counts()[kind];
        }
    }
    return counts;
}

int64_t PtyServer::frame_gap_us() const {
    // A request that stalls this long is given up (3.5 characters, at least 1.75 ms as the
    // Modbus serial line guide fixes for fast lines; longer on an unpaced pty).
    return std::max<int64_t>(line.baud_rate() > 0 ? 1750 : 5000, line.wire_time_us(35) / 10);
}

int PtyServer::client_baud_rate() const {
    termios settings{};
    if (::tcgetattr(slave_fd, &settings) != 0) {
        return 0;
    }
    const speed_t code = ::cfgetospeed(&settings);
    for (const Speed& speed : kSpeeds) {
        if (speed.code == code) {
            return speed.baud;
        }
    }
    return 0;
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
    if (adapter) {
        // An adapter's timer is the chip's own and keeps time whatever the host does; a
        // packet this thread writes late on a busy machine would stretch the silence before
        // it past what a client budgets for the latency (two characters and a millisecond).
        // The lowest real-time priority where permitted; the thread mostly sleeps.
        const sched_param lowest{::sched_get_priority_min(SCHED_FIFO)};
        ::pthread_setschedparam(::pthread_self(), SCHED_FIFO, &lowest);
    }
    while (!stopping) {
        read_latency_file();
        if (!echo.empty()) {
            // Bytes of a request still coming back: nothing else happens before they have.
            if (!wait_until(next_echo_us())) {
                break;
            }
            process_frames();
            continue;
        }
        pollfd fds[3] = {{master_fd, POLLIN, 0}, {wake_pipe[0], POLLIN, 0}, {stop_fd, POLLIN, 0}};
        const int timeout_ms = input.empty() ? 20 : 1;
        const int ready = ::poll(fds, stop_fd >= 0 ? 3 : 2, timeout_ms);
        advance_devices();
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
            char buffer[256];
            if (::read(stop_fd, buffer, sizeof buffer) <= 0) {
                break;  // stdin closed: time to go
            }
        }
        take_input();
        process_frames();
    }
    stopping = true;
    read_latency_file();  // what a client wrote as it closed (a restored latency) counts too
    remove_latency_file();
}

void PtyServer::take_input() {
    uint8_t buffer[512];
    pollfd fd{master_fd, POLLIN, 0};
    while (::poll(&fd, 1, 0) > 0 && (fd.revents & POLLIN)) {
        const ssize_t n = ::read(master_fd, buffer, sizeof buffer);
        if (n <= 0) {
            return;
        }
        const int64_t now = now_us();
        input.insert(input.end(), buffer, buffer + n);
        arrival_us.insert(arrival_us.end(), static_cast<size_t>(n), now);
        std::vector<int64_t> echo_wire_us;
        for (ssize_t i = 0; options.echo && i < n; ++i) {
            echo_line_free_us = std::max(now, echo_line_free_us) + line.wire_time_us(1);
            echo_wire_us.push_back(echo_line_free_us);
        }
        const std::vector<int64_t> due = through_adapter(echo_wire_us);
        for (size_t i = 0; i < due.size(); ++i) {
            echo.emplace_back(buffer[i], due[i]);
        }
    }
    write_due_echo();
}

int64_t PtyServer::next_echo_us() const {
    return echo.empty() ? std::numeric_limits<int64_t>::max() : echo.front().second;
}

void PtyServer::write_due_echo() {
    std::vector<uint8_t> due;
    const int64_t now = now_us();
    while (!echo.empty() && echo.front().second <= now) {
        due.push_back(echo.front().first);
        echo.pop_front();
    }
    if (!due.empty()) {
        write_all(master_fd, due.data(), due.size());
    }
}

bool PtyServer::wait_until(int64_t deadline_us) {
    // Request bytes keep arriving while the device waits or talks: take them in with their
    // arrival times, so their own wire time counts from when they came, and echo them when
    // they are due. The deadline's last stretch is spun without system calls (bytes that
    // came during it are stamped at its end); an echo byte is only slept for, since a few
    // microseconds late it harms nobody, and spinning through every echo would take a core.
    for (;;) {
        if (stopping) {
            return false;
        }
        write_due_echo();
        const int64_t echo_us = next_echo_us();
        const int64_t sleep_end_us = echo_us < deadline_us ? echo_us : deadline_us - kSpinUs;
        const int64_t left = sleep_end_us - now_us();
        if (left > 0) {
            pollfd fds[2] = {{master_fd, POLLIN, 0}, {wake_pipe[0], POLLIN, 0}};
            const timespec timeout{static_cast<time_t>(left / 1'000'000),
                                   static_cast<long>(left % 1'000'000) * 1000};
            ::ppoll(fds, 2, &timeout, nullptr);
            if (fds[1].revents != 0) {
                return false;
            }
            take_input();
            continue;
        }
        if (echo_us < deadline_us) {
            continue;  // an echo byte is due
        }
        while (now_us() < deadline_us) {
        }
        take_input();
        return true;
    }
}

void PtyServer::advance_devices() {
    const int64_t now = now_us();
    for (Device& device : devices) {
        device.model.advance((now - last_advance_us) / 1e6);
    }
    last_advance_us = now;
}

PtyServer::Device* PtyServer::find_device(uint8_t address) {
    for (Device& device : devices) {
        if (device.model.server_address() == address) {
            return &device;
        }
    }
    return nullptr;
}

void PtyServer::process_frames() {
    while (!input.empty() && !stopping) {
        const int length = DeviceModel::request_length(input.data(), input.size());
        if (length > 0 && input.size() >= static_cast<size_t>(length)) {
            const std::vector<uint8_t> frame(input.begin(), input.begin() + length);
            const int64_t first = arrival_us.front();
            const int64_t last = arrival_us[static_cast<size_t>(length) - 1];
            input.erase(input.begin(), input.begin() + length);
            arrival_us.erase(arrival_us.begin(), arrival_us.begin() + length);
            handle_request(frame, first, last);
            continue;
        }
        if (now_us() - arrival_us.back() <= frame_gap_us()) {
            return;
        }
        // A frame of unknown length ends at the gap; a stalled one is a lost frame.
        if (length < 0) {
            handle_request(input, arrival_us.front(), arrival_us.back());
        } else {
            journal.request(now_us(), ++sequence, arrival_us.front(), "incomplete", input);
        }
        input.clear();
        arrival_us.clear();
        return;
    }
}

void PtyServer::handle_request(const std::vector<uint8_t>& frame, int64_t first_us,
                               int64_t last_us) {
    const long seq = ++sequence;
    const int64_t received = line.request_received_us(frame.size(), first_us, last_us);
    if (!wait_until(received)) {
        return;
    }
    advance_devices();
    ++served;
    const uint8_t address = frame[0];
    Device* addressed = find_device(address);
    if (options.strict_baud && options.baud_rate > 0 && client_baud_rate() != options.baud_rate) {
        journal.request(received, seq, first_us, "wrong-baud", frame);
        return;
    }
    const bool intact = zelkSDK::wire::crc_ok(frame.data(), frame.size());
    const char* verdict = !intact                ? "bad-crc"
                          : address == 0         ? "broadcast"
                          : addressed != nullptr ? "served"
                                                 : "other-address";
    journal.request(received, seq, first_us, verdict, frame);
    if (intact && address == 0) {
        for (Device& device : devices) {
            device.model.handle_frame(frame.data(), frame.size());  // carried out, unanswered
            journal.effects(now_us(), seq, device.model.server_address(),
                            device.model.last_effects());
        }
        return;
    }
    if (!intact || addressed == nullptr) {
        return;
    }
    const std::vector<uint8_t> response = addressed->model.handle_frame(frame.data(), frame.size());
    journal.effects(now_us(), seq, address, addressed->model.last_effects());
    const Delivery delivery = addressed->faults.apply(response);
    journal.faults(now_us(), seq, address, delivery.faults);
    if (!delivery.chunks.empty()) {
        deliver(seq, address, delivery, received);
    }
}

void PtyServer::deliver(long seq, uint8_t address, const Delivery& delivery, int64_t received_us) {
    read_latency_file();
    const std::vector<int64_t> times =
        through_adapter(line.byte_times_us(delivery, received_us, options.turnaround_us));
    std::vector<uint8_t> bytes;
    for (const Chunk& chunk : delivery.chunks) {
        bytes.insert(bytes.end(), chunk.bytes.begin(), chunk.bytes.end());
    }
    // Bytes due at the same time (all of a chunk on an unpaced line, a USB packet) go in one
    // write.
    int64_t first_written = 0;
    int64_t last_written = 0;
    for (size_t at = 0; at < bytes.size();) {
        size_t end = at + 1;
        while (end < bytes.size() && times[end] == times[at]) {
            ++end;
        }
        if (!wait_until(times[at])) {
            return;  // stopping: the rest of the response never goes out
        }
        write_all(master_fd, &bytes[at], end - at);
        last_written = now_us();
        if (at == 0) {
            first_written = last_written;
        }
        at = end;
    }
    journal.response(first_written, last_written, seq, address, delivery.frame_length, bytes);
}

}  // namespace sim
