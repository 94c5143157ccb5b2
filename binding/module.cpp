// The extension module _ferrun: the SDK's value types, its Bus and its Actuator for Python.
#include <pybind11/pybind11.h>

#include "binding/registration.hpp"
#include "binding/sdk_call.hpp"

PYBIND11_MODULE(_ferrun, m) {
    m.doc() = "Python binding for the C++ zelkSDK";
    ferrun_binding::register_value_types(m);
    ferrun_binding::register_message_priority(m);
    ferrun_binding::register_bus(m);
    ferrun_binding::register_actuator(m);
    ferrun_binding::register_register_map(m);
    ferrun_binding::register_wire(m);
    ferrun_binding::SdkCall::register_exit_hook(m);
}
