// Drives an Actuator through a seeded random mix of everything it does: reads of 1 to 125
// registers, single, multiple and wide writes, read-writes, mode reads and switches, and
// stream cycles in every mode, with both priorities. It records each call's outcome and
// which requests went out during it (from the traffic record), and every change of the
// telemetry cache, for SoakChecker to hold against the device's journal.
#pragma once

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "sdk/actuator/actuator.hpp"
#include "soak/traffic_record.hpp"

namespace soak {

enum class CallKind {
    read,
    read_wide,
    read_multiple,
    write,
    write_wide,
    write_multiple,
    read_write,
    clear_errors,
    get_mode,
    set_mode,
};

const char* call_name(CallKind kind);

struct Call {
    CallKind kind = CallKind::read;
    bool important = true;
    size_t first_tx = 0;  // the requests logged during the call: sent[first_tx, end_tx)
    size_t end_tx = 0;
    bool failed = false;
    std::string error;
    std::vector<uint16_t> values;  // what a read returned; a wide read as low, high word
};

struct CacheChange {
    zelkSDK::StreamData data;
    std::vector<size_t> stream_tx;  // the stream requests whose answers were digested since
                                    // the cache was last looked at
};

class SoakDriver {
  public:
    SoakDriver(zelkSDK::Actuator& actuator, TrafficRecord& traffic, uint32_t seed);

    // One random operation; returns the exchanges it counts for (a stream cycle counts
    // each stream exchange).
    int step();

    std::vector<Call> calls;
    std::vector<CacheChange> cache_changes;
    long stalled_cycles = 0;  // stream cycles given up because exchanges stopped finishing

  private:
    template <typename Operation>
    void call(CallKind kind, bool important, Operation&& operation);
    int stream_cycle();
    void watch_cache();
    zelkSDK::MessagePriority priority(bool& important);
    int between(int low, int high);

    zelkSDK::Actuator& actuator;
    TrafficRecord& traffic;
    std::mt19937 random;
    zelkSDK::StreamData last_cache;
    size_t cache_seen_rx = 0;  // rx lines looked at for cache changes
};

}  // namespace soak
