#include "sdk/modbus/diagnostic_counters.hpp"

#include <stdexcept>

namespace zelkSDK {

uint16_t increment_diagnostic_counter(DiagnosticCounters& counters, int index) {
    if (index < 0 || index >= static_cast<int>(counters.size())) {
        throw std::out_of_range(
            "Index out of bounds. Tried to update diagnostic value out of range");
    }
    counters[index] = static_cast<uint16_t>(counters[index] + 1);
    return counters[index];
}

}  // namespace zelkSDK
