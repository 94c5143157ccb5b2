"""Calls that wait release the GIL; one Actuator is safe to share between threads; several
actuators share one line through a Bus."""

import os
import re
import select
import subprocess
import sys
import threading
import time
import tty

import pytest

import _ferrun
from _ferrun import MessagePriority, MotorMode
from ferrun import virtual_actuator
from ferrun.traffic_log import read_frames, summarize_by_address

MESSAGES_SENT = 5  # the bus's diagnostic counter of requests sent


def _ticker(stop, gaps):
    last = time.perf_counter()
    while not stop.is_set():
        time.sleep(0.001)
        now = time.perf_counter()
        gaps.append(now - last)
        last = now


def test_other_threads_run_while_a_call_waits_for_the_line():
    with virtual_actuator(["--no-mode-confirm"]) as port:
        a = _ferrun.Actuator("x1")
        assert not a.open_serial_port(port)
        stop, gaps = threading.Event(), []
        ticker = threading.Thread(target=_ticker, args=(stop, gaps))
        ticker.start()
        try:
            started = time.perf_counter()
            assert a.set_mode(MotorMode.PositionMode)  # never confirmed: runs its 125 ms
            waited = time.perf_counter() - started
        finally:
            stop.set()
            ticker.join()
            a.close_serial_port()
        # The ticker kept ticking during the call: it would have been held for all of it.
        ticks_during_call = sum(1 for g in gaps if g < waited / 2)
        assert ticks_during_call >= 5


