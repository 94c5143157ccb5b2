// register_names(): the holding registers the Actuator's commands use, by address, each
// named by its constant in sdk/actuator/register_map.hpp, and register_units(): the unit
// and width of those that hold a quantity, so tools such as `ferrun log decode` and
// `ferrun read` name and show them without a second table.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <map>
#include <string>
#include <utility>

#include "binding/registration.hpp"
#include "sdk/actuator/register_map.hpp"

namespace py = pybind11;

namespace ferrun_binding {

// The constant's own identifier is its name: written once, in register_map.hpp.
#define FERRUN_NAMED_REGISTER(constant) \
    { zelkSDK::registers::constant, #constant }

void register_register_map(py::module_& m) {
    m.def(
        "register_names",
        [] {
            return std::map<int, std::string>{
                FERRUN_NAMED_REGISTER(kCommand),     FERRUN_NAMED_REGISTER(kBlockCommit),
                FERRUN_NAMED_REGISTER(kModeCommand), FERRUN_NAMED_REGISTER(kRegister9),
                FERRUN_NAMED_REGISTER(kBlock133),    FERRUN_NAMED_REGISTER(kModeReport),
                FERRUN_NAMED_REGISTER(kTemperature), FERRUN_NAMED_REGISTER(kVoltage),
                FERRUN_NAMED_REGISTER(kPosition),    FERRUN_NAMED_REGISTER(kForce),
                FERRUN_NAMED_REGISTER(kPower),       FERRUN_NAMED_REGISTER(kErrors),
            };
        },
        "The holding registers the Actuator's commands use: address -> the name of its "
        "constant in register_map.hpp.");
    m.def(
        "register_units",
        [] {
            std::map<int, std::pair<std::string, int>> units;
            for (const zelkSDK::registers::Quantity& quantity : zelkSDK::registers::kQuantities) {
                units[quantity.address] = {quantity.unit, quantity.width};
            }
            return units;
        },
        "The registers that hold a quantity: address -> (unit, width): the unit of the value\n"
        "('mode' for a MotorMode, 'bits' for error bits) and the registers it spans (2 for a\n"
        "wide one, low 16 bits at the lower address).");
}

#undef FERRUN_NAMED_REGISTER

}  // namespace ferrun_binding
