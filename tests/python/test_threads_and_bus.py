"""Calls that wait release the GIL; one Actuator is safe to share between threads; several
actuators share one line through a Bus."""

import os
import re
import select
import signal
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


def test_the_bus_thread_streams_while_python_holds_the_gil_and_blocking_calls_slot_in(journaled):
    a, journal = journaled
    assert not a.set_mode(MotorMode.PositionMode)
    a.set_streamed_position_um(3000)
    a.set_setpoint_timeout_ms(0)  # the set-point is never refreshed here
    a.enable_stream()
    with a.streaming():
        assert a.is_streaming() and a.get_bus().is_streaming()
        for call in (a.run, lambda: a.get_bus().run_wait(1000)):
            with pytest.raises(RuntimeError, match="refused while the bus thread streams"):
                call()
        started = time.monotonic()
        while time.monotonic() < started + 1.0:
            pass  # pure Python: this thread keeps the GIL
        ended = time.monotonic()
        wrong = []

        def worker(register):
            for i in range(10):
                if a.write_register_blocking(register, i) or \
                        a.read_register_blocking(register).value != i:
                    wrong.append((register, i))

        threads = [threading.Thread(target=worker, args=(r,)) for r in (600, 601)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    assert not a.is_streaming() and not a.get_bus().last_error()
    assert wrong == []
    # The journal's times are CLOCK_MONOTONIC's, as time.monotonic() reads it.
    streamed = [int(line.split("\t")[0]) / 1e6 for line in journal.read_text().splitlines()
                if "\tstream\t" in line]
    assert sum(1 for t in streamed if started < t < ended) >= 50


def test_the_bus_thread_watchdog_puts_a_forgotten_motor_to_sleep_until_the_next_set_point(
        journaled):
    a, journal = journaled
    with pytest.raises(ValueError, match="0 \\(off\\) or more"):
        a.set_setpoint_timeout_ms(-1)
    assert not a.set_mode(MotorMode.ForceMode)
    a.set_streamed_force_mN(300)
    a.enable_stream()
    with a.streaming():  # 200 ms unless set
        until = time.monotonic() + 30
        while a.get_mode().value != MotorMode.SleepMode and time.monotonic() < until:
            time.sleep(0.05)
        assert a.watchdog_tripped()
        a.set_streamed_force_mN(100)
        assert not a.watchdog_tripped()
    events = [line.split("\t") for line in journal.read_text().splitlines()
              if "\tstream\t" in line or "\tmode\t" in line]
    streamed = [int(e[5]) for e in events if e[1] == "stream"]
    assert sorted(set(streamed), key=streamed.index) == [300, 0]  # the set-point, then 0 mN
    assert events[-1][1] == "mode" and events[-1][4:] == ["2", "1"]  # then sleep mode


def test_a_blocking_call_on_another_thread_never_trips_a_fed_watchdog(journaled):
    a, journal = journaled
    absent = _ferrun.Actuator(a.get_bus(), 9)
    assert not a.set_mode(MotorMode.ForceMode)
    a.set_streamed_force_mN(300)
    a.enable_stream()
    stop = threading.Event()

    def feed():
        while not stop.is_set():
            a.set_streamed_force_mN(300)
            time.sleep(0.01)

    def streamed_once_more():
        # A busy machine may start the bus thread late: wait for a turn, not for a time.
        sent = a.get_bus().get_diagnostic_counters()[MESSAGES_SENT]
        limit = time.monotonic() + 30
        while (a.get_bus().get_diagnostic_counters()[MESSAGES_SENT] == sent
               and time.monotonic() < limit):
            time.sleep(0.005)

    feeder = threading.Thread(target=feed)
    with a.streaming():  # 200 ms unless set
        feeder.start()
        streamed_once_more()
        # Six attempts of 40 ms and the quiet after each: the bus is held for 700 ms.
        assert absent.read_register_blocking(317, response_timeout_us=40000).error
        streamed_once_more()
        stop.set()
        feeder.join()
    streamed = [int(line.split("\t")[5]) for line in journal.read_text().splitlines()
                if "\tstream\t" in line]
    assert set(streamed) == {300} and a.get_mode().value == MotorMode.ForceMode


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


def test_constructing_and_deleting_on_a_busy_bus_lets_other_threads_run():
    with virtual_actuator(["--no-mode-confirm"]) as port:
        bus = _open_bus(port)
        busy = _ferrun.Actuator(bus, 1, "busy")
        stop, gaps = threading.Event(), []
        ticker = threading.Thread(target=_ticker, args=(stop, gaps))
        ticker.start()
        try:
            for _ in range(2):
                holder = threading.Thread(target=lambda: busy.set_mode(MotorMode.PositionMode))
                holder.start()
                time.sleep(0.02)  # set_mode holds the bus for its 125 ms from here
                started = time.perf_counter()
                second = _ferrun.Actuator(bus, 2, "second")  # waits for the bus
                del second
                waited = time.perf_counter() - started
                holder.join()
        finally:
            stop.set()
            ticker.join()
            bus.close_serial_port()
        assert waited > 0.03  # the constructor really waited for set_mode
        assert sum(1 for g in gaps if g < waited / 2) >= 5


# Each program leaves a daemon thread inside the SDK and returns from its main module.
_EXIT_PROGRAM = """
import sys, threading, time, _ferrun
from ferrun import virtual_actuator
kind = sys.argv[1]
sim = virtual_actuator(["--no-mode-confirm"], paced=True)
a = _ferrun.Actuator("x1")
assert not a.open_serial_port(sim.__enter__())
def blocking():
    while True:
        a.read_register_blocking(317)
def streaming():
    a.enable_stream()
    while True:
        a.run_wait(10000)
def idle():
    while True:
        a.run_wait(60_000_000)
def deleting():
    while True:
        other = _ferrun.Actuator(a.get_bus(), 2)
        del other
def bus_thread():  # returns at once, leaving the bus thread streaming
    a.enable_stream()
    a.start_streaming()
def recording():  # takes what the bus thread records, NumPy wrapping it
    a.start_recording(1000)
    bus_thread()
    while True:
        a.take_recording()
threading.Thread(target={"blocking": blocking, "streaming": streaming, "idle": idle,
                         "deleting": deleting, "bus_thread": bus_thread,
                         "recording": recording}[kind],
                 daemon=True).start()
time.sleep(0.1)
"""


@pytest.mark.parametrize("kind", ["blocking", "streaming", "idle", "deleting", "bus_thread",
                                  "recording"])
def test_interpreter_exit_with_a_thread_inside_the_sdk_is_clean(kind):
    runs = [subprocess.Popen([sys.executable, "-c", _EXIT_PROGRAM, kind],
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
            for _ in range(20)]
    outcomes = [(run.wait(timeout=60), run.stderr.read()) for run in runs]
    for run in runs:
        run.stdout.close()
        run.stderr.close()
    assert [code for code, _ in outcomes] == [0] * 20, outcomes


_CTRL_C_PROGRAM = """
import time, _ferrun
from ferrun import virtual_actuator
with virtual_actuator() as port:
    a = _ferrun.Actuator("x1")
    assert a.open_serial_port(port, 19200, 2_000_000)
    assert a.open_serial_port(port, 19200, -1)
    assert not a.open_serial_port(port)
    a.run_wait(100_000)  # ends with the quiet window after the open
    print("waiting", flush=True)
    started = time.monotonic()
    try:
        a.run_wait(60_000_000)
    except KeyboardInterrupt:
        assert time.monotonic() - started < 30
    assert not a.write_register_blocking(600, 5) and a.read_register_blocking(600).value == 5
    print("usable", flush=True)
with virtual_actuator(["--drop", "1"]) as port:
    a = _ferrun.Actuator("x1")
    assert not a.open_serial_port(port)
    print("calling", flush=True)
    try:
        for _ in range(20):  # each fails after six silent attempts, 7 s in all
            a.read_register_blocking(317)
    except KeyboardInterrupt:
        print(a.last_error().what(), flush=True)
"""


def test_ctrl_c_ends_a_long_wait_or_a_blocking_call_and_leaves_the_actuator_usable():
    run = subprocess.Popen([sys.executable, "-c", _CTRL_C_PROGRAM], stdout=subprocess.PIPE,
                           stderr=subprocess.PIPE, text=True)
    for prompts in (["waiting\n"], ["usable\n", "calling\n"]):
        assert [run.stdout.readline() for _ in prompts] == prompts
        time.sleep(0.2)
        run.send_signal(signal.SIGINT)
    out, err = run.communicate(timeout=60)
    assert run.returncode == 0, err
    assert out.splitlines() == ["Call abandoned before its answer came. "]


# Handlers run between calls, never inside one that holds the bus: one that reads another
# register leaves the call it came during its own answer, and one that joins a thread
# waiting for the bus does not wait for ever.
_HANDLER_PROGRAM = """
import os, signal, sys, threading, _ferrun
from ferrun import virtual_actuator
with virtual_actuator(paced=True) as port:
    a = _ferrun.Actuator("x1")
    assert not a.open_serial_port(port)
    assert not a.write_multiple_registers_blocking(600, 100, list(range(1000, 1100)))
    assert not a.write_register_blocking(700, 7777)
    seen = []
    signal.signal(signal.SIGUSR1, lambda *_: seen.append(a.read_register_blocking(700).value))
    threading.Timer(0.02, os.kill, (os.getpid(), signal.SIGUSR1)).start()
    outer = a.read_multiple_registers_blocking(600, 100)
    assert outer.value == list(range(1000, 1100)) and not outer.error, outer.error.what()
    stop = threading.Event()
    def work():
        while not stop.is_set():
            a.read_register_blocking(317)
    worker = threading.Thread(target=work)
    def on_term(*_):
        stop.set()
        worker.join()
        print(seen, flush=True)
        sys.exit(0)
    signal.signal(signal.SIGTERM, on_term)
    worker.start()
    threading.Timer(0.2, os.kill, (os.getpid(), signal.SIGTERM)).start()
    while True:
        a.read_multiple_registers_blocking(600, 100)
"""


def test_signal_handlers_may_use_the_bus():
    done = subprocess.run([sys.executable, "-c", _HANDLER_PROGRAM], capture_output=True,
                          text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    assert done.stdout == "[7777]\n"


# Ctrl-C while the main thread waits for a bus another thread holds: its call is abandoned
# before anything is sent.
_BUS_WAIT_PROGRAM = """
import os, signal, sys, threading, time, _ferrun
from ferrun import virtual_actuator
with virtual_actuator(["--fault-address", "2", "--drop", "1"], address=[1, 2],
                      journal=sys.argv[1]) as port:
    bus = _ferrun.Bus()
    assert not bus.open_serial_port(port)
    me, other = _ferrun.Actuator(bus, 1, "me"), _ferrun.Actuator(bus, 2, "other")
    stop = threading.Event()
    def hold_the_bus():
        while not stop.is_set():
            other.read_register_blocking(317)  # silent: each call holds the bus ~0.4 s
            time.sleep(0.01)  # the bus's lock is not fair: let the waiting call have it
    holder = threading.Thread(target=hold_the_bus)
    holder.start()
    time.sleep(0.1)
    threading.Timer(0.05, os.kill, (os.getpid(), signal.SIGINT)).start()
    try:
        me.get_mode()
    except KeyboardInterrupt:
        print(me.last_error().what(), flush=True)
    stop.set()
    holder.join()
"""


def test_ctrl_c_while_waiting_for_the_bus_sends_nothing(tmp_path):
    journal = tmp_path / "journal.tsv"
    done = subprocess.run([sys.executable, "-c", _BUS_WAIT_PROGRAM, str(journal)],
                          capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    assert done.stdout == "Call abandoned before its answer came. \n"
    requests = [line.split("\t")[-1] for line in journal.read_text().splitlines()
                if "\trequest\t" in line]
    assert requests and not any(frame.startswith("01") for frame in requests)
