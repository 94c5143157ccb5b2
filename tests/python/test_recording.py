"""Telemetry recording: what the bus thread recorded is what the device heard, with and
without NumPy, and a ring too small for the reader counts what it dropped."""

import csv
import sys
import time

import pytest

from _ferrun import MotorMode
from ferrun.recording import FIELDS, ArrayRecording

MESSAGES_SENT = 5


def _until_stream_idle(a):
    a.disable_stream()
    a.read_register_blocking(317)  # returns once the last stream exchange is digested


@pytest.mark.parametrize("with_numpy", [True, False])
def test_a_recording_matches_the_journal_and_a_full_ring_counts_its_losses(
        journaled, tmp_path, monkeypatch, with_numpy):
    if not with_numpy:
        monkeypatch.setitem(sys.modules, "numpy", None)  # import numpy fails
    a, journal = journaled
    assert not a.set_mode(MotorMode.ForceMode)
    a.set_setpoint_timeout_ms(0)
    a.start_recording(10_000)
    a.enable_stream()
    with a.streaming():
        takes = []
        for i in range(8):  # a reader taking every 100 ms
            a.set_streamed_force_mN(10 * i)
            time.sleep(0.1)
            takes.append(a.take_recording())
        _until_stream_idle(a)
        takes.append(a.take_recording())
        a.start_recording(5)
        a.enable_stream()
        until = a.get_bus().get_diagnostic_counters()[MESSAGES_SENT] + 30
        while a.get_bus().get_diagnostic_counters()[MESSAGES_SENT] < until:
            time.sleep(0.01)
        _until_stream_idle(a)
        small = a.take_recording()
    heard = [int(line.split("\t")[5]) for line in journal.read_text().splitlines()
             if "\tstream\t" in line]
    recorded = [int(v) for take in takes for v in take["setpoint"]]
    assert [take.lost for take in takes] == [0] * len(takes)
    assert recorded == heard[:len(recorded)] and len(recorded) > 8
    assert len(small) == 5 and small.lost + 5 == len(heard) - len(recorded)
    assert list(small["setpoint"]) == heard[-5:]
    if with_numpy:
        import numpy
        assert isinstance(small, numpy.ndarray) and small.dtype.names == tuple(n for n, _, _ in FIELDS)
    else:
        assert isinstance(small, ArrayRecording)

    path = tmp_path / "recording.csv"
    takes[0].to_csv(path)
    with open(path, newline="") as written:
        units = written.readline()
        rows = list(csv.reader(written))
    assert units.startswith("# time_us: us") and "position_um: um" in units
    assert rows[0] == [name for name, _, _ in FIELDS]
    assert len(rows) == len(takes[0]) + 1
    assert [int(v) for v in rows[1]] == [int(takes[0][name][0]) for name, _, _ in FIELDS]


def test_failed_exchanges_carry_their_failure_bits():
    import _ferrun
    from ferrun.recording import columns, failure_counts
    from ferrun.virtual import virtual_actuator

    with virtual_actuator(["--corrupt-crc", "0.3", "--exception", "0.2"]) as port:
        a = _ferrun.Actuator("x1")
        assert not a.open_serial_port(port, 1_000_000)
        a.set_mode(MotorMode.ForceMode)
        a.start_recording(1000)
        a.enable_stream()
        while a.get_bus().get_diagnostic_counters()[MESSAGES_SENT] < 60:
            a.get_bus().run_wait(5000)
        _until_stream_idle(a)
        samples = columns([a.take_recording()])
        a.close_serial_port()
    counts = failure_counts(samples)
    assert counts["wrong CRC"] > 0 and counts["exception response"] > 0
    assert sum(counts.values()) >= sum(samples["failed"]) > 0
