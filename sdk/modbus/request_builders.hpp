// Builders of the request frames the SDK sends: function codes 3, 6, 16 and 23. Each
// returns a new Transaction in state `created`, marked for resending when the priority is
// `important`. 16-bit fields go on the line high byte first; the writing builders take the
// register values already as big-endian byte pairs.
//
// A request that would not fit a frame is refused: the builder returns a Transaction
// without a request (tx_length 0, has_request() false), which the client never queues.
// The limits are those of the protocol: at most 125 registers read (the response must fit
// 256 bytes), 123 written by function 16 and 121 written by function 23.
#pragma once

#include <cstdint>

#include "sdk/modbus/transaction.hpp"
#include "sdk/types/message_priority.hpp"

namespace zelkSDK {

constexpr int kMaxReadRegisters = 125;
constexpr int kMaxWriteRegisters = 123;      // function code 16
constexpr int kMaxReadWriteRegisters = 121;  // registers written by function code 23

Transaction build_read_holding_registers(uint8_t device_address, uint16_t reg_start_address,
                                         uint16_t num_registers, MessagePriority priority);

Transaction build_write_single_register(uint8_t device_address, uint16_t reg_address,
                                        uint16_t write_data, MessagePriority priority);

// write_data holds 2 * num_registers bytes.
Transaction build_write_multiple_registers(uint8_t device_address, uint16_t reg_start_address,
                                           uint16_t num_registers, const uint8_t* write_data,
                                           MessagePriority priority);

// write_data holds 2 * write_num_registers bytes.
Transaction build_read_write_multiple_registers(
    uint8_t device_address, uint16_t read_starting_address, uint16_t read_num_registers,
    uint16_t write_starting_address, uint16_t write_num_registers, const uint8_t* write_data,
    MessagePriority priority);

// The stream command (function code 100): sub-function code, then the value big-endian.
// Never marked for resending. The response is 19 bytes of telemetry.
Transaction build_stream_command(uint8_t device_address, uint8_t subfunction, int32_t value);

}  // namespace zelkSDK
