"""The virtual actuator program: its port line, its help, and how it stops."""

import os
import signal
import subprocess
import sys

from ferrun import sim_binary


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
                   "--wrong-address", "--truncate", "--exception", "--split", "--stray"]:
        assert option in done.stdout
    bad = subprocess.run([str(sim_binary()), "--drop", "2"], capture_output=True, text=True,
                         timeout=10)
    assert bad.returncode == 2 and "--drop" in bad.stderr
