// One Modbus RTU exchange: the request frame as it goes onto the line, the response as it
// comes back, how far the exchange has got and what went wrong. A fixed-size value with
// inline buffers: it is copied into the client's queue, resent as a copy and handed back
// to its owner as a copy, and never touches the heap.
#pragma once

#include <cstdint>

#include "sdk/modbus/diagnostic_counters.hpp"

namespace zelkSDK {

// A Modbus RTU frame has at most 256 bytes, address and CRC included.
constexpr int kMaxFrameLength = 256;
// The length of a response to an exception: address, function code | 0x80, code, CRC.
constexpr int kExceptionResponseLength = 5;
// An expected response length of this value means the length is not known in advance:
// the engine ends such a response at the first interchar gap.
constexpr int kOpenResponseLength = -1;

enum class TransactionState : int32_t {
    created = 33,   // made by a builder or make_retry, not yet queued
    queued = 34,    // waiting in the client's queue
    sent = 35,      // every request byte handed to the serial line; response awaited
    finished = 36,  // validated, or a failure marked; waits for its owner
    dequeued = 37,  // taken off the queue front and handed to its owner
};

// Bit positions in failure_flags (mark_failed takes the position, not the mask).
enum TransactionFailure : int {
    line_busy = 0,          // 0x01: the line never fell quiet; the request was not sent
    line_lost = 1,          // 0x02: the serial line failed; see the line's failure reason
    response_mismatch = 2,  // 0x04: a clean frame that does not answer this request
    interchar_timeout = 3,  // 0x08
    response_timeout = 4,   // 0x10
    wrong_address = 5,      // 0x20
    wrong_crc = 6,          // 0x40
    echo_mismatch = 7,      // 0x80: local echo on; what came back differs from the request
    no_echo = 8,            // 0x100: local echo on; the request never came back whole
    line_echoes = 9,        // 0x200: local echo off; the request came back before any answer
};

struct Transaction {
    int32_t tx_length = 0;  // whole request frame, CRC included
    int32_t tx_index = 0;   // request bytes already handed to the serial line
    uint8_t tx_buffer[kMaxFrameLength] = {};
    int32_t rx_length = 0;  // response bytes received so far
    uint8_t rx_buffer[kMaxFrameLength] = {};
    bool retry_on_failure = false;
    int32_t num_retries = 0;  // resends that came before this attempt
    TransactionState state = TransactionState::created;
    uint16_t failure_flags = 0;
    int32_t expected_response_length = 0;  // whole response frame, or kOpenResponseLength

    // Fills the request frame: address, function code, data (then payload), CRC. Returns
    // false and leaves the frame empty (tx_length 0) when the frame would not fit 256 bytes
    // or a length is negative; an empty request is never queued by the client.
    bool load_request(uint8_t device_address, uint8_t function_code, const uint8_t* data,
                      int data_length, int expected_response_length);
    bool load_request(uint8_t device_address, uint8_t function_code, const uint8_t* data,
                      int data_length, const uint8_t* payload, uint8_t payload_length,
                      int expected_response_length);

    // The copy that is queued when this attempt is to be resent.
    Transaction make_retry() const;

    // Send side.
    int bytes_left_to_send() const { return tx_length - tx_index; }
    uint8_t next_byte_to_send() { return tx_buffer[tx_index++]; }
    bool all_bytes_sent() const { return bytes_left_to_send() <= 0; }

    // Receive side. A byte beyond the 256-byte buffer is dropped; a full buffer counts as a
    // complete response, so the exchange ends (and fails its CRC) on a line that keeps sending.
    void append_response_byte(uint8_t byte);
    bool response_complete() const;
    bool crc_valid() const;
    bool is_exception_response() const { return (rx_buffer[1] & 0x80) != 0; }

    // Marks wrong address and wrong CRC, then (for a clean frame) a response that does not
    // answer this request: another function code, a byte count of a read that is not twice
    // the quantity asked for, or a write's echo that differs from the request. Counts the
    // outcome and finishes the exchange.
    void validate_response(DiagnosticCounters& counters);
    bool response_matches_request() const;
    void mark_failed(TransactionFailure failure);

    bool is_broadcast() const { return tx_buffer[0] == 0; }
    bool has_no_failures() const { return failure_flags == 0; }
    bool has_known_response_length() const {
        return expected_response_length != kOpenResponseLength;
    }
    bool has_request() const { return tx_length > 0; }
    // Empties the response (its bytes were not the answer).
    void clear_response();

    uint8_t request_address() const { return tx_buffer[0]; }
    uint8_t request_function_code() const { return tx_buffer[1]; }
    const uint8_t* request_data() const { return &tx_buffer[2]; }
    uint8_t response_address() const { return rx_buffer[0]; }
    uint8_t response_function_code() const { return rx_buffer[1]; }
    const uint8_t* response_data() const { return &rx_buffer[2]; }
};

}  // namespace zelkSDK
