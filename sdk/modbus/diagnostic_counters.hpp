// Event counters of the Modbus engine, as the Modbus serial line diagnostics number them.
#pragma once

#include <array>
#include <cstdint>

namespace zelkSDK {

using DiagnosticCounters = std::array<uint16_t, 22>;

enum DiagnosticCounter : int {
    messages_sent = 5,
    valid_responses = 6,
    bytes_sent = 7,
    bytes_received = 8,
    exception_responses = 10,
    acknowledge_exceptions = 11,
    busy_exceptions = 12,
    wrong_address_responses = 13,
    crc_errors = 14,
    response_timeouts = 15,
    interchar_timeouts = 16,
    unexpected_interchars = 17,
    // Not numbered by the diagnostics: the engine's own.
    mismatched_responses = 18,  // clean frames that did not answer their request
    drained_bytes = 19,         // bytes dropped because no exchange was waiting for them
    echo_mismatches = 20,       // local echo on: echoes that differed from their request
    missing_echoes = 21,        // local echo on: requests that never came back whole
};

// Increments the counter at index (wrapping from 65535 to 0) and returns its new value.
// Throws std::out_of_range for an index outside 0 to 21.
uint16_t increment_diagnostic_counter(DiagnosticCounters& counters, int index);

}  // namespace zelkSDK
