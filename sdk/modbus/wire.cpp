#include "sdk/modbus/wire.hpp"

#include "sdk/modbus/modbus_crc16.hpp"

namespace zelkSDK {
namespace wire {

uint16_t get_u16(const uint8_t* bytes) {
    return static_cast<uint16_t>((bytes[0] << 8) | bytes[1]);
}

uint32_t get_u32(const uint8_t* bytes) {
    return (uint32_t{get_u16(bytes)} << 16) | get_u16(bytes + 2);
}

void put_u16(uint8_t* bytes, uint16_t value) {
    bytes[0] = static_cast<uint8_t>(value >> 8);
    bytes[1] = static_cast<uint8_t>(value & 0xFF);
}

void append_u16(std::vector<uint8_t>& frame, uint16_t value) {
    frame.push_back(static_cast<uint8_t>(value >> 8));
    frame.push_back(static_cast<uint8_t>(value & 0xFF));
}

void append_u32(std::vector<uint8_t>& frame, uint32_t value) {
    append_u16(frame, static_cast<uint16_t>(value >> 16));
    append_u16(frame, static_cast<uint16_t>(value & 0xFFFF));
}

// modbus_crc16 returns the CRC with its bytes swapped: its high half goes on the line first.
void put_crc(uint8_t* frame, int length) {
    put_u16(frame + length, modbus_crc16(frame, length));
}

void append_crc(std::vector<uint8_t>& frame) {
    append_u16(frame, modbus_crc16(frame.data(), static_cast<int>(frame.size())));
}

bool crc_ok(const uint8_t* frame, size_t length) {
    if (length < 4) {
        return false;
    }
    return modbus_crc16(frame, static_cast<int>(length - 2)) == get_u16(frame + length - 2);
}

std::string hex(const uint8_t* bytes, size_t length, const char* separator) {
    static const char kDigits[] = "0123456789abcdef";
    std::string text;
    for (size_t i = 0; i < length; ++i) {
        if (i > 0) {
            text += separator;
        }
        text += kDigits[bytes[i] >> 4];
        text += kDigits[bytes[i] & 0x0F];
    }
    return text;
}

std::string hex(const std::vector<uint8_t>& bytes, const char* separator) {
    return hex(bytes.data(), bytes.size(), separator);
}

bool parse_hex(const std::string& text, std::vector<uint8_t>& bytes) {
    const auto digit = [](char c) {
        if (c >= '0' && c <= '9')
            return c - '0';
        if (c >= 'a' && c <= 'f')
            return c - 'a' + 10;
        if (c >= 'A' && c <= 'F')
            return c - 'A' + 10;
        return -1;
    };
    bytes.clear();
    if (text.size() % 2 != 0) {
        return false;
    }
    for (size_t i = 0; i < text.size(); i += 2) {
        const int high = digit(text[i]);
        const int low = digit(text[i + 1]);
        if (high < 0 || low < 0) {
            bytes.clear();
            return false;
        }
        bytes.push_back(static_cast<uint8_t>(high * 16 + low));
    }
    return true;
}

int64_t wire_time_us(int64_t characters, int64_t baud) {
    if (baud <= 0) {
        return 0;
    }
    return (characters * kBitsPerCharacter * 1'000'000 + baud - 1) / baud;
}

StreamData decode_telemetry(const uint8_t* payload) {
    StreamData data;
    data.position = static_cast<int32_t>(get_u32(&payload[0]));
    data.force = static_cast<int32_t>(get_u32(&payload[4]));
    data.power = get_u16(&payload[8]);
    data.temperature = payload[10];
    data.voltage = get_u16(&payload[11]);
    data.errors = get_u16(&payload[13]);
    return data;
}

void append_telemetry(std::vector<uint8_t>& frame, const StreamData& data) {
    append_u32(frame, static_cast<uint32_t>(data.position));
    append_u32(frame, static_cast<uint32_t>(data.force));
    append_u16(frame, data.power);
    frame.push_back(static_cast<uint8_t>(data.temperature));
    append_u16(frame, data.voltage);
    append_u16(frame, data.errors);
}

const char* exception_name(uint8_t code) {
    switch (code) {
        case 1: return "illegal function";
        case 2: return "illegal data address";
        case 3: return "illegal data value";
        case 4: return "server device failure";
        case 5: return "acknowledge";
        case 6: return "server device busy";
        case 8: return "memory parity error";
        case 10: return "gateway path unavailable";
        case 11: return "gateway target device failed to respond";
        default: return "unknown exception";
    }
}

const char* function_name(uint8_t code) {
    switch (code) {
        case kReadHoldingRegisters: return "read holding registers";
        case kWriteSingleRegister: return "write single register";
        case kWriteMultipleRegisters: return "write multiple registers";
        case kReadWriteMultipleRegisters: return "read/write multiple registers";
        case kStreamCommand: return "stream command";
        default: return "";
    }
}

const char* stream_mode_name(uint8_t subfunction) {
    switch (subfunction) {
        case kStreamSleep: return "sleep";
        case kStreamForce: return "force";
        case kStreamPosition: return "position";
        case kStreamKinematic: return "kinematic";
        case kStreamHaptic: return "haptic";
        default: return "";
    }
}

const Failure kFailures[kFailureCount] = {
    {response_timeout, "Response timed out, the motor took too long to respond. ", "Timed out. ",
     "timed out"},
    {interchar_timeout, "Unexpected interchar delay timeout. ", "Unexpected interchar. ",
     "interchar gap"},
    {wrong_address, "Wrong modbus response address. ", "Wrong address. ", "wrong address"},
    {wrong_crc, "Wrong CRC. ", "Wrong CRC. ", "wrong CRC"},
    {response_mismatch, "Response does not match the request. ", "Response does not match. ",
     "response mismatch"},
    {line_lost, "", "Line lost. ", "line lost"},
    {line_busy, "The line never fell quiet; the request was not sent. ", "Line busy. ",
     "line busy"},
    {echo_mismatch, "Echo does not match the request. ", "Echo mismatch. ", "echo mismatch"},
    {no_echo, "No echo. ", "No echo. ", "no echo"},
    {line_echoes, "Line echoes the request; enable local echo. ", "Line echoes. ", "line echoes"},
};

namespace {

std::string joined(uint16_t flags, const char* Failure::*text) {
    std::string message;
    for (const Failure& failure : kFailures) {
        if (flags & (1u << failure.bit)) {
            message += failure.*text;
        }
    }
    return message;
}

}  // namespace

std::string caller_failure_text(uint16_t flags) {
    return joined(flags, &Failure::caller_text);
}

std::string log_failure_text(uint16_t flags) {
    return joined(flags, &Failure::log_text);
}

}  // namespace wire
}  // namespace zelkSDK
