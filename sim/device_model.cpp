#include "sim/device_model.hpp"

#include <algorithm>
#include <cmath>

#include "sdk/modbus/wire.hpp"

namespace sim {
namespace {

using namespace zelkSDK::wire;

constexpr double kStepSeconds = 0.0005;
constexpr double kPi = 3.14159265358979323846;

bool in_map(int start, int count) {
    return start >= 0 && start + count <= kRegisterCount;
}

}  // namespace

DeviceModel::DeviceModel(uint8_t server_address, Physics physics_)
    : address(server_address),
      physics(physics_),
      holding(kRegisterCount, 0),
      temperature(physics_.ambient_C) {
    refresh_telemetry_registers();
}

int DeviceModel::request_length(const uint8_t* bytes, size_t available) {
    if (available < 2) {
        return 0;
    }
    switch (bytes[1]) {
        case kReadHoldingRegisters:
        case kWriteSingleRegister: return 8;
        case kStreamCommand: return 9;
        case kWriteMultipleRegisters: return available < 7 ? 0 : 9 + bytes[6];
        case kReadWriteMultipleRegisters: return available < 11 ? 0 : 13 + bytes[10];
        default: return -1;
    }
}

std::vector<uint8_t> DeviceModel::handle_frame(const uint8_t* frame, size_t length) {
    effects = Effects();
    effects.mode_before = effects.mode_after = motor_mode;
    if (length < 4 || !crc_ok(frame, length)) {
        return {};
    }
    if (frame[0] != address && frame[0] != 0) {
        return {};
    }
    std::vector<uint8_t> response = execute(frame, length);
    effects.mode_after = motor_mode;
    if (frame[0] == 0) {
        return {};  // a broadcast is carried out but never answered
    }
    return response;
}

std::vector<uint8_t> DeviceModel::execute(const uint8_t* frame, size_t length) {
    const int expected = request_length(frame, length);
    if (expected < 0) {
        return exception(frame[1], kIllegalFunction);
    }
    if (static_cast<size_t>(expected) != length) {
        return exception(frame[1], kIllegalDataValue);
    }
    switch (frame[1]) {
        case kReadHoldingRegisters: return read_registers(frame);
        case kWriteSingleRegister: return write_single(frame);
        case kWriteMultipleRegisters: return write_multiple(frame, length);
        case kReadWriteMultipleRegisters: return read_write_multiple(frame, length);
        default: return stream(frame);
    }
}

std::vector<uint8_t> DeviceModel::exception(uint8_t function_code, uint8_t code) const {
    std::vector<uint8_t> response = {address, static_cast<uint8_t>(function_code | 0x80), code};
    append_crc(response);
    return response;
}

std::vector<uint8_t> DeviceModel::registers_answer(uint8_t function_code, int start, int count) {
    refresh_telemetry_registers();
    std::vector<uint8_t> response = {address, function_code, static_cast<uint8_t>(2 * count)};
    for (int i = 0; i < count; ++i) {
        append_u16(response, holding[start + i]);
    }
    append_crc(response);
    return response;
}

std::vector<uint8_t> DeviceModel::read_registers(const uint8_t* frame) {
    const int start = get_u16(&frame[2]);
    const int count = get_u16(&frame[4]);
    if (count < 1 || count > 125) {
        return exception(frame[1], kIllegalDataValue);
    }
    if (!in_map(start, count)) {
        return exception(frame[1], kIllegalDataAddress);
    }
    return registers_answer(frame[1], start, count);
}

std::vector<uint8_t> DeviceModel::write_single(const uint8_t* frame) {
    const uint16_t reg = get_u16(&frame[2]);
    if (!in_map(reg, 1)) {
        return exception(frame[1], kIllegalDataAddress);
    }
    write_register(reg, get_u16(&frame[4]));
    return std::vector<uint8_t>(frame, frame + 8);  // the request echoed, CRC included
}

std::vector<uint8_t> DeviceModel::write_multiple(const uint8_t* frame, size_t) {
    const int start = get_u16(&frame[2]);
    const int count = get_u16(&frame[4]);
    if (count < 1 || count > 123 || frame[6] != 2 * count) {
        return exception(frame[1], kIllegalDataValue);
    }
    if (!in_map(start, count)) {
        return exception(frame[1], kIllegalDataAddress);
    }
    for (int i = 0; i < count; ++i) {
        write_register(static_cast<uint16_t>(start + i), get_u16(&frame[7 + 2 * i]));
    }
    std::vector<uint8_t> response(frame, frame + 6);
    append_crc(response);
    return response;
}

std::vector<uint8_t> DeviceModel::read_write_multiple(const uint8_t* frame, size_t) {
    const int read_start = get_u16(&frame[2]);
    const int read_count = get_u16(&frame[4]);
    const int write_start = get_u16(&frame[6]);
    const int write_count = get_u16(&frame[8]);
    if (read_count > 125 || write_count > 121 || frame[10] != 2 * write_count) {
        return exception(frame[1], kIllegalDataValue);
    }
    if (!in_map(read_start, read_count) || !in_map(write_start, write_count)) {
        return exception(frame[1], kIllegalDataAddress);
    }
    for (int i = 0; i < write_count; ++i) {
        write_register(static_cast<uint16_t>(write_start + i), get_u16(&frame[11 + 2 * i]));
    }
    return registers_answer(frame[1], read_start, read_count);
}

std::vector<uint8_t> DeviceModel::stream(const uint8_t* frame) {
    const uint8_t subfunction = frame[2];
    const auto value = static_cast<int32_t>(get_u32(&frame[3]));
    switch (subfunction) {
        case kStreamSleep:
        case kStreamKinematic: break;
        case kStreamForce: force_setpoint_mN = value; break;
        case kStreamPosition: position_setpoint_um = value; break;
        case kStreamHaptic: haptic_effects = static_cast<uint16_t>(value); break;
        default: return exception(frame[1], kIllegalDataValue);
    }
    effects.stream_subfunction = subfunction;
    effects.stream_value = value;
    std::vector<uint8_t> response = {address, kStreamCommand};
    zelkSDK::StreamData telemetry;
    telemetry.position = static_cast<int32_t>(std::lround(position * 1e6));
    telemetry.force = static_cast<int32_t>(std::lround(force * 1000.0));
    telemetry.power = static_cast<uint16_t>(std::min(65535.0, std::round(power)));
    telemetry.temperature = static_cast<int16_t>(std::clamp(std::round(temperature), 0.0, 255.0));
    telemetry.voltage = static_cast<uint16_t>(std::round(physics.supply_mV - 20.0 * power));
    telemetry.errors = error_bits;
    append_telemetry(response, telemetry);
    append_crc(response);
    return response;
}

void DeviceModel::write_register(uint16_t reg, uint16_t value) {
    if (effects.write_start < 0) {
        effects.write_start = reg;  // the writes of one frame cover consecutive registers
    }
    effects.written.push_back(value);
    holding[reg] = value;
    if (reg == kRegCommand && value == 2) {
        error_bits = 0;
    } else if (reg == kRegModeCommand && confirms_modes && value >= 1 && value <= 5) {
        motor_mode = value;
    }
}

uint16_t DeviceModel::register_value(uint16_t reg) {
    refresh_telemetry_registers();
    return holding[reg % kRegisterCount];
}

void DeviceModel::set_register(uint16_t reg, uint16_t value) {
    holding[reg % kRegisterCount] = value;
}

void DeviceModel::refresh_telemetry_registers() {
    const auto position_um =
        static_cast<uint32_t>(static_cast<int32_t>(std::lround(position * 1e6)));
    const auto force_mN = static_cast<uint32_t>(static_cast<int32_t>(std::lround(force * 1000.0)));
    holding[kRegMode] = static_cast<uint16_t>(motor_mode);
    holding[kRegTemperature] = static_cast<uint16_t>(std::lround(temperature));
    holding[kRegVoltage] = static_cast<uint16_t>(std::lround(physics.supply_mV - 20.0 * power));
    holding[kRegPosition] = static_cast<uint16_t>(position_um & 0xFFFF);
    holding[kRegPosition + 1] = static_cast<uint16_t>(position_um >> 16);
    holding[kRegForce] = static_cast<uint16_t>(force_mN & 0xFFFF);
    holding[kRegForce + 1] = static_cast<uint16_t>(force_mN >> 16);
    holding[kRegPower] = static_cast<uint16_t>(std::min(65535.0, std::round(power)));
    holding[kRegErrors] = error_bits;
}

double DeviceModel::applied_force_N(double t) const {
    const Physics& p = physics;
    switch (motor_mode) {
        case 2:  // force
            return force_setpoint_mN / 1000.0;
        case 3: {  // position, tracked by the internal controller
            const double target = position_setpoint_um / 1e6;
            return p.position_gain_N_per_m * (target - position) -
                   p.position_damping_Ns_per_m * velocity;
        }
        case 4: {  // haptic effects
            double f = 0.0;
            if (haptic_effects & kHapticSpring)
                f -= p.spring_N_per_m * position;
            if (haptic_effects & kHapticDamper)
                f -= p.haptic_damping_Ns_per_m * velocity;
            return f;
        }
        case 5: {  // a built-in sine motion
            const double target =
                p.kinematic_amplitude_m * std::sin(2.0 * kPi * t / p.kinematic_period_s);
            return p.position_gain_N_per_m * (target - position) -
                   p.position_damping_Ns_per_m * velocity;
        }
        default:  // sleep: no force
            return 0.0;
    }
}

void DeviceModel::advance(double seconds) {
    // A remainder below a microsecond is dropped: such slivers only add rounding noise.
    while (seconds > 1e-6) {
        const double dt = std::min(seconds, kStepSeconds);
        step(dt);
        seconds -= dt;
    }
}

void DeviceModel::step(double dt) {
    const Physics& p = physics;
    time += dt;
    force = std::clamp(applied_force_N(time), -p.max_force_N, p.max_force_N);
    const double acceleration = (force - p.damping_Ns_per_m * velocity) / p.mass_kg;
    velocity += acceleration * dt;
    position += velocity * dt;
    if (position < p.stroke_min_m || position > p.stroke_max_m) {
        position = std::clamp(position, p.stroke_min_m, p.stroke_max_m);
        velocity = 0.0;
        error_bits |= kErrorStrokeLimit;
    }
    const double current = force / p.force_constant_N_per_A;
    power = current * current * p.winding_resistance_ohm + std::fabs(force * velocity);
    temperature += (power * p.heating_C_per_J - (temperature - p.ambient_C) * p.cooling_per_s) * dt;
    if (temperature > p.over_temperature_C) {
        error_bits |= kErrorOverTemperature;
    }
}

}  // namespace sim
