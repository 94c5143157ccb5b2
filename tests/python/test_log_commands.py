"""``ferrun log decode|stats|plot`` on hand-made logs, and the demo's log, plot and stop."""

import csv
import io
import os
import signal
import stat
import subprocess
import sys
import time

import pytest

from ferrun.cli import main
from ferrun.log_decoder import LogDecoder
from ferrun.log_stats import collect_stats, format_stats, percentiles
from ferrun.traffic_log import read_frames

READ_317 = "01 03 01 3d 00 01 14 3a"
ANSWER_2 = "01 03 02 00 02 39 85"
BUSY = "01 83 06 c1 32"
STREAM_SLEEP = "01 64 00 00 00 00 00 03 e4"
STREAM_POSITION = "01 64 1e 00 01 86 a0 98 3e"
TELEMETRY = "01 64 00 00 01 00 ff ff ff fe 00 0a c8 5d c0 00 01 f7 78"

# Round trips 500, 700, 300, 200, 400 us; a time-out and an exception answer, each resent;
# stream cycles of 2000 and 3000 us; one corrupted telemetry frame.
HAND_MADE = [
    (1000, "tx", READ_317), (1500, "rx", ANSWER_2),
    (4000, "tx", READ_317), (24100, "rx", "", "Timed out. "),
    (26200, "tx", READ_317), (26900, "rx", ANSWER_2),
    (29000, "tx", STREAM_SLEEP), (29300, "rx", TELEMETRY),
    (31000, "tx", STREAM_POSITION), (31400, "rx", TELEMETRY[:-2] + "00", "Wrong CRC. "),
    (34000, "tx", STREAM_POSITION), (34200, "rx", TELEMETRY),
    (36000, "tx", READ_317), (36400, "rx", BUSY),
    (38500, "tx", READ_317), (38900, "rx", ANSWER_2),
]


def write_log(path, entries):
    with open(path, "w", newline="") as log:
        for time_us, direction, frame, *failure in entries:
            log.write("\t".join([str(time_us), direction, *frame.split(), *failure]) + "\r\n")
    return os.fspath(path)


def test_stats_of_a_hand_made_log(tmp_path, capsys):
    path = write_log(tmp_path / "t.log", HAND_MADE)
    with open(path, newline="") as log:
        stats = collect_stats(read_frames(log))
    assert stats.requests == {3: 5, 100: 3}
    assert sorted(stats.round_trips_us) == [200, 300, 400, 500, 700]
    assert percentiles(stats.round_trips_us, (0, 0.5, 0.99, 1)) == [200, 400, 700, 700]
    assert stats.failures == {"timed out": 1, "wrong CRC": 1,
                              "exception 6 (server device busy)": 1}
    assert stats.resends == 2
    assert stats.stream_cycles_us == {2000: 1, 3000: 1}
    frame_bytes = sum(len(entry[2].split()) for entry in HAND_MADE)
    assert stats.line_bytes == frame_bytes and stats.active_us == 37900
    assert stats.busy_share(19200) == pytest.approx(frame_bytes * 11 / 19200 / 0.0379)
    text = "\n".join(format_stats(stats, 19200))
    assert "400.0 exchanges/s, cycle mean 2500 us, jitter (standard deviation) 500 us" in text
    assert main(["log", "stats", path, "--baud", "9600"]) == 0
    out = capsys.readouterr().out
    assert "min 0.200 ms, median 0.400 ms, p99 0.700 ms, max 0.700 ms" in out
    assert "resends: 2" in out and "at 9600 baud" in out


def test_decode_text_and_csv(tmp_path, capsys):
    path = write_log(tmp_path / "t.log", HAND_MADE)
    assert main(["log", "decode", path]) == 0
    lines = capsys.readouterr().out.splitlines()
    assert len(lines) == len(HAND_MADE)
    assert lines[0].split() == ["0.000", "tx", "1", "read", "holding", "registers", "read",
                                "317", "(mode_report)", "CRC", "ok"]
    assert "317 mode_report=2 (ForceMode)  CRC ok" in lines[1]
    assert lines[3].endswith("no response  CRC none  Timed out.")
    assert "position mode, set-point 100000 um" in lines[8]
    assert "position 256 um, force -2 mN, power 10 W, temperature 200 C, voltage 24000 mV, " \
           "errors 0x0001  CRC ok" in lines[7]
    assert lines[9].endswith("CRC bad  Wrong CRC.")
    assert "exception 6 (server device busy)" in lines[13]
    assert main(["log", "decode", "--csv", path]) == 0
    rows = list(csv.DictReader(io.StringIO(capsys.readouterr().out)))
    assert len(rows) == len(HAND_MADE)
    assert rows[1]["read_start"] == "317" and rows[1]["read_values"] == "2"
    assert rows[7]["temperature_C"] == "200" and rows[7]["errors"] == "1"
    assert rows[8]["mode"] == "position" and rows[8]["setpoint"] == "100000"
    assert rows[13]["exception_code"] == "6" and rows[3]["failure"] == "Timed out."
    assert rows[2]["time_ms"] == "3.000"


