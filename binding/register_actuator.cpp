// The Actuator class: constructors, the port, blocking register operations, device
// commands, logging, run() and stream mode, in the order Python users see them. Registered
// after Bus, so that its signatures name _ferrun.Bus.
#include <pybind11/eval.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "binding/binding_helpers.hpp"
#include "binding/registration.hpp"
#include "sdk/actuator/actuator.hpp"

namespace py = pybind11;
using namespace zelkSDK;
// Every method of the SDK may wait (for the line, or for the lock another thread holds
// during its exchange): none holds the GIL meanwhile (see sdk_call.hpp).

namespace ferrun_binding {
namespace {

constexpr uint8_t kDefaultServerAddress = 1;

// write_data of the multi-register writes, as the count values the SDK reads from it: a
// single int serves a count of 0 or 1, a sequence must hold exactly count values, so the SDK
// never reads past what was given.
const uint16_t* checked_write_data(const uint16_t& single, int count) {
    if (count > 1) {
        throw py::value_error("write_data must be a sequence of " + std::to_string(count) +
                              " ints for a count of " + std::to_string(count) +
                              "; a single int serves a count of 0 or 1");
    }
    return &single;
}

const uint16_t* checked_write_data(const std::vector<uint16_t>& values, int count) {
    if (static_cast<int>(values.size()) != count) {
        throw py::value_error("write_data must hold exactly " + std::to_string(count) +
                              " values, got " + std::to_string(values.size()));
    }
    return values.data();
}

// One body for each form of write_data: Python sees an overload per form, so a wrong type is
// a TypeError that lists both.
template <class WriteData>
ZelkError write_multiple(Actuator& a, uint16_t start, uint8_t count, const WriteData& write_data,
                         MessagePriority priority) {
    return a.write_multiple_registers_blocking(start, count, checked_write_data(write_data, count),
                                               priority);
}

template <class WriteData>
ZelkResult<std::vector<unsigned short>> read_write_multiple(
    Actuator& a, uint16_t read_start, uint8_t read_count, uint16_t write_start, uint8_t write_count,
    const WriteData& write_data, MessagePriority priority) {
    return a.read_write_multiple_registers_blocking(
        read_start, read_count, write_start, write_count,
        checked_write_data(write_data, write_count), priority);
}

// The words of a telemetry getter (pybind11 keeps its own copy of a docstring).
std::string reading_doc(const char* quantity, const char* unit) {
    return std::string("The ") + quantity + " the device reports, in " + unit +
           "; .error is truthy when reading it failed.";
}

// read_register_blocking with a response time-out of its own for this one call, for a sweep
// over the addresses of a bus where most never answer: the quiet windows after a failure
// follow it (twice it after a time-out). The bus's own time-out is back when it returns.
ZelkResult<unsigned short> read_register(Actuator& a, uint16_t reg_address,
                                         MessagePriority priority,
                                         std::optional<int64_t> response_timeout_us) {
    if (!response_timeout_us) {
        return a.read_register_blocking(reg_address, priority);
    }
    if (*response_timeout_us <= 0 || *response_timeout_us > kLongestTimeoutUs) {
        throw py::value_error("response_timeout_us must be 1 to " +
                              std::to_string(kLongestTimeoutUs) + ", got " +
                              std::to_string(*response_timeout_us));
    }
    const std::shared_ptr<Bus> bus = a.get_bus();
    Bus::Lock held = bus->lock();
    ModbusClient& client = bus->client();
    struct Restore {
        ModbusClient& client;
        int64_t timeout_us;
        ~Restore() { client.set_response_timeout_us(timeout_us); }
    } restore{client, client.get_response_timeout_us()};
    client.set_response_timeout_us(*response_timeout_us);
    return a.read_register_blocking(reg_address, priority);
}

constexpr char kTakeRecordingDoc[] =
    "What was recorded since the last take, oldest first, handed over (see ferrun.recording):\n"
    "a NumPy structured array when NumPy is installed (no copy), else an array-backed\n"
    "ferrun.recording.ArrayRecording; either has the fields time_us, setpoint, position_um,\n"
    "force_mN, power_W, voltage_mV, temperature_C, errors, subfunction, failed and failure\n"
    "(the failure bits), .lost (the samples a full ring dropped since the last take) and\n"
    ".to_csv(path).";

// The samples as a buffer Python reads without a copy: one record of named fields a sample.
constexpr char kSampleFormat[] =
    "T{=q:time_us:=i:setpoint:=i:position_um:=i:force_mN:=H:power_W:=H:voltage_mV:"
    "=h:temperature_C:=H:errors:=B:subfunction:=B:failed:=H:failure:}";

// take_recording() is a Python function around this C++ take: ferrun.recording wraps the
// samples in Python code (NumPy's), and a daemon thread that interpreter exit ends inside
// Python code called from C++ frames would unwind those frames without the GIL (a crash).
void define_take_recording(py::module_& m) {
    py::object actuator = m.attr("Actuator");
    actuator.attr("_take_recording") = actuator.attr("take_recording");
    py::dict scope;
    py::exec(R"(
def take_recording(self):
    from ferrun.recording import wrap
    return wrap(self._take_recording())
)",
             m.attr("__dict__"), scope);
    py::object take = scope["take_recording"];
    take.attr("__doc__") = kTakeRecordingDoc;
    take.attr("__qualname__") = "Actuator.take_recording";
    actuator.attr("take_recording") = take;  // in its place among the methods
}

// Python owns its Actuators through this holder: leaving a busy bus waits for its lock.
using ActuatorHolder = std::unique_ptr<Actuator, DeleteWithoutGil>;

// Constructors wait for the bus's lock like any call; the new actuator's bus is closed at
// interpreter exit.
template <class... Args>
Actuator* make_actuator(Args&&... args) {
    Actuator* actuator = nullptr;
    {
        SdkCall call;
        actuator = new Actuator(std::forward<Args>(args)...);
    }
    SdkCall::track(actuator->get_bus());
    return actuator;
}

}  // namespace

