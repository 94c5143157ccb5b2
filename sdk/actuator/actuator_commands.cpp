// The Actuator's device commands: fixed registers on top of the blocking operations, and
// the write-and-confirm loop that switches the motor mode.
#include <utility>

#include "sdk/actuator/actuator.hpp"

namespace zelkSDK {
namespace {

constexpr MessagePriority kImportant = MessagePriority::important;

uint16_t low_word(int32_t value) {
    return static_cast<uint16_t>(value & 0xFFFF);
}
uint16_t high_word(int32_t value) {
    return static_cast<uint16_t>((value >> 16) & 0xFFFF);
}
// Signed 8-bit values are widened as signed numbers: -1 becomes 0xFFFF.
uint16_t widen(int8_t value) {
    return static_cast<uint16_t>(static_cast<int16_t>(value));
}

}  // namespace

ZelkError Actuator::write_registers(uint16_t reg_start_address,
                                    std::initializer_list<uint16_t> values) {
    return write_multiple_registers_blocking(reg_start_address, static_cast<uint8_t>(values.size()),
                                             values.begin(), kImportant);
}

ZelkResult<int> Actuator::get_force_mN() {
    return read_wide_register_blocking(registers::kForce, kImportant);
}

ZelkResult<int> Actuator::get_position_um() {
    return read_wide_register_blocking(registers::kPosition, kImportant);
}

ZelkResult<unsigned short> Actuator::get_errors() {
    return read_register_blocking(registers::kErrors, kImportant);
}

ZelkError Actuator::set_mode(MotorMode zelk_mode) {
    Bus::Lock held = bus->lock();
    if (modbus_server_address == 0) {
        return ZelkError(1, "Mode changes cannot be broadcast: no device would confirm them.");
    }
    const auto mode_value = static_cast<uint16_t>(zelk_mode);
    const bool confirmed = write_and_confirm(
        registers::kModeCommand, mode_value, registers::kModeReport,
        [mode_value](uint16_t reported) { return reported == mode_value; }, kSetModeTimeLimitMs);
    if (!confirmed) {
        // The time limit is not to blame when the line itself has gone.
        return bus->line_failed() || call_abandoned
                   ? message_error
                   : ZelkError(1, "Failed to set mode within 25ms!");
    }
    stream_controller.update_motor_mode(zelk_mode);
    return no_error();
}

ZelkResult<MotorMode> Actuator::get_mode() {
    const ZelkResult<unsigned short> reported =
        read_register_blocking(registers::kModeReport, kImportant);
    return {static_cast<MotorMode>(reported.value), reported.error};
}

ZelkError Actuator::clear_errors() {
    return write_register_blocking(registers::kCommand, kClearErrorsValue, kImportant);
}

ZelkResult<unsigned short> Actuator::get_power_W() {
    return read_register_blocking(registers::kPower, kImportant);
}

ZelkResult<unsigned short> Actuator::get_temperature_C() {
    return read_register_blocking(registers::kTemperature, kImportant);
}

ZelkResult<unsigned short> Actuator::read_register_356() {
    return read_register_blocking(356, kImportant);
}

ZelkResult<unsigned short> Actuator::get_voltage_mV() {
    return read_register_blocking(registers::kVoltage, kImportant);
}

ZelkError Actuator::write_register_0_value_4() {
    return write_register_blocking(registers::kCommand, 4, kImportant);
}

ZelkResult<unsigned short> Actuator::read_register_433() {
    return read_register_blocking(433, kImportant);
}

ZelkError Actuator::write_wide_register_140(int32_t value) {
    return write_wide_register_blocking(140, value, kImportant);
}

ZelkError Actuator::write_register_139(uint16_t value) {
    return write_register_blocking(139, value, kImportant);
}

ZelkError Actuator::write_register_142(uint16_t value) {
    return write_register_blocking(142, value, kImportant);
}

ZelkError Actuator::write_register_150(uint16_t value) {
    return write_register_blocking(150, value, kImportant);
}

ZelkError Actuator::write_register_143(uint16_t value) {
    return write_register_blocking(143, value, kImportant);
}

void Actuator::write_block_133(uint16_t a, uint16_t b, uint16_t c, uint32_t d, uint16_t e) {
    Bus::Lock held = bus->lock();
    const auto wide_d = static_cast<int32_t>(d);
    write_registers(registers::kBlock133, {a, b, c, e, low_word(wide_d), high_word(wide_d)});
    write_register_blocking(registers::kBlockCommit, 1024, kImportant);
}

ZelkError Actuator::write_record_780(int8_t index, int32_t a, int32_t b, uint16_t c, int8_t d,
                                     int8_t e, int8_t next_index) {
    const int next = (next_index == -1) ? index + 1 : next_index;
    const auto base = static_cast<uint16_t>(780 + 6 * index);
    const auto packed =
        static_cast<uint16_t>((widen(d) << 1) | (static_cast<uint16_t>(next) << 3) | widen(e));
    return write_registers(base, {low_word(a), high_word(a), low_word(b), high_word(b), c, packed});
}

ZelkError Actuator::write_register_9(int8_t value) {
    return write_register_blocking(registers::kRegister9, widen(value), kImportant);
}

ZelkError Actuator::write_register_641(uint16_t value) {
    return write_register_blocking(641, value, kImportant);
}

ZelkError Actuator::write_record_644(uint8_t index, uint16_t a, int32_t b, uint16_t c, uint16_t d,
                                     uint16_t e) {
    const auto base = static_cast<uint16_t>(644 + 6 * index);
    return write_registers(base, {a, low_word(b), high_word(b), e, c, d});
}

ZelkError Actuator::write_record_664(uint8_t index, uint16_t a, uint16_t b, uint16_t c,
                                     uint16_t d) {
    const auto base = static_cast<uint16_t>(664 + 4 * index);
    return write_registers(base, {a, d, b, c});
}

ZelkError Actuator::write_register_662(uint16_t value) {
    return write_register_blocking(662, value, kImportant);
}

ZelkError Actuator::write_register_663(uint16_t value) {
    return write_register_blocking(663, value, kImportant);
}

ZelkError Actuator::write_wide_register_642(int32_t value) {
    return write_wide_register_blocking(642, value, kImportant);
}

ZelkError Actuator::write_register_672(uint16_t value) {
    return write_register_blocking(672, value, kImportant);
}

ZelkResult<int> Actuator::read_wide_register_406() {
    return read_wide_register_blocking(406, kImportant);
}

ZelkResult<unsigned short> Actuator::read_register_408() {
    return read_register_blocking(408, kImportant);
}

ZelkResult<unsigned short> Actuator::read_register_409() {
    return read_register_blocking(409, kImportant);
}

ZelkResult<unsigned short> Actuator::read_register_410() {
    return read_register_blocking(410, kImportant);
}

bool Actuator::write_and_confirm(uint16_t command_register, uint16_t command_value,
                                 uint16_t confirm_register,
                                 std::function<bool(uint16_t)> is_confirmed, int time_limit_ms) {
    Bus::Lock held = bus->lock();
    // Measured on the actuator's own monotonic clock, so a step of the wall clock can
    // neither stretch nor cut the limit.
    const int64_t start_us = bus->clock().get_time_microseconds();
    const int64_t limit_us = int64_t{time_limit_ms} * 1000;
    for (int i = 0; bus->clock().get_time_microseconds() - start_us < limit_us; ++i) {
        // A lost or closed line fails every request at once: trying again only fills the
        // traffic log. An abandoned call (Ctrl-C) ends the loop too.
        if (i > 0 && (bus->line_failed() || call_abandoned)) {
            return false;
        }
        if (i % 3 == 0) {
            write_register_blocking(command_register, command_value, kImportant);
            continue;
        }
        const ZelkResult<unsigned short> reported =
            read_register_blocking(confirm_register, kImportant);
        if (!reported.error && is_confirmed(reported.value)) {
            return true;
        }
    }
    return false;
}

}  // namespace zelkSDK
