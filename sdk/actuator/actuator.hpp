// The object a program talks to one actuator through: one Modbus server on a serial line.
// It turns register operations into Transactions, queues them on its bus's ModbusClient and,
// for the blocking operations, drives the bus until the queue is empty; run() is the
// heartbeat of stream mode. Every finished exchange sent to its address is digested by
// handle_transaction_response: failures become the last error, read data the register
// data, a stream response the cached telemetry.
//
// An Actuator made without a bus owns a bus of one. Several Actuators with their own server
// addresses share a line through one Bus. Every call takes the bus's lock (the set-point
// setters and get_stream_data() a lock of the actuator's own), so an Actuator may be used
// from several threads: calls are serialised and each caller gets its own answer.
// Blocking calls sleep while they wait for the line.
#pragma once

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "sdk/actuator/bus.hpp"
#include "sdk/actuator/register_map.hpp"
#include "sdk/actuator/setpoint_watchdog.hpp"
#include "sdk/actuator/stream_controller.hpp"
#include "sdk/actuator/telemetry_recorder.hpp"
#include "sdk/log/log_interface.hpp"
#include "sdk/modbus/modbus_client.hpp"
#include "sdk/modbus/transaction.hpp"
#include "sdk/serial/clock.hpp"
#include "sdk/serial/serial_interface.hpp"
#include "sdk/types/message_priority.hpp"
#include "sdk/types/motor_mode.hpp"
#include "sdk/types/stream_data.hpp"
#include "sdk/types/zelk_error.hpp"
#include "sdk/types/zelk_result.hpp"

namespace zelkSDK {

constexpr uint16_t kClearErrorsValue = 2;
constexpr int kSetModeTimeLimitMs = 125;
// The set-point watchdog's time-out while the bus thread streams, unless one was set.
constexpr int kBusThreadSetpointTimeoutMs = 200;

class Actuator {
  public:
    Actuator(std::shared_ptr<SerialInterface> serial_interface, std::shared_ptr<Clock> clock,
             const char* name, uint8_t modbus_server_address);
    // Makes its own SerialASIO and ChronoClock.
    Actuator(const char* name, uint8_t modbus_server_address);
    // An actuator on a shared line; the bus lives as long as any actuator on it. A null bus,
    // an address above 247 or one another actuator on the bus has taken throws
    // std::invalid_argument (as does an address above 247 for the other constructors).
    Actuator(std::shared_ptr<Bus> bus, const char* name, uint8_t modbus_server_address);
    ~Actuator();
    Actuator(const Actuator&) = delete;
    Actuator& operator=(const Actuator&) = delete;

    // Serial port. Opening clears the queue; close goes straight to the serial line.
    ZelkError open_serial_port(int port_number, int baud_rate, int interframe_delay);
    ZelkError open_serial_port(std::string port_path, int baud_rate, int interframe_delay);
    void close_serial_port();

    // Blocking register operations: each returns once its request (with its resends) is done.
    // Reads of more than 125 registers and writes beyond the protocol's frame are refused
    // with a failed error before anything is queued. An exception response from the device
    // is a failure whose message names the exception code. Reads from the broadcast address
    // 0 are refused ("Reads cannot be broadcast."): nobody answers a broadcast.
    ZelkResult<unsigned short> read_register_blocking(
        uint16_t reg_address, MessagePriority priority = MessagePriority::important);
    // A 32-bit value in two registers, low 16 bits at reg_address.
    ZelkResult<int> read_wide_register_blocking(
        uint16_t reg_address, MessagePriority priority = MessagePriority::important);
    ZelkResult<std::vector<unsigned short>> read_multiple_registers_blocking(
        uint16_t reg_start_address, uint8_t num_registers,
        MessagePriority priority = MessagePriority::important);
    ZelkError write_register_blocking(uint16_t reg_address, uint16_t write_data,
                                      MessagePriority priority = MessagePriority::important);
    ZelkError write_wide_register_blocking(uint16_t reg_address, int32_t write_data,
                                           MessagePriority priority = MessagePriority::important);
    // write_data holds num_registers values.
    ZelkError write_multiple_registers_blocking(
        uint16_t reg_start_address, uint8_t num_registers, const uint16_t* write_data,
        MessagePriority priority = MessagePriority::important);
    // write_data holds write_num_registers values. Sent even when both counts are 0.
    ZelkResult<std::vector<unsigned short>> read_write_multiple_registers_blocking(
        uint16_t read_starting_address, uint8_t read_num_registers, uint16_t write_starting_address,
        uint8_t write_num_registers, const uint16_t* write_data,
        MessagePriority priority = MessagePriority::important);

