"""The module against the virtual actuator, in another process, over a pseudo-terminal."""

import os
import time

import pytest

import _ferrun
from _ferrun import MessagePriority, MotorMode
from ferrun import virtual_actuator


def _until_answered(call):
    """A not-important call, asked again while it times out: its request is sent once, and a
    device starved by a busy machine may answer it too late."""
    for _ in range(5):
        result = call()
        if "timed out" not in result.error.what():
            return result
    return call()


def test_blocking_register_operations(actuator):
    assert not actuator.write_register_blocking(600, 0xBEEF)
    single = actuator.read_register_blocking(600)
    assert isinstance(single, _ferrun.ZelkResultUInt16)
    assert single.value == 0xBEEF and not single.error
    assert not actuator.write_wide_register_blocking(700, -2)
    assert actuator.read_multiple_registers_blocking(700, 2).value == [0xFFFE, 0xFFFF]
    assert actuator.read_wide_register_blocking(700).value == -2
    assert not actuator.write_multiple_registers_blocking(100, 1, 7)
    assert not actuator.write_multiple_registers_blocking(101, 3, [8, 9, 10])
    assert actuator.read_multiple_registers_blocking(100, 4).value == [7, 8, 9, 10]
    rw = actuator.read_write_multiple_registers_blocking(100, 2, 102, 2, (20, 21))
    assert rw.value == [7, 8] and not rw.error
    assert _until_answered(lambda: actuator.read_multiple_registers_blocking(
        102, 2, MessagePriority.not_important)).value == [20, 21]
    assert not actuator.read_write_multiple_registers_blocking(0, 0, 0, 0, 0).error


def test_mode_and_telemetry(actuator):
    mode = actuator.get_mode()
    assert mode.value is not None and mode.value == MotorMode.SleepMode
    assert not actuator.set_mode(MotorMode.PositionMode)
    assert actuator.get_mode().value == MotorMode.PositionMode
    assert not actuator.clear_errors()
    assert actuator.get_voltage_mV().value > 20000
    assert actuator.get_temperature_C().value >= 20
    assert actuator.get_power_W().value >= 0
    assert actuator.get_errors().value == 0
    assert isinstance(actuator.get_force_mN(), _ferrun.ZelkResultInt32)
    assert abs(actuator.get_position_um().value) < 1000


def test_exception_response_is_a_failure(actuator):
    result = _until_answered(lambda: actuator.read_register_blocking(5000, _ferrun.not_important))
    assert result.error and result.value == 0
    assert "code 2" in result.error.what()


def test_stream_mode_through_run(actuator):
    assert not actuator.set_mode(MotorMode.PositionMode)
    actuator.set_streamed_position_um(10000)
    actuator.enable_stream()
    deadline = time.monotonic() + 2.0
    while time.monotonic() < deadline:
        actuator.run()
    data = actuator.get_stream_data()
    assert abs(data.position - 10000) < 500
    assert data.voltage > 20000
    actuator.disable_stream()


def test_traffic_log_has_exactly_the_expected_lines(actuator, log_path):
    assert not actuator.begin_serial_logging(log_path)
    actuator.read_register_blocking(317)
    actuator.write_register_blocking(600, 1)
    with open(log_path, "rb") as log:
        lines = log.read().split(b"\r\n")
    assert lines[-1] == b""
    fields = [line.split(b"\t") for line in lines[:-1]]
    exchanges = list(zip(fields[::2], fields[1::2]))
    assert [f[1] for f in fields] == [b"tx", b"rx"] * len(exchanges)
    # A device starved past the time-out by a busy machine costs a resend, nothing else.
    failed = [n for n, (_, rx) in enumerate(exchanges) if len(rx[-1]) != 2]
    assert all(exchanges[n][0][2:] == exchanges[n + 1][0][2:] for n in failed)
    fields = [f for n, exchange in enumerate(exchanges) if n not in failed for f in exchange]
    assert [f[1] for f in fields] == [b"tx", b"rx", b"tx", b"rx"]
    assert fields[0][2:] == b"01 03 01 3d 00 01 14 3a".split()
    assert fields[1][2:5] == [b"01", b"03", b"02"] and len(fields[1]) == 9
    assert fields[2][2:] == fields[3][2:]  # a single write is echoed
    assert all(f[0].isdigit() for f in fields)


def test_log_file_that_cannot_open(actuator, tmp_path):
    path = str(tmp_path / "missing" / "x.log")
    error = actuator.begin_serial_logging(path)
    assert error.what() == f"Failed to create/open log file: {path}: No such file or directory."


@pytest.mark.skipif(not os.path.exists("/dev/full"), reason="no /dev/full here")
def test_log_write_failures_are_counted_and_the_exchanges_go_on(actuator, capfd):
    assert not actuator.begin_serial_logging("/dev/full")
    assert not actuator.last_log_error() and actuator.log_write_failures() == 0
    for value in (1, 2):
        assert not actuator.write_register_blocking(600, value)
    assert actuator.read_register_blocking(600).value == 2
    # Two lines an exchange, three exchanges (and those of resends a busy machine may cause).
    failures = actuator.log_write_failures()
    assert failures >= 6 and failures % 2 == 0
    assert actuator.get_bus().log_write_failures() == failures
    reason = "Failed to write to log file /dev/full: No space left on device."
    assert actuator.last_log_error().what() == reason
    assert capfd.readouterr().err.count(reason) == 1


def test_silent_device_times_out_after_six_attempts(log_path):
    with virtual_actuator(["--drop", "1"]) as port:
        a = _ferrun.Actuator("x1")
        assert not a.open_serial_port(port)
        assert not a.begin_serial_logging(log_path)
        result = a.read_register_blocking(317)
        a.close_serial_port()
    assert result.error and result.value == 0
    assert result.error.what() == "Response timed out, the motor took too long to respond. "
    with open(log_path) as log:
        lines = log.read().splitlines()
    assert [line.split("\t")[1] for line in lines] == ["tx", "rx"] * 6
    assert all(line.endswith("\tTimed out. ") for line in lines[1::2])


def test_unpaced_line_round_trips(unpaced_port):
    a = _ferrun.Actuator("x1")
    assert not a.open_serial_port(unpaced_port, 19200, 0)
    for value in range(50):
        assert not a.write_register_blocking(600, value)
        assert a.read_register_blocking(600).value == value
    a.close_serial_port()
