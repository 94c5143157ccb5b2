// The latest telemetry carried by a stream response.
#pragma once

#include <cstdint>

namespace zelkSDK {

struct StreamData {
    int32_t position = 0;     // um
    int32_t force = 0;        // mN
    uint16_t power = 0;       // W
    int16_t temperature = 0;  // deg C, one byte on the wire (0 to 255)
    uint16_t voltage = 0;     // mV
    uint16_t errors = 0;      // error bits
};

}  // namespace zelkSDK