    // Serial traffic log: one line per frame from now on. The first form makes its own Log.
    ZelkError begin_serial_logging(const std::string& log_name);
    ZelkError begin_serial_logging(const std::string& log_name, std::shared_ptr<LogInterface> log);

    // One pass of the bus: digest a finished exchange, then let stream mode queue and the
    // client send. Never blocks.
    void run();
    // run(), then sleep until a response byte arrives, the engine's next time limit passes
    // or max_wait_us are over: a loop of it streams at the line's pace.
    void run_wait(int64_t max_wait_us);
    // Its bus's thread (Bus::start_streaming): the loop of run_wait() for every actuator on
    // the bus, away from the caller's thread.
    void start_streaming() { bus->start_streaming(); }
    void stop_streaming() { bus->stop_streaming(); }
    bool is_streaming() const { return bus->is_streaming(); }
    void run_in();
    void run_out();
    void handle_transaction_response(Transaction response);
    int64_t time_since_last_response_microseconds();

    // Stream mode; each only changes settings, the next run() acts on them. The set-point
    // setters and get_stream_data() never wait for the line: a blocking call on another
    // thread does not hold them up.
    void enable_stream();
    void disable_stream();
    void set_streamed_force_mN(int force);
    void set_streamed_position_um(int position);
    void update_haptic_stream_effects(uint16_t effects);

    // Set-point watchdog (host side: the device has none). When a streaming actuator's
    // set-point (the three calls above) has not been refreshed for timeout_ms, its stream
    // commands carry a safe set-point instead: 0 mN in force mode, the position last measured
    // in position mode, no effects in haptic mode; after timeout_ms more, its stream is
    // disabled and the device is sent sleep mode (set_mode and enable_stream again to go on).
    // The trip shows in watchdog_tripped() and the last error until the next set-point.
    // 0 turns it off; a negative time-out throws std::invalid_argument. Never set: off while
    // run() or run_wait() drive the bus, kBusThreadSetpointTimeoutMs while its thread does.
    void set_setpoint_timeout_ms(int timeout_ms);
    bool watchdog_tripped();

    // Telemetry recording (telemetry_recorder.hpp): every stream exchange from now on, in a
    // ring of `capacity` samples (1 to kMaxRecordingCapacity, else std::invalid_argument;
    // starting again drops what was kept). take_recording() hands over what was recorded
    // since the last take, with the count lost to a full ring.
    void start_recording(size_t capacity);
    void stop_recording();
    TelemetryRecording take_recording();

