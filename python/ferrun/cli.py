"""The ``ferrun`` command: ``ferrun demo`` moves a motor, ``ferrun sim`` runs the virtual actuator."""

import argparse
import math
import os
import sys
import tempfile
import time
from typing import List, Optional

import _ferrun
from ferrun.traffic_log import summarize
from ferrun.virtual import VirtualActuatorError, sim_binary, virtual_actuator


class DemoError(Exception):
    """A failure the demo reports as a clear message and a non-zero exit status."""


def _check(error: _ferrun.ZelkError, what: str) -> None:
    if error:
        raise DemoError(f"{what}: {error.what()}")


def _print_state(a: _ferrun.Actuator) -> None:
    mode = a.get_mode()
    _check(mode.error, "the device does not answer (reading its mode)")
    readings = [
        ("mode", mode.value.name),
        ("position", f"{a.get_position_um().value} um"),
        ("force", f"{a.get_force_mN().value} mN"),
        ("power", f"{a.get_power_W().value} W"),
        ("temperature", f"{a.get_temperature_C().value} C"),
        ("voltage", f"{a.get_voltage_mV().value} mV"),
        ("errors", f"0x{a.get_errors().value:04x}"),
    ]
    print("actuator state: " + ", ".join(f"{name} {value}" for name, value in readings))


def _stream(actuator: _ferrun.Actuator, seconds: float, amplitude_um: int,
            show_progress: bool) -> None:
    from rich.progress import BarColumn, Progress, TextColumn, TimeRemainingColumn

    actuator.enable_stream()
    start = time.monotonic()
    columns = [
        TextColumn("streaming"),
        BarColumn(),
        TimeRemainingColumn(),
        TextColumn("{task.fields[telemetry]}"),
    ]
    with Progress(*columns, disable=not show_progress, transient=False) as progress:
        task = progress.add_task("stream", total=seconds, telemetry="")
        next_update = start
        while True:
            elapsed = time.monotonic() - start
            if elapsed >= seconds:
                break
            # A smooth trajectory: one full sine period every two seconds.
            target = int(amplitude_um * math.sin(math.pi * elapsed))
            actuator.set_streamed_position_um(target)
            actuator.run()
            os.sched_yield()  # let the serial reader take each response as it lands
            if elapsed >= next_update - start:
                data = actuator.get_stream_data()
                progress.update(
                    task,
                    completed=elapsed,
                    telemetry=f"target {target:7d} um  position {data.position:7d} um  "
                    f"force {data.force:7d} mN",
                )
                next_update += 0.05
        progress.update(task, completed=seconds)
    actuator.disable_stream()
    # Let the command in flight finish before the blocking calls take the line.
    until = time.monotonic() + 0.05
    while time.monotonic() < until:
        actuator.run()


def run_demo(port: str, seconds: float, baud: int, address: int, log_path: str,
             show_progress: bool) -> int:
    actuator = _ferrun.Actuator("demo", address)
    opened = actuator.open_serial_port(port, baud, 2000)
    _check(opened, f"cannot open serial port {port}")
    try:
        _check(actuator.begin_serial_logging(log_path), "cannot write the traffic log")
        _print_state(actuator)
        _check(actuator.set_mode(_ferrun.PositionMode), "cannot switch to position mode")
        started = time.monotonic()
        _stream(actuator, seconds, 20000, show_progress)
        streamed_for = time.monotonic() - started
        last = actuator.get_stream_data()
        _check(actuator.set_mode(_ferrun.SleepMode), "cannot return to sleep mode")
    finally:
        actuator.close_serial_port()

    with open(log_path, encoding="ascii", newline="") as log:
        traffic = summarize(log)
    failures = ", ".join(f"{kind} {count}" for kind, count in sorted(traffic.failures.items()))
    print(f"traffic log: {log_path}")
    print(
        f"summary: {traffic.stream_requests} stream exchanges in {streamed_for:.1f} s "
        f"({traffic.stream_requests / streamed_for:.0f}/s), "
        f"failures: {failures or 'none'}, last telemetry: position {last.position} um, "
        f"force {last.force} mN, power {last.power} W, temperature {last.temperature} C, "
        f"voltage {last.voltage} mV, errors 0x{last.errors:04x}"
    )
    return 0


def _demo(args: argparse.Namespace) -> int:
    log_path = args.log or os.path.join(tempfile.gettempdir(), f"ferrun-demo-{os.getpid()}.log")
    show_progress = sys.stdout.isatty() and not args.no_progress
    if args.port:
        return run_demo(args.port, args.seconds, args.baud, args.address, log_path, show_progress)
    with virtual_actuator(["--address", str(args.address)]) as port:
        print(f"virtual actuator on {port}")
        return run_demo(port, args.seconds, args.baud, args.address, log_path, show_progress)


def _sim(options: List[str]) -> int:
    binary = str(sim_binary())
    os.execv(binary, [binary, *options])
    return 1  # not reached


def main(argv: Optional[List[str]] = None) -> int:
    argv = list(sys.argv[1:] if argv is None else argv)
    if argv[:1] == ["sim"]:
        try:
            return _sim(argv[1:])
        except OSError as error:
            print(f"ferrun: cannot start the virtual actuator: {error}", file=sys.stderr)
            return 1
    parser = argparse.ArgumentParser(prog="ferrun", description=__doc__)
    commands = parser.add_subparsers(dest="command", required=True)
    demo = commands.add_parser("demo", help="move a motor in position mode and report")
    demo.add_argument("--port", help="serial port path (default: a virtual actuator)")
    demo.add_argument("--seconds", type=float, default=5.0, help="how long to stream")
    demo.add_argument("--baud", type=int, default=19200, help="baud rate (default 19200)")
    demo.add_argument("--address", type=int, default=1, help="Modbus server address")
    demo.add_argument("--log", help="traffic log file (default: a temporary file)")
    demo.add_argument("--no-progress", action="store_true", help="no live display")
    commands.add_parser("sim", help="run the virtual actuator (ferrun sim --help)")
    args = parser.parse_args(argv)
    try:
        return _demo(args)
    except (DemoError, VirtualActuatorError) as error:
        print(f"ferrun: {error}", file=sys.stderr)
        return 1
    except RuntimeError as error:
        print(f"ferrun: serial line failure: {error}", file=sys.stderr)
        return 1


if __name__ == "__main__":
    sys.exit(main())
