"""Runs every benchmark and prints one table: the engine in memory, one-register read round
trips over a pseudo-terminal against the virtual actuator (for _ferrun, the C++ Actuator,
libmodbus and pymodbus), and stream mode through run(), unpaced and on a paced line.

    python bench/run.py BUILD_DIR [--reads N] [--seconds S]

Each client gets a fresh virtual actuator on its own pty. Timings, not tests: they vary with
the machine and its load."""

import argparse
import os
import statistics
import subprocess
import sys
import tempfile
import time
from typing import Dict, List, Optional

import _ferrun
from ferrun import virtual_actuator
from ferrun.traffic_log import summarize


def parse_pairs(line: str) -> Dict[str, float]:
    return {key: float(value) for key, value in (pair.split("=") for pair in line.split())}


def percentile(values: List[float], p: float) -> float:
    ordered = sorted(values)
    return ordered[int(p * (len(ordered) - 1))]


def ferrun_reads(port: str, count: int, interframe_us: int) -> Dict[str, float]:
    a = _ferrun.Actuator("bench")
    assert not a.open_serial_port(port, 19200, interframe_us)
    times, failures = [], 0
    cpu = time.process_time()
    for _ in range(count):
        start = time.perf_counter()
        failures += bool(a.read_register_blocking(317).error)
        times.append((time.perf_counter() - start) * 1e6)
    cpu = time.process_time() - cpu
    a.close_serial_port()
    return {"median_us": statistics.median(times), "p99_us": percentile(times, 0.99),
            "cpu_us": cpu * 1e6 / count, "failures": failures}


def pymodbus_reads(port: str, count: int) -> Optional[Dict[str, float]]:
    try:
        from pymodbus.client import ModbusSerialClient
    except ImportError:
        return None
    # No parity: pyserial cannot set even parity on a pty (the pty drops it, EINVAL).
    client = ModbusSerialClient(port=port, baudrate=19200, parity="N", timeout=1)
    if not client.connect():
        return None
    import inspect
    unit = "device_id" if "device_id" in inspect.signature(
        client.read_holding_registers).parameters else "slave"
    times, failures = [], 0
    cpu = time.process_time()
    for _ in range(count):
        start = time.perf_counter()
        result = client.read_holding_registers(317, count=1, **{unit: 1})
        failures += result.isError()
        times.append((time.perf_counter() - start) * 1e6)
    cpu = time.process_time() - cpu
    client.close()
    return {"median_us": statistics.median(times), "p99_us": percentile(times, 0.99),
            "cpu_us": cpu * 1e6 / count, "failures": failures}


def program_reads(command: List[str]) -> Optional[Dict[str, float]]:
    if not os.path.exists(command[0]):
        return None
    done = subprocess.run(command, capture_output=True, text=True, check=True)
    return parse_pairs(done.stdout)