def test_bad_input(tmp_path, capsys):
    good = HAND_MADE[:2]
    path = write_log(tmp_path / "t.log", good)
    with open(path, "a", newline="") as log:
        log.write("5000\ttx\t01\t0\r\n5100\tzz\t01\t03\r\n")
        log.write("5200\ttx" + "\t00" * 100_000 + "\r\n")  # read in pieces, skipped whole
    write_log_tail = [(6000, "tx", READ_317), (6400, "rx", ANSWER_2)]
    with open(path, "a", newline="") as log:
        for time_us, direction, frame in write_log_tail:
            log.write("\t".join([str(time_us), direction, *frame.split()]) + "\r\n")
    assert main(["log", "decode", path]) == 0
    captured = capsys.readouterr()
    assert len(captured.out.splitlines()) == 4
    assert f"{path}:3: malformed line skipped" in captured.err
    assert f"{path}:4: malformed line skipped: unknown direction" in captured.err
    assert f"{path}:5: malformed line skipped: longer than 4096 characters" in captured.err
    assert captured.err.count("\n") == 3
    garbage = tmp_path / "garbage.bin"
    garbage.write_bytes(bytes(range(256)) * 64)
    for command in (["decode"], ["stats"]):
        assert main(["log", *command, os.fspath(garbage)]) == 1
        err = capsys.readouterr().err
        assert err.count("\n") == 1 and "is not a traffic log" in err
    assert main(["log", "stats", os.fspath(tmp_path / "missing.log")]) == 1
    assert "cannot read" in capsys.readouterr().err
    if os.path.exists("/dev/zero"):  # endless, without a line end
        assert main(["log", "stats", "/dev/zero"]) == 1
        assert capsys.readouterr().err == ("ferrun: cannot read /dev/zero: not a regular file "
                                           "or a pipe\n")


def test_plot_draws_every_panel(tmp_path, capsys):
    pytest.importorskip("matplotlib")
    from ferrun.log_plot import draw, read_for_plot

    path = write_log(tmp_path / "t.log", HAND_MADE)
    with open(path, newline="") as log:
        telemetry, stats = read_for_plot(read_frames(log))
    assert list(telemetry.position_um) == [256, 256]
    assert list(telemetry.position_setpoint_um) == [100000, 100000]
    figure = draw(telemetry, stats.round_trips_us)
    labels = {(axes.get_xlabel(), axes.get_ylabel()) for axes in figure.axes}
    assert {label for pair in labels for label in pair} >= {
        "position (um)", "force (mN)", "power (W)", "temperature (°C)", "voltage (mV)",
        "time since the first frame (s)", "round-trip time (ms)", "exchanges (log scale)"}
    for suffix, magic in ((".png", b"\x89PNG"), (".svg", b"<?xml")):
        out = tmp_path / f"plot{suffix}"
        assert main(["log", "plot", path, "-o", os.fspath(out)]) == 0
        assert out.read_bytes().startswith(magic) and out.stat().st_size > 1000
    assert main(["log", "plot", path, "-o", os.fspath(tmp_path / "plot.gif")]) == 1


def test_plot_without_matplotlib_says_how_to_install_it(tmp_path, capsys, monkeypatch):
    monkeypatch.setitem(sys.modules, "matplotlib", None)
    path = write_log(tmp_path / "t.log", HAND_MADE)
    assert main(["log", "plot", path, "-o", os.fspath(tmp_path / "p.png")]) == 1
    assert "pip install 'ferrun[plot]'" in capsys.readouterr().err


def demo(*options, **kwargs):
    return subprocess.Popen([sys.executable, "-m", "ferrun", "demo", "--no-progress", *options],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, **kwargs)


def decoded(path):
    decoder = LogDecoder()
    with open(path, newline="") as log:
        return [decoder.decode(frame) for frame in read_frames(log)]


