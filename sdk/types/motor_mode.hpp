// The actuator's operating modes. Unscoped on purpose: values travel to and from the
// device as plain 16-bit register values, and the device may report one outside this list.
#pragma once

namespace zelkSDK {

enum MotorMode : int {
    SleepMode = 1,
    ForceMode = 2,
    PositionMode = 3,
    HapticMode = 4,
    KinematicMode = 5,
};

}  // namespace zelkSDK
