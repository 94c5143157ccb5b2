"""``ferrun scan``, ``read``, ``write`` and ``monitor`` against a virtual bus of actuators at
1, 3 and 7, and the SDK's names re-exported by ``ferrun``."""

import json
import re
import sys

import pexpect
import pytest

import _ferrun
import ferrun
from ferrun.cli import main
from ferrun.traffic_log import summarize

BUS = [1, 3, 7]


def run(capsys, *args):
    try:
        status = main(list(args))
    except SystemExit as usage_error:  # from argparse
        status = usage_error.code
    out, err = capsys.readouterr()
    return status, out, err


def test_the_sdk_is_one_import_away():
    public = [name for name in vars(_ferrun) if not name.startswith("_")]
    assert [name for name in public if getattr(ferrun, name) is not getattr(_ferrun, name)] == []


def test_a_read_with_its_own_response_timeout_leaves_the_bus_its_own():
    # The device answers 60 ms after each request, always past the bus's 20 ms.
    with ferrun.virtual_actuator(paced=True, turnaround_us=60000) as port:
        a = ferrun.Actuator("x1")
        assert not a.open_serial_port(port)
        mode = [a.read_register_blocking(317, ferrun.not_important, response_timeout_us=us)
                for us in (None, 500000, None)]
        for us in (0, 10000001):
            with pytest.raises(ValueError, match="response_timeout_us must be 1 to 10000000"):
                a.read_register_blocking(317, response_timeout_us=us)
        a.close_serial_port()
    assert [bool(m.error) for m in mode] == [True, False, True]
    assert "timed out" in mode[2].error.what()


@pytest.mark.parametrize("baud", [9600, 19200])
def test_scan_finds_exactly_the_actuators_at_their_rate(baud, capsys):
    # A generous time-out: a busy machine must not make an actuator miss its turn.
    with ferrun.virtual_actuator(["--strict-baud"], baud=baud, turnaround_us=1000,
                                 address=BUS) as port:
        status, out, _ = run(capsys, "scan", port, "--baud", "9600,19200", "--address", "1-4,7",
                             "--response-timeout-us", "100000", "--json")
    assert status == 0
    assert json.loads(out) == [
        {"address": a, "baud": baud, "mode": "SleepMode", "voltage_mV": 24000,
         "temperature_C": 25, "errors": 0} for a in BUS]


@pytest.mark.parametrize("baud", [19200, 115200])
def test_read_and_write_by_number_and_name(baud, capsys, log_path):
    def json_of(*args):
        status, out, err = run(capsys, *args, "--baud", str(baud), "--json")
        assert status == 0, err
        return [[(r["register"], r["name"], r["value"], r["unit"]) for r in json.loads(line)]
                for line in out.splitlines()]

    with ferrun.virtual_actuator(baud=baud, address=BUS) as port:
        assert json_of("write", port, "3", "mode_command", "3") == [[(3, "mode_command", 3, "mode")]]
        assert json_of("read", port, "3", "mode_report") == [[(317, "mode_report", 3, "mode")]]
        assert json_of("write", port, "7", "100", "1,2,0xffff") == [
            [(100, None, 1, None), (101, None, 2, None), (102, None, 65535, None)]]
        assert json_of("read", port, "7", "100:3", "--log", log_path) == [
            [(100, None, 1, None), (101, None, 2, None), (102, None, 65535, None)]]
        assert json_of("write", port, "1", "140", "70000,-5", "--wide") == [
            [(140, None, 70000, None), (142, None, -5, None)]]
        assert json_of("read", port, "1", "140:2", "--wide") == [
            [(140, None, 70000, None), (142, None, -5, None)]]
        assert json_of("read", port, "1", "position", "--repeat", "2", "--rate", "50") == [
            [(342, "position", 0, "um")]] * 2
        status, out, _ = run(capsys, "read", port, "1", "voltage:3", "--baud", str(baud))
        assert status == 0 and out.split() == ["338", "voltage", "24000", "mV", "339", "0",
                                               "340", "0"]
        # No device at address 2: the SDK's own words, after its resends.
        status, out, err = run(capsys, "read", port, "2", "errors", "--baud", str(baud))
    assert status == 1 and out == ""
    assert err == ("ferrun: reading register 432 at address 2 failed: Response timed out, the "
                   "motor took too long to respond.\n")
    with open(log_path, newline="") as log:
        assert summarize(log).requests == 1


