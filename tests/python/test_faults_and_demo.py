"""Faults on the line end to end, and the demo command."""

import os
import random
import re
import subprocess
import sys
import time
from array import array

import pytest

import _ferrun
from ferrun import sim_binary, virtual_actuator
from ferrun.cli import log_write_failures, main
from ferrun.traffic_log import summarize

ALL_FAULTS = ["--seed", "7", "--drop", "0.02", "--corrupt-crc", "0.03", "--wrong-address",
              "0.03", "--truncate", "0.03", "--exception", "0.03", "--split", "0.05",
              "--stray", "0.03"]


def test_faults_never_pass_for_good_data(log_path):
    expected = {register: (register * 7 + 3) & 0xFFFF for register in range(100, 140)}
    failures = 0
    with virtual_actuator(ALL_FAULTS) as port:
        a = _ferrun.Actuator("x1")
        assert not a.open_serial_port(port)
        assert not a.begin_serial_logging(log_path)
        # Every write reaches the device whatever happens to its response.
        for register, value in expected.items():
            a.write_register_blocking(register, value)
        rng = random.Random(3)
        for _ in range(1000):
            register = rng.randrange(100, 140)
            priority = rng.choice([_ferrun.important, _ferrun.not_important])
            result = a.read_register_blocking(register, priority)
            if result.error:
                failures += 1
                assert result.error.what(), "every failure carries its text"
                assert result.value == 0
            else:
                assert result.value == expected[register]
        a.close_serial_port()
    assert 0 < failures < 300
    with open(log_path, newline="") as log:
        traffic = summarize(log)
    assert traffic.requests > 1040  # important requests were resent
    assert set(traffic.failures) >= {"timed out", "interchar gap", "wrong address", "wrong CRC",
                                     "exception response"}


def test_demo_runs_for_a_second():
    done = subprocess.run(
        [sys.executable, "-m", "ferrun", "demo", "--seconds", "1", "--no-progress"],
        capture_output=True, text=True, timeout=60,
    )
    assert done.returncode == 0, done.stderr
    assert "summary: " in done.stdout
    # A virtual actuator starved of CPU by a busy machine may answer too late, and its late
    # answer may then spoil the exchange after; without a time-out nothing may go wrong.
    failures = re.search(r"failures: (.*?), last telemetry", done.stdout).group(1)
    assert failures == "none" or re.search(r"\btimed out \d+", failures), failures


def test_demo_reports_a_port_that_cannot_open():
    done = subprocess.run(
        [sys.executable, "-m", "ferrun", "demo", "--port", "/dev/does-not-exist"],
        capture_output=True, text=True, timeout=60,
    )
    assert done.returncode != 0
    assert "Traceback" not in done.stderr
    assert "cannot open serial port /dev/does-not-exist" in done.stderr


@pytest.mark.parametrize("args, text", [
    (["--port", ""], "argument --port: an empty path"),  # not the virtual actuator
    (["--seconds", "-1"], "argument --seconds: not a number of seconds above 0: -1"),
    (["--seconds", "nan"], "argument --seconds: not a number of seconds above 0: nan"),
    (["--baud", "3000000000"], "argument --baud: not a whole number from 50 to 20000000"),
    (["--address", "1,248"], "argument --address: addresses must be distinct, 1 to 247"),
])
def test_demo_refuses_bad_arguments_in_one_line(args, text, capsys):
    with pytest.raises(SystemExit) as stopped:
        main(["demo", *args])
    out, err = capsys.readouterr()
    assert stopped.value.code == 1 and out == ""
    assert err.startswith(f"ferrun: {text}") and err.count("\n") == 1


@pytest.mark.skipif(not os.path.exists("/dev/full"), reason="no /dev/full here")
def test_demo_summary_tells_of_failed_log_writes(unpaced_port):
    bus = _ferrun.Bus()
    assert not bus.open_serial_port(unpaced_port)
    assert log_write_failures(bus) == ""
    assert not bus.begin_serial_logging("/dev/full")
    assert not _ferrun.Actuator(bus, 1).write_register_blocking(600, 1)
    bus.close_serial_port()
    assert re.fullmatch(r"traffic log: \d+ writes failed: Failed to write to log file "
                        r"/dev/full: No space left on device\.", log_write_failures(bus))


