"""Calls that wait release the GIL; one Actuator is safe to share between threads; several
actuators share one line through a Bus."""

import threading
import time

import _ferrun
from _ferrun import MessagePriority, MotorMode
from ferrun import virtual_actuator


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


def test_two_actuators_on_one_bus():
    with virtual_actuator(["--address", "2"]) as port:
        bus = _ferrun.Bus()
        assert not bus.open_serial_port(port)
        silent = _ferrun.Actuator(bus, 1, "absent")
        present = _ferrun.Actuator(bus, 2, "x2")
        assert bus.actuator_count() == 2
        assert present.get_bus().actuator_count() == 2
        assert not present.write_register_blocking(600, 42)
        assert present.read_register_blocking(600).value == 42
        missing = silent.read_register_blocking(600, MessagePriority.not_important)
        assert missing.error and missing.value == 0
        assert present.read_register_blocking(600).value == 42
        bus.close_serial_port()
