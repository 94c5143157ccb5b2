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

// The registers that hold a quantity, for tools that show them: the unit of the value (as
// the Actuator's getter returns it, where there is one; "mode" for a MotorMode, "bits" for
// error bits) and the registers it spans (2 for a wide one).
struct Quantity {
    uint16_t address;
    const char* unit;
    int width;
};
constexpr Quantity kQuantities[] = {
    {kModeCommand, "mode", 1}, {kModeReport, "mode", 1}, {kTemperature, "C", 1},
    {kVoltage, "mV", 1},       {kPosition, "um", 2},     {kForce, "mN", 2},
    {kPower, "W", 1},          {kErrors, "bits", 1},
};
}  // namespace registers

}  // namespace zelkSDK