void register_actuator(py::module_& m) {
    const auto priority_default = py::arg("priority") = MessagePriority::important;

    py::class_<Actuator, ActuatorHolder>(
        m, "Actuator",
        "One actuator, a Modbus server, on a bus of its own or on a shared Bus. Calls return a\n"
        "ZelkError (truthy when they failed) or a result whose .error says why, and release\n"
        "the GIL while they wait; arguments outside their C++ types raise TypeError before\n"
        "anything is sent. On the main thread Ctrl-C ends a blocking call within about 25 ms:\n"
        "it fails ('Call abandoned before its answer came.') and KeyboardInterrupt follows.")
        .def(py::init(
                 [](const char* name, uint8_t address) { return make_actuator(name, address); }),
             "An actuator on a bus of its own; name may be None. Address 1 to 247, or 0 to\n"
             "broadcast (reads and mode changes are then refused); above 247 raises ValueError.",
             py::arg("name"), py::arg("modbus_server_address") = kDefaultServerAddress)
        .def(py::init([](std::shared_ptr<SerialInterface> serial, std::shared_ptr<Clock> clock,
                         const char* name, uint8_t address) {
                 return make_actuator(std::move(serial), std::move(clock), name, address);
             }),
             "On the SDK's own C++ serial interface and clock; no Python object converts to them,\n"
             "so from Python this raises TypeError.",
             py::arg("serial_interface"), py::arg("clock"), py::arg("name"),
             py::arg("modbus_server_address") = kDefaultServerAddress)
        .def(py::init([](std::shared_ptr<Bus> bus, uint8_t address, const char* name) {
                 if (!bus) {
                     throw py::type_error("Actuator(bus, ...) needs a Bus, not None");
                 }
                 return make_actuator(std::move(bus), name, address);
             }),
             "An actuator on a shared Bus (None raises TypeError). An address above 247, or one\n"
             "another actuator on the bus holds, raises ValueError.",
             py::arg("bus"), py::arg("modbus_server_address"), py::arg("name") = nullptr)
        .def("open_serial_port", py::overload_cast<int, int, int>(&Actuator::open_serial_port),
             kOpenByNumberDoc, py::arg("port_number"), py::arg("baud_rate") = kDefaultBaudRate,
             py::arg("interframe_delay") = kDefaultInterframeDelayUs, release_gil())
        .def("open_serial_port",
             py::overload_cast<std::string, int, int>(&Actuator::open_serial_port), kOpenByPathDoc,
             py::arg("port_path"), py::arg("baud_rate") = kDefaultBaudRate,
             py::arg("interframe_delay") = kDefaultInterframeDelayUs, release_gil())
        .def("close_serial_port", &Actuator::close_serial_port, kCloseDoc, release_gil())
        .def("get_force_mN", &Actuator::get_force_mN, reading_doc("force", "mN").c_str(),
             release_gil())
        .def("get_position_um", &Actuator::get_position_um, reading_doc("position", "um").c_str(),
             release_gil())
        .def("get_errors", &Actuator::get_errors,
             "The device's error bits; .error is truthy when reading them failed.", release_gil())
        .def("set_mode", &Actuator::set_mode,
             "Write the mode and read it back until the device reports it, for at most 125 ms.\n"
             "Returns a ZelkError, truthy when it was not confirmed; at once, with the line's own\n"
             "error, on a closed or lost line.",
             py::arg("zelk_mode"), release_gil())
        .def("get_mode", &Actuator::get_mode,
             "The mode the motor reports; .error is truthy when reading it failed.", release_gil())
        .def(
            "clear_errors", &Actuator::clear_errors,
            "Clear the device's error bits (2 written to register 0); returns a ZelkError, truthy\n"
            "when it failed.",
            release_gil())
        .def("read_wide_register_blocking", &Actuator::read_wide_register_blocking,
             "Read a signed 32-bit value from two registers, low 16 bits at reg_address;\n"
             ".error is truthy when it failed.",
             py::arg("reg_address"), priority_default, release_gil())
        .def("read_register_blocking", &read_register,
             "Read one holding register; .error is truthy when it failed (an exception response's\n"
             "names its code). response_timeout_us, 1 to 10000000, replaces the bus's response\n"
             "time-out for this call alone, and the quiet after a failure follows it.",
             py::arg("reg_address"), priority_default, py::arg("response_timeout_us") = py::none(),
             release_gil())
        .def("read_multiple_registers_blocking", &Actuator::read_multiple_registers_blocking,
             "Read num_registers holding registers from reg_start_address, at most 125; .error is\n"
             "truthy when it failed. A count of 0 sends nothing.",
             py::arg("reg_start_address"), py::arg("num_registers"), priority_default,
             release_gil())
        .def("write_register_blocking", &Actuator::write_register_blocking,
             "Write one holding register; returns a ZelkError, truthy when it failed.",
             py::arg("reg_address"), py::arg("write_data"), priority_default, release_gil())
        .def("write_wide_register_blocking", &Actuator::write_wide_register_blocking,
             "Write a signed 32-bit value to two registers, low 16 bits at reg_address; returns a\n"
             "ZelkError, truthy when it failed.",
             py::arg("reg_address"), py::arg("write_data"), priority_default, release_gil())
        .def(
            "write_multiple_registers_blocking", &write_multiple<uint16_t>,
            "Write num_registers holding registers from reg_start_address, at most 123; returns a\n"
            "ZelkError, truthy when it failed. A count of 0 sends nothing. A single int serves a\n"
            "count of 0 or 1 (ValueError otherwise).",
            py::arg("reg_start_address"), py::arg("num_registers"), py::arg("write_data"),
            priority_default, release_gil())
        .def("write_multiple_registers_blocking", &write_multiple<std::vector<uint16_t>>,
             "write_data holds exactly num_registers ints (ValueError otherwise).",
             py::arg("reg_start_address"), py::arg("num_registers"), py::arg("write_data"),
             priority_default, release_gil())
        .def("read_write_multiple_registers_blocking", &read_write_multiple<uint16_t>,
             "Write write_num_registers registers (at most 121) and read read_num_registers (at\n"
             "most 125) in one exchange, sent even when both counts are 0; .error is truthy when "
             "it\n"
             "failed. A single int serves a write count of 0 or 1 (ValueError otherwise).",
             py::arg("read_starting_address"), py::arg("read_num_registers"),
             py::arg("write_starting_address"), py::arg("write_num_registers"),
             py::arg("write_data"), priority_default, release_gil())
        .def("read_write_multiple_registers_blocking", &read_write_multiple<std::vector<uint16_t>>,
             "write_data holds exactly write_num_registers ints (ValueError otherwise).",
             py::arg("read_starting_address"), py::arg("read_num_registers"),
             py::arg("write_starting_address"), py::arg("write_num_registers"),
             py::arg("write_data"), priority_default, release_gil())
        .def("begin_serial_logging",
             py::overload_cast<const std::string&>(&Actuator::begin_serial_logging),
             kBeginLoggingDoc, py::arg("log_name"), release_gil())
        .def("begin_serial_logging",
             py::overload_cast<const std::string&, std::shared_ptr<LogInterface>>(
                 &Actuator::begin_serial_logging),
             "Into the SDK's own C++ LogInterface; no Python object converts to one, so from\n"
             "Python this raises TypeError.",
             py::arg("log_name"), py::arg("log"), release_gil())
        .def("run", &Actuator::run,
             "One pass of its bus (Bus.run): digest a finished exchange, let stream mode queue\n"
             "and the engine send. Never blocks.",
             release_gil())
        .def("run_wait", &run_wait_watching_signals<Actuator>, kRunWaitDoc,
             py::arg("max_wait_us") = kDefaultMaxWaitUs)
        .def(
            "enable_stream", &Actuator::enable_stream,
            "Stream from the next run() on: one stream command a bus cycle, for the mode set_mode\n"
            "last confirmed. Sends nothing itself.",
            release_gil())
        .def("disable_stream", &Actuator::disable_stream, "Stop streaming; sends nothing itself.",
             release_gil())
        .def("set_streamed_force_mN", &Actuator::set_streamed_force_mN,
             "The force, in mN, that stream commands carry in ForceMode; sends nothing itself.",
             py::arg("force"), release_gil())
        .def("set_streamed_position_um", &Actuator::set_streamed_position_um,
             "The position, in um, that stream commands carry in PositionMode; sends nothing\n"
             "itself.",
             py::arg("position"), release_gil())
        .def("update_haptic_stream_effects", &Actuator::update_haptic_stream_effects,
             "The effect bits that stream commands carry in HapticMode; sends nothing itself.",
             py::arg("effects"), release_gil())
        .def("get_power_W", &Actuator::get_power_W, reading_doc("power", "W").c_str(),
             release_gil())
        .def("get_temperature_C", &Actuator::get_temperature_C,
             reading_doc("temperature", "C").c_str(), release_gil())
        .def("get_voltage_mV", &Actuator::get_voltage_mV, reading_doc("voltage", "mV").c_str(),
             release_gil())
        .def("get_stream_data", &Actuator::get_stream_data,
             "A copy of the telemetry the latest stream response carried (zeros before the first).",
             release_gil())
        .def("last_error", &Actuator::last_error,
             "The outcome of the last exchange digested for this actuator, as a ZelkError.",
             release_gil())

        .def("get_bus", &Actuator::get_bus,
             "The Bus this actuator is on: a bus of one when it was made without a Bus.")
        .def("log_write_failures", &Actuator::log_write_failures, kLogWriteFailuresDoc,
             release_gil())
        .def("last_log_error", &Actuator::last_log_error, kLastLogErrorDoc, release_gil())
        .def("start_streaming", &start_streaming<Actuator>, kStartStreamingDoc)
        .def("stop_streaming", &Actuator::stop_streaming, kStopStreamingDoc, release_gil())
        .def("is_streaming", &Actuator::is_streaming, kIsStreamingDoc)
        .def(
            "streaming", [](Actuator& a) { return StreamingScope{a.get_bus()}; }, kStreamingDoc)
        .def("set_setpoint_timeout_ms", &Actuator::set_setpoint_timeout_ms,
             "Set-point watchdog: when the streamed set-point has not been refreshed for\n"
             "timeout_ms, stream a safe one (0 mN; the position last measured; no effects), and\n"
             "after timeout_ms more disable the stream and send sleep mode (set_mode and\n"
             "enable_stream again to go on). 0 turns it off; negative raises ValueError. Never\n"
             "set: off for run()/run_wait() loops, 200 ms while the bus thread streams.",
             py::arg("timeout_ms"), release_gil())
        .def("watchdog_tripped", &Actuator::watchdog_tripped,
             "True from a watchdog trip (last_error() says which stage) to the next set-point.",
             release_gil())
        .def("start_recording", &Actuator::start_recording,
             "Record every stream exchange from now on into a ring of capacity samples (1 to\n"
             "10,000,000; else ValueError); starting again drops what was kept. Filled by\n"
             "whoever runs the cycle, the bus thread or a run()/run_wait() loop.",
             py::arg("capacity"), release_gil())
        .def("stop_recording", &Actuator::stop_recording,
             "Record no more; what was kept stays for take_recording().", release_gil())
        .def("take_recording", &Actuator::take_recording, release_gil())
        .def_readonly("name", &Actuator::name, "The name given at construction, or None.");
    define_take_recording(m);

    py::class_<TelemetryRecording>(
        m, "RecordingBuffer", py::buffer_protocol(),
        "The samples one take_recording() handed over, as a buffer of records (what\n"
        "ferrun.recording wraps); .lost counts the samples a full ring dropped before them.")
        .def_buffer([](TelemetryRecording& taken) {
            return py::buffer_info(taken.samples.data(), sizeof(TelemetrySample), kSampleFormat, 1,
                                   {taken.samples.size()}, {sizeof(TelemetrySample)});
        })
        .def_readonly("lost", &TelemetryRecording::lost,
                      "Samples dropped by a full ring since the take before.")
        .def(
            "__len__", [](const TelemetryRecording& taken) { return taken.samples.size(); },
            "How many samples it holds.");
}

}  // namespace ferrun_binding
