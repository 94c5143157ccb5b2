// Stream mode: keeps at most one stream command (function code 100) travelling to the
// device. On every pass of the Actuator's run it queues the next command, for the current
// motor mode, once the client's queue is completely empty. It sends nothing itself.
#pragma once

#include <cstdint>

#include "sdk/modbus/function_codes.hpp"
#include "sdk/modbus/modbus_client.hpp"
#include "sdk/types/motor_mode.hpp"

namespace zelkSDK {

class StreamController {
  public:
    StreamController(ModbusClient& modbus_client, uint8_t modbus_server_address);

    void enable() { enabled = true; }
    void disable() { enabled = false; }
    bool is_enabled() const { return enabled; }
    // Called by set_mode once the device has confirmed the mode.
    void update_motor_mode(MotorMode mode) { motor_mode = mode; }
    void set_force_mN(int32_t force) { force_mN = force; }
    void set_position_um(int32_t position) { position_um = position; }
    void set_haptic_effects(uint16_t effects) { haptic_effects = effects; }
    MotorMode get_motor_mode() const { return motor_mode; }

    // Queues a stream command when streaming is enabled and the queue is empty.
    void update();
    void queue_stream_command();
    // The set-point watchdog's command: 0 mN, held_position_um, or no effects, for the mode.
    void queue_safe_command(int32_t held_position_um);
    void motor_command(uint8_t subfunction, int32_t value);

  private:
    ModbusClient& modbus_client;
    uint8_t modbus_server_address;
    bool enabled = false;
    MotorMode motor_mode = SleepMode;
    int32_t force_mN = 0;
    int32_t position_um = 0;
    uint16_t haptic_effects = 0;
};

}  // namespace zelkSDK
