"""The ``ferrun`` command: ``ferrun demo`` moves a motor, ``ferrun sim`` runs the virtual
actuator, ``ferrun log`` reads a traffic log."""

import argparse
import contextlib
import math
import os
import signal
import stat
import sys
import tempfile
import time
from types import FrameType
from typing import Any, Iterator, List, NoReturn, Optional, TextIO, Tuple

import _ferrun
from ferrun import log_command
from ferrun.log_plot import PlotUnavailable, require_matplotlib
from ferrun.traffic_log import TrafficSummary, summarize, summarize_by_address
from ferrun.virtual import VirtualActuatorError, sim_binary, virtual_actuator

STOP_SIGNALS = (signal.SIGINT, signal.SIGTERM)
# What a serial driver can be asked for; beyond it the number does not fit the SDK's int.
MIN_BAUD = 50
MAX_BAUD = 20_000_000
# How the SDK's error text says that the serial line is gone (unplugged, the far end closed):
# from then on every exchange fails at once, so there is nothing left to wait for.
LINE_LOST = "Serial line lost: "


class DemoError(Exception):
    """A failure the demo reports as a clear message and a non-zero exit status."""


class DemoInterrupted(Exception):
    """Ctrl-C or SIGTERM arrived; the exit status is 128 + the signal's number."""

    def __init__(self, signum: int, note: str = "") -> None:
        super().__init__(signum, note)
        self.signum = signum
        self.note = note


def _check(error: _ferrun.ZelkError, what: str) -> None:
    if error:
        raise DemoError(f"{what}: {error.what().strip()}")


def _lost_line(actuators: List[_ferrun.Actuator]) -> Optional[str]:
    """The SDK's reason when the last exchange of one of the actuators found the line gone."""
    for actuator in actuators:
        text = actuator.last_error().what()
        if LINE_LOST in text:
            return text[text.index(LINE_LOST):].strip()
    return None


def _set_mode(actuator: _ferrun.Actuator, mode: _ferrun.MotorMode, what: str) -> None:
    # A lost line shows as set_mode's time limit passing; the reason is in the last exchange.
    error = actuator.set_mode(mode)
    if error:
        raise DemoError(f"{what}: {_lost_line([actuator]) or error.what().strip()}")


def _print_state(a: _ferrun.Actuator, several: bool = False) -> None:
    def read(what: str, result: Any) -> Any:
        _check(result.error, _named(f"the device does not answer (reading its {what})", a, several))
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


def _finish_in_flight(bus: _ferrun.Bus) -> None:
    """Lets the stream command in flight finish before the blocking calls take the line."""
    until = time.monotonic() + 0.05
    while time.monotonic() < until:
        bus.run_wait(1000)


def _stream(bus: _ferrun.Bus, actuators: List[_ferrun.Actuator], seconds: float,
            amplitude_um: int, show_progress: bool) -> None:
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
            lost = _lost_line(actuators)
            if lost:
                raise DemoError(f"streaming stopped after {elapsed:.1f} s: {lost}")
            if elapsed >= next_update - start:
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
    _finish_in_flight(bus)


@contextlib.contextmanager
def _signals_held() -> Iterator[None]:
    """Ctrl-C and SIGTERM wait while the motor is being put to sleep."""
    saved = [signal.signal(signum, signal.SIG_IGN) for signum in STOP_SIGNALS]
    try:
        yield
    finally:
        for signum, handler in zip(STOP_SIGNALS, saved):
            signal.signal(signum, handler)


def _put_to_sleep(bus: _ferrun.Bus, actuators: List[_ferrun.Actuator], said: str = "") -> str:
    """Best effort after an interruption or an error: stop streaming, ask for sleep mode.
    On a lost line nothing is tried: each set_mode would only run out its time limit. A lost
    line's reason is given unless ``said`` has it already."""
    notes = []
    for actuator in actuators:
        actuator.disable_stream()
    lost = _lost_line(actuators)
    if not lost:
        _finish_in_flight(bus)
    for actuator in actuators:
        if lost:
            break
        error = actuator.set_mode(_ferrun.SleepMode)
        lost = _lost_line([actuator])
        if error and not lost:
            notes.append(f"could not return motor {actuator.name} to sleep mode: "
                         f"{error.what().strip()}")
    if lost:
        motors = "the motors" if len(actuators) > 1 else "the motor"
        reason = "" if lost in said else f": {lost}"
        notes.append(f"{motors} could not be put into sleep mode{reason}")
    return "; ".join(notes) or "the motor is in sleep mode"