def stream_rate(port: str, seconds: float, interframe_us: int) -> Dict[str, float]:
    a = _ferrun.Actuator("bench")
    assert not a.open_serial_port(port, 19200, interframe_us)
    log = tempfile.NamedTemporaryFile(suffix=".log", delete=False)
    log.close()
    assert not a.begin_serial_logging(log.name)
    assert not a.set_mode(_ferrun.PositionMode)
    a.enable_stream()
    with open(log.name, newline="") as f:
        before = summarize(f).stream_requests
    start = time.perf_counter()
    end = start + seconds
    while time.perf_counter() < end:
        a.set_streamed_position_um(1000)
        a.run()
        # On a small machine the caller's spinning thread and the serial reader share cores:
        # yielding lets the reader take each response as soon as it lands.
        os.sched_yield()
    elapsed = time.perf_counter() - start
    a.disable_stream()
    a.close_serial_port()
    del a
    with open(log.name, newline="") as f:
        lines = f.readlines()
    os.unlink(log.name)
    traffic = summarize(lines)
    exchanges = traffic.stream_requests - before
    # Cycle by cycle, from the clock readings of the stream requests in the traffic log.
    sent = [int(line.split("\t", 1)[0]) for line in lines[-exchanges:] if "\ttx\t01\t64" in line]
    cycles = [b - a for a, b in zip(sent, sent[1:])]
    return {"rate": exchanges / elapsed, "cycle_us": elapsed * 1e6 / exchanges,
            "median_cycle_us": statistics.median(cycles), "failures": traffic.failed}


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("build_dir")
    parser.add_argument("--reads", type=int, default=2000)
    parser.add_argument("--seconds", type=float, default=5.0)
    args = parser.parse_args()
    bench_dir = os.path.join(args.build_dir, "bench")

    rows: List[str] = []
    engine = subprocess.run([os.path.join(bench_dir, "engine_bench")], capture_output=True,
                            text=True, check=True).stdout.strip()
    rows.append(f"1. The engine in memory: {engine.split(': ', 1)[1]}")

    rows.append("")
    rows.append(f"2. One-register read round trip over a pty, unpaced, {args.reads} reads each")
    rows.append("")
    rows.append("| client | interframe delay | median us | p99 us | CPU us/read | vs libmodbus (median) | failures |")
    rows.append("|---|---|---|---|---|---|---|")
    results = []
    for name, interframe in [("_ferrun from Python", 0), ("_ferrun from Python", 2000),
                             ("C++ Actuator", 0), ("C++ Actuator", 2000),
                             ("libmodbus modbus_read_registers", None),
                             ("pymodbus serial client", None)]:
        with virtual_actuator() as port:
            if name.startswith("_ferrun"):
                r = ferrun_reads(port, args.reads, interframe)
            elif name.startswith("C++"):
                r = program_reads([os.path.join(bench_dir, "actuator_bench"), port,
                                   str(args.reads), str(interframe)])
            elif name.startswith("libmodbus"):
                r = program_reads([os.path.join(bench_dir, "libmodbus_bench"), port,
                                   str(args.reads)])
            else:
                r = pymodbus_reads(port, args.reads)
        results.append((name, interframe, r))
    reference = next((r for n, _, r in results if n.startswith("libmodbus") and r), None)
    for name, interframe, r in results:
        delay = "-" if interframe is None else f"{interframe} us"
        if r is None:
            rows.append(f"| {name} | {delay} | not available | | | | |")
            continue
        ratio = f"{r['median_us'] / reference['median_us']:.2f}" if reference else "-"
        rows.append(f"| {name} | {delay} | {r['median_us']:.0f} | {r['p99_us']:.0f} | "
                    f"{r['cpu_us']:.0f} | {ratio} | {r['failures']:.0f} |")

    rows.append("")
    rows.append(f"3. Stream mode through run() from Python (os.sched_yield() between calls), {args.seconds:.0f} s each; line limit = 28 characters x 11 bits / baud + interframe delay")
    rows.append("")
    rows.append("| line | interframe delay | exchanges/s | mean cycle us | median cycle us | line limit us | mean vs limit | failures |")
    rows.append("|---|---|---|---|---|---|---|---|")
    for baud, interframe in [(0, 0), (0, 2000), (115200, 2000), (1000000, 2000)]:
        options = ["--baud", str(baud)] if baud else []
        with virtual_actuator(options) as port:
            r = stream_rate(port, args.seconds, interframe)
        line = f"paced, {baud} baud" if baud else "unpaced"
        if baud:
            limit = 28 * 11 / baud * 1e6 + interframe
            versus = f"+{(r['cycle_us'] / limit - 1) * 100:.1f}%"
            limit_text = f"{limit:.0f}"
        else:
            limit_text, versus = "-", "-"
        rows.append(f"| {line} | {interframe} us | {r['rate']:.0f} | {r['cycle_us']:.0f} | "
                    f"{r['median_cycle_us']:.0f} | {limit_text} | {versus} | {r['failures']} |")

    print("\n".join(rows))
    return 0


if __name__ == "__main__":
    sys.exit(main())