def test_threads_sharing_an_actuator_each_get_their_own_answers(actuator):
    failures = []

    def worker(register, base):
        for i in range(40):
            value = base + i
            if actuator.write_register_blocking(register, value):
                failures.append(("write", register, i))
            read = actuator.read_register_blocking(register)
            if read.error or read.value != value:
                failures.append(("read", register, i, read.value))

    threads = [threading.Thread(target=worker, args=(600 + n, 1000 * (n + 1))) for n in range(3)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert failures == []


def _open_bus(port, log_path=None):
    bus = _ferrun.Bus()
    assert not bus.open_serial_port(port)
    if log_path:
        assert not bus.begin_serial_logging(log_path)
    return bus


def test_blocking_calls_from_two_threads_on_a_paced_bus_get_their_own_answers():
    with virtual_actuator(paced=True, address=[1, 2]) as port:
        bus = _open_bus(port)
        pair = [_ferrun.Actuator(bus, 1, "a1"), _ferrun.Actuator(bus, 2, "a2")]
        wrong = []

        def worker(a, base):
            for i in range(15):
                if a.write_register_blocking(600, base + i) or \
                        a.read_register_blocking(600).value != base + i:
                    wrong.append((a.name, i))

        threads = [threading.Thread(target=worker, args=(a, 1000 * (n + 1)))
                   for n, a in enumerate(pair)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        bus.close_serial_port()
        assert wrong == []


def test_three_streaming_actuators_each_follow_their_own_device(log_path):
    # Address 2 drops every answer: it stays in the cycle, the others keep their share.
    options = ["--fault-address", "2", "--drop", "1"]
    with virtual_actuator(options, paced=True, baud=115200, address=[1, 2, 3]) as port:
        bus = _open_bus(port, log_path)
        trio = [_ferrun.Actuator(bus, n, f"a{n}") for n in (1, 2, 3)]
        for a, target in zip((trio[0], trio[2]), (4000, -6000)):
            assert not a.set_mode(MotorMode.PositionMode)
            a.set_streamed_position_um(target)
        for a in trio:
            a.enable_stream()
        # 2 s and 21 bus cycles, however long a busy machine makes those.
        def sent():
            return bus.get_diagnostic_counters()[MESSAGES_SENT]

        enough = sent() + 63
        until, limit = time.monotonic() + 2.0, time.monotonic() + 60
        while time.monotonic() < until or (sent() < enough and time.monotonic() < limit):
            bus.run_wait(10000)
        for a in trio:
            a.disable_stream()
        bus.close_serial_port()
    assert abs(trio[0].get_stream_data().position - 4000) < 300
    assert abs(trio[2].get_stream_data().position + 6000) < 300
    assert "timed out" in trio[1].last_error().what()
    with open(log_path) as log:
        counts = {n: s.stream_requests for n, s in summarize_by_address(log).items()}
    assert counts[1] > 20 and abs(counts[1] - counts[3]) <= 1 and abs(counts[1] - counts[2]) <= 1


def test_a_bus_of_one_sends_what_a_single_actuator_sends(tmp_path):
    def script(a):
        a.write_register_blocking(600, 7)
        a.read_multiple_registers_blocking(600, 3)
        a.set_mode(MotorMode.ForceMode)
        a.set_streamed_force_mN(-250)
        a.enable_stream()
        for _ in range(20):
            a.run_wait(10000)
        a.disable_stream()
        a.set_mode(MotorMode.SleepMode)

    sent = []
    for on_bus in (False, True):
        path = str(tmp_path / f"{on_bus}.log")
        with virtual_actuator(paced=True) as port:
            if on_bus:
                bus = _open_bus(port, path)
                a = _ferrun.Actuator(bus, 1, "x1")
            else:
                a = _ferrun.Actuator("x1", 1)
                assert not a.open_serial_port(port)
                assert not a.begin_serial_logging(path)
            script(a)
            a.close_serial_port() if not on_bus else bus.close_serial_port()
        with open(path) as log:
            frames = [f.data for f in read_frames(log) if f.direction == "tx"]
        # How often a frame goes out (stream commands in 20 passes, set_mode's confirming
        # reads, resends) and how they interleave with the stream depend on the machine;
        # which register frames go out does not.
        assert any(f[1] == 100 for f in frames)
        sent.append(sorted(set(f for f in frames if f[1] != 100)))
    assert sent[0] == sent[1]


def test_demo_moves_every_actuator_on_a_bus():
    done = subprocess.run(
        [sys.executable, "-m", "ferrun", "demo", "--seconds", "1", "--no-progress",
         "--address", "1,2,3"],
        capture_output=True, text=True, timeout=60,
    )
    assert done.returncode == 0, done.stderr
    for address in (1, 2, 3):
        assert f"actuator {address} state: mode SleepMode" in done.stdout
        assert re.search(rf"  address {address}: \d+ stream exchanges", done.stdout)

# The answers below come from Python on the test's own thread, so a blocking call that
# kept the GIL while it waits would never get one and fail.
def _answer(request: bytes) -> bytes:
    from ferrun.log_decoder import crc16

    if request[1] == 0x17:  # read-write: one register read back
        body = request[:2] + bytes([2, 0, 7])
    else:  # write multiple: the echo of address and quantity
        body = request[:6]
    crc = crc16(body)
    return body + bytes([crc & 0xFF, crc >> 8])


@pytest.mark.parametrize(
    "call",
    [
        lambda a: a.write_wide_register_blocking(700, -2),
        lambda a: a.write_multiple_registers_blocking(600, 1, 5),
        lambda a: a.write_multiple_registers_blocking(600, 2, [5, 6]),
        lambda a: a.read_write_multiple_registers_blocking(600, 1, 601, 1, 5).error,
    ],
)
def test_blocking_calls_let_python_answer_while_they_wait(call):
    master, slave = os.openpty()
    tty.setraw(slave)
    a = _ferrun.Actuator("x1")
    assert not a.open_serial_port(os.ttyname(slave), 19200, 0)
    outcome = []
    caller = threading.Thread(target=lambda: outcome.append(call(a)))
    caller.start()
    while caller.is_alive():
        if select.select([master], [], [], 0.05)[0]:
            os.write(master, _answer(os.read(master, 512)))
    caller.join()
    a.close_serial_port()
    os.close(master)
    os.close(slave)
    assert not outcome[0], outcome[0].what()