@pytest.mark.parametrize("args, text", [
    (["scan", "--address", "0-3"], "argument --address: addresses must be distinct, 1 to 247"),
    (["monitor", "--address", "1,248"], "addresses must be distinct, 1 to 247: 1,248"),
    (["read", "248", "voltage"], "argument ADDRESS: a server address is 1 to 247: 248"),
    (["read", "1", "speed"], "no register is named 'speed' (names: block_133, block_commit"),
    (["read", "1", "voltage:126"], "the count must be 1 to 125: voltage:126"),
    (["write", "1", "3", "65536"], "value 65536 does not fit a register (0 to 65535)"),
    (["write", "1", "position", "2147483648"], "does not fit a wide register"),
    (["read", "/dev/does-not-exist", "1", "voltage"],
     "cannot open serial port /dev/does-not-exist: No such file or directory"),
    (["monitor", "--plot"], "--plot needs a display"),
])
def test_bad_input_is_one_line_and_exit_status_1(args, text, capsys, monkeypatch):
    monkeypatch.setenv("MPLBACKEND", "agg")
    status, _, err = run(capsys, *args)
    assert status == 1
    assert text in err and err.startswith("ferrun: ") and err.count("\n") == 1, err


def test_monitor_counts_failures_by_address_and_fails_when_a_motor_cannot_sleep(capsys):
    with ferrun.virtual_actuator(paced=True, address=[1]) as port:
        status, out, err = run(capsys, "monitor", port, "--address", "1,2", "--seconds", "1")
    assert status == 1
    assert err == ("ferrun: could not return motor 2 to sleep mode: Failed to set mode within "
                   "25ms!\n")
    assert re.search(r"address 1: [1-9]\d* stream exchanges", out)
    assert re.search(r"address 2: [1-9]\d* stream exchanges \(\d+/s\), failures: timed out "
                     r"[1-9]", out), out


def test_monitor_and_scan_in_a_terminal_stop_at_ctrl_c():
    with ferrun.virtual_actuator(paced=True, address=BUS) as port:
        bus = _ferrun.Bus()
        assert not bus.open_serial_port(port)
        actuators = [_ferrun.Actuator(bus, a) for a in BUS]
        for a in actuators:
            assert not a.set_mode(_ferrun.PositionMode)
        bus.close_serial_port()

        def spawn(*args):
            return pexpect.spawn(sys.executable, ["-m", "ferrun", *args], encoding="utf-8",
                                 timeout=60, dimensions=(40, 120))

        monitor = spawn("monitor", port, "--address", "1,3,7")
        monitor.expect("address 1.*address 3.*address 7")
        monitor.expect(r"exchanges/s +[1-9]\d* +[1-9]\d* +[1-9]\d*")  # streaming from all three
        monitor.sendintr()
        monitor.expect("ferrun: interrupted, stream stopped; the motors are in sleep mode")
        monitor.expect(pexpect.EOF)
        monitor.close()
        assert monitor.exitstatus == 130

        scan = spawn("scan", port, "--baud", "19200")
        scan.expect("1 found")
        scan.sendintr()
        scan.expect(pexpect.EOF)
        scan.close()
        assert scan.exitstatus == 130
        assert "19200  SleepMode" in scan.before and "found before the scan was interrupted" \
            in scan.before and "ferrun: interrupted" in scan.before

        assert not bus.open_serial_port(port)
        assert [a.get_mode().value for a in actuators] == [_ferrun.SleepMode] * 3
        bus.close_serial_port()
