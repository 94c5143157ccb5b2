#include "fuzz/engine_scenario.hpp"

#include <cstdlib>

namespace fuzz {

Checks Checks::from_environment() {
    Checks checks;
    const char* skip = std::getenv("FERRUN_FUZZ_SKIP");
    if (skip == nullptr) {
        return checks;
    }
    const std::string names = std::string(",") + skip + ",";
    const auto skipped = [&names](const char* name) {
        return names.find(std::string(",") + name + ",") != std::string::npos;
    };
    checks.quiet = !skipped("quiet");
    checks.match = !skipped("match");
    checks.broadcast = !skipped("broadcast");
    checks.counters = !skipped("counters");
    checks.recovery = !skipped("recovery");
    checks.timeout = !skipped("timeout");
    checks.stream = !skipped("stream");
    checks.bounded = !skipped("bounded");
    return checks;
}

std::vector<uint16_t> seeded_values(uint8_t seed, int count) {
    std::vector<uint16_t> values;
    uint16_t value = static_cast<uint16_t>(seed * 0x0101);
    for (int i = 0; i < count; ++i) {
        values.push_back(value);
        value = static_cast<uint16_t>(value * 75 + 74);
    }
    return values;
}

std::string describe(const Operation& op) {
    const std::string prio = (op.prio & 1) ? "not_important" : "important";
    const std::string reg = std::to_string(op.reg);
    switch (op.kind) {
        case read_one: return "read one: reg " + reg + ", " + prio;
        case read_wide: return "read wide: reg " + reg + ", " + prio;
        case read_many:
            return "read many: reg " + reg + " count " + std::to_string(op.count) + ", " + prio;
        case write_one:
            return "write one: reg " + reg + " value " + std::to_string(op.value) + ", " + prio;
        case write_wide:
            return "write wide: reg " + reg + " value " +
                   std::to_string(static_cast<int32_t>(op.value)) + ", " + prio;
        case write_many:
            return "write many: reg " + reg + " count " + std::to_string(op.count) + " seed " +
                   std::to_string(op.seed) + ", " + prio;
        case read_write:
            return "read/write: read " + reg + " count " + std::to_string(op.count) + ", write " +
                   std::to_string(op.reg2) + " count " + std::to_string(op.count2) + " seed " +
                   std::to_string(op.seed) + ", " + prio;
        case stream: {
            static const char* const kWhat[] = {"enable",   "disable", "force",
                                                "position", "haptic",  "nothing"};
            return std::string("stream: ") + kWhat[op.what % 6] + " " +
                   std::to_string(static_cast<int32_t>(op.value)) + ", " +
                   std::to_string(op.passes % 32 + 1) + " passes";
        }
        case set_mode: return "set mode " + std::to_string(op.what % 8);
        case new_actuator: return "new actuator at address " + std::to_string(op.what);
        case reopen: return "open the port again";
        default: return "line operation";
    }
}

}  // namespace fuzz
