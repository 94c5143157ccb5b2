// Line faults for the simulated actuator: decides, response by response and with a seeded
// random generator, whether the response is dropped, corrupted, misaddressed, truncated,
// replaced by an exception, split into pieces with gaps, or followed by stray bytes.
#pragma once

#include <array>
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
    kFaultKindCount,
};

const char* fault_name(FaultKind kind);  // the option name, e.g. "corrupt-crc"

// One piece of a response on the line: written after a gap of quiet.
struct Chunk {
    std::vector<uint8_t> bytes;
    int gap_before_us = 0;
};

class FaultInjector {
  public:
    // rates[kind] is the probability, 0 to 1, that a response suffers that fault.
    FaultInjector(std::array<double, kFaultKindCount> rates, uint32_t seed);

    // What goes on the line in answer to one request: empty for a dropped response.
    std::vector<Chunk> apply(const std::vector<uint8_t>& response);

    const std::array<long, kFaultKindCount>& counts() const { return injected; }
    long responses() const { return seen; }

  private:
    bool happens(FaultKind kind);

    std::array<double, kFaultKindCount> rates;
    std::mt19937 random;
    std::array<long, kFaultKindCount> injected{};
    long seen = 0;
};

}  // namespace sim
