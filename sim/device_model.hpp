// A simulated actuator: the Modbus RTU server of the controller with its holding registers,
// and a physical model that gives the telemetry meaning: a moving mass on a limited stroke
// with damping, driven by the mode written to register 3 and by stream commands.
//
// The model knows nothing of the transport: handle_frame() takes one request frame and
// returns the response frame (empty when a real device would stay silent), and advance()
// moves the physics on. The in-process line of the tests and the pseudo-terminal server
// both serve it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "sdk/actuator/register_map.hpp"
#include "sdk/modbus/function_codes.hpp"

namespace sim {

// Function codes the device serves: those the SDK sends.
using zelkSDK::kReadHoldingRegisters;
using zelkSDK::kReadWriteMultipleRegisters;
using zelkSDK::kStreamCommand;
using zelkSDK::kWriteMultipleRegisters;
using zelkSDK::kWriteSingleRegister;

// Modbus exception codes.
constexpr uint8_t kIllegalFunction = 1;
constexpr uint8_t kIllegalDataAddress = 2;
constexpr uint8_t kIllegalDataValue = 3;

// Holding registers 0 to kRegisterCount - 1 exist; others draw exception 2.
constexpr int kRegisterCount = 1024;

// Registers with a meaning in the model.
namespace registers = zelkSDK::registers;
constexpr uint16_t kRegCommand = registers::kCommand;  // 2 clears the error bits
constexpr uint16_t kRegModeCommand = registers::kModeCommand;
constexpr uint16_t kRegMode = registers::kModeReport;
constexpr uint16_t kRegTemperature = registers::kTemperature;  // deg C
constexpr uint16_t kRegVoltage = registers::kVoltage;          // mV
constexpr uint16_t kRegPosition = registers::kPosition;        // um, wide, low word first
constexpr uint16_t kRegForce = registers::kForce;              // mN, wide
constexpr uint16_t kRegPower = registers::kPower;              // W
constexpr uint16_t kRegErrors = registers::kErrors;

// Error bits.
constexpr uint16_t kErrorStrokeLimit = 0x0001;
constexpr uint16_t kErrorOverTemperature = 0x0002;

// Haptic effect bits of the stream command in haptic mode.
constexpr uint16_t kHapticSpring = 0x0001;  // pulls towards the middle of the stroke
constexpr uint16_t kHapticDamper = 0x0002;  // resists motion

using zelkSDK::kStreamForce;
using zelkSDK::kStreamHaptic;
using zelkSDK::kStreamKinematic;
using zelkSDK::kStreamPosition;
using zelkSDK::kStreamSleep;

struct Physics {
    double mass_kg = 0.5;
    double damping_Ns_per_m = 8.0;
    double stroke_min_m = -0.05;
    double stroke_max_m = 0.05;
    double max_force_N = 60.0;
    double position_gain_N_per_m = 20000.0;  // internal position controller
    double position_damping_Ns_per_m = 250.0;
    double spring_N_per_m = 400.0;          // haptic spring
    double haptic_damping_Ns_per_m = 30.0;  // haptic damper
    double kinematic_amplitude_m = 0.02;    // built-in motion of kinematic mode
    double kinematic_period_s = 2.0;
    double winding_resistance_ohm = 2.0;
    double force_constant_N_per_A = 10.0;
    double ambient_C = 25.0;
    double heating_C_per_J = 0.02;
    double cooling_per_s = 0.01;
    double over_temperature_C = 90.0;
    double supply_mV = 24000.0;
};

// What handling one frame changed in the device, for the virtual actuator's journal.
struct Effects {
    int write_start = -1;           // first register written; -1: nothing written
    std::vector<uint16_t> written;  // the values written from write_start on
    int mode_before = 0;            // the motor mode before and after the frame
    int mode_after = 0;
    int stream_subfunction = -1;  // the stream command carried out; -1: none
    int32_t stream_value = 0;
};

class DeviceModel {
  public:
    explicit DeviceModel(uint8_t server_address = 1, Physics physics = Physics());

    // One request frame in, the response frame out; empty for another address, a broadcast
    // or a frame whose CRC is wrong.
    std::vector<uint8_t> handle_frame(const uint8_t* frame, size_t length);

    // Length of the request that starts with these bytes: 0 while too few bytes are there to
    // tell, -1 for a function code the device does not know.
    static int request_length(const uint8_t* bytes, size_t available);

    // What the last frame given to handle_frame changed.
    const Effects& last_effects() const { return effects; }

    // Moves the physics on by seconds (sub-stepped internally).
    void advance(double seconds);

    uint16_t register_value(uint16_t address);
    void set_register(uint16_t address, uint16_t value);
    uint8_t server_address() const { return address; }
    int mode() const { return motor_mode; }
    double position_m() const { return position; }
    double velocity_m_per_s() const { return velocity; }
    double temperature_C() const { return temperature; }
    uint16_t errors() const { return error_bits; }
    // When false the device accepts mode writes but keeps reporting the old mode.
    void set_confirms_modes(bool confirms) { confirms_modes = confirms; }
    // Places the mass (for tests): no velocity.
    void place(double position_m) {
        position = position_m;
        velocity = 0;
    }
    void set_temperature(double celsius) { temperature = celsius; }

  private:
    std::vector<uint8_t> execute(const uint8_t* frame, size_t length);
    std::vector<uint8_t> read_registers(const uint8_t* frame);
    std::vector<uint8_t> write_single(const uint8_t* frame);
    std::vector<uint8_t> write_multiple(const uint8_t* frame, size_t length);
    std::vector<uint8_t> read_write_multiple(const uint8_t* frame, size_t length);
    std::vector<uint8_t> stream(const uint8_t* frame);
    std::vector<uint8_t> exception(uint8_t function_code, uint8_t code) const;
    // The answer to a read: count registers from start, telemetry refreshed first.
    std::vector<uint8_t> registers_answer(uint8_t function_code, int start, int count);
    void write_register(uint16_t address, uint16_t value);
    void refresh_telemetry_registers();
    double applied_force_N(double t) const;
    void step(double dt);

    uint8_t address;
    Physics physics;
    std::vector<uint16_t> holding;
    bool confirms_modes = true;
    Effects effects;

    int motor_mode = 1;
    double position = 0.0;  // m
    double velocity = 0.0;  // m/s
    double force = 0.0;     // N, last applied
    double power = 0.0;     // W
    double temperature;     // deg C
    double time = 0.0;      // s since start
    uint16_t error_bits = 0;
    int32_t force_setpoint_mN = 0;
    int32_t position_setpoint_um = 0;
    uint16_t haptic_effects = 0;
};

}  // namespace sim