def prepare_log(path: Optional[str], append: bool) -> Tuple[str, int]:
    """The log file to use and the offset where this run's lines will start. The default
    is a fresh file that tempfile creates (never an existing file or a symlink); --log
    truncates unless --append. Only a regular file will do: the summary reads the log back,
    and a device (/dev/full reads as endless zeros), a FIFO or a directory is no log."""
    try:
        if path is None:
            descriptor, path = tempfile.mkstemp(prefix="ferrun-demo-", suffix=".log")
            os.close(descriptor)
            return path, 0
        if os.path.exists(path) and not os.path.isfile(path):
            raise DemoError(f"cannot write the traffic log {path}: not a regular file")
        # Should a FIFO have taken the file's place since, opening it does not wait for a reader.
        flags = os.O_WRONLY | os.O_CREAT | os.O_NONBLOCK | (os.O_APPEND if append else 0)
        descriptor = os.open(path, flags, 0o666)
        try:
            if not stat.S_ISREG(os.fstat(descriptor).st_mode):
                raise DemoError(f"cannot write the traffic log {path}: not a regular file")
            if not append:
                os.ftruncate(descriptor, 0)
            return path, os.lseek(descriptor, 0, os.SEEK_END)
        finally:
            os.close(descriptor)
    except OSError as error:
        raise DemoError(f"cannot write the traffic log {path}: {error.strerror}") from None


def _this_run(log_path: str, offset: int) -> TextIO:
    raw = open(log_path, "rb")
    raw.seek(offset)
    return log_command.lines_from(raw)


def run_demo(port: str, seconds: float, baud: int, addresses: List[int], log_path: str,
             log_offset: int, show_progress: bool, plot_path: Optional[str] = None) -> int:
    bus = _ferrun.Bus()
    actuators = [_ferrun.Actuator(bus, address, f"{address}") for address in addresses]
    opened = bus.open_serial_port(port, baud, 2000)
    _check(opened, f"cannot open serial port {port}")
    moving = False  # the mode may have left sleep: stop the motors on the way out
    try:
        _check(bus.begin_serial_logging(log_path), "cannot write the traffic log")
        for actuator in actuators:
            _print_state(actuator, len(actuators) > 1)
        moving = True
        for actuator in actuators:
            _set_mode(actuator, _ferrun.PositionMode,
                      _named("cannot switch to position mode", actuator, len(actuators) > 1))
        started = time.monotonic()
        _stream(bus, actuators, seconds, 20000, show_progress)
        streamed_for = time.monotonic() - started
        last = [actuator.get_stream_data() for actuator in actuators]
        for actuator in actuators:
            _set_mode(actuator, _ferrun.SleepMode,
                      _named("cannot return to sleep mode", actuator, len(actuators) > 1))
        moving = False
    except DemoInterrupted as interrupted:
        with _signals_held():
            note = _put_to_sleep(bus, actuators) if moving else ""
            bus.close_serial_port()
        raise DemoInterrupted(interrupted.signum, note) from None
    except (DemoError, RuntimeError) as error:
        what = str(error) if isinstance(error, DemoError) else f"serial line failure: {error}"
        with _signals_held():
            note = _put_to_sleep(bus, actuators, what) if moving else ""
            bus.close_serial_port()
        raise DemoError(f"{what}; {note}" if note else what) from None
    bus.close_serial_port()

    with _this_run(log_path, log_offset) as log:
        traffic = summarize(log)
    print(f"traffic log: {log_path}")
    failed_writes = log_write_failures(bus)
    if failed_writes:
        print(failed_writes)
    print(f"summary: {traffic.stream_requests} stream exchanges in {streamed_for:.1f} s "
          f"({traffic.stream_requests / streamed_for:.0f}/s), "
          f"failures: {_failure_text(traffic)}, last telemetry: {_telemetry_text(last[0])}")
    if len(actuators) > 1:
        with _this_run(log_path, log_offset) as log:
            by_address = summarize_by_address(log)
        for address, data in zip(addresses, last):
            mine = by_address.get(address, TrafficSummary())
            print(f"  address {address}: {mine.stream_requests} stream exchanges "
                  f"({mine.stream_requests / streamed_for:.0f}/s), "
                  f"failures: {_failure_text(mine)}, last telemetry: {_telemetry_text(data)}")
    if plot_path:
        with _this_run(log_path, log_offset) as log:
            log_command.plot_file(log, log_path, plot_path, f"ferrun demo, {seconds:g} s")
        print(f"plot: {plot_path}")
    return 0


def log_write_failures(bus: _ferrun.Bus) -> str:
    """A line on the traffic log's failed writes, "" when there were none: the summary counts
    only what reached the file."""
    failures = bus.log_write_failures()
    if not failures:
        return ""
    return f"traffic log: {failures} writes failed: {bus.last_log_error().what().strip()}"


def _named(what: str, actuator: _ferrun.Actuator, several: bool) -> str:
    return f"{what} (address {actuator.name})" if several else what


def _failure_text(traffic: TrafficSummary) -> str:
    failures = ", ".join(f"{kind} {count}" for kind, count in sorted(traffic.failures.items()))
    return failures or "none"


def _telemetry_text(last: _ferrun.StreamData) -> str:
    return (f"position {last.position} um, force {last.force} mN, power {last.power} W, "
            f"temperature {last.temperature} C, voltage {last.voltage} mV, "
            f"errors 0x{last.errors:04x}")


def _raise_interrupted(signum: int, frame: Optional[FrameType]) -> None:
    raise DemoInterrupted(signum)