    // Device commands.
    ZelkResult<int> get_force_mN();
    ZelkResult<int> get_position_um();
    ZelkResult<unsigned short> get_errors();
    // Writes the mode and reads it back until the device reports it, for at most 125 ms.
    // Fails at once, with the line's own error, when the line is lost or not open. Refused
    // for the broadcast address before anything is sent: nobody would confirm the change.
    ZelkError set_mode(MotorMode zelk_mode);
    ZelkResult<MotorMode> get_mode();
    ZelkError clear_errors();
    ZelkResult<unsigned short> get_power_W();
    ZelkResult<unsigned short> get_temperature_C();
    ZelkResult<unsigned short> read_register_356();
    ZelkResult<unsigned short> get_voltage_mV();
    ZelkError write_register_0_value_4();
    ZelkResult<unsigned short> read_register_433();
    ZelkError write_wide_register_140(int32_t value);
    ZelkError write_register_139(uint16_t value);
    ZelkError write_register_142(uint16_t value);
    ZelkError write_register_150(uint16_t value);
    ZelkError write_register_143(uint16_t value);
    // Registers 133..138 get a, b, c, e, low(d), high(d); then register 1 gets 1024.
    void write_block_133(uint16_t a, uint16_t b, uint16_t c, uint32_t d, uint16_t e);
    ZelkError write_record_780(int8_t index, int32_t a, int32_t b, uint16_t c, int8_t d, int8_t e,
                               int8_t next_index);
    ZelkError write_register_9(int8_t value);
    ZelkError write_register_641(uint16_t value);
    ZelkError write_record_644(uint8_t index, uint16_t a, int32_t b, uint16_t c, uint16_t d,
                               uint16_t e);
    ZelkError write_record_664(uint8_t index, uint16_t a, uint16_t b, uint16_t c, uint16_t d);
    ZelkError write_register_662(uint16_t value);
    ZelkError write_register_663(uint16_t value);
    ZelkError write_wide_register_642(int32_t value);
    ZelkError write_register_672(uint16_t value);
    ZelkResult<int> read_wide_register_406();
    ZelkResult<unsigned short> read_register_408();
    ZelkResult<unsigned short> read_register_409();
    ZelkResult<unsigned short> read_register_410();

    // Repeats write (every third step) and read until is_confirmed accepts a value read from
    // confirm_register or time_limit_ms have passed on the actuator's monotonic clock; gives up
    // at once when the line fails (last_error() then says why).
    bool write_and_confirm(uint16_t command_register, uint16_t command_value,
                           uint16_t confirm_register, std::function<bool(uint16_t)> is_confirmed,
                           int time_limit_ms);

    // Outcome of the last exchange digested.
    ZelkError last_error();
    // The bus's traffic log: writes it could not make, and the last one's text.
    uint64_t log_write_failures();
    ZelkError last_log_error();
    // The mode stream commands are built for (the last one set_mode confirmed).
    MotorMode get_streamed_mode();
    // A copy of stream_cache taken under the lock, for other threads.
    StreamData get_stream_data();
    std::shared_ptr<Bus> get_bus() const { return bus; }
    uint8_t get_modbus_server_address() const { return modbus_server_address; }

  private:
    friend class Bus;
    ZelkError run_blocking(const Transaction& request);
    ZelkError write_registers(uint16_t reg_start_address, std::initializer_list<uint16_t> values);
    ZelkError refuse_broadcast_read() const;
    // This actuator's turn in the bus cycle: queues its stream command, as the watchdog says.
    void take_stream_turn();
    int64_t setpoint_timeout_us() const;
    void rearm_watchdog();
    void record_stream_exchange(const Transaction& response);

    std::shared_ptr<Bus> bus;
    ModbusClient& modbus_client;
    std::string name_text;
    bool has_name;

  public:
    const char* const name;  // null for an actuator made without a name
    StreamData stream_cache;

  private:
    ZelkError message_error = no_error();
    std::vector<uint16_t> message_data;
    bool call_abandoned = false;  // the last blocking call was given up before its answer
    StreamController stream_controller;
    uint8_t modbus_server_address;
    int64_t time_of_last_response = INT64_MIN / 2;
    // Guards the set-points, the watchdog and the writes of stream_cache; taken under the
    // bus's lock, never the other way round.
    std::mutex setpoint_mutex;
    SetpointWatchdog watchdog;
    int setpoint_timeout_ms = -1;  // never set: the default of whoever drives the bus
    int32_t held_position_um = 0;  // measured when the watchdog tripped
    ZelkError watchdog_error = no_error();
    TelemetryRecorder recorder;
};

}  // namespace zelkSDK
