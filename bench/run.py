"""Runs every benchmark and prints one table: the engine in memory; one-register read round
trips over a pseudo-terminal against the virtual actuator (for _ferrun, the C++ Actuator,
libmodbus and pymodbus); stream mode through run_wait(), unpaced and on paced lines; then
the goals of the waiting calls, each with its measured figure: CPU use of a read loop and
of a stream loop on a paced line, round trips against libmodbus with both cores busy, a
Python thread's stalls during blocking calls, an unplugged line, four actuators on one
bus, the bus thread streaming under Python load, local echo on a line that echoes
against the same line without, and reads and streams through an emulated USB-serial adapter
(its latency lowered by the SDK on open, left as it is, or other clients').

    python bench/run.py BUILD_DIR [--reads N] [--seconds S] [--rounds R] [--section NAME]...

--section runs only the sections named (--help lists them); each keeps its number in the
table. Each client gets a fresh virtual actuator on its own pty. Timings, not tests: they
vary with the machine and its load."""

import argparse
import contextlib
import gc
import glob
import os
import resource
import signal
import statistics
import subprocess
import sys
import tempfile
import threading
import time
from dataclasses import dataclass
from typing import (Any, Callable, Dict, Iterator, List, NamedTuple, Optional, Sequence, Set,
                    Tuple)

import _ferrun
from ferrun import VirtualActuatorError, virtual_actuator
from ferrun.traffic_log import (STREAM_FUNCTION, TX, TrafficSummary, read_frames, summarize,
                                summarize_by_address)

MAX_WAIT_US = 10000
# Characters of one exchange on the wire, request and response.
STREAM_CHARACTERS = 28
READ_CHARACTERS = 15  # 8-byte read request, 7-byte response with one register
# The paced line of the read loops: a common line speed, a device that takes a millisecond.
PACED_BAUD = 19200
PACED_TURNAROUND_US = 1000
INTERFRAME_US = 2000  # the SDK's default
FAST_BAUD = 1000000  # the paced line of the stream loops

Result = Dict[str, Any]


def cpu_seconds() -> float:
    """CPU time of every thread of this process: the caller and the SDK's serial reader."""
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_utime + usage.ru_stime


class Meter:
    """Wall time and this process's CPU time over a with-block."""

    def __enter__(self) -> "Meter":
        self.wall = time.perf_counter()
        self.cpu = cpu_seconds()
        return self

    def __exit__(self, *_: object) -> None:
        self.wall = time.perf_counter() - self.wall
        self.cpu = cpu_seconds() - self.cpu

    @property
    def percent(self) -> float:
        return self.cpu * 100 / self.wall


def parse_pairs(line: str) -> Result:
    return {key: float(value) for key, value in (pair.split("=") for pair in line.split())}


def percentile(values: Sequence[float], p: float) -> float:
    ordered = sorted(values)
    return ordered[int(p * (len(ordered) - 1))]


def met(ok: bool) -> str:
    return "yes" if ok else "**no**"


def line_time_us(characters: int, baud: int) -> float:
    return float(_ferrun.wire_time_us(characters, baud))


def new_actuator(port: str, baud: int, interframe_us: int, local_echo: bool = False,
                 adapter_latency_us: Optional[int] = None) -> "_ferrun.Actuator":
    """An actuator with its port open; adapter_latency_us, when given, replaces the latency
    that open found."""
    a = _ferrun.Actuator("bench")
    error = a.open_serial_port(port, baud, interframe_us)
    assert not error, error.what()
    a.get_bus().local_echo = local_echo
    if adapter_latency_us is not None:
        a.get_bus().adapter_latency_us = adapter_latency_us
    return a


def start_stream(a: "_ferrun.Actuator") -> None:
    error = a.set_mode(_ferrun.PositionMode)
    assert not error, error.what()
    a.enable_stream()


def read_log(path: str) -> List[str]:
    with open(path, newline="") as f:
        return f.readlines()


@contextlib.contextmanager
def temporary_log() -> Iterator[str]:
    """The path of a traffic log in a folder that is removed after the with-block."""
    with tempfile.TemporaryDirectory() as folder:
        yield os.path.join(folder, "traffic.log")


def failures_text(traffic: TrafficSummary) -> str:
    kinds = ", ".join(f"{kind} {count}" for kind, count in sorted(traffic.failures.items()))
    return f"{traffic.failed} ({kinds})" if kinds else f"{traffic.failed}"


def grown(before: int, after: int) -> int:
    """A diagnostic counter's growth, across its 16-bit wrap."""
    return (after - before) & 0xFFFF


def program(command: List[str]) -> Optional[List[str]]:
    """The output lines of a benchmark program, None when it was not built."""
    if not os.path.exists(command[0]):
        return None
    done = subprocess.run(command, capture_output=True, text=True, check=True)
    return done.stdout.splitlines()


def program_pairs(command: List[str]) -> Result:
    lines = program(command)
    assert lines, f"{command[0]} was not built"
    return parse_pairs(lines[0])


# ---- one-register reads ----

Reads = Tuple[List[float], float, int]  # round trips in us, CPU seconds, failures


def ferrun_reads(port: str, count: int, interframe_us: int) -> Reads:
    a = new_actuator(port, 19200, interframe_us)
    a.read_register_blocking(317)  # not timed: the first request waits out the opening quiet
    times, failures = [], 0
    with Meter() as meter:
        for _ in range(count):
            start = time.perf_counter()
            failures += bool(a.read_register_blocking(317).error)
            times.append((time.perf_counter() - start) * 1e6)
    a.close_serial_port()
    return times, meter.cpu, failures


def pymodbus_reads(port: str, count: int, baud: int = 19200) -> Optional[Reads]:
    try:
        from pymodbus.client import ModbusSerialClient
    except ImportError:
        return None
    # No parity: pyserial cannot set even parity on a pty (the pty drops it, EINVAL).
    client = ModbusSerialClient(port=port, baudrate=baud, parity="N", timeout=1)
    if not client.connect():
        return None
    import inspect
    unit = "device_id" if "device_id" in inspect.signature(
        client.read_holding_registers).parameters else "slave"
    client.read_holding_registers(317, count=1, **{unit: 1})  # type: ignore[arg-type]
    times, failures = [], 0
    with Meter() as meter:
        for _ in range(count):
            start = time.perf_counter()
            result = client.read_holding_registers(317, count=1, **{unit: 1})  # type: ignore[arg-type]
            failures += result.isError()
            times.append((time.perf_counter() - start) * 1e6)
    client.close()
    return times, meter.cpu, failures


def program_reads(command: List[str]) -> Optional[Reads]:
    lines = program(command)
    if lines is None:
        return None
    pairs = parse_pairs(lines[0])
    times = [float(t) for t in lines[1].split(",")]
    return times, pairs["cpu_us"] * pairs["reads"] / 1e6, int(pairs["failures"])


