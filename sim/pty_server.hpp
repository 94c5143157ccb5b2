// Serves the simulated actuator on the master side of a pseudo-terminal pair: a program
// opens the slave path like a serial port. Requests are framed by their function code
// (and by a gap of quiet for codes the device does not know); responses can be paced at
// a baud rate, delayed by a turnaround time and bent by a FaultInjector. POSIX only.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "sim/device_model.hpp"
#include "sim/fault_injector.hpp"

namespace sim {

struct ServerOptions {
    uint8_t server_address = 1;
    int baud_rate = 0;      // 0: unpaced, bytes go out as fast as the pty takes them
    int turnaround_us = 0;  // between the end of a request and the start of its response
    uint32_t seed = 1;
    std::array<double, kFaultKindCount> fault_rates{};
    bool confirms_modes = true;
};

class PtyServer {
  public:
    explicit PtyServer(const ServerOptions& options);
    ~PtyServer();
    PtyServer(const PtyServer&) = delete;
    PtyServer& operator=(const PtyServer&) = delete;

    // Opens the pty pair; returns false (and says why in error()) when it cannot.
    bool open();
    const std::string& slave_path() const { return slave_name; }
    const std::string& error() const { return error_text; }

    // Serves until stop() is called, or until stop_fd (when not -1) is readable and
    // reads end of file.
    void serve(int stop_fd = -1);
    // Serves from a thread of its own until stop().
    void start();
    void stop();

    DeviceModel& device() { return model; }
    const FaultInjector& faults() const { return injector; }
    long requests_served() const { return served; }

  private:
    void handle_input(const uint8_t* bytes, size_t count, int64_t now_us);
    void process_frames(int64_t now_us, bool quiet);
    void respond(const std::vector<uint8_t>& request, int64_t request_end_us);
    void write_paced(const std::vector<uint8_t>& bytes);
    int64_t wire_time_us(size_t characters) const;
    int64_t frame_gap_us() const;

    ServerOptions options;
    DeviceModel model;
    FaultInjector injector;
    int master_fd = -1;
    int slave_fd = -1;
    int wake_pipe[2] = {-1, -1};
    std::string slave_name;
    std::string error_text;
    std::vector<uint8_t> input;
    int64_t first_byte_us = 0;
    int64_t last_byte_us = 0;
    int64_t last_advance_us = 0;
    std::atomic<bool> stopping{false};
    std::atomic<long> served{0};
    std::thread thread;
};

}  // namespace sim
