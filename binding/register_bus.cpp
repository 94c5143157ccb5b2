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
namespace {

// A property's getter or setter, which waits for the bus's lock like a method.
template <class Method>
py::cpp_function without_gil(Method method) {
    return py::cpp_function(method, release_gil());
}

}  // namespace

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
        .def_property("local_echo", without_gil(&Bus::local_echo),
                      without_gil(&Bus::set_local_echo),
                      "True on a two-wire line that hears its own transmitter: every request\n"
                      "comes back before its answer and is compared byte for byte (False by\n"
                      "default). From the next request on.")
        .def_property("response_timeout_us", without_gil(&Bus::response_timeout_us),
                      without_gil(&Bus::set_response_timeout_us),
                      "Microseconds from a request's end on the wire to the first byte of its\n"
                      "answer, 1 to 10000000 (default 20000); the recovery windows follow it.\n"
                      "ValueError for anything else.")
        .def_property("intercharacter_timeout_us", without_gil(&Bus::intercharacter_timeout_us),
                      without_gil(&Bus::set_intercharacter_timeout_us),
                      "Microseconds of silence within an answer that end it, 1 to 10000000\n"
                      "(default 16000). ValueError for anything else.")
        .def_property("adapter_latency_us", without_gil(&Bus::get_adapter_latency_us),
                      without_gil(&Bus::set_adapter_latency_us),
                      "Microseconds a USB-serial adapter behind the line may hold bytes, 0 to\n"
                      "1000000 (0: none). The response time-out grows by it, the intercharacter\n"
                      "time-out to at least it + two characters + 1 ms. Each open sets it from\n"
                      "what it found; ValueError for anything out of range.")
        .def_property_readonly("adapter_report", without_gil(&Bus::get_adapter_report),
                               "What the last open found of the adapter and did to lower its\n"
                               "latency, in one line.")
        .def_property("max_resends", without_gil(&Bus::max_resends),
                      without_gil(&Bus::set_max_resends),
                      "Resends of a failed important request, 0 (sent once) to 20 (default 5).\n"
                      "ValueError for anything else.")
        .def(
            "set_rs485",
            [](Bus& bus, bool enabled, bool rts_on_send, bool rts_after_send,
               int delay_before_send_us, int delay_after_send_us, bool software) {
                Rs485Settings settings;
                settings.enabled = enabled;
                settings.rts_on_send = rts_on_send;
                settings.rts_after_send = rts_after_send;
                settings.delay_before_send_us = delay_before_send_us;
                settings.delay_after_send_us = delay_after_send_us;
                settings.software = software;
                return bus.set_rs485(settings);
            },
            "Transmitter direction control of the open port: RTS at rts_on_send while a request\n"
            "goes out, at rts_after_send otherwise, with delays (us, 0 to 100000) around it; by\n"
            "the driver's RS-485 mode (whole milliseconds), or with software=True by this program\n"
            "(RTS, tcdrain). ValueError for impossible settings; a truthy ZelkError naming the\n"
            "port and the system's reason when the port cannot, which then goes on as before.",
            py::arg("enabled") = true, py::arg("rts_on_send") = true,
            py::arg("rts_after_send") = false, py::arg("delay_before_send_us") = 0,
            py::arg("delay_after_send_us") = 0, py::arg("software") = false, release_gil())
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
            "The engine's 22 event counters, as the Modbus serial line diagnostics number them:\n"
            "5 messages sent, 6 valid responses, 14 CRC errors, 15 response time-outs, ...;\n"
            "18 responses that did not answer their request, 19 bytes drained, 20 echoes that\n"
            "differed from their request, 21 echoes that never came.",
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
