#include "sdk/actuator/stream_controller.hpp"

#include "sdk/modbus/request_builders.hpp"

namespace zelkSDK {

StreamController::StreamController(ModbusClient& modbus_client_, uint8_t modbus_server_address_)
    : modbus_client(modbus_client_), modbus_server_address(modbus_server_address_) {}

void StreamController::update() {
    if (!enabled || modbus_client.get_queue_size() != 0) {
        return;
    }
    queue_stream_command();
}

void StreamController::queue_stream_command() {
    switch (motor_mode) {
        case ForceMode: motor_command(kStreamForce, force_mN); break;
        case PositionMode: motor_command(kStreamPosition, position_um); break;
        case HapticMode: motor_command(kStreamHaptic, haptic_effects); break;
        case KinematicMode: motor_command(kStreamKinematic, 0); break;
        default: motor_command(kStreamSleep, 0); break;
    }
}

void StreamController::queue_safe_command(int32_t held_position_um) {
    switch (motor_mode) {
        case ForceMode: motor_command(kStreamForce, 0); break;
        case PositionMode: motor_command(kStreamPosition, held_position_um); break;
        case HapticMode: motor_command(kStreamHaptic, 0); break;
        default: queue_stream_command(); break;  // kinematic and sleep carry no set-point
    }
}

void StreamController::motor_command(uint8_t subfunction, int32_t value) {
    modbus_client.enqueue_transaction(
        build_stream_command(modbus_server_address, subfunction, value));
}

}  // namespace zelkSDK