def test_demo_state_never_shows_a_failed_reading_as_a_value():
    from ferrun.cli import _print_state
    from ferrun.session import CommandError

    class Answers:
        name = "x1"

        def __getattr__(self, name):
            failed = name == "get_voltage_mV"
            value = _ferrun.MotorMode.SleepMode if name == "get_mode" else 0
            return lambda: type("Result", (), {"value": value, "error": _ferrun.ZelkError(
                int(failed), "Serial line lost: End of file. " if failed else "")})()

    with pytest.raises(CommandError, match=r"reading its voltage.*Serial line lost"):
        _print_state(Answers())


def test_demo_reports_a_device_that_does_not_answer():
    with virtual_actuator(["--drop", "1"]) as port:
        done = subprocess.run(
            [sys.executable, "-m", "ferrun", "demo", "--port", port, "--no-progress"],
            capture_output=True, text=True, timeout=60,
        )
    assert done.returncode != 0
    assert "does not answer" in done.stderr and "Traceback" not in done.stderr


def test_demo_stops_at_once_when_the_device_goes_away(tmp_path):
    log = tmp_path / "demo.log"
    sim = subprocess.Popen([str(sim_binary())], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                           stderr=subprocess.DEVNULL, text=True)
    port = sim.stdout.readline().strip()
    demo = subprocess.Popen([sys.executable, "-m", "ferrun", "demo", "--port", port, "--seconds",
                             "120", "--no-progress", "--log", str(log)],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    deadline = time.monotonic() + 60
    while time.monotonic() < deadline and demo.poll() is None:
        if log.exists() and log.read_text().count("\ttx\t01\t64\t") >= 20:
            break
        time.sleep(0.05)
    sim.kill()  # its end of the pseudo-terminal closes
    sim.communicate()
    out, err = demo.communicate(timeout=60)  # not after the 120 s
    assert demo.returncode == 1 and "summary" not in out
    assert re.fullmatch(r"ferrun: streaming stopped after [0-9.]+ s: Serial line lost: [^;]+; "
                        r"the motor could not be put into sleep mode\n", err), err
    with open(log, newline="") as lines:
        lost = summarize(lines).failures.get("line lost", 0)
    assert 0 < lost < 5  # not one for each pass left of the two minutes


def test_late_answers_are_never_taken_for_the_next_request():
    # A device that answers some requests after the time-out, on a paced line: reads of two
    # registers alternate, and a late answer must never pass for the other register's value.
    with virtual_actuator(["--late", "0.3", "--seed", "5"], paced=True) as port:
        a = _ferrun.Actuator("x1")
        assert not a.open_serial_port(port)
        assert not a.write_register_blocking(600, 1111)
        assert not a.write_register_blocking(601, 2222)
        outcomes = []
        for i in range(40):
            register, expected = (600, 1111) if i % 2 == 0 else (601, 2222)
            read = a.read_register_blocking(register, _ferrun.not_important)
            outcomes.append("failed" if read.error else read.value == expected)
        a.close_serial_port()
    assert False not in outcomes
    assert "failed" in outcomes and True in outcomes


def test_demo_recordings_stay_small_over_a_long_run():
    """A soak test streams for hours: the summary counts what each take held instead of
    keeping every sample, and only a plot keeps the first actuator's samples."""
    import tracemalloc

    from ferrun.cli import _Recordings
    from ferrun.recording import ArrayRecording

    timed_out = next(mask for mask, _, _, kind in _ferrun.failure_table() if kind == "timed out")

    class Streamed:  # an actuator whose every take holds 2000 samples, one timed out
        def start_recording(self, capacity):
            pass

        def stop_recording(self):
            pass

        def take_recording(self):
            failed = array("B", [1] + [0] * 1999)
            failure = array("H", [timed_out] + [0] * 1999)
            return ArrayRecording({"time_us": array("q", range(2000)), "failed": failed,
                                   "failure": failure}, lost=1)

    tracemalloc.start()
    try:
        recordings = _Recordings([Streamed(), Streamed()], keep_first=False)
        for _ in range(200):
            recordings.take()
        held, _ = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    assert held < 2_000_000  # 800 000 samples were taken
    assert recordings.exchanges == [400_200, 400_200] and recordings.lost == [200, 200]
    assert recordings.failures[1] == {"timed out": 200}