def summarize_reads(runs: List[Optional[Reads]]) -> Optional[Result]:
    if any(run is None for run in runs):
        return None
    times = [t for run in runs if run for t in run[0]]
    return {"median_us": statistics.median(times), "p99_us": percentile(times, 0.99),
            "cpu_us": sum(run[1] for run in runs if run) * 1e6 / len(times),
            "failures": sum(run[2] for run in runs if run)}


@contextlib.contextmanager
def busy_cores(count: int) -> Iterator[None]:
    spinners = [subprocess.Popen([sys.executable, "-c", "while True: pass"])
                for _ in range(count)]
    try:
        time.sleep(0.2)
        yield
    finally:
        for spinner in spinners:
            spinner.kill()
            spinner.wait()


# ---- stream mode ----

def stream_rate(port: str, seconds: float, baud: int, interframe_us: int) -> Result:
    """A stream loop with a traffic log: the rate, and the cycle from the log's clock."""
    a = new_actuator(port, baud, interframe_us)
    with temporary_log() as log:
        assert not a.begin_serial_logging(log)
        start_stream(a)
        before = summarize(read_log(log)).stream_requests
        start = time.perf_counter()
        end = start + seconds
        while time.perf_counter() < end:
            a.set_streamed_position_um(1000)
            a.run_wait(MAX_WAIT_US)
        elapsed = time.perf_counter() - start
        a.disable_stream()
        a.close_serial_port()
        del a
        lines = read_log(log)
    traffic = summarize(lines)
    exchanges = traffic.stream_requests - before
    # Cycle by cycle, from the clock readings of the loop's stream requests.
    sent = [frame.time_us for frame in read_frames(lines)
            if frame.direction == TX and frame.data[1] == STREAM_FUNCTION][before:]
    cycles = [b - a for a, b in zip(sent, sent[1:])]
    return {"rate": exchanges / elapsed, "cycle_us": elapsed * 1e6 / exchanges,
            "median_cycle_us": statistics.median(cycles), "traffic": traffic}


def stream_cpu(port: str, seconds: float, baud: int, interframe_us: int,
               local_echo: bool = False, adapter_latency_us: Optional[int] = None) -> Result:
    """A stream loop without a log: the rate from the engine's counters, and CPU use."""
    a = new_actuator(port, baud, interframe_us, local_echo, adapter_latency_us)
    start_stream(a)
    bus = a.get_bus()
    before = bus.get_diagnostic_counters()
    with Meter() as meter:
        end = time.perf_counter() + seconds
        while time.perf_counter() < end:
            a.set_streamed_position_um(1000)
            a.run_wait(MAX_WAIT_US)
    after = bus.get_diagnostic_counters()
    a.disable_stream()
    a.close_serial_port()
    valid = grown(before[6], after[6])
    sent = grown(before[5], after[5])
    return {"rate": valid / meter.wall, "cpu_percent": meter.percent,
            "failures": max(0, sent - valid - 1)}


# ---- paced reads ----

def paced_reads(port: str, seconds: float, baud: int, interframe_us: int,
                local_echo: bool = False) -> Result:
    a = new_actuator(port, baud, interframe_us, local_echo)
    a.read_register_blocking(317)  # not timed: the first request waits out the opening quiet
    times, failures = [], 0
    with Meter() as meter:
        end = time.perf_counter() + seconds
        while time.perf_counter() < end:
            start = time.perf_counter()
            failures += bool(a.read_register_blocking(317).error)
            times.append((time.perf_counter() - start) * 1e6)
    a.close_serial_port()
    return {"reads": len(times), "rate": len(times) / meter.wall,
            "median_us": statistics.median(times), "cpu_percent": meter.percent,
            "failures": failures, "times": times}


# ---- a Python thread during blocking calls ----

Gap = Tuple[float, float]  # perf_counter readings before and after a late tick

# The same ticker in a process of its own, which makes no calls, on the same CPU: the stalls
# it sees at the same moments are the machine's (a busy CPU, or a virtual CPU the host did
# not run), not the SDK's.
TICKER_CPU = 0
REFERENCE_TICKER = """
import os, sys, threading, time
os.sched_setaffinity(0, {int(sys.argv[1])})
done = threading.Event()
threading.Thread(target=lambda: (sys.stdin.read(), done.set()), daemon=True).start()
print("ready", flush=True)
last = time.perf_counter()
while not done.is_set():
    time.sleep(0.001)
    now = time.perf_counter()
    if now - last > 0.002:
        print(last, now)
    last = now
"""


class Ticker:
    """A thread that sleeps 1 ms at a time and keeps every gap between its ticks, beside a
    reference ticker in another process."""

    def __enter__(self) -> "Ticker":
        self.reference = subprocess.Popen([sys.executable, "-c", REFERENCE_TICKER,
                                           str(TICKER_CPU)],
                                          stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                          text=True)
        assert self.reference.stdout is not None
        self.reference.stdout.readline()
        self.stop = threading.Event()
        self.gaps: List[Gap] = []
        self.thread = threading.Thread(target=self.tick)
        self.thread.start()
        return self

    def __exit__(self, *_: object) -> None:
        self.stop.set()
        self.thread.join()
        output = self.reference.communicate("")[0]
        self.machine_stalls = [(float(a), float(b)) for a, b in
                               (line.split() for line in output.splitlines())]

    def tick(self) -> None:
        os.sched_setaffinity(0, {TICKER_CPU})  # this thread only
        last = time.perf_counter()
        while not self.stop.is_set():
            time.sleep(0.001)
            now = time.perf_counter()
            self.gaps.append((last, now))
            last = now

    def result(self, calls: int) -> Result:
        lengths = [b - a for a, b in self.gaps]
        own = [b - a for a, b in self.gaps
               if not any(a < d and c < b for c, d in self.machine_stalls)]
        return {"calls": calls, "ticks": len(lengths),
                "median_ms": statistics.median(lengths) * 1e3,
                "p99_ms": percentile(lengths, 0.99) * 1e3,
                "longest_ms": max(lengths) * 1e3, "longest_own_ms": max(own) * 1e3,
                "shared": len(lengths) - len(own)}


def ticker_rows(seconds: float) -> List[Tuple[str, Result]]:
    """The ticker runs only while the main thread makes its calls (not while the virtual
    actuator starts or stops)."""
    def idle() -> Result:
        with Ticker() as ticker:
            time.sleep(seconds)
        return ticker.result(0)

    def calls_on(options: List[str], call: Callable[["_ferrun.Actuator"], None]) -> Result:
        with virtual_actuator(options) as port:
            a = new_actuator(port, 19200, 2000)
            calls = 0
            with Ticker() as ticker:
                end = time.perf_counter() + seconds
                while time.perf_counter() < end:
                    call(a)
                    calls += 1
            a.close_serial_port()
        return ticker.result(calls)

    def set_mode(a: "_ferrun.Actuator") -> None:
        assert a.set_mode(_ferrun.PositionMode)  # never confirmed: fails after 125 ms

    def read(a: "_ferrun.Actuator") -> None:
        assert not a.read_register_blocking(317).error

    return [("nothing (the main thread sleeps)", idle()),
            ("set_mode against --no-mode-confirm (fails after 125 ms)",
             calls_on(["--no-mode-confirm"], set_mode)),
            ("read_register_blocking loop, paced 19200 baud, turnaround 1 ms",
             calls_on(["--baud", "19200", "--turnaround-us", "1000"], read))]


