// Serves the simulated actuator on the master side of a pseudo-terminal pair: a program
// opens the slave path like a serial port. Requests are framed by their function code
// (and by a gap of quiet for codes the device does not know). Several devices, each with
// its own model and faults, can share the line like servers on one bus; the addressed one
// answers. With a baud rate the line is paced both ways (PacedLine): a request is acted on
// once its wire time has passed, and a response reaches the client byte by byte. With echo
// the line hears its own transmitter, like a two-wire adapter: every byte the client sends
// comes back to it at the line's pace, before any answer. With a USB latency the device's
// output (answers and echo) reaches the client through an emulated USB-serial adapter
// (UsbAdapter), in packets; with a sysfs root too, the adapter's latency timer is a file that
// a client may write, as it would a real adapter's. A Journal can record every frame,
// effect, fault and change of latency. POSIX only.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "sim/device_model.hpp"
#include "sim/fault_injector.hpp"
#include "sim/journal.hpp"
#include "sim/paced_line.hpp"
#include "sim/usb_adapter.hpp"

namespace sim {

struct ServerOptions {
    std::vector<uint8_t> addresses{1};  // one device per server address, 1 to 247
    int baud_rate = 0;                  // 0: unpaced, bytes go out as fast as the pty takes them
    int turnaround_us = 0;  // between the end of a request and the start of its response
    uint32_t seed = 1;      // the first device's faults; the next ones use seed + 1, ...
    std::array<double, kFaultKindCount> fault_rates{};
    std::vector<uint8_t> fault_addresses;  // the devices that suffer faults; empty: all
    bool confirms_modes = true;
    bool echo = false;  // every byte the client sends comes back, at the line's pace
    // With a baud rate: requests sent while the client's port is set to another rate are
    // noise to the devices (a real device hears framing errors), so nobody answers them.
    bool strict_baud = false;
    std::string journal_path;  // empty: no journal
    // The device's output reaches the client through a USB-serial adapter whose latency
    // timer ticks every usb_latency_ms (1 to 255), in packets of usb_packet bytes. 0: none.
    int usb_latency_ms = 0;
    int usb_packet = UsbAdapter::kDefaultPacketBytes;
    // With a USB latency: the adapter's latency timer is the file
    // <sysfs_root>/class/tty/<pty name>/device/latency_timer, made by open() with the
    // latency, read again while serving (what is written there applies from the next tick),
    // removed when serving ends. Empty: no file.
    std::string sysfs_root;
};

class PtyServer {
  public:
    explicit PtyServer(const ServerOptions& options);
    ~PtyServer();
    PtyServer(const PtyServer&) = delete;
    PtyServer& operator=(const PtyServer&) = delete;

    // Opens the pty pair and the journal; returns false (and says why in error()) when it
    // cannot.
    bool open();
    const std::string& slave_path() const { return slave_name; }
    // The adapter's latency timer file, empty without one.
    const std::string& latency_file() const { return latency_path; }
    const std::string& error() const { return error_text; }

    // Serves until stop() is called, or until stop_fd (when not -1) is readable and
    // reads end of file.
    void serve(int stop_fd = -1);
    // Serves from a thread of its own until stop().
    void start();
    void stop();

    // The device at options.addresses[index]; look at it while the server is stopped.
    DeviceModel& device(size_t index = 0) { return devices[index].model; }
    // Faults applied so far, over all devices.
    std::array<long, kFaultKindCount> fault_counts() const;
    long requests_served() const { return served; }

  private:
    struct Device {
        DeviceModel model;
        FaultInjector faults;
    };

    bool make_latency_file();
    void read_latency_file();
    void remove_latency_file();
    // Device output that reached the adapter at these wire times: when it reaches the client.
    std::vector<int64_t> through_adapter(const std::vector<int64_t>& wire_us);
    void take_input();
    bool wait_until(int64_t deadline_us);
    void write_due_echo();
    int64_t next_echo_us() const;
    void process_frames();
    void handle_request(const std::vector<uint8_t>& frame, int64_t first_us, int64_t last_us);
    void deliver(long seq, uint8_t address, const Delivery& delivery, int64_t received_us);
    Device* find_device(uint8_t address);
    void advance_devices();
    int64_t frame_gap_us() const;
    // The rate the client has set its port to (a pty keeps the setting), 0 when unknown.
    int client_baud_rate() const;

    ServerOptions options;
    std::vector<Device> devices;
    PacedLine line;
    std::optional<UsbAdapter> adapter;
    Journal journal;
    int master_fd = -1;
    int slave_fd = -1;
    int wake_pipe[2] = {-1, -1};
    std::string slave_name;
    std::string error_text;
    std::string latency_path;
    std::vector<std::string> made_dirs;  // by make_latency_file(), deepest last
    std::vector<uint8_t> input;
    std::vector<int64_t> arrival_us;  // when each byte of input arrived
    // The echo still to go out: each byte and when it is due. A byte comes back one
    // character time after it arrived, or after the byte before it came back (and through
    // the adapter, when its packet goes).
    std::deque<std::pair<uint8_t, int64_t>> echo;
    int64_t echo_line_free_us = 0;
    int64_t last_advance_us = 0;
    long sequence = 0;
    std::atomic<bool> stopping{false};
    std::atomic<long> served{0};
    std::thread thread;
};

}  // namespace sim
