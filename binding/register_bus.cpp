// The Bus class: one serial line shared by the Actuators made on it. Registered before
// Actuator, whose constructors and get_bus() name it.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <memory>
#include <string>
#include <utility>
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
    py::class_<StreamingScope>(
        m, "Streaming",
        "What Bus.streaming() and Actuator.streaming() return: entering starts the bus thread,\n"
        "leaving stops it (also when the block raises).")
        .def(
            "__enter__", [](StreamingScope& scope) { start_streaming(*scope.bus); },
            "Start the bus thread.")
        .def(
            "__exit__",
            [](StreamingScope& scope, const py::args&) {
                SdkCall call;
                scope.bus->stop_streaming();
                return false;
            },
            "Stop the bus thread and wait for it; an exception of the block goes on.");

    py::class_<Bus, std::shared_ptr<Bus>>(
        m, "Bus",
        "One serial line and its Modbus engine, shared by the Actuators made on it, each with its\n"
        "own server address. It owns the port, the traffic log and the lock: blocking calls from\n"
        "any actuator and any thread take turns on the line.")
        .def(py::init([] {
                 auto bus = std::make_shared<Bus>();
                 SdkCall::track(bus);
                 return bus;
             }),
             "A bus with its own serial port, closed until open_serial_port().\n"
             "Every bus is closed at interpreter exit.")
        .def("open_serial_port", py::overload_cast<int, int, int>(&Bus::open_serial_port),
             kOpenByNumberDoc, py::arg("port_number"), py::arg("baud_rate") = kDefaultBaudRate,
             py::arg("interframe_delay") = kDefaultInterframeDelayUs, release_gil())
        .def("open_serial_port", py::overload_cast<std::string, int, int>(&Bus::open_serial_port),
             kOpenByPathDoc, py::arg("port_path"), py::arg("baud_rate") = kDefaultBaudRate,
             py::arg("interframe_delay") = kDefaultInterframeDelayUs, release_gil())
        .def("close_serial_port", &Bus::close_serial_port, kCloseDoc, release_gil())
        .def("begin_serial_logging",
             py::overload_cast<const std::string&>(&Bus::begin_serial_logging), kBeginLoggingDoc,
             py::arg("log_name"), release_gil())
        .def("run", &Bus::run,
             "One pass: hand a finished exchange to its actuator, give the next streaming\n"
             "actuator its turn, let the engine send. Never blocks.",
             release_gil())
        .def("run_wait", &run_wait_watching_signals<Bus>, kRunWaitDoc,
             py::arg("max_wait_us") = kDefaultMaxWaitUs)
        .def(
            "get_diagnostic_counters",
            [](Bus& bus) {
                const DiagnosticCounters counters = bus.get_diagnostic_counters();
                return std::vector<int>(counters.begin(), counters.end());
            },
            "The engine's 20 event counters, as the Modbus serial line diagnostics number them:\n"
            "5 messages sent, 6 valid responses, 14 CRC errors, 15 response time-outs, ...;\n"
            "18 responses that did not answer their request, 19 bytes drained.",
            release_gil())
        .def("actuator_count", &Bus::actuator_count, "How many Actuators are on the bus now.",
             release_gil())
        .def("log_write_failures", &Bus::log_write_failures, kLogWriteFailuresDoc, release_gil())
        .def("last_log_error", &Bus::last_log_error, kLastLogErrorDoc, release_gil())
        .def("start_streaming", &start_streaming<Bus>, kStartStreamingDoc)
        .def("stop_streaming", &Bus::stop_streaming, kStopStreamingDoc, release_gil())
        .def("is_streaming", &Bus::is_streaming, kIsStreamingDoc)
        .def(
            "streaming", [](std::shared_ptr<Bus> bus) { return StreamingScope{std::move(bus)}; },
            kStreamingDoc)
        .def("last_error", &Bus::last_error,
             "What stopped the bus thread, as a truthy ZelkError (also the last error of every\n"
             "actuator on the bus then); falsy while nothing did. The next start clears it.",
             release_gil());
}

}  // namespace ferrun_binding
