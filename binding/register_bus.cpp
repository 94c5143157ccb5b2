// The Bus class: one serial line shared by the Actuators made on it. Registered before
// Actuator, whose constructors and get_bus() name it.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <memory>
#include <string>
#include <vector>

#include "binding/binding_helpers.hpp"
#include "binding/registration.hpp"
#include "sdk/actuator/bus.hpp"

namespace py = pybind11;
using namespace zelkSDK;
// Every method of the SDK may wait (for the line, or for the lock another thread holds
// during its exchange): none holds the GIL meanwhile (see sdk_call.hpp).

namespace ferrun_binding {

void register_bus(py::module_& m) {
    py::class_<Bus, std::shared_ptr<Bus>>(m, "Bus")
        .def(py::init([] {
            auto bus = std::make_shared<Bus>();
            SdkCall::track(bus);
            return bus;
        }))
        .def("open_serial_port", py::overload_cast<int, int, int>(&Bus::open_serial_port),
             "Open serial port using port number", py::arg("port_number"),
             py::arg("baud_rate") = kDefaultBaudRate,
             py::arg("interframe_delay") = kDefaultInterframeDelayUs, release_gil())
        .def("open_serial_port", py::overload_cast<std::string, int, int>(&Bus::open_serial_port),
             "Open serial port using port path", py::arg("port_path"),
             py::arg("baud_rate") = kDefaultBaudRate,
             py::arg("interframe_delay") = kDefaultInterframeDelayUs, release_gil())
        .def("close_serial_port", &Bus::close_serial_port, release_gil())
        .def("begin_serial_logging",
             py::overload_cast<const std::string&>(&Bus::begin_serial_logging), py::arg("log_name"),
             release_gil())
        .def("run", &Bus::run, release_gil())
        .def("run_wait", &run_wait_watching_signals<Bus>,
             py::arg("max_wait_us") = kDefaultMaxWaitUs)
        .def(
            "get_diagnostic_counters",
            [](Bus& bus) {
                const DiagnosticCounters counters = bus.get_diagnostic_counters();
                return std::vector<int>(counters.begin(), counters.end());
            },
            release_gil())
        .def("actuator_count", &Bus::actuator_count, release_gil())
        .def("log_write_failures", &Bus::log_write_failures, release_gil())
        .def("last_log_error", &Bus::last_log_error, release_gil());
}

}  // namespace ferrun_binding