@pytest.mark.parametrize("signum", [signal.SIGINT, signal.SIGTERM])
def test_demo_stopped_by_a_signal_leaves_the_motor_asleep(tmp_path, signum):
    log = os.fspath(tmp_path / "demo.log")
    # A group of its own, signalled whole, as a terminal's Ctrl-C or a service manager does:
    # the virtual actuator the demo started must still be there to be put to sleep.
    process = demo("--seconds", "120", "--log", log, start_new_session=True)
    deadline = time.monotonic() + 60
    while time.monotonic() < deadline and process.poll() is None:
        if os.path.exists(log):
            with open(log, newline="") as f:
                if sum(line.count("\ttx\t01\t64\t") for line in f) >= 20:
                    break
        time.sleep(0.05)
    os.killpg(process.pid, signum)
    out, err = process.communicate(timeout=60)
    assert process.returncode == 128 + signum, err
    assert err.count("\n") == 1 and "stream stopped; the motor is in sleep mode" in err
    frames = decoded(log)
    writes = [i for i, d in enumerate(frames) if d.direction == "tx" and d.write_start == 3]
    assert frames[writes[-1]].write_values == [1]  # the last mode written: sleep
    confirmations = [d for d in frames[writes[-1]:] if d.direction == "rx" and
                     d.read_start == 317 and not d.failure]
    assert confirmations and confirmations[-1].read_values == [1]


def test_demo_log_file_plot_and_summary(tmp_path):
    log = tmp_path / "demo.log"
    log.write_text("old\tlines\r\n")
    plot = tmp_path / "run.png"
    options = ["--seconds", "0.5", "--log", os.fspath(log)]
    try:
        import matplotlib  # noqa: F401
        options += ["--plot", os.fspath(plot)]
    except ImportError:
        pass
    first = demo(*options)
    out, err = first.communicate(timeout=60)
    assert first.returncode == 0, err
    assert not log.read_text().startswith("old")  # --log truncates
    assert "--plot" not in options or plot.stat().st_size > 1000
    first_lines = len(log.read_text().splitlines())
    second = demo("--seconds", "0.5", "--log", os.fspath(log), "--append")
    out, err = second.communicate(timeout=60)
    assert second.returncode == 0, err
    lines = log.read_text().splitlines()
    this_run = sum("\ttx\t01\t64\t" in line for line in lines[first_lines:])
    assert first_lines < len(lines) and f"summary: {this_run} stream exchanges" in out


@pytest.mark.parametrize("kind", ["device", "directory", "fifo"])
def test_demo_refuses_a_log_that_is_not_a_regular_file(tmp_path, kind):
    # /dev/full reads back as endless zeros; opening a FIFO waits for a reader.
    path = {"device": "/dev/full", "directory": os.fspath(tmp_path)}.get(kind)
    if path is None:
        path = os.fspath(tmp_path / "fifo")
        os.mkfifo(path)
    if not os.path.exists(path):
        pytest.skip(f"no {path} here")
    done = subprocess.run([sys.executable, "-m", "ferrun", "demo", "--seconds", "1",
                           "--no-progress", "--log", path], capture_output=True, text=True,
                          timeout=60)
    assert done.returncode == 1 and done.stdout == ""
    assert done.stderr == f"ferrun: cannot write the traffic log {path}: not a regular file\n"


def test_demo_default_log_is_a_fresh_private_file():
    done = subprocess.run([sys.executable, "-m", "ferrun", "demo", "--seconds", "0.2",
                           "--no-progress"], capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    path = next(line.split(": ", 1)[1] for line in done.stdout.splitlines()
                if line.startswith("traffic log: "))
    mode = os.lstat(path).st_mode
    assert stat.S_ISREG(mode) and stat.S_IMODE(mode) == 0o600
    os.unlink(path)


def test_demo_reports_why_the_virtual_actuator_did_not_start(monkeypatch, capsys, tmp_path):
    broken = tmp_path / "ferrun-sim"
    broken.write_text("#!/bin/sh\necho 'cannot open a pty' >&2\necho details >&2\nexit 1\n")
    broken.chmod(0o755)
    monkeypatch.setenv("FERRUN_SIM", str(broken))
    assert main(["demo", "--no-progress", "--seconds", "0.1"]) == 1
    err = capsys.readouterr().err
    assert err.startswith("ferrun: ") and "cannot open a pty details" in err
    assert err.count("\n") == 1


def test_stats_of_a_pipe_with_a_terminal_for_progress(tmp_path):
    import pty

    log = tmp_path / "t.log"
    log.write_text("1000\ttx\t01\t03\t01\t3d\t00\t01\t14\t3a\r\n")
    controller, terminal = pty.openpty()
    try:
        with open(log, "rb") as source:
            done = subprocess.run([sys.executable, "-m", "ferrun", "log", "stats", "/dev/stdin"],
                                  stdin=source, stdout=subprocess.PIPE, stderr=terminal,
                                  timeout=60)
    finally:
        os.close(terminal)
        os.close(controller)
    assert done.returncode == 0 and b"requests" in done.stdout.lower()
