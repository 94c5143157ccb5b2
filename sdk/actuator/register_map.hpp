// The actuator's holding registers that the SDK's commands use (addresses in decimal; a
// wide register holds 32 bits in two registers, low 16 bits at the lower address).
#pragma once

#include <cstdint>

namespace zelkSDK {
namespace registers {
constexpr uint16_t kCommand = 0;      // clear_errors writes 2 here
constexpr uint16_t kBlockCommit = 1;  // written with 1024 after the block at 133
constexpr uint16_t kModeCommand = 3;  // the mode to switch to
constexpr uint16_t kRegister9 = 9;
constexpr uint16_t kBlock133 = 133;
constexpr uint16_t kModeReport = 317;  // the mode the motor is in
constexpr uint16_t kTemperature = 336;
constexpr uint16_t kVoltage = 338;
constexpr uint16_t kPosition = 342;  // wide
constexpr uint16_t kForce = 348;     // wide
constexpr uint16_t kPower = 350;
constexpr uint16_t kErrors = 432;
}  // namespace registers

}  // namespace zelkSDK
