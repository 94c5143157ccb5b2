// The wire format for the Python tools: CRC, wire time, the stream answer's telemetry, the
// names of function codes, stream modes and exceptions, the failure table and the most
// registers one request carries, all from sdk/modbus, so that the tools never keep tables of
// their own.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "binding/registration.hpp"
#include "sdk/modbus/modbus_crc16.hpp"
#include "sdk/modbus/request_builders.hpp"
#include "sdk/modbus/wire.hpp"

namespace py = pybind11;
using namespace zelkSDK;

namespace ferrun_binding {
namespace {

// Bounds of wire_time_us() from Python, far beyond any line, well inside int64 arithmetic.
constexpr int64_t kMaxWireTimeCharacters = 1000000;
constexpr int64_t kMaxWireTimeBaud = 100000000;

std::string bytes_of(const py::bytes& data) {
    return std::string(data);
}

const uint8_t* raw(const std::string& bytes) {
    return reinterpret_cast<const uint8_t*>(bytes.data());
}

// Code -> name of every code whose name is not empty.
template <typename Name>
std::map<int, std::string> names(Name name) {
    std::map<int, std::string> table;
    for (int code = 0; code < 256; ++code) {
        const std::string text = name(static_cast<uint8_t>(code));
        if (!text.empty()) {
            table[code] = text;
        }
    }
    return table;
}

}  // namespace

void register_wire(py::module_& m) {
    m.def(
        "crc16",
        [](const py::bytes& data) {
            const std::string bytes = bytes_of(data);
            const uint16_t swapped = modbus_crc16(raw(bytes), static_cast<int>(bytes.size()));
            return static_cast<int>(((swapped & 0xFF) << 8) | (swapped >> 8));
        },
        py::arg("data"),
        "CRC-16/MODBUS of data (0x4B37 for b'123456789'); a frame carries it low byte first.");
    m.def(
        "crc_ok",
        [](const py::bytes& frame) {
            const std::string bytes = bytes_of(frame);
            return wire::crc_ok(raw(bytes), bytes.size());
        },
        py::arg("frame"),
        "True when the frame's last two bytes are the CRC of the rest; False for frames under 4 "
        "bytes.");
    m.def(
        "wire_time_us",
        [](int64_t characters, int64_t baud) {
            if (characters < 0 || characters > kMaxWireTimeCharacters || baud < 1 ||
                baud > kMaxWireTimeBaud) {
                throw py::value_error(
                    "wire_time_us needs 0 to " + std::to_string(kMaxWireTimeCharacters) +
                    " characters and a baud rate of 1 to " + std::to_string(kMaxWireTimeBaud));
            }
            return wire::wire_time_us(characters, baud);
        },
        py::arg("characters"), py::arg("baud"),
        "Microseconds that characters take on the wire at baud, 11 bits each, rounded up.\n"
        "ValueError outside 0 to 1000000 characters and 1 to 100000000 baud.");
    m.def(
        "decode_telemetry",
        [](const py::bytes& frame) {
            const std::string bytes = bytes_of(frame);
            if (bytes.size() != static_cast<size_t>(kStreamResponseLength)) {
                throw py::value_error("a stream answer has " +
                                      std::to_string(kStreamResponseLength) + " bytes, not " +
                                      std::to_string(bytes.size()));
            }
            return wire::decode_telemetry(raw(bytes) + 2);
        },
        py::arg("frame"),
        "The telemetry (a StreamData) of a whole stream answer frame, CRC included; ValueError "
        "for a frame of another length.");
    m.def(
        "function_names", [] { return names(wire::function_name); },
        "Names of the function codes the SDK sends, by code.");
    m.def(
        "stream_mode_names", [] { return names(wire::stream_mode_name); },
        "The mode each stream command sub-function drives, by sub-function.");
    m.def(
        "exception_names",
        [] {
            return names([](uint8_t code) {
                const std::string name = wire::exception_name(code);
                return name == wire::exception_name(0) ? std::string() : name;
            });
        },
        "Names of the Modbus exception codes, by code.");
    m.def(
        "failure_table",
        [] {
            std::vector<std::tuple<int, std::string, std::string, std::string>> table;
            for (const wire::Failure& failure : wire::kFailures) {
                table.emplace_back(1 << failure.bit, failure.caller_text, failure.log_text,
                                   failure.kind);
            }
            return table;
        },
        "The failure bits of an exchange, in the order their texts are joined: (mask, the "
        "caller's text, the traffic log's text, the kind tools count it as).");
    m.attr("READ_HOLDING_REGISTERS") = kReadHoldingRegisters;
    m.attr("WRITE_SINGLE_REGISTER") = kWriteSingleRegister;
    m.attr("WRITE_MULTIPLE_REGISTERS") = kWriteMultipleRegisters;
    m.attr("READ_WRITE_MULTIPLE_REGISTERS") = kReadWriteMultipleRegisters;
    m.attr("STREAM_COMMAND") = kStreamCommand;
    m.attr("STREAM_RESPONSE_LENGTH") = kStreamResponseLength;
    m.attr("MAX_READ_REGISTERS") = kMaxReadRegisters;
    m.attr("MAX_WRITE_REGISTERS") = kMaxWriteRegisters;
}

}  // namespace ferrun_binding
