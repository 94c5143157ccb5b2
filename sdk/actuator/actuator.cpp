#include "sdk/actuator/actuator.hpp"

#include <algorithm>
#include <stdexcept>
#include <thread>
#include <utility>

#include "sdk/modbus/function_codes.hpp"
#include "sdk/modbus/request_builders.hpp"
#include "sdk/modbus/wire.hpp"

namespace zelkSDK {
namespace {

// Register values as the big-endian byte pairs that go into a write request.
void to_wire_bytes(const uint16_t* values, int count, uint8_t* bytes) {
    for (int i = 0; i < count; ++i) {
        wire::put_u16(&bytes[2 * i], values[i]);
    }
}

std::shared_ptr<Bus> require_bus(std::shared_ptr<Bus> bus) {
    if (!bus) {
        throw std::invalid_argument("An actuator needs a bus; got none.");
    }
    return bus;
}

ZelkError limit_error(const char* what, int limit) {
    return ZelkError(1, std::string("Cannot ") + what + " more than " + std::to_string(limit) +
                            " registers in one request.");
}

}  // namespace

Actuator::Actuator(std::shared_ptr<SerialInterface> serial_interface, std::shared_ptr<Clock> clock,
                   const char* name_, uint8_t modbus_server_address_)
    : Actuator(std::make_shared<Bus>(std::move(serial_interface), std::move(clock)), name_,
               modbus_server_address_) {}

Actuator::Actuator(std::shared_ptr<Bus> bus_, const char* name_, uint8_t modbus_server_address_)
    : bus(require_bus(std::move(bus_))),
      modbus_client(bus->client()),
      name_text(name_ != nullptr ? name_ : ""),
      has_name(name_ != nullptr),
      name(has_name ? name_text.c_str() : nullptr),
      stream_controller(modbus_client, modbus_server_address_),
      modbus_server_address(modbus_server_address_) {
    bus->attach(this);
}

Actuator::~Actuator() {
    bus->detach(this);
}

ZelkError Actuator::open_serial_port(int port_number, int baud_rate, int interframe_delay) {
    return bus->open_serial_port(port_number, baud_rate, interframe_delay);
}

ZelkError Actuator::open_serial_port(std::string port_path, int baud_rate, int interframe_delay) {
    return bus->open_serial_port(std::move(port_path), baud_rate, interframe_delay);
}

void Actuator::close_serial_port() {
    bus->close_serial_port();
}

// ---- blocking register operations ----
// Each holds the bus's lock from its request to the digest of its answer, so concurrent
// callers never see each other's data.

ZelkError Actuator::run_blocking(const Transaction& request) {
    modbus_client.enqueue_transaction(request);
    call_abandoned = !bus->run_until_queue_empty();
    if (call_abandoned) {
        message_data.clear();
        message_error = ZelkError(1, "Call abandoned before its answer came. ");
    }
    return message_error;
}

ZelkError Actuator::refuse_broadcast_read() const {
    return modbus_server_address == 0 ? ZelkError(1, "Reads cannot be broadcast.") : no_error();
}

ZelkResult<unsigned short> Actuator::read_register_blocking(uint16_t reg_address,
                                                            MessagePriority priority) {
    Bus::Lock held = bus->lock();
    if (ZelkError refused = refuse_broadcast_read()) {
        return {0, refused};
    }
    run_blocking(build_read_holding_registers(modbus_server_address, reg_address, 1, priority));
    if (message_error || message_data.empty()) {
        return {0, message_error};
    }
    return {message_data[0], message_error};
}

ZelkResult<int> Actuator::read_wide_register_blocking(uint16_t reg_address,
                                                      MessagePriority priority) {
    Bus::Lock held = bus->lock();
    if (ZelkError refused = refuse_broadcast_read()) {
        return {0, refused};
    }
    run_blocking(build_read_holding_registers(modbus_server_address, reg_address, 2, priority));
    if (message_error || message_data.size() < 2) {
        return {0, message_error};
    }
    const uint32_t wide = uint32_t{message_data[0]} | (uint32_t{message_data[1]} << 16);
    return {static_cast<int32_t>(wide), message_error};
}

ZelkResult<std::vector<unsigned short>> Actuator::read_multiple_registers_blocking(
    uint16_t reg_start_address, uint8_t num_registers, MessagePriority priority) {
    Bus::Lock held = bus->lock();
    if (ZelkError refused = refuse_broadcast_read()) {
        return {{}, refused};
    }
    if (num_registers == 0) {
        return {{}, no_error()};
    }
    if (num_registers > kMaxReadRegisters) {
        return {{}, limit_error("read", kMaxReadRegisters)};
    }
    run_blocking(build_read_holding_registers(modbus_server_address, reg_start_address,
                                              num_registers, priority));
    return {message_data, message_error};
}

ZelkError Actuator::write_register_blocking(uint16_t reg_address, uint16_t write_data,
                                            MessagePriority priority) {
    Bus::Lock held = bus->lock();
    return run_blocking(
        build_write_single_register(modbus_server_address, reg_address, write_data, priority));
}

ZelkError Actuator::write_wide_register_blocking(uint16_t reg_address, int32_t write_data,
                                                 MessagePriority priority) {
    const uint16_t split_data[2] = {static_cast<uint16_t>(write_data & 0xFFFF),
                                    static_cast<uint16_t>((write_data >> 16) & 0xFFFF)};
    return write_multiple_registers_blocking(reg_address, 2, split_data, priority);
}

ZelkError Actuator::write_multiple_registers_blocking(uint16_t reg_start_address,
                                                      uint8_t num_registers,
                                                      const uint16_t* write_data,
                                                      MessagePriority priority) {
    Bus::Lock held = bus->lock();
    if (num_registers == 0) {
        return no_error();
    }
    if (num_registers > kMaxWriteRegisters) {
        return limit_error("write", kMaxWriteRegisters);
    }
    uint8_t data_block[2 * kMaxWriteRegisters];
    to_wire_bytes(write_data, num_registers, data_block);
    return run_blocking(build_write_multiple_registers(modbus_server_address, reg_start_address,
                                                       num_registers, data_block, priority));
}

ZelkResult<std::vector<unsigned short>> Actuator::read_write_multiple_registers_blocking(
    uint16_t read_starting_address, uint8_t read_num_registers, uint16_t write_starting_address,
    uint8_t write_num_registers, const uint16_t* write_data, MessagePriority priority) {
    Bus::Lock held = bus->lock();
    if (ZelkError refused = refuse_broadcast_read()) {
        return {{}, refused};
    }
    if (read_num_registers > kMaxReadRegisters) {
        return {{}, limit_error("read", kMaxReadRegisters)};
    }
    if (write_num_registers > kMaxReadWriteRegisters) {
        return {{}, limit_error("write", kMaxReadWriteRegisters)};
    }
    uint8_t data_block[2 * kMaxReadWriteRegisters];
    to_wire_bytes(write_data, write_num_registers, data_block);
    run_blocking(build_read_write_multiple_registers(modbus_server_address, read_starting_address,
                                                     read_num_registers, write_starting_address,
                                                     write_num_registers, data_block, priority));
    return {message_data, message_error};
}

// ---- logging ----

ZelkError Actuator::begin_serial_logging(const std::string& log_name,
                                         std::shared_ptr<LogInterface> log) {
    return bus->begin_serial_logging(log_name, std::move(log));
}

// ---- the engine loop ----

void Actuator::run() {
    bus->run();
}

void Actuator::run_wait(int64_t max_wait_us) {
    bus->run_wait(max_wait_us);
}

void Actuator::run_in() {
    Bus::Lock held = bus->lock();
    bus->run_in();
}

void Actuator::run_out() {
    Bus::Lock held = bus->lock();
    bus->run_out();
}

// ---- stream mode and state, under the lock; the set-points and the telemetry under
// setpoint_mutex alone, so that a thread feeding set-points never waits for another
// thread's blocking call (the watchdog would take that wait for a host gone quiet) ----

void Actuator::enable_stream() {
    Bus::Lock held = bus->lock();
    stream_controller.enable();
    rearm_watchdog();
}

void Actuator::rearm_watchdog() {
    std::lock_guard<std::mutex> setpoints(setpoint_mutex);
    watchdog.rearm(bus->clock().get_time_microseconds());
}

void Actuator::disable_stream() {
    Bus::Lock held = bus->lock();
    stream_controller.disable();
}

void Actuator::set_streamed_force_mN(int force) {
    std::lock_guard<std::mutex> setpoints(setpoint_mutex);
    stream_controller.set_force_mN(force);
    watchdog.feed();
}

void Actuator::set_streamed_position_um(int position) {
    std::lock_guard<std::mutex> setpoints(setpoint_mutex);
    stream_controller.set_position_um(position);
    watchdog.feed();
}

void Actuator::update_haptic_stream_effects(uint16_t effects) {
    std::lock_guard<std::mutex> setpoints(setpoint_mutex);
    stream_controller.set_haptic_effects(effects);
    watchdog.feed();
}

void Actuator::set_setpoint_timeout_ms(int timeout_ms) {
    if (timeout_ms < 0) {
        throw std::invalid_argument("The set-point time-out is 0 (off) or more milliseconds; got " +
                                    std::to_string(timeout_ms) + ".");
    }
    Bus::Lock held = bus->lock();
    setpoint_timeout_ms = timeout_ms;
    rearm_watchdog();
}

bool Actuator::watchdog_tripped() {
    std::lock_guard<std::mutex> setpoints(setpoint_mutex);
    return watchdog.tripped();
}

int64_t Actuator::setpoint_timeout_us() const {
    const int timeout_ms = setpoint_timeout_ms >= 0 ? setpoint_timeout_ms
                           : bus->is_streaming()    ? kBusThreadSetpointTimeoutMs
                                                    : 0;
    return int64_t{timeout_ms} * 1000;
}

void Actuator::take_stream_turn() {
    if (!stream_controller.is_enabled() || modbus_client.get_queue_size() != 0) {
        return;
    }
    std::lock_guard<std::mutex> setpoints(setpoint_mutex);
    const bool was_tripped = watchdog.tripped();
    const int64_t timeout_us = setpoint_timeout_us();
    const auto stale_for = [](int64_t stale_us) {
        return "Set-point watchdog: no set-point for " + std::to_string(stale_us / 1000) + " ms; ";
    };
    switch (watchdog.check(bus->clock().get_time_microseconds(), timeout_us)) {
        case SetpointWatchdog::Verdict::setpoint: stream_controller.queue_stream_command(); break;
        case SetpointWatchdog::Verdict::safe_setpoint:
            if (!was_tripped) {
                held_position_um = stream_cache.position;
                watchdog_error =
                    ZelkError(1, stale_for(timeout_us) + "streaming a safe set-point. ");
                message_error = watchdog_error;
            }
            stream_controller.queue_safe_command(held_position_um);
            break;
        case SetpointWatchdog::Verdict::sleep:
            stream_controller.disable();
            stream_controller.update_motor_mode(SleepMode);
            modbus_client.enqueue_transaction(build_write_single_register(
                modbus_server_address, registers::kModeCommand, static_cast<uint16_t>(SleepMode),
                MessagePriority::important));
            watchdog_error =
                ZelkError(1, stale_for(2 * timeout_us) + "stream disabled and sleep mode sent. ");
            message_error = watchdog_error;
            break;
    }
}

void Actuator::start_recording(size_t capacity) {
    if (capacity == 0 || capacity > kMaxRecordingCapacity) {
        throw std::invalid_argument("A recording holds 1 to " +
                                    std::to_string(kMaxRecordingCapacity) + " samples; got " +
                                    std::to_string(capacity) + ".");
    }
    std::vector<TelemetrySample> ring(capacity);
    Bus::Lock held = bus->lock();
    recorder.start(std::move(ring));
}

void Actuator::stop_recording() {
    Bus::Lock held = bus->lock();
    recorder.stop();
}

TelemetryRecording Actuator::take_recording() {
    Bus::Lock held = bus->lock();
    return recorder.take();
}

void Actuator::record_stream_exchange(const Transaction& response) {
    if (!recorder.is_recording()) {
        return;
    }
    TelemetrySample sample;
    sample.time_us = bus->clock().get_time_microseconds();
    sample.subfunction = response.request_data()[0];
    sample.setpoint = static_cast<int32_t>(wire::get_u32(&response.request_data()[1]));
    sample.position_um = stream_cache.position;
    sample.force_mN = stream_cache.force;
    sample.power_W = stream_cache.power;
    sample.voltage_mV = stream_cache.voltage;
    sample.temperature_C = stream_cache.temperature;
    sample.errors = stream_cache.errors;
    sample.failed = message_error ? 1 : 0;
    sample.failure = response.failure_flags;
    recorder.add(sample);
}

ZelkError Actuator::last_error() {
    Bus::Lock held = bus->lock();
    return message_error;
}

uint64_t Actuator::log_write_failures() {
    return bus->log_write_failures();
}

ZelkError Actuator::last_log_error() {
    return bus->last_log_error();
}

MotorMode Actuator::get_streamed_mode() {
    Bus::Lock held = bus->lock();
    return stream_controller.get_motor_mode();
}

StreamData Actuator::get_stream_data() {
    std::lock_guard<std::mutex> setpoints(setpoint_mutex);
    return stream_cache;
}

void Actuator::handle_transaction_response(Transaction response) {
    message_data.clear();
    const uint16_t flags = response.failure_flags;
    message_error = ZelkError(flags, wire::caller_failure_text(flags));
    if (flags == 0) {
        time_of_last_response = bus->clock().get_time_microseconds();
    }

    const uint8_t request_function = response.request_function_code();
    const uint8_t response_function = response.response_function_code();
    if (flags & (1u << line_lost)) {
        // Some systems end their messages with a period ("Broken pipe."): one is enough.
        std::string reason = bus->serial().line_failure_reason();
        if (!reason.empty() && reason.back() == '.') {
            reason.pop_back();
        }
        message_error =
            ZelkError(flags, message_error.what() + "Serial line lost: " + reason + ". ");
    }
    if (flags == 0 && response.is_exception_response()) {
        // The engine has checked that it answers this request; it carries no data.
        const uint8_t code = response.response_data()[0];
        message_error = ZelkError(1, "Modbus exception response, code " + std::to_string(code) +
                                         " (" + wire::exception_name(code) + "). ");
        if (request_function == kStreamCommand) {
            record_stream_exchange(response);
        }
        return;
    }

    if ((response_function == kReadHoldingRegisters ||
         response_function == kReadWriteMultipleRegisters) &&
        response_function == request_function) {
        // Registers start at frame byte 3; take as many as the request asked for, but never
        // more than the frame carried (a short, failed response carries fewer).
        const int requested = wire::get_u16(&response.request_data()[2]);
        const int carried = std::max(0, (response.rx_length - 5) / 2);
        const int count = std::min(requested, carried);
        for (int i = 0; i < count; ++i) {
            message_data.push_back(wire::get_u16(&response.rx_buffer[3 + 2 * i]));
        }
    } else if (response_function == kStreamCommand && flags == 0 &&
               response.rx_length >= kStreamResponseLength) {
        // Telemetry is taken only from a frame that passed its checks, so a corrupted or
        // truncated frame leaves the last good values in place.
        std::lock_guard<std::mutex> setpoints(setpoint_mutex);
        stream_cache = wire::decode_telemetry(response.response_data());
    }
    // While the watchdog has tripped, its own exchanges report the trip, not their success.
    const bool sleep_sent = request_function == kWriteSingleRegister &&
                            wire::get_u16(&response.request_data()[0]) == registers::kModeCommand &&
                            wire::get_u16(&response.request_data()[2]) == SleepMode;
    if (request_function == kStreamCommand) {
        record_stream_exchange(response);
    }
    if (flags == 0 && watchdog_tripped() && (response_function == kStreamCommand || sleep_sent)) {
        message_error = watchdog_error;
    }
}

int64_t Actuator::time_since_last_response_microseconds() {
    Bus::Lock held = bus->lock();
    return bus->clock().get_time_microseconds() - time_of_last_response;
}

}  // namespace zelkSDK
