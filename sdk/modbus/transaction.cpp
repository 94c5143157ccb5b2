#include "sdk/modbus/transaction.hpp"

#include <cstring>

#include "sdk/modbus/function_codes.hpp"
#include "sdk/modbus/modbus_crc16.hpp"
#include "sdk/modbus/wire.hpp"

namespace zelkSDK {

bool Transaction::load_request(uint8_t device_address, uint8_t function_code, const uint8_t* data,
                               int data_length, int expected_response_length_) {
    return load_request(device_address, function_code, data, data_length, nullptr, 0,
                        expected_response_length_);
}

bool Transaction::load_request(uint8_t device_address, uint8_t function_code, const uint8_t* data,
                               int data_length, const uint8_t* payload, uint8_t payload_length,
                               int expected_response_length_) {
    const int frame_length = data_length + payload_length + 4;
    if (data_length < 0 || frame_length > kMaxFrameLength) {
        tx_length = 0;
        tx_index = 0;
        return false;
    }
    tx_length = frame_length;
    tx_index = 0;
    tx_buffer[0] = device_address;
    tx_buffer[1] = function_code;
    if (data_length > 0) {
        std::memcpy(&tx_buffer[2], data, static_cast<size_t>(data_length));
    }
    if (payload_length > 0) {
        std::memcpy(&tx_buffer[2 + data_length], payload, payload_length);
    }
    wire::put_crc(tx_buffer, tx_length - 2);
    expected_response_length = expected_response_length_;
    return true;
}

Transaction Transaction::make_retry() const {
    Transaction retry_transaction;
    retry_transaction.retry_on_failure = true;
    retry_transaction.num_retries = num_retries + 1;
    retry_transaction.expected_response_length = expected_response_length;
    retry_transaction.tx_length = tx_length;
    std::memcpy(retry_transaction.tx_buffer, tx_buffer, static_cast<size_t>(tx_length));
    return retry_transaction;
}

void Transaction::append_response_byte(uint8_t byte) {
    if (rx_length >= kMaxFrameLength) {
        return;
    }
    rx_buffer[rx_length++] = byte;
}

void Transaction::clear_response() {
    std::memset(rx_buffer, 0, sizeof rx_buffer);
    rx_length = 0;
}

bool Transaction::response_complete() const {
    if (rx_length >= kMaxFrameLength) {
        return true;
    }
    if (has_known_response_length() && rx_length >= expected_response_length) {
        return true;
    }
    return is_exception_response() && rx_length >= kExceptionResponseLength;
}

bool Transaction::crc_valid() const {
    if (rx_length < 2) {
        return false;
    }
    return modbus_crc16(rx_buffer, rx_length - 2) == wire::get_u16(&rx_buffer[rx_length - 2]);
}

bool Transaction::response_matches_request() const {
    const uint8_t function = request_function_code();
    if (is_exception_response()) {
        return response_function_code() == (function | 0x80) &&
               rx_length == kExceptionResponseLength;
    }
    if (response_function_code() != function) {
        return false;
    }
    switch (function) {
        case kReadHoldingRegisters:
        case kReadWriteMultipleRegisters: {
            const int quantity = request_data()[2] * 256 + request_data()[3];
            return rx_length == 5 + 2 * quantity && rx_buffer[2] == 2 * quantity;
        }
        case kWriteSingleRegister:
        case kWriteMultipleRegisters:
            // The answer echoes the register address and the value (or the quantity).
            return rx_length == 8 && std::memcmp(response_data(), request_data(), 4) == 0;
        default: return true;
    }
}

void Transaction::mark_failed(TransactionFailure failure) {
    failure_flags = static_cast<uint16_t>(failure_flags | (1u << failure));
    state = TransactionState::finished;
}

void Transaction::validate_response(DiagnosticCounters& counters) {
    if (request_address() != response_address()) {
        increment_diagnostic_counter(counters, wrong_address_responses);
        mark_failed(wrong_address);
    }
    if (!crc_valid()) {
        increment_diagnostic_counter(counters, crc_errors);
        mark_failed(wrong_crc);
    }
    if (has_no_failures() && !response_matches_request()) {
        increment_diagnostic_counter(counters, mismatched_responses);
        mark_failed(response_mismatch);
    }
    if (has_no_failures()) {
        increment_diagnostic_counter(counters, valid_responses);
        if (is_exception_response()) {
            increment_diagnostic_counter(counters, exception_responses);
            if (rx_buffer[2] == 5) {
                increment_diagnostic_counter(counters, acknowledge_exceptions);
            } else if (rx_buffer[2] == 6) {
                increment_diagnostic_counter(counters, busy_exceptions);
            }
        }
        state = TransactionState::finished;
    }
}

}  // namespace zelkSDK