# ---- an unplugged line ----

def child_processes() -> Set[int]:
    """The process ids of this process's children (Linux)."""
    children: Set[int] = set()
    for path in glob.glob(f"/proc/{os.getpid()}/task/*/children"):
        with contextlib.suppress(OSError), open(path) as f:
            children.update(int(pid) for pid in f.read().split())
    return children


class Killable(NamedTuple):
    """A virtual actuator started by ferrun.virtual_actuator, and its process id: killing it
    makes the pty's far end go away, as an unplugged adapter does."""
    port: str
    pid: int

    def kill(self) -> None:
        os.kill(self.pid, signal.SIGKILL)

    def wait_gone(self) -> None:
        """Until the process has died and its pty with it; virtual_actuator reaps it."""
        os.waitid(os.P_PID, self.pid, os.WEXITED | os.WNOWAIT)


@contextlib.contextmanager
def killable_actuator(**line: Any) -> Iterator[Killable]:
    before = child_processes()
    with virtual_actuator(**line) as port:
        started = child_processes() - before
        assert len(started) == 1, f"cannot tell the virtual actuator among {started}"
        yield Killable(port, started.pop())


def unplugged(seconds: float, in_flight_tries: int) -> Result:
    with killable_actuator() as device:
        a = new_actuator(device.port, 19200, INTERFRAME_US)
        start_stream(a)
        end = time.perf_counter() + 0.2
        while time.perf_counter() < end:
            a.set_streamed_position_um(1000)
            a.run_wait(MAX_WAIT_US)
        device.kill()
        device.wait_gone()
        start = time.perf_counter()
        error = a.read_register_blocking(317).error
        after_loss_ms = (time.perf_counter() - start) * 1e3
        assert error and "Serial line lost" in error.what(), error.what()
        calls = 0
        with Meter() as meter:
            end = time.perf_counter() + seconds
            while time.perf_counter() < end:
                a.set_streamed_position_um(1000)
                a.run_wait(MAX_WAIT_US)
                calls += 1
        start = time.perf_counter()
        error = a.read_register_blocking(317).error
        after_idle_ms = (time.perf_counter() - start) * 1e3
        assert error
        a.close_serial_port()

    # A read in flight on a paced line when the device goes away: from the kill to the
    # failed call's return.
    in_flight_ms = []
    for _ in range(in_flight_tries):
        with killable_actuator(baud=PACED_BAUD, turnaround_us=PACED_TURNAROUND_US) as device:
            a = new_actuator(device.port, PACED_BAUD, INTERFRAME_US)
            assert not a.read_register_blocking(317).error
            killed: List[float] = []

            def unplug() -> None:
                device.kill()
                killed.append(time.perf_counter())

            timer = threading.Timer(0.004, unplug)
            timer.start()
            error = a.read_register_blocking(317).error
            returned = time.perf_counter()
            timer.join()
            assert error and "Serial line lost" in error.what(), error.what()
            in_flight_ms.append((returned - killed[0]) * 1e3)
            a.close_serial_port()
    return {"cpu_percent": meter.percent, "calls": calls, "after_loss_ms": after_loss_ms,
            "after_idle_ms": after_idle_ms, "in_flight_ms": max(in_flight_ms)}


# ---- four actuators on one bus ----

def bus_of_four(seconds: float, baud: int, interframe_us: int, spin: bool = False) -> Result:
    """Four streaming actuators; with spin, a loop of Bus.run(), which never sleeps."""
    addresses = [1, 2, 3, 4]
    with virtual_actuator(baud=baud, address=addresses) as port:
        bus = _ferrun.Bus()
        error = bus.open_serial_port(port, baud, interframe_us)
        assert not error, error.what()
        with temporary_log() as log:
            assert not bus.begin_serial_logging(log)
            actuators = [_ferrun.Actuator(bus, address) for address in addresses]
            for a in actuators:
                start_stream(a)
            skip = len(read_log(log))
            with Meter() as meter:
                end = time.perf_counter() + seconds
                while time.perf_counter() < end:
                    for a in actuators:
                        a.set_streamed_position_um(1000)
                    if spin:
                        bus.run()
                    else:
                        bus.run_wait(MAX_WAIT_US)
            for a in actuators:
                a.disable_stream()
            bus.close_serial_port()
            lines = read_log(log)[skip:]
    by_address = summarize_by_address(lines)
    counts = [by_address.get(address, TrafficSummary()).stream_requests
              for address in addresses]
    rates = [count / meter.wall for count in counts]
    mean = statistics.mean(rates)
    return {"cycle_us": meter.wall * 1e6 / (sum(counts) / len(addresses)),
            "rates": rates, "spread_percent": (max(rates) - min(rates)) / mean * 100,
            "cpu_percent": meter.percent, "traffic": summarize(lines)}


# ---- the bus thread ----

def _gc_churn(stop: threading.Event) -> None:
    """A Python thread that allocates and collects garbage without pause."""
    while not stop.is_set():
        junk = [[i, str(i)] for i in range(20000)]
        del junk
        gc.collect()


def _run_wait_loop(a: "_ferrun.Actuator", stop: threading.Event) -> None:
    while not stop.is_set():
        a.run_wait(MAX_WAIT_US)


def cycle_p99_us(time_us: List[int]) -> float:
    cycles = [b - a for a, b in zip(time_us, time_us[1:])]
    return percentile(cycles, 0.99) if cycles else 0.0


def bus_thread_stream(port: str, seconds: float, bus_thread: bool, load: str,
                      record: bool = True) -> Result:
    """A stream at FAST_BAUD driven by the bus thread or by a run_wait() loop on a Python
    thread, while the main thread sleeps ("idle") or spins in pure Python ("busy"), or a
    Python thread churns garbage ("gc"): the rate from the engine's counters, the cycle's p99
    from a recording, and the process's CPU."""
    a = new_actuator(port, FAST_BAUD, INTERFRAME_US)
    start_stream(a)
    a.set_setpoint_timeout_ms(0)  # nobody refreshes the set-point here
    bus = a.get_bus()
    stop = threading.Event()
    threads = [] if bus_thread else [threading.Thread(target=_run_wait_loop, args=(a, stop))]
    if load == "gc":
        threads.append(threading.Thread(target=_gc_churn, args=(stop,)))
    if bus_thread:
        a.start_streaming()
    for thread in threads:
        thread.start()
    if record:
        a.start_recording(int(seconds * 1000) + 10_000)  # more than the line allows
    time.sleep(0.2)  # under way
    before = bus.get_diagnostic_counters()
    with Meter() as meter:
        end = time.perf_counter() + seconds
        if load == "busy":
            while time.perf_counter() < end:
                pass
        else:
            time.sleep(seconds)
    after = bus.get_diagnostic_counters()
    recording = a.take_recording() if record else None  # outside: NumPy's import is no cost
    stop.set()
    for thread in threads:
        thread.join()
    a.stop_streaming()
    a.disable_stream()
    a.close_serial_port()
    valid = grown(before[6], after[6])
    p99 = cycle_p99_us(recording["time_us"].tolist()) if recording is not None else 0.0
    failed = sum(recording["failed"].tolist()) if recording is not None else 0
    return {"rate": valid / meter.wall, "p99_us": p99, "cpu_percent": meter.percent,
            "failures": max(0, grown(before[5], after[5]) - valid - 1), "failed": failed}


