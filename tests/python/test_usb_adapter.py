"""Through an emulated USB-serial adapter with the common drivers' 16 ms latency timer: the
answers reach the port in packets or at the timer's ticks, long ones split across ticks.
Single-attempt exchanges succeed once the bus knows the adapter's latency, whether it learnt
it on open (the SDK's request for low latency honoured) or from its caller (refused); and
``ferrun doctor`` on such an adapter."""

import os
import re
import threading

import pytest

import _ferrun
from _ferrun import not_important
from ferrun import virtual_actuator
from ferrun.cli import main

pytestmark = pytest.mark.skipif(not hasattr(_ferrun.Bus, "adapter_latency_us"),
                                reason="this _ferrun's Bus does not budget for an adapter")

LATENCY_MS = 16
READ_SIZES = (1, 10, 60, 125)  # 125: the longest answer, 255 bytes, in five packets
READS_EACH = 10
SCRATCH = 600


def journal_latencies(path):
    """The latency changes the virtual actuator's journal recorded, as (from, to) in ms."""
    with open(path) as f:
        fields = [line.rstrip("\n").split("\t") for line in f if not line.startswith("#")]
    return [(int(f[3]), int(f[4])) for f in fields if f[1] == "latency"]


def exchange_everything_once(bus):
    """Reads of every size and the longest write, each sent once: every one must succeed."""
    a = _ferrun.Actuator(bus, 1)
    # Resends allowed: a latency lowered on open applies from the adapter's next tick, up to
    # 16 ms on, which the first answer may have to wait for.
    assert not a.read_register_blocking(317).error
    for count in READ_SIZES:
        for _ in range(READS_EACH):
            result = a.read_multiple_registers_blocking(0, count, not_important)
            assert not result.error, f"{count} registers: {result.error.what()}"
    values = [(7 * i) & 0xFFFF for i in range(123)]
    error = a.write_multiple_registers_blocking(SCRATCH, 123, values, not_important)
    assert not error, error.what()
    assert a.read_multiple_registers_blocking(SCRATCH, 123, not_important).value == values


# 32 ms: longer than the engine's own limits, so nothing but the budget lets answers through.
@pytest.mark.parametrize("baud, latency_ms", [(19200, LATENCY_MS), (115200, LATENCY_MS),
                                              (19200, 32)])
def test_single_attempts_succeed_with_a_latency_the_caller_gave(baud, latency_ms):
    # No --sysfs-root: the adapter's setting is out of the SDK's reach, as on a driver
    # without a latency_timer, so open finds no latency and the caller says what it is.
    with virtual_actuator(baud=baud, turnaround_us=1000,
                          options=["--usb-latency-ms", str(latency_ms)]) as port:
        bus = _ferrun.Bus()
        assert not bus.open_serial_port(port, baud)
        assert bus.adapter_latency_us == 0
        bus.adapter_latency_us = latency_ms * 1000
        exchange_everything_once(bus)
        bus.close_serial_port()


@pytest.mark.parametrize("baud", [19200, 115200])
def test_the_sdks_low_latency_request_makes_the_adapter_fast_until_close(baud, tmp_path):
    journal = tmp_path / "journal.tsv"
    before = os.environ.get("FERRUN_SYSFS_ROOT")
    with virtual_actuator(baud=baud, turnaround_us=1000, usb_latency_ms=LATENCY_MS,
                          journal=journal) as port:
        root = os.environ["FERRUN_SYSFS_ROOT"]
        timer = os.path.join(root, "class", "tty", os.path.basename(os.path.realpath(port)),
                             "device", "latency_timer")
        bus = _ferrun.Bus()
        assert not bus.open_serial_port(port, baud)
        assert bus.adapter_latency_us == 1000, bus.adapter_report
        assert "latency_timer" in bus.adapter_report
        exchange_everything_once(bus)
        bus.close_serial_port()
        with open(timer) as f:
            assert f.read() == f"{LATENCY_MS}\n"  # the driver's setting as it was
    assert os.environ.get("FERRUN_SYSFS_ROOT") == before
    assert not os.path.exists(timer)
    # The emulation heard the request on open and the restore on close.
    assert journal_latencies(journal) == [(LATENCY_MS, 1), (1, LATENCY_MS)]


def test_the_sysfs_root_stays_named_while_another_threads_adapter_block_ends_first():
    entered, leave = threading.Event(), threading.Event()

    def other():
        with virtual_actuator(usb_latency_ms=LATENCY_MS):
            entered.set()
            leave.wait()

    before = os.environ.get("FERRUN_SYSFS_ROOT")
    thread = threading.Thread(target=other)
    thread.start()
    entered.wait()
    with virtual_actuator(usb_latency_ms=LATENCY_MS) as port:
        leave.set()
        thread.join()
        bus = _ferrun.Bus()
        assert not bus.open_serial_port(port, 19200)
        assert bus.adapter_latency_us == 1000, bus.adapter_report
        bus.close_serial_port()
    assert os.environ.get("FERRUN_SYSFS_ROOT") == before


def test_doctor_sees_the_adapters_latency_fixes_it_and_reads_through_it(capsys, tmp_path):
    journal = tmp_path / "journal.tsv"
    with virtual_actuator(baud=115200, turnaround_us=1000, usb_latency_ms=LATENCY_MS,
                          journal=journal) as port:
        main(["doctor", port])  # other checks depend on this machine: not its status
        before = capsys.readouterr().out
        main(["doctor", port, "--fix", "--address", "1", "--baud", "115200"])
        fixed = capsys.readouterr().out
    assert re.search(rf"^warning +latency: .*latency timer {LATENCY_MS} ms", before, re.M), before
    assert re.search(rf"^ok +latency: .*{LATENCY_MS} ms -> 1 ms", fixed, re.M), fixed
    assert re.search(r"^ok +live: 20 of 20 reads", fixed, re.M), fixed
    # The fix stays (as until a real adapter is plugged in again): open found 1 ms and kept it.
    assert journal_latencies(journal) == [(LATENCY_MS, 1)]
