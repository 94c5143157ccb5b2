// The Actuator class: constructors, the port, blocking register operations, device
// commands, logging, run() and stream mode, in the order Python users see them.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <memory>
#include <string>
#include <vector>

#include "binding/registration.hpp"
#include "sdk/actuator/actuator.hpp"

namespace py = pybind11;
using namespace zelkSDK;

namespace ferrun_binding {
namespace {

constexpr int kDefaultBaudRate = 19200;
constexpr int kDefaultInterframeDelayUs = 2000;
constexpr uint8_t kDefaultServerAddress = 1;

// write_data of the multi-register writes: a single int serves a count of 0 or 1; a
// sequence must hold exactly count values. The SDK never reads past what was given.
void check_single(int count) {
    if (count > 1) {
        throw py::value_error("write_data must be a sequence of " + std::to_string(count) +
                              " ints for a count of " + std::to_string(count) +
                              "; a single int serves a count of 0 or 1");
    }
}

void check_sequence(int count, const std::vector<uint16_t>& values) {
    if (static_cast<int>(values.size()) != count) {
        throw py::value_error("write_data must hold exactly " + std::to_string(count) +
                              " values, got " + std::to_string(values.size()));
    }
}

}  // namespace

void register_actuator(py::module_& m) {
    const auto priority_default = py::arg("priority") = MessagePriority::important;

    py::class_<Actuator>(m, "Actuator")
        .def(py::init<const char*, uint8_t>(), py::arg("name"),
             py::arg("modbus_server_address") = kDefaultServerAddress)
        .def(py::init<std::shared_ptr<SerialInterface>, std::shared_ptr<Clock>, const char*,
                      uint8_t>(),
             py::arg("serial_interface"), py::arg("clock"), py::arg("name"),
             py::arg("modbus_server_address") = kDefaultServerAddress)
        .def("open_serial_port", py::overload_cast<int, int, int>(&Actuator::open_serial_port),
             "Open serial port using port number", py::arg("port_number"),
             py::arg("baud_rate") = kDefaultBaudRate,
             py::arg("interframe_delay") = kDefaultInterframeDelayUs)
        .def("open_serial_port",
             py::overload_cast<std::string, int, int>(&Actuator::open_serial_port),
             "Open serial port using port path", py::arg("port_path"),
             py::arg("baud_rate") = kDefaultBaudRate,
             py::arg("interframe_delay") = kDefaultInterframeDelayUs)
        .def("close_serial_port", &Actuator::close_serial_port)
        .def("get_force_mN", &Actuator::get_force_mN)
        .def("get_position_um", &Actuator::get_position_um)
        .def("get_errors", &Actuator::get_errors)
        .def("set_mode", &Actuator::set_mode, py::arg("zelk_mode"))
        .def("get_mode", &Actuator::get_mode)
        .def("clear_errors", &Actuator::clear_errors)
        .def("read_wide_register_blocking", &Actuator::read_wide_register_blocking,
             py::arg("reg_address"), priority_default)
        .def("read_register_blocking", &Actuator::read_register_blocking, py::arg("reg_address"),
             priority_default)
        .def("read_multiple_registers_blocking", &Actuator::read_multiple_registers_blocking,
             py::arg("reg_start_address"), py::arg("num_registers"), priority_default)
        .def("write_register_blocking", &Actuator::write_register_blocking, py::arg("reg_address"),
             py::arg("write_data"), priority_default)
        .def("write_wide_register_blocking", &Actuator::write_wide_register_blocking,
             py::arg("reg_address"), py::arg("write_data"), priority_default)
        .def(
            "write_multiple_registers_blocking",
            [](Actuator& a, uint16_t start, uint8_t count, uint16_t write_data,
               MessagePriority priority) {
                check_single(count);
                return a.write_multiple_registers_blocking(start, count, &write_data, priority);
            },
            py::arg("reg_start_address"), py::arg("num_registers"), py::arg("write_data"),
            priority_default)
        .def(
            "write_multiple_registers_blocking",
            [](Actuator& a, uint16_t start, uint8_t count, const std::vector<uint16_t>& write_data,
               MessagePriority priority) {
                check_sequence(count, write_data);
                return a.write_multiple_registers_blocking(start, count, write_data.data(),
                                                           priority);
            },
            py::arg("reg_start_address"), py::arg("num_registers"), py::arg("write_data"),
            priority_default)
        .def(
            "read_write_multiple_registers_blocking",
            [](Actuator& a, uint16_t read_start, uint8_t read_count, uint16_t write_start,
               uint8_t write_count, uint16_t write_data, MessagePriority priority) {
                check_single(write_count);
                return a.read_write_multiple_registers_blocking(read_start, read_count, write_start,
                                                                write_count, &write_data, priority);
            },
            py::arg("read_starting_address"), py::arg("read_num_registers"),
            py::arg("write_starting_address"), py::arg("write_num_registers"),
            py::arg("write_data"), priority_default)
        .def(
            "read_write_multiple_registers_blocking",
            [](Actuator& a, uint16_t read_start, uint8_t read_count, uint16_t write_start,
               uint8_t write_count, const std::vector<uint16_t>& write_data,
               MessagePriority priority) {
                check_sequence(write_count, write_data);
                return a.read_write_multiple_registers_blocking(
                    read_start, read_count, write_start, write_count, write_data.data(), priority);
            },
            py::arg("read_starting_address"), py::arg("read_num_registers"),
            py::arg("write_starting_address"), py::arg("write_num_registers"),
            py::arg("write_data"), priority_default)
        .def("begin_serial_logging",
             py::overload_cast<const std::string&>(&Actuator::begin_serial_logging),
             py::arg("log_name"))
        .def("begin_serial_logging",
             py::overload_cast<const std::string&, std::shared_ptr<LogInterface>>(
                 &Actuator::begin_serial_logging),
             py::arg("log_name"), py::arg("log"))
        .def("run", &Actuator::run)
        .def("enable_stream", &Actuator::enable_stream)
        .def("disable_stream", &Actuator::disable_stream)
        .def("set_streamed_force_mN", &Actuator::set_streamed_force_mN, py::arg("force"))
        .def("set_streamed_position_um", &Actuator::set_streamed_position_um, py::arg("position"))
        .def("update_haptic_stream_effects", &Actuator::update_haptic_stream_effects,
             py::arg("effects"))
        .def("get_power_W", &Actuator::get_power_W)
        .def("get_temperature_C", &Actuator::get_temperature_C)
        .def("get_voltage_mV", &Actuator::get_voltage_mV)
        .def("get_stream_data", [](const Actuator& a) { return a.stream_cache; })
        .def_readonly("name", &Actuator::name);
}

}  // namespace ferrun_binding