def recorded_minute(port: str, seconds: float) -> Result:
    """The bus thread streams with a recording that a reader takes every 100 ms."""
    a = new_actuator(port, FAST_BAUD, INTERFRAME_US)
    start_stream(a)
    a.set_setpoint_timeout_ms(0)
    a.start_recording(1000)
    samples = lost = 0
    with a.streaming():
        end = time.perf_counter() + seconds
        while time.perf_counter() < end:
            time.sleep(0.1)
            taken = a.take_recording()
            samples += len(taken)
            lost += taken.lost
    a.disable_stream()
    a.close_serial_port()
    return {"samples": samples, "lost": lost, "rate": samples / seconds}


# ---- through a USB-serial adapter ----

ADAPTER_LATENCY_MS = 16  # what the common chips' drivers keep unless told otherwise
ADAPTER_BAUD = 115200
LONG_READ = 125  # registers: a 255-byte answer, over five packets


@contextlib.contextmanager
def adapter_line(baud: int, latency_ms: int, reachable: bool) -> Iterator[str]:
    """A virtual actuator behind an emulated USB-serial adapter whose latency timer the SDK
    can lower on open (reachable), or one out of its reach (no --sysfs-root)."""
    line: Dict[str, Any] = {"baud": baud, "turnaround_us": PACED_TURNAROUND_US}
    if reachable:
        line["usb_latency_ms"] = latency_ms
    else:
        line["options"] = ["--usb-latency-ms", str(latency_ms)]
    with virtual_actuator(**line) as port:
        yield port


def adapter_reads(port: str, baud: int, budget_us: Optional[int], reads: int,
                  long_reads: int) -> Result:
    """Single-attempt reads, interframe delay 0: `reads` one-register reads, timed, then
    `long_reads` of LONG_READ registers; budget_us, when given, is the latency the bus is told
    after open."""
    a = new_actuator(port, baud, 0)
    found_us = a.get_bus().adapter_latency_us
    if budget_us is not None:
        a.get_bus().adapter_latency_us = budget_us
    a.read_register_blocking(317)  # not timed: the first request waits out the opening quiet
    times, failures = [], 0
    for _ in range(reads):
        start = time.perf_counter()
        failures += bool(a.read_register_blocking(317, _ferrun.not_important).error)
        times.append((time.perf_counter() - start) * 1e6)
    long_failures = sum(
        bool(a.read_multiple_registers_blocking(0, LONG_READ, _ferrun.not_important).error)
        for _ in range(long_reads))
    budget_us = a.get_bus().adapter_latency_us
    a.close_serial_port()
    return {"times": times, "failures": failures, "long_failures": long_failures,
            "found_us": found_us, "budget_us": budget_us}


PYTHON = "_ferrun from Python"
CPP = "C++ Actuator"
CPP_RUN_LOOP = "C++ Actuator, run() loop"
LIBMODBUS = "libmodbus modbus_read_registers"
PYMODBUS = "pymodbus serial client"

ReadRun = Callable[[str, int, int], Optional[Reads]]  # port, reads, interframe delay us
# port, seconds, baud, interframe delay us
TimedRun = Callable[[str, float, int, int], Result]


@dataclass(frozen=True)
class Client:
    """A client of the virtual actuator, and how each benchmark runs it (None: not in it)."""
    name: str
    reads: Optional[ReadRun] = None  # unpaced one-register reads
    # The interframe delays its reads run with; none for a client without that setting.
    interframe_delays: Tuple[int, ...] = ()
    busy_reads: bool = False  # its reads (interframe delay 0) run again with both cores busy
    paced_reads: Optional[TimedRun] = None  # a read loop on a paced line
    stream: Optional[TimedRun] = None  # a stream loop on a paced line, no traffic log


def make_clients(bench_dir: str) -> List[Client]:
    """Every client; the tables list them in this order."""
    actuator_bench = os.path.join(bench_dir, "actuator_bench")
    libmodbus_bench = os.path.join(bench_dir, "libmodbus_bench")

    def cpp_reads(port: str, count: int, interframe_us: int) -> Optional[Reads]:
        return program_reads([actuator_bench, "reads", port, str(count), str(interframe_us)])

    def cpp_timed(mode: str) -> TimedRun:
        return lambda port, seconds, baud, interframe_us: program_pairs(
            [actuator_bench, mode, port, str(seconds), str(baud), str(interframe_us)])

    return [
        Client(PYTHON, reads=ferrun_reads, interframe_delays=(0, 2000), busy_reads=True,
               paced_reads=paced_reads, stream=stream_cpu),
        Client(CPP, reads=cpp_reads, interframe_delays=(0, 2000), busy_reads=True,
               paced_reads=cpp_timed("paced-reads"), stream=cpp_timed("stream")),
        Client(CPP_RUN_LOOP, stream=cpp_timed("stream-spin")),
        Client(LIBMODBUS, busy_reads=True,
               reads=lambda port, count, _: program_reads([libmodbus_bench, port, str(count)])),
        Client(PYMODBUS, reads=lambda port, count, _: pymodbus_reads(port, count)),
    ]


class ReadCase(NamedTuple):
    client: Client
    interframe_us: Optional[int]  # None: the client has no such setting

    @property
    def delay_text(self) -> str:
        return "-" if self.interframe_us is None else f"{self.interframe_us} us"

    def run(self, port: str, count: int) -> Optional[Reads]:
        assert self.client.reads is not None
        return self.client.reads(port, count, self.interframe_us or 0)


# ---- the table ----

