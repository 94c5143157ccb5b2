// libFuzzer harness of the request builders, Transaction's framing and the CRC: arbitrary
// arguments. A built frame equals the one the harness builds field by field, never exceeds
// 256 bytes, and a refused request carries no bytes at all; the CRC equals a bitwise one.
//
// Input: an opcode byte (% 8), its fields (big-endian), and the bytes after them as data:
//   0 read        address8 start16 count16 prio8
//   1 write one   address8 reg16 value16 prio8
//   2 write many  address8 start16 count16 prio8, register data
//   3 read/write  address8 rstart16 rcount16 wstart16 wcount16 prio8, register data
//   4 stream      address8 subfunction8 value32
//   5 CRC         of the remaining bytes
//   6 raw frame   address8 function8 data_length16 (signed) payload_length8, data
//   7 response    the remaining bytes, received as a response
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "fuzz/input_reader.hpp"
#include "fuzz/scripted_line.hpp"
#include "fuzz/wire_check.hpp"
#include "sdk/modbus/modbus_crc16.hpp"
#include "sdk/modbus/request_builders.hpp"

using namespace fuzz;
using namespace zelkSDK;

namespace {

// Enough register data for the largest count any builder accepts.
struct RegisterData {
    uint8_t bytes[512] = {};
    std::vector<uint16_t> values(int count) const {
        std::vector<uint16_t> out;
        for (int i = 0; i < count; ++i) {
            out.push_back(get_u16(&bytes[2 * i]));
        }
        return out;
    }
};

RegisterData register_data(InputReader& in) {
    RegisterData data;
    const Bytes given = in.bytes(sizeof data.bytes);
    std::copy(given.begin(), given.end(), data.bytes);
    return data;
}

void expect_frame(const Transaction& built, const Bytes& expected, int response_length,
                  bool resent) {
    const Bytes frame(built.tx_buffer, built.tx_buffer + std::max(0, built.tx_length));
    if (frame != expected) {
        violation("built " + hex(frame) + ", expected " + hex(expected));
    }
    if (built.tx_length > kMaxFrameLength || built.tx_index != 0 ||
        built.state != TransactionState::created) {
        violation("built frame of " + std::to_string(built.tx_length) + " bytes in a bad state");
    }
    if (built.expected_response_length != response_length) {
        violation("frame " + hex(frame) + " announces a response of " +
                  std::to_string(built.expected_response_length) + " bytes, not " +
                  std::to_string(response_length));
    }
    if (built.retry_on_failure != resent) {
        violation("frame " + hex(frame) + " has the wrong resend marking");
    }
}

void expect_refused(const Transaction& built, const char* what) {
    if (built.has_request() || built.tx_length != 0) {
        violation(std::string(what) + " was built into " + std::to_string(built.tx_length) +
                  " bytes instead of being refused");
    }
}

MessagePriority priority(uint8_t byte) {
    return (byte & 1) ? MessagePriority::not_important : MessagePriority::important;
}

// A read of holding registers.
void check_read(InputReader& in) {
    const uint8_t address = in.u8();
    const uint16_t start = in.u16();
    const uint16_t count = in.u16();
    const uint8_t prio = in.u8();
    const Transaction built = build_read_holding_registers(address, start, count, priority(prio));
    if (count > kMaxReadRegisters) {
        expect_refused(built, "a read of more than 125 registers");
    } else {
        expect_frame(built, read_request(address, start, count), 5 + 2 * count, (prio & 1) == 0);
    }
}

// A write of one register.
void check_write_one(InputReader& in) {
    const uint8_t address = in.u8();
    const uint16_t reg = in.u16();
    const uint16_t value = in.u16();
    const uint8_t prio = in.u8();
    expect_frame(build_write_single_register(address, reg, value, priority(prio)),
                 write_single_request(address, reg, value), 8, (prio & 1) == 0);
}

// A write of several registers.
void check_write_many(InputReader& in) {
    const uint8_t address = in.u8();
    const uint16_t start = in.u16();
    const uint16_t count = in.u16();
    const uint8_t prio = in.u8();
    const RegisterData data = register_data(in);
    const Transaction built =
        build_write_multiple_registers(address, start, count, data.bytes, priority(prio));
    if (count > kMaxWriteRegisters) {
        expect_refused(built, "a write of more than 123 registers");
    } else {
        expect_frame(built, write_multiple_request(address, start, data.values(count)), 8,
                     (prio & 1) == 0);
    }
}

// A read/write of several registers.
void check_read_write(InputReader& in) {
    const uint8_t address = in.u8();
    const uint16_t read_start = in.u16();
    const uint16_t read_count = in.u16();
    const uint16_t write_start = in.u16();
    const uint16_t write_count = in.u16();
    const uint8_t prio = in.u8();
    const RegisterData data = register_data(in);
    const Transaction built = build_read_write_multiple_registers(
        address, read_start, read_count, write_start, write_count, data.bytes, priority(prio));
    if (read_count > kMaxReadRegisters || write_count > kMaxReadWriteRegisters) {
        expect_refused(built, "a read/write beyond the frame");
    } else {
        expect_frame(built,
                     read_write_request(address, read_start, read_count, write_start,
                                        data.values(write_count)),
                     5 + 2 * read_count, (prio & 1) == 0);
    }
}

// A stream command.
void check_stream(InputReader& in) {
    const uint8_t address = in.u8();
    const uint8_t subfunction = in.u8();
    const auto value = static_cast<int32_t>(in.u32());
    expect_frame(build_stream_command(address, subfunction, value),
                 stream_request(address, subfunction, value), 19, false);
}

// The CRC of the remaining bytes against a bitwise one.
void check_crc(InputReader& in, size_t size) {
    const Bytes bytes = in.bytes(size);
    const uint16_t plain = bitwise_crc16(bytes.data(), bytes.size());
    const uint16_t swapped = static_cast<uint16_t>((plain << 8) | (plain >> 8));
    if (modbus_crc16(bytes.data(), static_cast<int>(bytes.size())) != swapped) {
        violation("CRC of " + hex(bytes) + " differs from the bitwise CRC");
    }
}

// A frame loaded from raw fields.
void check_raw_frame(InputReader& in) {
    const uint8_t address = in.u8();
    const uint8_t function = in.u8();
    const auto data_length = static_cast<int16_t>(in.u16());
    const uint8_t payload_length = in.u8();
    uint8_t data[1024] = {};
    const Bytes given = in.bytes(sizeof data);
    std::copy(given.begin(), given.end(), data);
    Transaction built;
    const bool loaded =
        built.load_request(address, function, data, data_length, data + 512, payload_length, 7);
    const int length = data_length + payload_length + 4;
    if (data_length < 0 || length > kMaxFrameLength) {
        if (loaded || built.tx_length != 0) {
            violation("a frame of " + std::to_string(length) + " bytes was loaded");
        }
        return;
    }
    Bytes expected = {address, function};
    expected.insert(expected.end(), data, data + data_length);
    expected.insert(expected.end(), data + 512, data + 512 + payload_length);
    append_crc(expected);
    if (!loaded) {
        violation("a frame of " + std::to_string(length) + " bytes was refused");
    }
    expect_frame(built, expected, 7, false);
}

// The remaining bytes received as a response.
void check_response(InputReader& in, size_t size) {
    const Bytes bytes = in.bytes(size);
    Transaction received;
    received.expected_response_length = kOpenResponseLength;
    for (uint8_t byte : bytes) {
        received.append_response_byte(byte);
    }
    if (received.rx_length != static_cast<int>(std::min<size_t>(bytes.size(), 256))) {
        violation("kept " + std::to_string(received.rx_length) + " of " +
                  std::to_string(bytes.size()) + " response bytes");
    }
    const size_t kept = static_cast<size_t>(received.rx_length);
    const bool valid = kept >= 2 && [&] {
        const uint16_t crc = bitwise_crc16(bytes.data(), kept - 2);
        return bytes[kept - 2] == (crc & 0xFF) && bytes[kept - 1] == (crc >> 8);
    }();
    if (received.crc_valid() != valid) {
        violation("crc_valid() is wrong for " + hex(bytes));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t size) {
    InputReader in(input, size);
    switch (in.u8() % 8) {
        case 0: check_read(in); break;
        case 1: check_write_one(in); break;
        case 2: check_write_many(in); break;
        case 3: check_read_write(in); break;
        case 4: check_stream(in); break;
        case 5: check_crc(in, size); break;
        case 6: check_raw_frame(in); break;
        default: check_response(in, size); break;
    }
    return 0;
}
