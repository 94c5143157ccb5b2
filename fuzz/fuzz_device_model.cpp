// libFuzzer harness of the virtual actuator's device model: arbitrary request frames, with
// the physics moved on between them. The model must never crash, must answer exactly the
// CRC-valid requests addressed to it, and must answer with valid frames of its own address.
//
// Input: [0] server address, [1] bit 0 set: the device does not confirm modes; bit 1 set: the
// harness appends the right CRC to every frame (so mutations reach past the CRC check);
// then frames, each a length byte, that many bytes, and a byte of physics time to pass
// (x 1 ms).
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz/input_reader.hpp"
#include "fuzz/scripted_line.hpp"
#include "fuzz/wire_check.hpp"
#include "sim/device_model.hpp"

using namespace fuzz;

namespace {

void check_response(uint8_t address, const Bytes& request, const Bytes& response) {
    const bool addressed =
        request.size() >= 4 && crc_ok(request) && address != 0 && request[0] == address;
    if (addressed && response.empty()) {
        violation("no answer to a valid request: " + hex(request));
    }
    if (response.empty()) {
        return;
    }
    if (!addressed) {
        violation("answered " + hex(request) + ", which is not a valid request to address " +
                  std::to_string(address) + ", with " + hex(response));
    }
    if (response.size() < 5 || response.size() > 256 || !crc_ok(response) ||
        response[0] != address) {
        violation("invalid answer " + hex(response) + " to " + hex(request));
    }
    if (response[1] == (request[1] | 0x80)) {
        if (response.size() != 5) {
            violation("exception answer of " + std::to_string(response.size()) + " bytes to " +
                      hex(request));
        }
        return;
    }
    if (!answers(request, response.data(), response.size())) {
        violation("answer " + hex(response) + " does not answer " + hex(request));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    InputReader in(data, size);
    const uint8_t address = in.u8();
    sim::DeviceModel device(address);
    const uint8_t flags = in.u8();
    device.set_confirms_modes((flags & 1) == 0);
    while (!in.empty()) {
        Bytes request = in.bytes(in.u8());
        if (flags & 2) {
            append_crc(request);
        }
        const Bytes response = device.handle_frame(request.data(), request.size());
        check_response(address, request, response);
        device.advance(in.u8() * 0.001);
    }
    return 0;
}
