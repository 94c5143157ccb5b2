"""The virtual actuator program: its port line, its help, and how it stops."""

import os
import signal
import subprocess
import sys
import time

import pytest

import _ferrun
from ferrun import VirtualActuatorError, sim_binary, virtual_actuator


def start(*options):
    return subprocess.Popen([str(sim_binary()), *options], stdin=subprocess.PIPE,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)


def test_prints_its_port_and_stops_when_stdin_closes():
    sim = start()
    port = sim.stdout.readline().strip()
    assert os.path.exists(port)
    sim.stdin.close()
    assert sim.wait(timeout=5) == 0
    assert "served 0 requests" in sim.stderr.read()
    sim.stdout.close()
    sim.stderr.close()


def test_stops_on_sigterm():
    sim = start("--ignore-stdin")
    assert sim.stdout.readline().startswith("/dev/")
    sim.send_signal(signal.SIGTERM)
    assert sim.wait(timeout=5) == 0
    for stream in (sim.stdin, sim.stdout, sim.stderr):
        stream.close()


def test_help_lists_every_option_and_bad_options_are_refused():
    done = subprocess.run([sys.executable, "-m", "ferrun", "sim", "--help"],
                          capture_output=True, text=True, timeout=10)
    assert done.returncode == 0
    for option in ["--address", "--baud", "--turnaround-us", "--seed", "--drop", "--corrupt-crc",
                   "--wrong-address", "--truncate", "--exception", "--split", "--stray", "--late",
                   "--fault-address", "--journal"]:
        assert option in done.stdout
    bad = subprocess.run([str(sim_binary()), "--drop", "2"], capture_output=True, text=True,
                         timeout=10)
    assert bad.returncode == 2 and "--drop" in bad.stderr
    # Numbers that used to wrap on their way into an int are refused, through ferrun sim too.
    huge = subprocess.run([sys.executable, "-m", "ferrun", "sim", "--baud", "inf"],
                          capture_output=True, text=True, timeout=10)
    assert huge.returncode == 2 and huge.stdout == ""
    assert huge.stderr == ("ferrun-sim: bad value for --baud: inf (must be 0 for unpaced, or a "
                           "whole number from 50 to 20000000)\n")


@pytest.mark.parametrize("options, text", [
    (["--no-such-option"], "unknown option --no-such-option"),
    (["--address", "1,1"], "bad value for --address"),
    (["--baud", "3000000000"], "bad value for --baud: 3000000000 .must be 0 for unpaced"),
    (["--turnaround-us", "1e13"], "--turnaround-us: 1e13 .must be a whole number of micro"),
    (["--seed", "4294967296"], "--seed: 4294967296 .must be a whole number from 0 to 4294967295"),
    (["--late", "nan"], "--late: nan .must be a probability from 0 to 1"),
    (["--journal", "/no/such/dir/journal.tsv"], "cannot write the journal"),
])
def test_a_program_that_does_not_start_raises_with_its_own_words(options, text):
    with pytest.raises(VirtualActuatorError, match=text):
        with virtual_actuator(options):
            pass
    with pytest.raises(TypeError):  # "12" is not the addresses 1 and 2
        with virtual_actuator(address="12"):
            pass


def test_paced_line_takes_its_wire_time():
    with virtual_actuator(paced=True) as port:
        a = _ferrun.Actuator("x1")
        assert not a.open_serial_port(port, 19200, 0)
        started = time.monotonic()
        result = a.read_register_blocking(317)
        elapsed = time.monotonic() - started
        a.close_serial_port()
    assert not result.error and result.value == 1
    # 8 request characters, 1 ms turnaround, 7 response characters at 19200 baud: 9.6 ms.
    assert elapsed >= 0.0095


def test_bus_of_devices_keeps_separate_state_and_journals_it(tmp_path):
    journal = tmp_path / "journal.tsv"
    with virtual_actuator(address=[1, 2], journal=journal) as port:
        for address, value in [(1, 111), (2, 222)]:
            a = _ferrun.Actuator("x", address)
            assert not a.open_serial_port(port)
            assert not a.write_register_blocking(600, value)
            a.close_serial_port()
        values = {}
        for address in (1, 2, 3):
            a = _ferrun.Actuator("x", address)
            assert not a.open_serial_port(port)
            # Sent once each; asked again when a device starved by a busy machine answered late.
            for _ in range(6 if address != 3 else 1):
                values[address] = a.read_register_blocking(600, _ferrun.not_important)
                if "timed out" not in values[address].error.what():
                    break
            a.close_serial_port()
    assert values[1].value == 111 and values[2].value == 222
    assert values[3].error  # nobody answers address 3
    events = [line.split("\t") for line in journal.read_text().splitlines()
              if not line.startswith("#")]
    # A request resent after a late answer is heard, and carried out, once more.
    writes = [e[3:] for e in events if e[1] == "write"]
    assert [w for n, w in enumerate(writes) if w not in writes[:n]] == [["1", "600", "111"],
                                                                        ["2", "600", "222"]]
    verdicts = [e[4] for e in events if e[1] == "request"]
    assert len(verdicts) >= 5 and verdicts == ["served"] * (len(verdicts) - 1) + ["other-address"]