def _demo(args: argparse.Namespace) -> int:
    if args.plot:
        if os.path.splitext(args.plot)[1].lower() not in (".png", ".svg"):
            raise DemoError(f"cannot write {args.plot}: the image must end in .png or .svg")
        require_matplotlib()
    log_path, log_offset = prepare_log(args.log, args.append)
    show_progress = sys.stdout.isatty() and not args.no_progress
    saved = [signal.signal(signum, _raise_interrupted) for signum in STOP_SIGNALS]
    try:
        if args.port is not None:
            return run_demo(args.port, args.seconds, args.baud, args.address, log_path,
                            log_offset, show_progress, args.plot)
        with virtual_actuator(address=args.address) as port:
            print(f"virtual actuator on {port}")
            return run_demo(port, args.seconds, args.baud, args.address, log_path,
                            log_offset, show_progress, args.plot)
    except DemoError as error:
        if args.log is None and os.path.getsize(log_path) == 0:
            os.unlink(log_path)  # a temporary log that never got a line
            raise
        if args.log is None:
            raise DemoError(f"{error}; traffic log kept in {log_path}") from None
        raise
    except BaseException:
        if args.log is None and os.path.getsize(log_path) == 0:
            os.unlink(log_path)
        raise
    finally:
        for signum, handler in zip(STOP_SIGNALS, saved):
            signal.signal(signum, handler)


def _sim(options: List[str]) -> int:
    binary = str(sim_binary())
    os.execv(binary, [binary, *options])
    return 1  # not reached


class _Parser(argparse.ArgumentParser):
    """Usage errors are one line and exit status 1, like every other error of ours."""

    def error(self, message: str) -> NoReturn:
        print(f"ferrun: {_one_line(message)}", file=sys.stderr)
        sys.exit(1)


def _parser() -> argparse.ArgumentParser:
    parser: argparse.ArgumentParser = _Parser(
        prog="ferrun", description="Move a motor (demo), run the virtual actuator (sim) or read "
        "a traffic log (log).")
    commands = parser.add_subparsers(dest="command", required=True)
    demo = commands.add_parser("demo", help="move a motor in position mode and report")
    demo.add_argument("--port", type=_port, help="serial port path (default: a virtual actuator)")
    demo.add_argument("--seconds", type=_seconds, default=5.0, help="how long to stream")
    demo.add_argument("--baud", type=_baud, default=19200, help="baud rate (default 19200)")
    demo.add_argument("--address", type=_addresses, default=[1],
                      help="Modbus server address, or several on one bus: 1,2,3")
    demo.add_argument("--log", help="traffic log file, emptied first (default: a new "
                      "temporary file)")
    demo.add_argument("--append", action="store_true", help="add to the --log file instead")
    demo.add_argument("--plot", metavar="OUT", help="draw the run into OUT (.png or .svg)")
    demo.add_argument("--no-progress", action="store_true", help="no live display")
    commands.add_parser("sim", help="run the virtual actuator (ferrun sim --help)")
    log_command.add_parser(commands)
    return parser


def _port(text: str) -> str:
    if not text:
        raise argparse.ArgumentTypeError("an empty path; leave --port out for a virtual actuator")
    return text


def _seconds(text: str) -> float:
    try:
        seconds = float(text)
    except ValueError:
        seconds = math.nan
    if not (math.isfinite(seconds) and seconds > 0):
        raise argparse.ArgumentTypeError(f"not a number of seconds above 0: {text}")
    return seconds


def _baud(text: str) -> int:
    try:
        baud = int(text)
    except ValueError:
        baud = 0
    if not MIN_BAUD <= baud <= MAX_BAUD:
        raise argparse.ArgumentTypeError(
            f"not a whole number from {MIN_BAUD} to {MAX_BAUD}: {text}")
    return baud


def _addresses(text: str) -> List[int]:
    try:
        addresses = [int(part) for part in text.split(",")]
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a list of addresses: {text}") from None
    if not addresses or any(not 1 <= a <= 247 for a in addresses) or \
            len(set(addresses)) != len(addresses):
        raise argparse.ArgumentTypeError(f"addresses must be distinct, 1 to 247: {text}")
    return addresses


def _one_line(text: str) -> str:
    return " ".join(text.split())


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
        return _demo(args)
    except DemoInterrupted as interrupted:
        name = "interrupted" if interrupted.signum == signal.SIGINT else "terminated"
        stopped = f", stream stopped; {interrupted.note}" if interrupted.note else ""
        print(f"ferrun: {name}{stopped}", file=sys.stderr)
        return 128 + interrupted.signum
    except KeyboardInterrupt:
        print("ferrun: interrupted", file=sys.stderr)
        return 130
    except BrokenPipeError:
        log_command.quiet_broken_pipe()
        return 0
    except (DemoError, VirtualActuatorError, PlotUnavailable, log_command.LogError) as error:
        print(f"ferrun: {_one_line(str(error))}", file=sys.stderr)
        return 1
    except RuntimeError as error:
        print(f"ferrun: serial line failure: {_one_line(str(error))}", file=sys.stderr)
        return 1


if __name__ == "__main__":
    sys.exit(main())
