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
void register_result(py::module_& m, const char* name) {
    py::class_<ZelkResult<T>>(m, name)
        .def_readwrite("value", &ZelkResult<T>::value)
        .def_readwrite("error", &ZelkResult<T>::error);
}

std::string error_repr(const ZelkError& error) {
    return "<ZelkError failure=" + std::string(error ? "1" : "0") + ", message='" + error.what() +
           "'>";
}

}  // namespace

void register_value_types(py::module_& m) {
    py::class_<StreamData>(m, "StreamData")
        .def_readwrite("position", &StreamData::position)
        .def_readwrite("force", &StreamData::force)
        .def_readwrite("power", &StreamData::power)
        .def_readwrite("temperature", &StreamData::temperature)
        .def_readwrite("voltage", &StreamData::voltage)
        .def_readwrite("errors", &StreamData::errors);

    py::enum_<MotorMode>(m, "MotorMode")
        .value("SleepMode", SleepMode)
        .value("ForceMode", ForceMode)
        .value("PositionMode", PositionMode)
        .value("HapticMode", HapticMode)
        .value("KinematicMode", KinematicMode)
        .export_values();

    py::class_<ZelkError>(m, "ZelkError")
        .def(py::init<int, std::string>(), py::arg("failure_type"), py::arg("error_message") = "")
        .def("__bool__", [](const ZelkError& error) { return static_cast<bool>(error); })
        .def("what", &ZelkError::what)
        .def("__repr__", &error_repr);

    register_result<int>(m, "ZelkResultInt32");
    register_result<short>(m, "ZelkResultInt16");
    register_result<unsigned short>(m, "ZelkResultUInt16");
    register_result<std::vector<unsigned short>>(m, "ZelkResultList");
    register_result<MotorMode>(m, "ZelkResultMotorMode");
}

void register_message_priority(py::module_& m) {
    py::enum_<MessagePriority>(m, "MessagePriority")
        .value("important", MessagePriority::important)
        .value("not_important", MessagePriority::not_important)
        .export_values();
}

}  // namespace ferrun_binding
