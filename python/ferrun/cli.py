"""The ``ferrun`` command: ``ferrun demo`` moves a motor, ``ferrun sim`` runs the virtual
actuator, ``ferrun log`` reads a traffic log; ``scan``, ``read``, ``write`` and ``monitor``
(in modules of their own) commission a bus of actuators, ``ports`` and ``doctor`` look at the
serial ports."""

import argparse
import contextlib
import math
import os
import re
import signal
import sys
import time
import typing
from collections import Counter
from typing import Any, List, NoReturn, Optional, Sequence

import _ferrun
from ferrun import (doctor_command, log_command, log_plot, monitor_command, ports_command,
                    recording, register_commands, scan_command)
from ferrun.log_plot import PlotUnavailable, require_matplotlib
from ferrun.session import (CommandError, Interrupted, addresses, baud_rate, check,
                            finish_in_flight, log_write_failures, lost_line, one_line, port_path,
                            prepare_log, put_to_sleep, seconds, signals_held,
                            signals_raise_interrupted)
from ferrun.virtual import VirtualActuatorError, sim_binary, virtual_actuator


# What a command stopped by a signal says: Ctrl-C, a kill, the terminal closing.
SIGNAL_WORDS = {signal.SIGINT: "interrupted", getattr(signal, "SIGHUP", -1): "hung up"}


def _set_mode(actuator: _ferrun.Actuator, mode: _ferrun.MotorMode, what: str) -> None:
    # A lost line shows as set_mode's time limit passing; the reason is in the last exchange.
    error = actuator.set_mode(mode)
    if error:
        raise CommandError(f"{what}: {lost_line([actuator]) or error.what().strip()}")


def _print_state(a: _ferrun.Actuator, several: bool = False) -> None:
    def read(what: str, result: Any) -> Any:
        check(result.error, _named(f"the device does not answer (reading its {what})", a, several))
        return result.value

    readings = [
        ("mode", read("mode", a.get_mode()).name),
        ("position", f"{read('position', a.get_position_um())} um"),
        ("force", f"{read('force', a.get_force_mN())} mN"),
        ("power", f"{read('power', a.get_power_W())} W"),
        ("temperature", f"{read('temperature', a.get_temperature_C())} C"),
        ("voltage", f"{read('voltage', a.get_voltage_mV())} mV"),
        ("errors", f"0x{read('errors', a.get_errors()):04x}"),
    ]
    title = f"actuator {a.name} state: " if several else "actuator state: "
    print(title + ", ".join(f"{name} {value}" for name, value in readings))


class _Recordings:
    """Every stream exchange of each actuator over the run, taken from the SDK as it goes:
    counted at each take, so that a run of hours holds no more than a take; the first
    actuator's samples are kept too with ``keep_first`` (for the plot)."""

    # Samples an actuator's ring holds between two takes: many seconds at any line rate.
    CAPACITY = 1 << 16

    def __init__(self, actuators: List[_ferrun.Actuator], keep_first: bool) -> None:
        self.actuators = actuators
        self.exchanges = [0] * len(actuators)
        self.lost = [0] * len(actuators)
        self.failures: List["typing.Counter[str]"] = [Counter() for _ in actuators]
        self.first: Optional[List[Any]] = [] if keep_first else None
        for actuator in actuators:
            actuator.start_recording(self.CAPACITY)

    def take(self) -> None:
        for index, actuator in enumerate(self.actuators):
            taken = actuator.take_recording()
            self.exchanges[index] += len(taken) + taken.lost
            self.lost[index] += taken.lost
            self.failures[index].update(recording.failure_counts(taken))
            if index == 0 and self.first is not None:
                self.first.append(taken)

    def stop(self) -> None:
        self.take()
        for actuator in self.actuators:
            actuator.stop_recording()


def _stream(bus: _ferrun.Bus, actuators: List[_ferrun.Actuator], seconds: float,
            amplitude_um: int, show_progress: bool, recordings: _Recordings) -> None:
    from rich.progress import BarColumn, Progress, TextColumn, TimeRemainingColumn

    for actuator in actuators:
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
            # A smooth trajectory, one full sine period every two seconds; several actuators
            # follow it one after another, a travelling wave.
            targets = [
                int(amplitude_um * math.sin(math.pi * elapsed - 2 * math.pi * i / len(actuators)))
                for i in range(len(actuators))
            ]
            for actuator, target in zip(actuators, targets):
                actuator.set_streamed_position_um(target)
            bus.run_wait(5000)  # one pass, then sleep until the line moves on
            lost = lost_line(actuators)
            if lost:
                raise CommandError(f"streaming stopped after {elapsed:.1f} s: {lost}")
            if elapsed >= next_update - start:
                recordings.take()
                data = actuators[0].get_stream_data()
                progress.update(
                    task,
                    completed=elapsed,
                    telemetry=f"target {targets[0]:7d} um  position {data.position:7d} um  "
                    f"force {data.force:7d} mN",
                )
                next_update += 0.05
        progress.update(task, completed=seconds)
    for actuator in actuators:
        actuator.disable_stream()
    finish_in_flight(bus)
    recordings.stop()


