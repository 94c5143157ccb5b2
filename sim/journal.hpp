// The virtual actuator's journal: one tab-separated line per event, so a program that
// drove the line can check afterwards what the device really heard, did and said.
//
// Lines starting with '#' are comments. Every other line is
//
//   TIME <tab> EVENT <tab> SEQ <tab> fields...
//
// TIME is in microseconds of the system's monotonic clock (CLOCK_MONOTONIC, which
// std::chrono::steady_clock reads on Linux), so other processes can place the events on
// their own time line. SEQ numbers the request frames heard on the line, from 1; the
// events a request causes carry its number. Bytes are lowercase hex without separators.
//
//   request   SEQ FIRST_US VERDICT HEX         a request frame, TIME when it had completely
//                                              arrived (its wire time after its first byte
//                                              arrived at FIRST_US); VERDICT is served,
//                                              broadcast, other-address, bad-crc or
//                                              incomplete (given up after a gap of quiet)
//   write     SEQ ADDRESS START V1,V2,...      registers written, decimal
//   mode      SEQ ADDRESS FROM TO              the motor mode changed
//   stream    SEQ ADDRESS SUBFUNCTION VALUE    a stream command carried out
//   fault     SEQ ADDRESS KIND[,KIND...]       faults applied to the response (drop,
//                                              corrupt-crc, wrong-address, truncate,
//                                              exception, split, stray, late)
//   response  SEQ ADDRESS LAST_US FRAME_LENGTH HEX
//                                              bytes put on the line, TIME when the first
//                                              and LAST_US when the last was written; the
//                                              first FRAME_LENGTH bytes are the response
//                                              frame, the rest stray bytes
//   latency   SEQ FROM_MS TO_MS                the emulated USB adapter's latency timer
//                                              changed (its latency_timer file was
//                                              written); SEQ is the last request heard, 0
//                                              before any
//
// Each line is flushed as it is written: whatever the process's end, the file is complete.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "sim/device_model.hpp"
#include "sim/fault_injector.hpp"

namespace sim {

class Journal {
  public:
    Journal() = default;
    ~Journal();
    Journal(const Journal&) = delete;
    Journal& operator=(const Journal&) = delete;

    // Starts the file afresh with a header that names the line's settings.
    bool open(const std::string& path, const std::string& settings);
    bool is_open() const { return file != nullptr; }

    void request(int64_t time_us, long seq, int64_t first_us, const char* verdict,
                 const std::vector<uint8_t>& frame);
    void effects(int64_t time_us, long seq, uint8_t address, const Effects& effects);
    void faults(int64_t time_us, long seq, uint8_t address, const std::vector<FaultKind>& kinds);
    void response(int64_t first_us, int64_t last_us, long seq, uint8_t address, size_t frame_length,
                  const std::vector<uint8_t>& bytes);
    void latency(int64_t time_us, long seq, int from_ms, int to_ms);

  private:
    void write_line(const std::string& line);

    std::FILE* file = nullptr;
};

}  // namespace sim
