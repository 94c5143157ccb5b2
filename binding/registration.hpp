// The module's registration steps, called in order by module.cpp: value types, then
// enumerations, then Bus (after the Streaming scope its streaming() returns), then Actuator
// (whose methods take MessagePriority defaults at registration, and whose signatures name
// _ferrun.Bus only once Bus is registered).
#pragma once

#include <pybind11/pybind11.h>

namespace ferrun_binding {

void register_value_types(pybind11::module_& m);
void register_message_priority(pybind11::module_& m);
void register_bus(pybind11::module_& m);
void register_actuator(pybind11::module_& m);
void register_register_map(pybind11::module_& m);
void register_wire(pybind11::module_& m);

}  // namespace ferrun_binding
