"""Two-wire lines against the virtual actuator: local echo, the line's echo taken for no
answer, time limits and resends a caller chooses, and RS-485 direction control on a pty."""

import time

import pytest

import _ferrun
from _ferrun import MotorMode, not_important
from ferrun import virtual_actuator

ECHO_MISMATCHES, MISSING_ECHOES = 20, 21
# A slow line leaves a busy machine tens of milliseconds to see its echo begin while the
# request is still on the wire, which alone tells an echo from an answer.
SLOW_BAUD = 1200


def bus_on(port, baud=19200, local_echo=False):
    bus = _ferrun.Bus()
    assert not bus.open_serial_port(port, baud)
    bus.local_echo = local_echo
    return bus


def test_every_function_code_and_the_stream_with_local_echo_on_an_echoing_line():
    with virtual_actuator(paced=True, echo=True) as port:
        bus = bus_on(port, local_echo=True)
        a = _ferrun.Actuator(bus, 1)
        assert not a.write_register_blocking(600, 0xBEEF)
        assert a.read_register_blocking(600).value == 0xBEEF
        assert not a.write_multiple_registers_blocking(100, 3, [8, 9, 10])
        rw = a.read_write_multiple_registers_blocking(100, 3, 103, 1, 11)
        assert not rw.error and rw.value == [8, 9, 10]
        assert a.read_multiple_registers_blocking(100, 4).value == [8, 9, 10, 11]
        assert not a.set_mode(MotorMode.PositionMode)
        a.enable_stream()
        end = time.monotonic() + 0.5
        while time.monotonic() < end:
            a.set_streamed_position_um(5000)
            a.run_wait()
        a.disable_stream()
        assert abs(a.get_stream_data().position - 5000) < 500
        counters = bus.get_diagnostic_counters()
        bus.close_serial_port()
    # No echo taken for an answer (CRC errors, mismatched answers) and none missing; only the
    # last stream exchange, cut short, and time-outs of a device starved by a busy machine
    # may leave a request without a valid answer.
    assert counters[14] == counters[18] == counters[ECHO_MISMATCHES] == counters[MISSING_ECHOES] == 0
    assert counters[5] - counters[6] <= 1 + counters[15]


@pytest.mark.parametrize("local_echo, failure", [
    (True, "Response timed out, the motor took too long to respond. "),
    (False, "Line echoes the request; enable local echo. "),
])
def test_a_write_to_an_absent_address_fails_on_an_echoing_line(local_echo, failure):
    with virtual_actuator(baud=SLOW_BAUD, echo=True) as port:
        bus = bus_on(port, SLOW_BAUD, local_echo)
        absent = _ferrun.Actuator(bus, 9)
        assert absent.write_register_blocking(600, 5, not_important).what() == failure
        present = _ferrun.Actuator(bus, 1).write_register_blocking(600, 5, not_important)
        assert present.what() == ("" if local_echo else failure)
        bus.close_serial_port()


def test_local_echo_on_a_line_that_does_not_echo_fails_with_no_echo():
    with virtual_actuator(paced=True) as port:
        bus = bus_on(port, local_echo=True)
        for address in (1, 9):  # the answer in the echo's place, and nothing at all
            result = _ferrun.Actuator(bus, address).read_register_blocking(317, not_important)
            assert result.error.what() == "No echo. "
        assert bus.get_diagnostic_counters()[MISSING_ECHOES] == 2
        bus.close_serial_port()


def test_time_limits_and_resends_are_the_callers():
    with virtual_actuator(paced=True, turnaround_us=45000) as port:
        bus = bus_on(port)
        a = _ferrun.Actuator(bus, 1)
        assert "timed out" in a.read_register_blocking(317, not_important).error.what()
        bus.response_timeout_us = 60000
        assert not a.read_register_blocking(317).error
        bus.close_serial_port()
    with virtual_actuator(["--drop", "1"]) as port:
        bus = bus_on(port)
        # A pseudo-terminal: no adapter behind it.
        assert bus.adapter_report == ("low-latency flag: not supported (Inappropriate ioctl for"
                                      " device); latency_timer: none")
        assert bus.adapter_latency_us == 0
        bus.adapter_latency_us = 16000
        bus.max_resends = 0
        sent = bus.get_diagnostic_counters()[5]
        assert _ferrun.Actuator(bus, 1).read_register_blocking(317).error
        assert bus.get_diagnostic_counters()[5] - sent == 1
        for name, bad in [("response_timeout_us", 0), ("intercharacter_timeout_us", 10_000_001),
                          ("max_resends", 21), ("adapter_latency_us", -1),
                          ("adapter_latency_us", 1_000_001)]:
            with pytest.raises(ValueError, match="out of range"):
                setattr(bus, name, bad)
        assert (bus.response_timeout_us, bus.intercharacter_timeout_us, bus.max_resends,
                bus.adapter_latency_us) == (20000, 16000, 0, 16000)
        bus.close_serial_port()


def test_rs485_on_a_pty_fails_clearly_and_the_port_keeps_working(port):
    bus = bus_on(port)
    for software, reason in [(False, "Cannot set RS-485 mode on"), (True, "Cannot switch RTS on")]:
        error = bus.set_rs485(software=software, delay_after_send_us=1000)
        assert error and error.what() == f"{reason} {port}: Inappropriate ioctl for device"
    assert not bus.set_rs485(enabled=False)
    with pytest.raises(ValueError, match="whole milliseconds"):
        bus.set_rs485(delay_before_send_us=1500)
    assert not _ferrun.Actuator(bus, 1).read_register_blocking(317).error
    bus.close_serial_port()
    assert bus.set_rs485().what() == "Cannot set RS-485 mode: the port is not open."


def test_commands_take_local_echo_and_scan_says_when_the_line_echoes(capsys):
    from ferrun.cli import main

    with virtual_actuator(baud=SLOW_BAUD, echo=True) as port:
        assert main(["scan", port, "--address", "1-2", "--baud", str(SLOW_BAUD)]) == 0
        out, err = capsys.readouterr()
        assert "0 found" in out and "scan again with --local-echo" in err
        assert main(["read", port, "1", "mode_report", "--baud", str(SLOW_BAUD),
                     "--local-echo"]) == 0
        assert "SleepMode" in capsys.readouterr().out