def run_demo(port: str, seconds: float, baud: int, addresses: List[int], log_path: str,
             show_progress: bool, plot_path: Optional[str] = None) -> int:
    bus = _ferrun.Bus()
    actuators = [_ferrun.Actuator(bus, address, f"{address}") for address in addresses]
    opened = bus.open_serial_port(port, baud, 2000)
    check(opened, f"cannot open serial port {port}")
    moving = False  # the mode may have left sleep: stop the motors on the way out
    try:
        check(bus.begin_serial_logging(log_path), "cannot write the traffic log")
        for actuator in actuators:
            _print_state(actuator, len(actuators) > 1)
        moving = True
        for actuator in actuators:
            _set_mode(actuator, _ferrun.PositionMode,
                      _named("cannot switch to position mode", actuator, len(actuators) > 1))
        started = time.monotonic()
        recordings = _Recordings(actuators, keep_first=plot_path is not None)
        _stream(bus, actuators, seconds, 20000, show_progress, recordings)
        streamed_for = time.monotonic() - started
        last = [actuator.get_stream_data() for actuator in actuators]
        for actuator in actuators:
            _set_mode(actuator, _ferrun.SleepMode,
                      _named("cannot return to sleep mode", actuator, len(actuators) > 1))
        moving = False
    except Interrupted as interrupted:
        with signals_held():
            note = put_to_sleep(bus, actuators) if moving else ""
            bus.close_serial_port()
        raise Interrupted(interrupted.signum, note) from None
    except (CommandError, RuntimeError) as error:
        what = str(error) if isinstance(error, CommandError) else f"serial line failure: {error}"
        with signals_held():
            note = put_to_sleep(bus, actuators, what) if moving else ""
            bus.close_serial_port()
        raise CommandError(f"{what}; {note}" if note else what) from None
    bus.close_serial_port()

    print(f"traffic log: {log_path}")
    failed_writes = log_write_failures(bus)
    if failed_writes:
        print(failed_writes)
    print(f"summary: {_stream_text(recordings, range(len(actuators)), streamed_for)}, "
          f"last telemetry: {_telemetry_text(last[0])}")
    if len(actuators) > 1:
        for index, (address, data) in enumerate(zip(addresses, last)):
            print(f"  address {address}: "
                  f"{_stream_text(recordings, [index], streamed_for)}, "
                  f"last telemetry: {_telemetry_text(data)}")
    if plot_path:
        title = f"ferrun demo, {seconds:g} s" + (f", address {addresses[0]}"
                                                 if len(actuators) > 1 else "")
        samples = recording.columns(recordings.first or [])
        figure = log_plot.draw(log_plot.telemetry_of_recording(samples),
                               log_plot.stream_cycles_us(samples), title, cycles=True)
        try:
            log_plot.save(figure, plot_path)
        except OSError as error:
            raise CommandError(f"cannot write {plot_path}: {error.strerror or error}") from None
        print(f"plot: {plot_path}")
    return 0


def _stream_text(recordings: _Recordings, indexes: Sequence[int], streamed_for: float) -> str:
    """The stream exchanges of some actuators, their rate and failures by kind."""
    exchanges = sum(recordings.exchanges[index] for index in indexes)
    lost = sum(recordings.lost[index] for index in indexes)
    failures: "typing.Counter[str]" = Counter()
    for index in indexes:
        failures.update(recordings.failures[index])
    failure_text = ", ".join(f"{kind} {count}" for kind, count in sorted(failures.items()))
    text = (f"{exchanges} stream exchanges in {streamed_for:.1f} s "
            f"({exchanges / streamed_for:.0f}/s), failures: {failure_text or 'none'}")
    return text + (f" ({lost} not recorded)" if lost else "")


def _named(what: str, actuator: _ferrun.Actuator, several: bool) -> str:
    return f"{what} (address {actuator.name})" if several else what


def _telemetry_text(last: _ferrun.StreamData) -> str:
    return (f"position {last.position} um, force {last.force} mN, power {last.power} W, "
            f"temperature {last.temperature} C, voltage {last.voltage} mV, "
            f"errors 0x{last.errors:04x}")


