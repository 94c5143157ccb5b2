// What travels on the line, written once: byte order, where the CRC goes in a frame, hex as
// the logs and journals write it, how long characters take on the wire, the layout of the
// stream answer's telemetry, the exception names and the failure texts. The engine, the
// Actuator, the virtual actuator, the soak, the benchmarks and (through the Python module)
// the Python tools all take it from here. The fuzz harnesses keep an oracle of their own,
// on purpose: a mistake made here must not be made there too.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "sdk/modbus/function_codes.hpp"
#include "sdk/modbus/transaction.hpp"
#include "sdk/types/stream_data.hpp"

namespace zelkSDK {
namespace wire {

// Every multi-byte field of a frame is big-endian, except the CRC.
uint16_t get_u16(const uint8_t* bytes);
uint32_t get_u32(const uint8_t* bytes);
void put_u16(uint8_t* bytes, uint16_t value);
void append_u16(std::vector<uint8_t>& frame, uint16_t value);
void append_u32(std::vector<uint8_t>& frame, uint32_t value);

// The CRC of the bytes before it, low byte first. put_crc writes it at frame[length] and
// frame[length + 1]. crc_ok is false for a frame too short to hold one (under 4 bytes).
void put_crc(uint8_t* frame, int length);
void append_crc(std::vector<uint8_t>& frame);
bool crc_ok(const uint8_t* frame, size_t length);

// Lowercase hex, two digits a byte, each byte after the first preceded by separator.
std::string hex(const uint8_t* bytes, size_t length, const char* separator = "");
std::string hex(const std::vector<uint8_t>& bytes, const char* separator = "");
// The bytes of hex without separators ("01ab"); false, with bytes left empty, for odd lengths
// or other characters.
bool parse_hex(const std::string& text, std::vector<uint8_t>& bytes);

// One start bit, eight data bits, parity and one stop bit.
constexpr int kBitsPerCharacter = 11;
// How long characters take on the wire at baud, rounded up to the microsecond, so a wait
// for a frame to have left the wire never ends before it has; 0 when baud is 0 (unpaced).
// characters times 11,000,000 must fit in int64: frames and the engine's baud rates do.
int64_t wire_time_us(int64_t characters, int64_t baud);

// The stream answer: address, function code, then position (int32, um), force (int32, mN),
// power (uint16, W), temperature (one byte, C), voltage (uint16, mV) and error bits
// (uint16), then the CRC: kStreamResponseLength bytes in all.
constexpr int kTelemetryLength = 15;
StreamData decode_telemetry(const uint8_t* payload);
void append_telemetry(std::vector<uint8_t>& frame, const StreamData& data);

// The name of a Modbus exception code ("server device busy"), "unknown exception" else.
const char* exception_name(uint8_t code);
// The name of a function code the SDK sends ("read holding registers"), "" for others.
const char* function_name(uint8_t code);
// The mode a stream command's sub-function drives ("position"), "" for others.
const char* stream_mode_name(uint8_t subfunction);

// The failure bits of an exchange and their texts: the one the caller's ZelkError carries,
// the one behind a failed reception in the traffic log, and the kind the tools count it as.
// In the order the texts of several bits are joined.
struct Failure {
    TransactionFailure bit;
    const char* caller_text;  // empty for line_lost: the Actuator adds the line's reason
    const char* log_text;
    const char* kind;
};
constexpr int kFailureCount = 10;
extern const Failure kFailures[kFailureCount];
std::string caller_failure_text(uint16_t flags);
std::string log_failure_text(uint16_t flags);

}  // namespace wire
}  // namespace zelkSDK
