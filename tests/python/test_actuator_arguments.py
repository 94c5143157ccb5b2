"""Argument conversion: every refusal is a TypeError (or ValueError) raised before anything
is sent. No port is open here, so a call that did reach the line would raise RuntimeError."""

import pytest

import _ferrun
from _ferrun import Actuator, MessagePriority, MotorMode


def test_constructors_and_name():
    assert Actuator("x1").name == "x1"
    assert Actuator(name="x1", modbus_server_address=3).name == "x1"
    assert Actuator(None).name is None
    a = Actuator("x" + "1")
    assert a.name == "x1"
    with pytest.raises(AttributeError):
        a.name = "y"
    with pytest.raises(AttributeError):
        a.other = 1
    for address in (256, -1):
        with pytest.raises(TypeError):
            Actuator("x1", address)
    with pytest.raises(TypeError):
        Actuator(object(), object(), "x1")


def test_a_bus_needs_a_bus_a_valid_address_and_one_actuator_per_address():
    with pytest.raises(TypeError, match="needs a Bus"):
        Actuator(None, 1, "x")
    with pytest.raises(TypeError, match="needs a Bus"):
        Actuator(bus=None, modbus_server_address=1)
    bus = _ferrun.Bus()
    first = Actuator(bus, 1, "first")
    with pytest.raises(ValueError, match=r'Server address 1 is already taken on this bus \(by "first"\)'):
        Actuator(bus, 1, "second")
    for address in (248, 255):
        with pytest.raises(ValueError, match="out of range"):
            Actuator(bus, address)
        with pytest.raises(ValueError, match="out of range"):
            Actuator("own bus", address)
    del first
    assert Actuator(bus, 1, "again").name == "again"


def test_broadcast_mode_change_is_refused_before_anything_is_sent():
    error = Actuator("everyone", 0).set_mode(MotorMode.ForceMode)
    assert error.what() == "Mode changes cannot be broadcast: no device would confirm them."


@pytest.mark.parametrize(
    "call",
    [
        lambda a: a.open_serial_port(3.0),
        lambda a: a.set_mode(2),
        lambda a: a.read_register_blocking(317, 1),
        lambda a: a.read_register_blocking(70000),
        lambda a: a.write_register_blocking(3, 70000),
        lambda a: a.write_wide_register_blocking(3, 2**31),
        lambda a: a.read_multiple_registers_blocking(0, 256),
        lambda a: a.write_multiple_registers_blocking(0, 1, 1.5),
        lambda a: a.write_multiple_registers_blocking(0, 2, [1, 70000]),
        lambda a: a.write_multiple_registers_blocking(0, 1, "1"),
        lambda a: a.update_haptic_stream_effects(-1),
        lambda a: a.set_streamed_force_mN(2**31),
        lambda a: a.begin_serial_logging("traffic.log", object()),
    ],
)
def test_bad_arguments_raise_type_error(call):
    with pytest.raises(TypeError):
        call(Actuator("x1"))


@pytest.mark.parametrize(
    "call, expected",
    [
        (lambda a: a.write_multiple_registers_blocking(100, 2, 7), "2"),
        (lambda a: a.write_multiple_registers_blocking(100, 3, [1, 2]), "3"),
        (lambda a: a.write_multiple_registers_blocking(100, 1, [1, 2]), "1"),
        (lambda a: a.read_write_multiple_registers_blocking(0, 1, 100, 2, 7), "2"),
        (lambda a: a.read_write_multiple_registers_blocking(0, 1, 100, 2, [7]), "2"),
    ],
)
def test_write_data_must_match_the_count(call, expected):
    with pytest.raises(ValueError, match=expected):
        call(Actuator("x1"))


def test_closing_a_closed_port_changes_nothing():
    a = Actuator("x1")
    a.close_serial_port()
    assert a.open_serial_port("/dev/does-not-exist")
    a.close_serial_port()
    a.close_serial_port()


def test_sending_without_a_port_is_a_failure_value():
    result = Actuator("x1").read_register_blocking(317)
    assert result.value == 0
    assert result.error.what() == "Serial line lost: the port is not open. "


def test_zero_counts_send_nothing():
    a = Actuator("x1")
    result = a.read_multiple_registers_blocking(0, 0)
    assert result.value == [] and not result.error
    assert not a.write_multiple_registers_blocking(100, 0, 7)
    assert not a.write_multiple_registers_blocking(100, 0, [])


def test_open_missing_port_reports_the_system_message():
    error = Actuator("x1").open_serial_port("/dev/does-not-exist")
    assert error.what() == "No such file or directory: cannot open /dev/does-not-exist."
    nul = Actuator("x1").open_serial_port("/dev/null\0/dev/ttyS0")
    assert nul.what() == "Invalid argument: the port path holds a NUL character."


def test_stream_settings_send_nothing_and_snapshots_are_copies():
    a = Actuator("x1")
    a.enable_stream()
    a.set_streamed_force_mN(-5)
    a.set_streamed_position_um(100)
    a.update_haptic_stream_effects(3)
    a.disable_stream()
    first, second = a.get_stream_data(), a.get_stream_data()
    assert first is not second
    first.force = 12
    assert second.force == 0 and a.get_stream_data().force == 0


def test_docstrings_name_the_overloads():
    doc = Actuator.open_serial_port.__doc__
    assert "Open serial port using port number" in doc
    assert "Open serial port using port path" in doc
    assert "priority: _ferrun.MessagePriority = <MessagePriority.important: 0>" in (
        Actuator.read_register_blocking.__doc__)
    assert MessagePriority.important is _ferrun.important
    assert MotorMode.SleepMode is _ferrun.SleepMode


def test_methods_are_registered_in_their_order():
    names = [n for n in Actuator.__dict__ if not n.startswith("_")]
    assert names == [
        "open_serial_port", "close_serial_port", "get_force_mN", "get_position_um", "get_errors",
        "set_mode", "get_mode", "clear_errors", "read_wide_register_blocking",
        "read_register_blocking", "read_multiple_registers_blocking", "write_register_blocking",
        "write_wide_register_blocking", "write_multiple_registers_blocking",
        "read_write_multiple_registers_blocking", "begin_serial_logging", "run", "run_wait",
        "enable_stream",
        "disable_stream", "set_streamed_force_mN", "set_streamed_position_um",
        "update_haptic_stream_effects", "get_power_W", "get_temperature_C", "get_voltage_mV",
        "get_stream_data", "last_error", "get_bus", "log_write_failures", "last_log_error",
        "start_streaming", "stop_streaming", "is_streaming", "streaming", "set_setpoint_timeout_ms",
        "watchdog_tripped", "start_recording", "stop_recording", "take_recording", "name",
    ]