def _demo(args: argparse.Namespace) -> int:
    if args.plot:
        if os.path.splitext(args.plot)[1].lower() not in (".png", ".svg"):
            raise CommandError(f"cannot write {args.plot}: the image must end in .png or .svg")
        require_matplotlib()
    log_path, _ = prepare_log(args.log, args.append, "ferrun-demo-")
    show_progress = sys.stdout.isatty() and not args.no_progress
    try:
        with signals_raise_interrupted():
            if args.port is not None:
                return run_demo(args.port, args.seconds, args.baud, args.address, log_path,
                                show_progress, args.plot)
            with virtual_actuator(address=args.address) as port:
                print(f"virtual actuator on {port}")
                return run_demo(port, args.seconds, args.baud, args.address, log_path,
                                show_progress, args.plot)
    except CommandError as error:
        if args.log is None and os.path.getsize(log_path) == 0:
            os.unlink(log_path)  # a temporary log that never got a line
            raise
        if args.log is None:
            raise CommandError(f"{error}; traffic log kept in {log_path}") from None
        raise
    except BaseException:
        if args.log is None and os.path.getsize(log_path) == 0:
            os.unlink(log_path)
        raise


def _sim(options: List[str]) -> int:
    binary = str(sim_binary())
    os.execv(binary, [binary, *options])
    return 1  # not reached


class _Parser(argparse.ArgumentParser):
    """Usage errors are one line and exit status 1, like every other error of ours. An
    argument that starts with a minus and a digit (-5,-6 or -0x5) is a value, never an
    option: no option of ours looks like that."""

    def __init__(self, *args: Any, **kwargs: Any) -> None:
        super().__init__(*args, **kwargs)
        self._negative_number_matcher = re.compile(r"^-\.?\d")

    def error(self, message: str) -> NoReturn:
        print(f"ferrun: {one_line(message)}", file=sys.stderr)
        sys.exit(1)


def _parser() -> argparse.ArgumentParser:
    parser: argparse.ArgumentParser = _Parser(
        prog="ferrun", description="Commission, watch and move linear motor actuators on a "
        "Modbus RTU line, run the virtual actuator, read a traffic log. A command given no "
        "port works on a virtual actuator.")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    scan_command.add_parser(commands)
    register_commands.add_parsers(commands)
    monitor_command.add_parser(commands)
    ports_command.add_parser(commands)
    doctor_command.add_parser(commands)
    demo = commands.add_parser("demo", help="move a motor in position mode and report")
    demo.add_argument("--port", type=port_path, help="serial port path (default: a virtual actuator)")
    demo.add_argument("--seconds", type=seconds, default=5.0, help="how long to stream")
    demo.add_argument("--baud", type=baud_rate, default=19200, help="baud rate (default 19200)")
    demo.add_argument("--address", type=addresses, default=[1],
                      help="Modbus server address, or several on one bus: 1,2,3")
    demo.add_argument("--log", help="traffic log file, emptied first (default: a new "
                      "temporary file)")
    demo.add_argument("--append", action="store_true", help="add to the --log file instead")
    demo.add_argument("--plot", metavar="OUT", help="draw the run into OUT (.png or .svg)")
    demo.add_argument("--no-progress", action="store_true", help="no live display")
    commands.add_parser("sim", help="run the virtual actuator (ferrun sim --help)")
    log_command.add_parser(commands)
    return parser


def main(argv: Optional[List[str]] = None) -> int:
    argv = list(sys.argv[1:] if argv is None else argv)
    if argv[:1] == ["sim"]:
        try:
            return _sim(argv[1:])
        except OSError as error:
            print(f"ferrun: cannot start the virtual actuator: {error}", file=sys.stderr)
            return 1
    args = _parser().parse_args(argv)
    try:
        if args.command == "log":
            return log_command.run(args)
        if args.command == "demo":
            return _demo(args)
        with signals_raise_interrupted():
            result: int = args.run(args)
        return result
    except Interrupted as interrupted:
        name = SIGNAL_WORDS.get(interrupted.signum, "terminated")
        stopped = f", stream stopped; {interrupted.note}" if interrupted.note else ""
        with contextlib.suppress(OSError):  # a closed terminal takes standard error with it
            print(f"ferrun: {name}{stopped}", file=sys.stderr)
        return 128 + interrupted.signum
    except KeyboardInterrupt:
        print("ferrun: interrupted", file=sys.stderr)
        return 130
    except BrokenPipeError:
        log_command.quiet_broken_pipe()
        return 0
    except (CommandError, VirtualActuatorError, PlotUnavailable, log_command.LogError) as error:
        print(f"ferrun: {one_line(str(error))}", file=sys.stderr)
        return 1
    except RuntimeError as error:
        print(f"ferrun: serial line failure: {one_line(str(error))}", file=sys.stderr)
        return 1


if __name__ == "__main__":
    sys.exit(main())
