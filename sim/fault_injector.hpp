// Line faults for the simulated actuator: decides, response by response and with a seeded
// random generator, whether the response is dropped, corrupted, misaddressed, truncated,
// replaced by an exception, split into pieces with gaps, followed by stray bytes, or sent
// too late for the client to take it as the answer.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace sim {

enum FaultKind : int {
    kDrop = 0,
    kCorruptCrc,
    kWrongAddress,
    kTruncate,
    kException,
    kSplit,
    kStray,
    kLate,
    kFaultKindCount,
};

const char* fault_name(FaultKind kind);  // the option name, e.g. "corrupt-crc"

// A late response starts this long after the request has arrived, well past the client's
// 20 ms response time-out and its usual interframe delay, so it lands in the next exchange.
constexpr int kLateMinUs = 25000;
constexpr int kLateMaxUs = 40000;

// One piece of a response on the line: written after a gap of quiet.
struct Chunk {
    std::vector<uint8_t> bytes;
    int gap_before_us = 0;
};

// What goes on the line in answer to one request.
struct Delivery {
    std::vector<Chunk> chunks;      // empty: the response is dropped
    size_t frame_length = 0;        // leading bytes that form the (bent) frame; then stray bytes
    int late_us = 0;                // > 0: sent this long after the request instead of the
                                    // turnaround time
    std::vector<FaultKind> faults;  // the faults applied, in the order of FaultKind
};

class FaultInjector {
  public:
    // rates[kind] is the probability, 0 to 1, that a response suffers that fault.
    FaultInjector(std::array<double, kFaultKindCount> rates, uint32_t seed);

    Delivery apply(const std::vector<uint8_t>& response);

    const std::array<long, kFaultKindCount>& counts() const { return injected; }
    long responses() const { return seen; }

  private:
    bool happens(FaultKind kind, Delivery& delivery);

    std::array<double, kFaultKindCount> rates;
    std::mt19937 random;
    std::array<long, kFaultKindCount> injected{};
    long seen = 0;
};

}  // namespace sim