class Bench:
    """What the sections share: the options, the clients, and the read results without added
    load, which the busy-cores section compares with."""

    def __init__(self, args: argparse.Namespace) -> None:
        self.bench_dir = os.path.join(args.build_dir, "bench")
        self.reads, self.seconds, self.rounds = args.reads, args.seconds, args.rounds
        self.clients = make_clients(self.bench_dir)
        self.quiet: Dict[ReadCase, Optional[Result]] = {}

    def clients_in(self, benchmark: str) -> List[Client]:
        """The clients that run in a benchmark: "reads", "paced_reads" or "stream"."""
        return [c for c in self.clients if getattr(c, benchmark) is not None]

    def read_cases(self, interframe_us: Optional[int] = None) -> List[ReadCase]:
        """Every client's reads with each of its interframe delays, or with this one alone."""
        cases = []
        for c in self.clients_in("reads"):
            if not c.interframe_delays:
                cases.append(ReadCase(c, None))
            elif interframe_us is None:
                cases += [ReadCase(c, delay) for delay in c.interframe_delays]
            elif interframe_us in c.interframe_delays:
                cases.append(ReadCase(c, interframe_us))
        return cases

    def compare_reads(self, cases: List[ReadCase], reads: int,
                      rounds: int) -> Dict[ReadCase, Optional[Result]]:
        """Every case's reads, in rounds that take turns, so a change in the machine's load
        falls on every client alike; a fresh virtual actuator for each case in each round."""
        runs: Dict[ReadCase, List[Optional[Reads]]] = {case: [] for case in cases}
        for _ in range(rounds):
            for case in cases:
                with virtual_actuator() as port:
                    runs[case].append(case.run(port, max(1, reads // rounds)))
        return {case: summarize_reads(case_runs) for case, case_runs in runs.items()}

    def quiet_reads(self, cases: List[ReadCase]) -> Dict[ReadCase, Optional[Result]]:
        """compare_reads() with no added load, each case run once for every section."""
        missing = [case for case in cases if case not in self.quiet]
        if missing:
            self.quiet.update(self.compare_reads(missing, self.reads, self.rounds))
        return {case: self.quiet[case] for case in cases}


class Table:
    """One section's numbered title and its table, in Markdown."""

    def __init__(self, number: int, title: str, header: Sequence[str]) -> None:
        print(f"running {number}. {title.split(',')[0]}", file=sys.stderr, flush=True)
        self.lines = ["", f"{number}. {title}", "", "| " + " | ".join(header) + " |",
                      "|" + "---|" * len(header)]

    def row(self, *cells: object) -> None:
        self.lines.append("| " + " | ".join(str(cell) for cell in cells) + " |")


def engine_section(bench: Bench, number: int) -> List[str]:
    lines = program([os.path.join(bench.bench_dir, "engine_bench")])
    assert lines, "engine_bench was not built"
    return [f"{number}. The engine in memory: {lines[0].split(': ', 1)[1]}"]


def reads_section(bench: Bench, number: int) -> List[str]:
    table = Table(number, f"One-register read round trip over a pty, unpaced, {bench.reads} "
                  f"reads each (in {bench.rounds} rounds taking turns)",
                  ["client", "interframe delay", "median us", "p99 us", "CPU us/read",
                   "vs libmodbus (median)", "failures"])
    results = bench.quiet_reads(bench.read_cases())
    reference = next((r for case, r in results.items() if case.client.name == LIBMODBUS), None)
    for case, r in results.items():
        if r is None:
            table.row(case.client.name, case.delay_text, "not available", "", "", "", "")
            continue
        ratio = f"{r['median_us'] / reference['median_us']:.2f}" if reference else "-"
        table.row(case.client.name, case.delay_text, f"{r['median_us']:.0f}",
                  f"{r['p99_us']:.0f}", f"{r['cpu_us']:.0f}", ratio, f"{r['failures']:.0f}")
    return table.lines


def stream_section(bench: Bench, number: int) -> List[str]:
    table = Table(number, f"Stream mode through run_wait({MAX_WAIT_US}) from Python, "
                  f"{bench.seconds:.0f} s each; line limit = {STREAM_CHARACTERS} characters x "
                  f"11 bits / baud + interframe delay",
                  ["line", "interframe delay", "exchanges/s", "mean cycle us",
                   "median cycle us", "line limit us", "mean vs limit", "failures"])
    for baud, interframe in [(0, 0), (0, INTERFRAME_US), (115200, INTERFRAME_US),
                             (FAST_BAUD, INTERFRAME_US)]:
        with virtual_actuator(baud=baud or None) as port:
            r = stream_rate(port, bench.seconds, baud or 19200, interframe)
        if baud:
            limit = line_time_us(STREAM_CHARACTERS, baud) + interframe
            versus = f"{(r['cycle_us'] / limit - 1) * 100:+.1f}%"
            limit_text = f"{limit:.0f}"
        else:
            limit_text, versus = "-", "-"
        table.row(f"paced, {baud} baud" if baud else "unpaced", f"{interframe} us",
                  f"{r['rate']:.0f}", f"{r['cycle_us']:.0f}", f"{r['median_cycle_us']:.0f}",
                  limit_text, versus, failures_text(r["traffic"]))
    return table.lines


def paced_reads_section(bench: Bench, number: int) -> List[str]:
    limit_us = line_time_us(READ_CHARACTERS, PACED_BAUD) + PACED_TURNAROUND_US + INTERFRAME_US
    table = Table(number, f"CPU use of a one-register read loop on a paced line ({PACED_BAUD} "
                  f"baud, turnaround {PACED_TURNAROUND_US // 1000} ms, interframe delay "
                  f"{INTERFRAME_US} us), {bench.seconds:.0f} s each; line limit "
                  f"{limit_us:.0f} us a read; goal: CPU < 5% of a core",
                  ["client", "reads", "reads/s", "line limit reads/s", "median round trip us",
                   "CPU % of a core", "failures", "goal met"])
    for client in bench.clients_in("paced_reads"):
        assert client.paced_reads is not None
        with virtual_actuator(baud=PACED_BAUD, turnaround_us=PACED_TURNAROUND_US) as port:
            r = client.paced_reads(port, bench.seconds, PACED_BAUD, INTERFRAME_US)
        table.row(client.name, f"{r['reads']:.0f}", f"{r['rate']:.1f}", f"{1e6 / limit_us:.1f}",
                  f"{r['median_us']:.0f}", f"{r['cpu_percent']:.2f}", f"{r['failures']:.0f}",
                  met(r["cpu_percent"] < 5))
    return table.lines


def stream_cpu_section(bench: Bench, number: int) -> List[str]:
    limit_rate = 1e6 / (line_time_us(STREAM_CHARACTERS, FAST_BAUD) + INTERFRAME_US)
    table = Table(number, f"Stream loop of run_wait({MAX_WAIT_US}) on a paced {FAST_BAUD}-baud "
                  f"line, interframe delay {INTERFRAME_US} us, no traffic log, "
                  f"{bench.seconds:.0f} s each; goals: within 5% of the line limit, CPU < 30% "
                  "of a core. The last row is the reference: a loop of run(), which never "
                  "sleeps, shows what the pseudo-terminal and the virtual actuator allow",
                  ["client", "exchanges/s", "line limit exchanges/s", "vs limit",
                   "vs run() loop", "CPU % of a core", "failures", "goals met"])
    results: Dict[str, Result] = {}
    for client in bench.clients_in("stream"):
        assert client.stream is not None
        with virtual_actuator(baud=FAST_BAUD) as port:
            results[client.name] = client.stream(port, bench.seconds, FAST_BAUD, INTERFRAME_US)
    reference_rate = results[CPP_RUN_LOOP]["rate"]
    for name, r in results.items():
        shortfall = 1 - r["rate"] / limit_rate
        is_reference = name == CPP_RUN_LOOP
        table.row(name, f"{r['rate']:.0f}", f"{limit_rate:.0f}", f"{-shortfall * 100:+.1f}%",
                  "-" if is_reference else f"{(r['rate'] / reference_rate - 1) * 100:+.1f}%",
                  f"{r['cpu_percent']:.2f}", f"{r['failures']:.0f}",
                  "-" if is_reference else met(shortfall < 0.05 and r["cpu_percent"] < 30))
    return table.lines


def busy_reads_section(bench: Bench, number: int) -> List[str]:
    reads, rounds = bench.reads * 4, bench.rounds * 4
    table = Table(number, "One-register read round trip over a pty, unpaced, interframe delay "
                  f"0 us, with two CPU-bound processes keeping both cores busy, {reads} reads "
                  f"each (in {rounds} rounds taking turns: a p99 needs many reads, and a busy "
                  "machine's stalls come and go); goals: median no slower than libmodbus "
                  f"(section {section_number('reads')}), p99 no worse than libmodbus's with "
                  "both cores busy",
                  ["client", "load", "median us", "p99 us", "vs libmodbus (median)",
                   "vs libmodbus (p99)", "failures", "goal met"])
    cases = [case for case in bench.read_cases(interframe_us=0) if case.client.busy_reads]
    quiet = bench.quiet_reads(cases)
    with busy_cores(2):
        busy = bench.compare_reads(cases, reads, rounds)
    for load, results in [("no added load", quiet), ("both cores busy", busy)]:
        libmodbus = next((r for case, r in results.items() if case.client.name == LIBMODBUS),
                         None)
        for case, r in results.items():
            name = case.client.name
            if r is None or libmodbus is None:
                table.row(name, load, "not available", "", "", "", "", "")
                continue
            median_ratio = r["median_us"] / libmodbus["median_us"]
            p99_ratio = r["p99_us"] / libmodbus["p99_us"]
            goal = median_ratio <= 1 if load == "no added load" else p99_ratio <= 1
            table.row(name, load, f"{r['median_us']:.0f}", f"{r['p99_us']:.0f}",
                      f"{median_ratio:.2f}", f"{p99_ratio:.2f}", f"{r['failures']:.0f}",
                      "-" if name == LIBMODBUS else met(goal))
    return table.lines


def ticker_section(bench: Bench, number: int) -> List[str]:
    seconds = min(bench.seconds, 2.0)
    table = Table(number, "A Python thread ticking every millisecond (time.sleep(0.001)) while "
                  f"the main thread makes blocking calls, {seconds:.0f} s each, beside the same "
                  f"ticker in a process of its own that makes no calls, both on CPU {TICKER_CPU}; "
                  "goal: longest gap between ticks < 5 ms, not counting gaps that overlap the "
                  "other process's own (the machine's stalls)",
                  ["main thread", "calls", "ticks", "median gap ms", "p99 gap ms",
                   "longest gap ms", "gaps shared with the other process",
                   "longest gap of its own ms", "goal met"])
    for name, r in ticker_rows(seconds):
        table.row(name, f"{r['calls']:.0f}", f"{r['ticks']:.0f}", f"{r['median_ms']:.2f}",
                  f"{r['p99_ms']:.2f}", f"{r['longest_ms']:.2f}", f"{r['shared']:.0f}",
                  f"{r['longest_own_ms']:.2f}",
                  "-" if not r["calls"] else met(r["longest_own_ms"] < 5))
    return table.lines


def unplugged_section(bench: Bench, number: int) -> List[str]:
    seconds, tries = 2.0, 3
    table = Table(number, "An unplugged line: streaming from Python, then the virtual actuator "
                  "is killed (the pty's far end goes away); goals: CPU < 1% of a core over "
                  f"{seconds:.0f} s of run_wait({MAX_WAIT_US}) calls, a blocking call fails in "
                  "< 50 ms", ["measure", "figure", "goal met"])
    r = unplugged(seconds, tries)
    table.row(f"CPU over {seconds:.0f} s of run_wait with streaming enabled "
              f"({r['calls']:.0f} calls)", f"{r['cpu_percent']:.2f}%", met(r["cpu_percent"] < 1))
    table.row("read_register_blocking just after the line was lost",
              f"{r['after_loss_ms']:.2f} ms", met(r["after_loss_ms"] < 50))
    table.row(f"read_register_blocking after {seconds:.0f} s on the lost line",
              f"{r['after_idle_ms']:.2f} ms", met(r["after_idle_ms"] < 50))
    table.row(f"a read in flight on a paced {PACED_BAUD} line when the device goes: kill to "
              f"return (longest of {tries})", f"{r['in_flight_ms']:.2f} ms",
              met(r["in_flight_ms"] < 50))
    return table.lines


def bus_thread_section(bench: Bench, number: int) -> List[str]:
    table = Table(number, f"The bus thread: stream at {FAST_BAUD} baud, interframe delay "
                  f"{INTERFRAME_US} us, {bench.seconds:.0f} s each, with (a) Python idle, (b) "
                  "the main thread in a pure-Python busy loop, (c) a Python thread allocating "
                  "and collecting garbage, against a loop of run_wait() on a Python thread "
                  "under the same load; the reference is the C++ loop of run() of section "
                  f"{section_number('stream-cpu')}. Goals: rate no more than 2% below the "
                  "reference's, cycle p99 no more than 0.5 ms above the reference's, CPU < 10% "
                  "of a core "
                  "(idle; under load the load's own CPU is counted too), recording at full "
                  "rate adds < 1% of a core, 60 s recorded with none lost",
                  ["driver", "load", "exchanges/s", "vs reference", "cycle p99 us",
                   "CPU % of a core", "failures", "goals met"])
    with virtual_actuator(baud=FAST_BAUD) as port:
        reference = program_pairs([os.path.join(bench.bench_dir, "actuator_bench"),
                                   "stream-spin", port, str(bench.seconds), str(FAST_BAUD),
                                   str(INTERFRAME_US)])
    table.row("C++ run() loop (reference)", "-", f"{reference['rate']:.0f}", "-",
              f"{reference['p99_cycle_us']:.0f}", f"{reference['cpu_percent']:.1f}",
              f"{reference['failures']:.0f}", "-")
    idle_cpu = {}
    for bus_thread in (True, False):
        for load in ("idle", "busy", "gc"):
            with virtual_actuator(baud=FAST_BAUD) as port:
                r = bus_thread_stream(port, bench.seconds, bus_thread, load)
            versus = r["rate"] / reference["rate"] - 1
            ok = versus >= -0.02 and r["p99_us"] <= reference["p99_cycle_us"] + 500
            if load == "idle":
                idle_cpu[bus_thread] = r["cpu_percent"]
                ok = ok and r["cpu_percent"] < 10
            table.row("bus thread" if bus_thread else "run_wait() loop on a Python thread",
                      load, f"{r['rate']:.0f}", f"{versus * 100:+.1f}%", f"{r['p99_us']:.0f}",
                      f"{r['cpu_percent']:.1f}", f"{r['failures']:.0f}",
                      met(ok) if bus_thread else "-")
    with virtual_actuator(baud=FAST_BAUD) as port:
        r = bus_thread_stream(port, bench.seconds, True, "idle", record=False)
    added = idle_cpu[True] - r["cpu_percent"]
    table.row("bus thread, recording off", "idle", f"{r['rate']:.0f}",
              f"{(r['rate'] / reference['rate'] - 1) * 100:+.1f}%", "-",
              f"{r['cpu_percent']:.1f} (recording adds {added:+.2f})", f"{r['failures']:.0f}",
              met(added < 1))
    with virtual_actuator(baud=FAST_BAUD) as port:
        m = recorded_minute(port, 60.0)
    table.row("bus thread, 60 s recorded, a reader taking every 100 ms", "idle",
              f"{m['rate']:.0f}", "-", "-", "-", f"{m['samples']} samples, {m['lost']} lost",
              met(m["lost"] == 0))
    return table.lines


def bus_section(bench: Bench, number: int) -> List[str]:
    limit_us = 4 * (line_time_us(STREAM_CHARACTERS, FAST_BAUD) + INTERFRAME_US)
    title = (f"Four actuators streaming on one paced {FAST_BAUD}-baud bus (Bus.run_wait"
             f"({MAX_WAIT_US}) from Python, interframe delay {INTERFRAME_US} us, traffic log "
             f"on), {bench.seconds:.0f} s; goals: bus cycle within 5% of four exchanges' line "
             f"time ({limit_us:.0f} us), each actuator's rate within 2% of the others', "
             "CPU < 30% of a core")
    table = Table(number, title + ". The second row is the reference: a loop of Bus.run(), "
                  "which never sleeps",
                  ["loop", "bus cycle us", "vs four line times", "vs run() loop",
                   "exchanges/s per actuator", "spread", "CPU % of a core", "failures",
                   "goals met"])
    try:
        waited = bus_of_four(bench.seconds, FAST_BAUD, INTERFRAME_US)
    except VirtualActuatorError as error:
        return ["", f"{number}. {title}", "", "Skipped: this ferrun-sim cannot serve four "
                f"addresses (--address 1,2,3,4): {error}"]
    spun = bus_of_four(bench.seconds, FAST_BAUD, INTERFRAME_US, spin=True)
    for name, r in [(f"Bus.run_wait({MAX_WAIT_US})", waited), ("Bus.run()", spun)]:
        excess = r["cycle_us"] / limit_us - 1
        is_reference = r is spun
        table.row(name, f"{r['cycle_us']:.0f}", f"{excess * 100:+.1f}%",
                  "-" if is_reference else f"{(r['cycle_us'] / spun['cycle_us'] - 1) * 100:+.1f}%",
                  " / ".join(f"{rate:.1f}" for rate in r["rates"]),
                  f"{r['spread_percent']:.1f}%", f"{r['cpu_percent']:.2f}",
                  failures_text(r["traffic"]),
                  "-" if is_reference else
                  met(excess < 0.05 and r["spread_percent"] < 2 and r["cpu_percent"] < 30))
    return table.lines


def echo_section(bench: Bench, number: int) -> List[str]:
    rounds = bench.rounds
    seconds = bench.seconds / rounds
    table = Table(number, "Local echo on a line that echoes every request (ferrun-sim --echo), "
                  "against the same line without echo: one-register read round trips and a "
                  f"stream loop of run_wait({MAX_WAIT_US}), paced, interframe delay "
                  f"{INTERFRAME_US} us, {bench.seconds:.0f} s each in {rounds} rounds taking "
                  "turns; goal: within 2% (the echo comes back while the request is on the wire)",
                  ["line", "local echo", "median read us", "vs no echo", "read failures",
                   "stream exchanges/s", "vs no echo", "stream CPU % of a core",
                   "stream failures", "goal met"])
    for baud in (115200, FAST_BAUD):
        reads: Dict[bool, List[Result]] = {False: [], True: []}
        streams: Dict[bool, List[Result]] = {False: [], True: []}
        for _ in range(rounds):
            for echo in (False, True):
                with virtual_actuator(baud=baud, echo=echo) as port:
                    reads[echo].append(paced_reads(port, seconds, baud, INTERFRAME_US, echo))
                with virtual_actuator(baud=baud, echo=echo) as port:
                    streams[echo].append(stream_cpu(port, seconds, baud, INTERFRAME_US, echo))
        median = {echo: statistics.median(t for r in reads[echo] for t in r["times"])
                  for echo in reads}
        rate = {echo: statistics.mean(r["rate"] for r in streams[echo]) for echo in streams}
        cpu = {echo: statistics.mean(r["cpu_percent"] for r in streams[echo]) for echo in streams}
        for echo in (False, True):
            read_change = median[echo] / median[False] - 1
            rate_change = rate[echo] / rate[False] - 1
            table.row(f"paced, {baud} baud", "on" if echo else "off", f"{median[echo]:.0f}",
                      f"{read_change * 100:+.1f}%" if echo else "-",
                      sum(r["failures"] for r in reads[echo]), f"{rate[echo]:.0f}",
                      f"{rate_change * 100:+.1f}%" if echo else "-", f"{cpu[echo]:.1f}",
                      sum(r["failures"] for r in streams[echo]),
                      met(read_change < 0.02 and rate_change > -0.02) if echo else "-")
    return table.lines


def adapter_section(bench: Bench, number: int) -> List[str]:
    baud, slow_baud, latency = ADAPTER_BAUD, PACED_BAUD, ADAPTER_LATENCY_MS
    reads, long_reads = max(1, bench.reads // 4), max(1, bench.reads // 40)
    limit_us = line_time_us(READ_CHARACTERS, baud) + PACED_TURNAROUND_US + 1000
    title = (f"Through an emulated USB-serial adapter (ferrun-sim --usb-latency-ms {latency}, "
             f"62-byte packets), turnaround {PACED_TURNAROUND_US // 1000} ms: {reads} "
             f"single-attempt one-register reads on a paced {baud}-baud line (interframe delay "
             f"0), {long_reads} single-attempt reads of {LONG_READ} registers (a 255-byte answer) "
             f"there and at {slow_baud} baud, a stream loop of run_wait({MAX_WAIT_US}) at {baud} "
             f"baud (interframe delay {INTERFRAME_US} us) for {bench.seconds:.0f} s; (a) the SDK "
             "as it opens the port, its request for low latency honoured, (b) refused (the "
             "adapter's setting out of its reach), the bus told the latency, (b0) the same "
             "not told, (c) other clients, which make no such request. Goals: (a) median within "
             f"1.2x of wire time + turnaround + 1 ms ({limit_us:.0f} us) and at least 4x faster "
             "than (c); (b) no failures")
    if not hasattr(_ferrun.Bus, "adapter_latency_us"):
        return ["", f"{number}. {title}", "", "Skipped: this _ferrun's Bus does not budget for "
                "an adapter (no adapter_latency_us)"]
    table = Table(number, title,
                  ["client", "latency on open us", "budget us", "median us", "p99 us",
                   "median vs goal limit", "(c)'s best median vs median",
                   f"{LONG_READ}-register reads failed at {baud} / {slow_baud}",
                   "stream exchanges/s", "failures", "goal met"])
    others: Dict[str, Optional[Reads]] = {}
    libmodbus_bench = os.path.join(bench.bench_dir, "libmodbus_bench")
    with adapter_line(baud, latency, False) as port:
        others[LIBMODBUS] = program_reads([libmodbus_bench, port, str(reads), str(baud)])
    with adapter_line(baud, latency, False) as port:
        others[PYMODBUS] = pymodbus_reads(port, reads, baud)
    best_other = min((statistics.median(run[0]) for run in others.values() if run),
                     default=float("nan"))
    for name, reachable, budget_us in [
            ("(a) _ferrun, low latency honoured", True, None),
            ("(b) _ferrun, low latency refused, latency budgeted", False, latency * 1000),
            ("(b0) _ferrun, low latency refused, not budgeted", False, None)]:
        with adapter_line(baud, latency, reachable) as port:
            r = adapter_reads(port, baud, budget_us, reads, long_reads)
        with adapter_line(slow_baud, latency, reachable) as port:
            slow = adapter_reads(port, slow_baud, budget_us, 0, long_reads)
        # Not told the latency, set_mode itself may fail: that line gets no stream.
        stream: Optional[Result] = None
        if reachable or budget_us is not None:
            with adapter_line(baud, latency, reachable) as port:
                stream = stream_cpu(port, bench.seconds, baud, INTERFRAME_US,
                                    adapter_latency_us=budget_us)
        median = statistics.median(r["times"])
        failures = r["failures"] + r["long_failures"] + slow["long_failures"] + (
            stream["failures"] if stream else 0)
        goal = {"(a)": met(median <= 1.2 * limit_us and best_other >= 4 * median),
                "(b)": met(failures == 0)}.get(name.split()[0], "-")
        table.row(name, f"{r['found_us']:.0f}", f"{r['budget_us']:.0f}", f"{median:.0f}",
                  f"{percentile(r['times'], 0.99):.0f}", f"{median / limit_us:.2f}x",
                  f"{best_other / median:.1f}x",
                  f"{r['long_failures']} / {slow['long_failures']} of {long_reads}",
                  f"{stream['rate']:.0f}" if stream else "-", f"{failures:.0f}", goal)
    for name, run in others.items():
        if run is None:
            table.row(f"(c) {name}", "not available", "", "", "", "", "", "", "", "", "")
            continue
        median = statistics.median(run[0])
        table.row(f"(c) {name}", "-", "-", f"{median:.0f}", f"{percentile(run[0], 0.99):.0f}",
                  f"{median / limit_us:.2f}x", f"{best_other / median:.1f}x", "-", "-",
                  f"{run[2]}", "-")

    stream_table = Table(
        number, f"(continued) Stream at {FAST_BAUD} baud, interframe delay {INTERFRAME_US} us, "
        f"{bench.seconds:.0f} s each, through an emulated adapter at 1 ms, against the reference "
        f"of section {section_number('stream-cpu')} (the C++ loop of run(), which never sleeps) "
        "on the same line and on the bare line. The adapter's 1 ms ticks hold each answer "
        "until the next tick, which no client can avoid; goal: within 5% of the reference on "
        "the same line",
        ["client", "line", "exchanges/s", "vs reference, same line", "vs reference, bare line",
         "CPU % of a core", "failures", "goal met"])
    spin = [os.path.join(bench.bench_dir, "actuator_bench"), "stream-spin"]
    timing = [str(bench.seconds), str(FAST_BAUD), str(INTERFRAME_US)]
    with virtual_actuator(baud=FAST_BAUD) as port:
        bare = program_pairs(spin + [port] + timing)
    with virtual_actuator(baud=FAST_BAUD, usb_latency_ms=1) as port:
        spun = program_pairs(spin + [port] + timing)
    with virtual_actuator(baud=FAST_BAUD, usb_latency_ms=1) as port:
        waited = stream_cpu(port, bench.seconds, FAST_BAUD, INTERFRAME_US)
    for name, line, r in [(CPP_RUN_LOOP, "bare", bare), (CPP_RUN_LOOP, "1 ms adapter", spun),
                          (f"{PYTHON}, run_wait({MAX_WAIT_US})", "1 ms adapter", waited)]:
        same_line = r["rate"] / (bare if r is bare else spun)["rate"] - 1
        stream_table.row(name, line, f"{r['rate']:.0f}",
                         "-" if r is not waited else f"{same_line * 100:+.1f}%",
                         "-" if r is bare else f"{(r['rate'] / bare['rate'] - 1) * 100:+.1f}%",
                         f"{r['cpu_percent']:.1f}", f"{r['failures']:.0f}",
                         "-" if r is not waited else met(same_line >= -0.05))
    return table.lines + stream_table.lines


# The sections by name, in the order they are printed; a section's number is its place here.
SECTIONS: Dict[str, Callable[[Bench, int], List[str]]] = {
    "engine": engine_section,
    "reads": reads_section,
    "stream": stream_section,
    "paced-reads": paced_reads_section,
    "stream-cpu": stream_cpu_section,
    "busy-reads": busy_reads_section,
    "ticker": ticker_section,
    "unplugged": unplugged_section,
    "bus": bus_section,
    "bus-thread": bus_thread_section,
    "echo": echo_section,
    "adapter": adapter_section,
}


def section_number(name: str) -> int:
    return list(SECTIONS).index(name) + 1


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("build_dir")
    parser.add_argument("--reads", type=int, default=2000)
    parser.add_argument("--seconds", type=float, default=5.0)
    parser.add_argument("--rounds", type=int, default=4,
                        help="rounds the clients of a comparison take turns in")
    parser.add_argument("--section", action="append", choices=list(SECTIONS),
                        help="run this section only (may be repeated; default: all)")
    args = parser.parse_args()
    bench = Bench(args)
    lines: List[str] = []
    for name, section in SECTIONS.items():
        if args.section is None or name in args.section:
            lines += section(bench, section_number(name))
    print("\n".join(lines).lstrip("\n"))
    return 0


if __name__ == "__main__":
    sys.exit(main())
