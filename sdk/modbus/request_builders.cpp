#include "sdk/modbus/request_builders.hpp"

#include "sdk/modbus/function_codes.hpp"
#include "sdk/modbus/wire.hpp"

namespace zelkSDK {
namespace {

Transaction new_request(MessagePriority priority) {
    Transaction my_temp_transaction;
    my_temp_transaction.retry_on_failure = (priority == MessagePriority::important);
    return my_temp_transaction;
}

int read_response_length(uint16_t num_registers) {
    return 5 + 2 * int{num_registers};
}

}  // namespace

Transaction build_read_holding_registers(uint8_t device_address, uint16_t reg_start_address,
                                         uint16_t num_registers, MessagePriority priority) {
    Transaction my_temp_transaction = new_request(priority);
    if (num_registers > kMaxReadRegisters) {
        return my_temp_transaction;
    }
    uint8_t data_bytes[4];
    wire::put_u16(&data_bytes[0], reg_start_address);
    wire::put_u16(&data_bytes[2], num_registers);
    my_temp_transaction.load_request(device_address, kReadHoldingRegisters, data_bytes, 4,
                                     read_response_length(num_registers));
    return my_temp_transaction;
}

Transaction build_write_single_register(uint8_t device_address, uint16_t reg_address,
                                        uint16_t write_data, MessagePriority priority) {
    Transaction my_temp_transaction = new_request(priority);
    uint8_t data_bytes[4];
    wire::put_u16(&data_bytes[0], reg_address);
    wire::put_u16(&data_bytes[2], write_data);
    my_temp_transaction.load_request(device_address, kWriteSingleRegister, data_bytes, 4, 8);
    return my_temp_transaction;
}

Transaction build_write_multiple_registers(uint8_t device_address, uint16_t reg_start_address,
                                           uint16_t num_registers, const uint8_t* write_data,
                                           MessagePriority priority) {
    Transaction my_temp_transaction = new_request(priority);
    if (num_registers > kMaxWriteRegisters) {
        return my_temp_transaction;
    }
    const auto byte_count = static_cast<uint8_t>(2 * num_registers);
    uint8_t data_bytes[5];
    wire::put_u16(&data_bytes[0], reg_start_address);
    wire::put_u16(&data_bytes[2], num_registers);
    data_bytes[4] = byte_count;
    my_temp_transaction.load_request(device_address, kWriteMultipleRegisters, data_bytes, 5,
                                     write_data, byte_count, 8);
    return my_temp_transaction;
}

Transaction build_read_write_multiple_registers(
    uint8_t device_address, uint16_t read_starting_address, uint16_t read_num_registers,
    uint16_t write_starting_address, uint16_t write_num_registers, const uint8_t* write_data,
    MessagePriority priority) {
    Transaction my_temp_transaction = new_request(priority);
    if (read_num_registers > kMaxReadRegisters || write_num_registers > kMaxReadWriteRegisters) {
        return my_temp_transaction;
    }
    const auto byte_count = static_cast<uint8_t>(2 * write_num_registers);
    uint8_t data_bytes[9];
    wire::put_u16(&data_bytes[0], read_starting_address);
    wire::put_u16(&data_bytes[2], read_num_registers);
    wire::put_u16(&data_bytes[4], write_starting_address);
    wire::put_u16(&data_bytes[6], write_num_registers);
    data_bytes[8] = byte_count;
    my_temp_transaction.load_request(device_address, kReadWriteMultipleRegisters, data_bytes, 9,
                                     write_data, byte_count,
                                     read_response_length(read_num_registers));
    return my_temp_transaction;
}

Transaction build_stream_command(uint8_t device_address, uint8_t subfunction, int32_t value) {
    const auto bits = static_cast<uint32_t>(value);
    uint8_t data_bytes[5] = {subfunction};
    wire::put_u16(&data_bytes[1], static_cast<uint16_t>(bits >> 16));
    wire::put_u16(&data_bytes[3], static_cast<uint16_t>(bits & 0xFFFF));
    Transaction stream_transaction;
    stream_transaction.load_request(device_address, kStreamCommand, data_bytes, 5,
                                    kStreamResponseLength);
    return stream_transaction;
}

}  // namespace zelkSDK
