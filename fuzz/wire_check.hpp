// The fuzz harnesses' own view of the wire: a bitwise CRC-16/MODBUS written apart from the
// SDK's table-driven one, request frames built field by field, and the rule that says
// whether a frame answers a request. The harnesses judge the SDK against these. It is an
// oracle, so it stays apart from sdk/modbus/wire on purpose, and so do the harnesses' own
// readings of wire times and of the stream answer's telemetry: a mistake made there must
// not be made here too.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace fuzz {

using Bytes = std::vector<uint8_t>;

// The plain CRC-16/MODBUS value (initial 0xFFFF, reflected polynomial 0xA001); its low
// byte goes on the line first.
uint16_t bitwise_crc16(const uint8_t* data, size_t length);
void append_crc(Bytes& frame);
bool crc_ok(const uint8_t* frame, size_t length);
inline bool crc_ok(const Bytes& frame) {
    return crc_ok(frame.data(), frame.size());
}

void put_u16(Bytes& frame, uint16_t value);
uint16_t get_u16(const uint8_t* bytes);

// Request frames, CRC included.
Bytes read_request(uint8_t address, uint16_t start, uint16_t count);
Bytes write_single_request(uint8_t address, uint16_t reg, uint16_t value);
Bytes write_multiple_request(uint8_t address, uint16_t start, const std::vector<uint16_t>& values);
Bytes read_write_request(uint8_t address, uint16_t read_start, uint16_t read_count,
                         uint16_t write_start, const std::vector<uint16_t>& values);
Bytes stream_request(uint8_t address, uint8_t subfunction, int32_t value);

// The length of a normal (not exception) answer to request, or 0 when none can answer it.
size_t answer_length(const Bytes& request);

// True when frame is a complete, CRC-valid normal answer to request: same address and
// function code, a read's byte count twice the read quantity, a write's echo.
bool answers(const Bytes& request, const uint8_t* frame, size_t length);

// Every frame found anywhere in bytes that answers request, in order.
std::vector<Bytes> answers_within(const Bytes& request, const Bytes& bytes);

// The registers a read (function 3 or 23) answer carries.
std::vector<uint16_t> answer_registers(const Bytes& answer);

}  // namespace fuzz
