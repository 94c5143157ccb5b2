#include "fuzz/actuator_session.hpp"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "sdk/modbus/function_codes.hpp"
#include "sdk/modbus/request_builders.hpp"

namespace fuzz {
namespace {

using zelkSDK::MessagePriority;

// The stream command and at most six attempts of the call's own request.
constexpr size_t kMaxTransmitsPerCall = 7;

std::string registers_text(const std::vector<uint16_t>& registers) {
    std::string text = "[";
    for (uint16_t value : registers) {
        text += (text.size() > 1 ? " " : "") + std::to_string(value);
    }
    return text + "]";
}

void trace_result(const std::string& value, const zelkSDK::ZelkError& error) {
    if (tracing()) {
        std::fprintf(stderr, "  -> %s, error \"%s\"\n", value.c_str(), error.what().c_str());
    }
}

bool same_telemetry(const zelkSDK::StreamData& a, const zelkSDK::StreamData& b) {
    return a.position == b.position && a.force == b.force && a.power == b.power &&
           a.temperature == b.temperature && a.voltage == b.voltage && a.errors == b.errors;
}

zelkSDK::StreamData decode_telemetry(const Bytes& answer) {
    const uint8_t* p = &answer[2];
    zelkSDK::StreamData data;
    data.position = static_cast<int32_t>((uint32_t{get_u16(&p[0])} << 16) | get_u16(&p[2]));
    data.force = static_cast<int32_t>((uint32_t{get_u16(&p[4])} << 16) | get_u16(&p[6]));
    data.power = get_u16(&p[8]);
    data.temperature = p[10];
    data.voltage = get_u16(&p[11]);
    data.errors = get_u16(&p[13]);
    return data;
}

}  // namespace

ActuatorSession::ActuatorSession(const SessionSetup& setup, uint8_t address_)
    : SessionSetup(setup) {
    replace(address_);
}

void ActuatorSession::replace(uint8_t new_address) {
    if (new_address > zelkSDK::kMaxServerAddress) {
        // Beyond the protocol's addresses: refused, and the session goes on at a valid one.
        bool refused = false;
        try {
            zelkSDK::Actuator beyond(line, clock, "fuzz", new_address);
        } catch (const std::invalid_argument&) {
            refused = true;
        }
        if (!refused) {
            std::fprintf(stderr, "server address %d was accepted\n", new_address);
            std::abort();
        }
        new_address = static_cast<uint8_t>(new_address % (zelkSDK::kMaxServerAddress + 1));
    }
    address = new_address;
    actuator = std::make_unique<zelkSDK::Actuator>(line, clock, "fuzz", address);
    actuator->open_serial_port("fuzz", baud_rate, interframe_delay_us);
    force_mN = 0;
    position_um = 0;
    haptic_effects = 0;
    last_cache = actuator->stream_cache;
    stream_frames_checked = line->transmits().size();
    cache_answers_from = stream_frames_checked;
    allowed_stream_frames = {streamed_frame()};
}

void ActuatorSession::apply(const Operation& op) {
    first_transmit_of_operation = line->transmits().size();
    switch (op.kind) {
        case read_one: blocking_read(op); break;
        case read_wide: blocking_wide_read(op); break;
        case read_many: blocking_many_read(op); break;
        case write_one:
        case write_wide:
        case write_many: blocking_write(op); break;
        case read_write: blocking_read_write(op); break;
        case stream: stream_passes(op); break;
        case set_mode: confirm_mode(op); break;
        case reopen: actuator->open_serial_port("fuzz", baud_rate, interframe_delay_us); break;
        default: break;
    }
    const size_t transmits = line->transmits().size() - first_transmit_of_operation;
    if (checks.bounded && op.kind != set_mode && op.kind != stream &&
        transmits > kMaxTransmitsPerCall) {
        violation("one blocking call sent " + std::to_string(transmits) + " frames");
    }
    check_stream_frames();
    check_stream_cache();
}

void ActuatorSession::blocking_read(const Operation& op) {
    const auto result = actuator->read_register_blocking(op.reg, priority_of(op));
    trace_result("value " + std::to_string(result.value), result.error);
    if (!result.error) {
        expect_read(read_request(address, op.reg, 1), {result.value});
    }
}

void ActuatorSession::blocking_wide_read(const Operation& op) {
    const auto result = actuator->read_wide_register_blocking(op.reg, priority_of(op));
    trace_result("value " + std::to_string(result.value), result.error);
    if (!result.error) {
        const auto bits = static_cast<uint32_t>(result.value);
        expect_read(read_request(address, op.reg, 2),
                    {static_cast<uint16_t>(bits & 0xFFFF), static_cast<uint16_t>(bits >> 16)});
    }
}

void ActuatorSession::blocking_many_read(const Operation& op) {
    const auto result =
        actuator->read_multiple_registers_blocking(op.reg, op.count, priority_of(op));
    trace_result(registers_text(result.value), result.error);
    if (op.count > zelkSDK::kMaxReadRegisters) {
        expect_refused(result.error, "a read of more than 125 registers");
    } else if (op.count > 0 && !result.error) {
        expect_read(read_request(address, op.reg, op.count), result.value);
    }
}

void ActuatorSession::blocking_write(const Operation& op) {
    zelkSDK::ZelkError error = zelkSDK::no_error();
    Bytes request;
    if (op.kind == write_one) {
        const auto value = static_cast<uint16_t>(op.value);
        error = actuator->write_register_blocking(op.reg, value, priority_of(op));
        request = write_single_request(address, op.reg, value);
    } else if (op.kind == write_wide) {
        error = actuator->write_wide_register_blocking(op.reg, static_cast<int32_t>(op.value),
                                                       priority_of(op));
        request = write_multiple_request(
            address, op.reg,
            {static_cast<uint16_t>(op.value & 0xFFFF), static_cast<uint16_t>(op.value >> 16)});
    } else {
        const std::vector<uint16_t> values = seeded_values(op.seed, op.count);
        error = actuator->write_multiple_registers_blocking(op.reg, op.count, values.data(),
                                                            priority_of(op));
        if (op.count > zelkSDK::kMaxWriteRegisters) {
            expect_refused(error, "a write of more than 123 registers");
            return;
        }
        if (op.count == 0) {
            return;
        }
        request = write_multiple_request(address, op.reg, values);
    }
    if (tracing()) {
        std::fprintf(stderr, "  -> error \"%s\"\n", error.what().c_str());
    }
    expect_write(request, error);
}

void ActuatorSession::blocking_read_write(const Operation& op) {
    const std::vector<uint16_t> values = seeded_values(op.seed, op.count2);
    const auto result = actuator->read_write_multiple_registers_blocking(
        op.reg, op.count, op.reg2, op.count2, values.data(), priority_of(op));
    trace_result(registers_text(result.value), result.error);
    if (op.count > zelkSDK::kMaxReadRegisters || op.count2 > zelkSDK::kMaxReadWriteRegisters) {
        expect_refused(result.error, "a read/write beyond the frame");
    } else if (!result.error && (address != 0 || op.count > 0)) {
        expect_read(read_write_request(address, op.reg, op.count, op.reg2, values), result.value);
    }
}

void ActuatorSession::stream_passes(const Operation& op) {
    switch (op.what % 6) {
        case 0: actuator->enable_stream(); break;
        case 1: actuator->disable_stream(); break;
        case 2:
            force_mN = static_cast<int32_t>(op.value);
            actuator->set_streamed_force_mN(force_mN);
            break;
        case 3:
            position_um = static_cast<int32_t>(op.value);
            actuator->set_streamed_position_um(position_um);
            break;
        case 4:
            haptic_effects = static_cast<uint16_t>(op.value);
            actuator->update_haptic_stream_effects(haptic_effects);
            break;
        default: break;
    }
    note_stream_settings();
    for (int pass = 0; pass <= op.passes % 32; ++pass) {
        actuator->run();
        check_stream_frames();
        check_stream_cache();
    }
}

void ActuatorSession::confirm_mode(const Operation& op) {
    const auto mode = static_cast<zelkSDK::MotorMode>(op.what % 8);
    const zelkSDK::MotorMode before = actuator->get_streamed_mode();
    const zelkSDK::ZelkError error = actuator->set_mode(mode);
    const zelkSDK::MotorMode after = actuator->get_streamed_mode();
    if (tracing()) {
        std::fprintf(stderr, "  -> error \"%s\", streamed mode %d\n", error.what().c_str(), after);
    }
    if (error) {
        if (checks.stream && after != before) {
            violation("a failed set_mode changed the streamed mode from " + std::to_string(before) +
                      " to " + std::to_string(after));
        }
        return;
    }
    if (checks.stream && after != mode) {
        violation("set_mode(" + std::to_string(mode) + ") succeeded but streams mode " +
                  std::to_string(after));
    }
    if (checks.broadcast && address == 0) {
        violation("set_mode confirmed a mode by reading from broadcast address 0");
    }
    if (checks.match && address != 0) {
        // The mode counts as confirmed only when the device reported it.
        const Bytes request = read_request(address, zelkSDK::registers::kModeReport, 1);
        const auto& sent = line->transmits();
        bool reported = false;
        for (size_t i = first_transmit_of_operation; i < sent.size() && !reported; ++i) {
            if (sent[i].frame != request) {
                continue;
            }
            for (const Bytes& answer : answers_within(request, sent[i].followed)) {
                reported = reported || answer_registers(answer)[0] == static_cast<uint16_t>(mode);
            }
        }
        if (!reported) {
            violation("set_mode(" + std::to_string(mode) +
                      ") succeeded but no answer to a mode read reported that mode");
        }
    }
    note_stream_settings();
}

void ActuatorSession::expect_read(const Bytes& request, const std::vector<uint16_t>& registers) {
    if (checks.broadcast && address == 0) {
        violation("a read from broadcast address 0 reported success with " +
                  registers_text(registers));
    }
    if (!checks.match || address == 0) {
        return;
    }
    const Transmit* sent = last_transmit_of(request);
    if (sent == nullptr) {
        violation("a read reported success but its request " + hex(request) + " never went out");
    }
    for (const Bytes& answer : answers_within(request, sent->followed)) {
        if (answer_registers(answer) == registers) {
            return;
        }
    }
    violation("a read of " + hex(request) + " reported success with " + registers_text(registers) +
              ", which no valid answer delivered after it carries; bytes after the request: " +
              hex(sent->followed));
}

void ActuatorSession::expect_write(const Bytes& request, const zelkSDK::ZelkError& error) {
    if (address == 0) {
        if (checks.broadcast && error) {
            violation("a broadcast write failed: " + error.what());
        }
        return;
    }
    if (error || !checks.match) {
        return;
    }
    const Transmit* sent = last_transmit_of(request);
    if (sent == nullptr) {
        violation("a write reported success but its request " + hex(request) + " never went out");
    }
    if (answers_within(request, sent->followed).empty()) {
        violation("a write of " + hex(request) +
                  " reported success without a valid echo after it; bytes after the request: " +
                  hex(sent->followed));
    }
}

void ActuatorSession::expect_refused(const zelkSDK::ZelkError& error, const char* what) {
    if (!error) {
        violation(std::string(what) + " was not refused");
    }
    if (line->transmits().size() > first_transmit_of_operation + 1) {
        violation(std::string(what) + " was refused after sending");
    }
}

const Transmit* ActuatorSession::last_transmit_of(const Bytes& request) const {
    const auto& sent = line->transmits();
    for (size_t i = sent.size(); i > first_transmit_of_operation; --i) {
        if (sent[i - 1].frame == request) {
            return &sent[i - 1];
        }
    }
    return nullptr;
}

Bytes ActuatorSession::streamed_frame() const {
    using namespace zelkSDK;
    switch (actuator->get_streamed_mode()) {
        case ForceMode: return stream_request(address, kStreamForce, force_mN);
        case PositionMode: return stream_request(address, kStreamPosition, position_um);
        case HapticMode: return stream_request(address, kStreamHaptic, haptic_effects);
        case KinematicMode: return stream_request(address, kStreamKinematic, 0);
        default: return stream_request(address, kStreamSleep, 0);
    }
}

void ActuatorSession::note_stream_settings() {
    allowed_stream_frames.push_back(streamed_frame());
}

void ActuatorSession::check_stream_frames() {
    const auto& sent = line->transmits();
    for (; stream_frames_checked < sent.size(); ++stream_frames_checked) {
        const Bytes& frame = sent[stream_frames_checked].frame;
        if (frame[0] != address) {
            violation("a frame to address " + std::to_string(frame[0]) + " from the actuator at " +
                      std::to_string(address) + ": " + hex(frame));
        }
        if (frame[1] != zelkSDK::kStreamCommand || !checks.stream) {
            continue;
        }
        bool allowed = false;
        for (const Bytes& expected : allowed_stream_frames) {
            allowed = allowed || expected == frame;
        }
        if (!allowed) {
            violation("stream command " + hex(frame) + " matches neither mode nor set-point; " +
                      "expected " + hex(streamed_frame()));
        }
        allowed_stream_frames = {streamed_frame()};
    }
}

void ActuatorSession::check_stream_cache() {
    const zelkSDK::StreamData cache = actuator->stream_cache;
    const auto& sent = line->transmits();
    if (checks.stream && !same_telemetry(cache, last_cache)) {
        bool explained = false;
        for (size_t i = cache_answers_from; i < sent.size() && !explained; ++i) {
            if (sent[i].frame[1] != zelkSDK::kStreamCommand) {
                continue;
            }
            for (const Bytes& answer : answers_within(sent[i].frame, sent[i].followed)) {
                explained = explained || same_telemetry(decode_telemetry(answer), cache);
            }
        }
        if (!explained) {
            violation("stream_cache changed to position " + std::to_string(cache.position) +
                      " force " + std::to_string(cache.force) +
                      ", which no valid stream answer delivered after a stream command carries");
        }
    }
    last_cache = cache;
    cache_answers_from = sent.empty() ? 0 : sent.size() - 1;
}

}  // namespace fuzz
