// StreamData, MotorMode, ZelkError, the result classes and MessagePriority.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <string>
#include <vector>

#include "binding/registration.hpp"
#include "sdk/types/message_priority.hpp"
#include "sdk/types/motor_mode.hpp"
#include "sdk/types/stream_data.hpp"
#include "sdk/types/zelk_error.hpp"
#include "sdk/types/zelk_result.hpp"

namespace py = pybind11;
using namespace zelkSDK;

namespace ferrun_binding {
namespace {

template <typename T>
void register_result(py::module_& m, const char* name, const char* doc) {
    py::class_<ZelkResult<T>>(m, name, doc)
        .def_readwrite("value", &ZelkResult<T>::value,
                       "The value read; meaningful only while error is falsy.")
        .def_readwrite("error", &ZelkResult<T>::error,
                       "A ZelkError: falsy when the value was read, truthy with the reason when "
                       "not.");
}

std::string error_repr(const ZelkError& error) {
    return "<ZelkError failure=" + std::string(error ? "1" : "0") + ", message='" + error.what() +
           "'>";
}

}  // namespace

void register_value_types(py::module_& m) {
    py::class_<StreamData>(m, "StreamData",
                           "The telemetry the latest stream response carried, as a copy that "
                           "Actuator.get_stream_data() takes.")
        .def_readwrite("position", &StreamData::position, "Position in um.")
        .def_readwrite("force", &StreamData::force, "Force in mN.")
        .def_readwrite("power", &StreamData::power, "Power in W.")
        .def_readwrite("temperature", &StreamData::temperature,
                       "Temperature in C (one byte on the wire: 0 to 255).")
        .def_readwrite("voltage", &StreamData::voltage, "Voltage in mV.")
        .def_readwrite("errors", &StreamData::errors, "The device's error bits.");

    py::enum_<MotorMode>(m, "MotorMode",
                         "The actuator's operating modes, as its mode register holds them.\n"
                         "A value the device reports outside this list keeps its number, named "
                         "???.")
        .value("SleepMode", SleepMode, "1: stream commands ask for sleep (no force).")
        .value("ForceMode", ForceMode, "2: stream commands carry set_streamed_force_mN's force.")
        .value("PositionMode", PositionMode,
               "3: stream commands carry set_streamed_position_um's position.")
        .value("HapticMode", HapticMode,
               "4: stream commands carry update_haptic_stream_effects's effect bits.")
        .value("KinematicMode", KinematicMode,
               "5: the device runs its own motion; stream commands carry no set-point.")
        .export_values();

    py::class_<ZelkError>(m, "ZelkError",
                          "The outcome of an SDK call, returned instead of raised: truthy when "
                          "the call failed; what() says why.")
        .def(py::init<int, std::string>(),
             "Any non-zero failure_type (for example a byte of failure bits) means failure; "
             "error_message is what what() returns.",
             py::arg("failure_type"), py::arg("error_message") = "")
        .def(
            "__bool__", [](const ZelkError& error) { return static_cast<bool>(error); },
            "True when the call failed.")
        .def("what", &ZelkError::what, "The message: why the call failed (may be empty).")
        .def("__repr__", &error_repr,
             "<ZelkError failure=0 or 1, message='...'>, which str() gives too.");

    register_result<int>(m, "ZelkResultInt32",
                         "A signed 32-bit value read from the device, and whether reading it "
                         "failed.");
    register_result<short>(m, "ZelkResultInt16",
                           "A signed 16-bit value read from the device, and whether reading it "
                           "failed.");
    register_result<unsigned short>(m, "ZelkResultUInt16",
                                    "A register value read from the device, and whether reading "
                                    "it failed.");
    register_result<std::vector<unsigned short>>(
        m, "ZelkResultList",
        "A list of register values read from the device, and whether reading them failed.");
    register_result<MotorMode>(m, "ZelkResultMotorMode",
                               "The mode the device reports, and whether reading it failed.");
}

void register_message_priority(py::module_& m) {
    py::enum_<MessagePriority>(m, "MessagePriority",
                               "Whether a failed request is resent; it does not change the order "
                               "of sending.")
        .value("important", MessagePriority::important,
               "Resent after a failure or an exception response, up to 5 times.")
        .value("not_important", MessagePriority::not_important, "Sent once.")
        .export_values();
}

}  // namespace ferrun_binding
