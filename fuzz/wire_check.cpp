#include "fuzz/wire_check.hpp"

#include <algorithm>

namespace fuzz {

uint16_t bitwise_crc16(const uint8_t* data, size_t length) {
    uint16_t crc = 0xFFFF;
    for (size_t i = 0; i < length; ++i) {
        crc ^= data[i];
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc & 1) ? static_cast<uint16_t>((crc >> 1) ^ 0xA001)
                            : static_cast<uint16_t>(crc >> 1);
        }
    }
    return crc;
}

void append_crc(Bytes& frame) {
    const uint16_t crc = bitwise_crc16(frame.data(), frame.size());
    frame.push_back(static_cast<uint8_t>(crc & 0xFF));
    frame.push_back(static_cast<uint8_t>(crc >> 8));
}

bool crc_ok(const uint8_t* frame, size_t length) {
    if (length < 4) {
        return false;
    }
    const uint16_t crc = bitwise_crc16(frame, length - 2);
    return frame[length - 2] == (crc & 0xFF) && frame[length - 1] == (crc >> 8);
}

void put_u16(Bytes& frame, uint16_t value) {
    frame.push_back(static_cast<uint8_t>(value >> 8));
    frame.push_back(static_cast<uint8_t>(value & 0xFF));
}

uint16_t get_u16(const uint8_t* bytes) {
    return static_cast<uint16_t>((bytes[0] << 8) | bytes[1]);
}

namespace {

// A request of two 16-bit words: a read's start and count, a single write's register and value.
Bytes two_word_request(uint8_t address, uint8_t function, uint16_t first, uint16_t second) {
    Bytes frame = {address, function};
    put_u16(frame, first);
    put_u16(frame, second);
    append_crc(frame);
    return frame;
}

// Appends what both writes of several registers end with: the count, the byte count, the
// values and the CRC.
Bytes with_written_values(Bytes frame, const std::vector<uint16_t>& values) {
    put_u16(frame, static_cast<uint16_t>(values.size()));
    frame.push_back(static_cast<uint8_t>(2 * values.size()));
    for (uint16_t value : values) {
        put_u16(frame, value);
    }
    append_crc(frame);
    return frame;
}

}  // namespace

Bytes read_request(uint8_t address, uint16_t start, uint16_t count) {
    return two_word_request(address, 3, start, count);
}

Bytes write_single_request(uint8_t address, uint16_t reg, uint16_t value) {
    return two_word_request(address, 6, reg, value);
}

Bytes write_multiple_request(uint8_t address, uint16_t start, const std::vector<uint16_t>& values) {
    Bytes frame = {address, 16};
    put_u16(frame, start);
    return with_written_values(frame, values);
}

Bytes read_write_request(uint8_t address, uint16_t read_start, uint16_t read_count,
                         uint16_t write_start, const std::vector<uint16_t>& values) {
    Bytes frame = {address, 23};
    put_u16(frame, read_start);
    put_u16(frame, read_count);
    put_u16(frame, write_start);
    return with_written_values(frame, values);
}

Bytes stream_request(uint8_t address, uint8_t subfunction, int32_t value) {
    const auto bits = static_cast<uint32_t>(value);
    Bytes frame = {address, 100, subfunction};
    put_u16(frame, static_cast<uint16_t>(bits >> 16));
    put_u16(frame, static_cast<uint16_t>(bits & 0xFFFF));
    append_crc(frame);
    return frame;
}

size_t answer_length(const Bytes& request) {
    if (request.size() < 4) {
        return 0;
    }
    switch (request[1]) {
        case 3:
        case 23: return request.size() >= 6 ? 5 + 2 * size_t{get_u16(&request[4])} : 0;
        case 6:
        case 16: return 8;
        case 100: return 19;
        default: return 0;
    }
}

bool answers(const Bytes& request, const uint8_t* frame, size_t length) {
    const size_t expected = answer_length(request);
    if (expected == 0 || length != expected || !crc_ok(frame, length)) {
        return false;
    }
    if (frame[0] != request[0] || frame[1] != request[1]) {
        return false;
    }
    switch (request[1]) {
        case 3:
        case 23: return frame[2] == length - 5;
        case 6: return std::equal(frame, frame + 8, request.begin());
        case 16: return std::equal(frame, frame + 6, request.begin());
        default: return true;
    }
}

std::vector<Bytes> answers_within(const Bytes& request, const Bytes& bytes) {
    std::vector<Bytes> found;
    const size_t length = answer_length(request);
    for (size_t i = 0; length > 0 && i + length <= bytes.size(); ++i) {
        if (answers(request, &bytes[i], length)) {
            found.emplace_back(bytes.begin() + i, bytes.begin() + i + length);
        }
    }
    return found;
}

std::vector<uint16_t> answer_registers(const Bytes& answer) {
    std::vector<uint16_t> registers;
    for (size_t i = 3; i + 3 < answer.size(); i += 2) {
        registers.push_back(get_u16(&answer[i]));
    }
    return registers;
}

}  // namespace fuzz
