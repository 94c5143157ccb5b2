"""What the commands that talk to actuators share: their errors, the checks of their
arguments, opening the line (a real port, or a virtual actuator when none is given) and
putting motors to sleep on the way out."""

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
from typing import Iterator, List, Optional, Sequence, Tuple

import _ferrun
from ferrun.virtual import virtual_actuator

# Ctrl-C, a kill, and the terminal closing (no SIGHUP on Windows) stop a command alike.
STOP_SIGNALS = tuple(getattr(signal, name) for name in ("SIGINT", "SIGTERM", "SIGHUP")
                     if hasattr(signal, name))
# What a serial driver can be asked for; beyond it the number does not fit the SDK's int.
MIN_BAUD = 50
MAX_BAUD = 20_000_000
MAX_ADDRESS = 247
MAX_INTERFRAME_DELAY_US = 1_000_000  # the SDK's own bound
# How the SDK's error text says that the serial line is gone (unplugged, the far end closed):
# from then on every exchange fails at once, so there is nothing left to wait for.
LINE_LOST = "Serial line lost: "
# What put_to_sleep says when every motor is asleep: one motor, several.
SLEEPING = ("the motor is in sleep mode", "the motors are in sleep mode")
# The device of a virtual actuator takes this long to answer, like a real one.
VIRTUAL_TURNAROUND_US = 1000
# What the SDK says of an exchange whose awaited answer was its own request coming back.
ECHO_TEXT = next(text for _, text, _, kind in _ferrun.failure_table()
                 if kind == "line echoes").strip()


class CommandError(Exception):
    """A failure a command reports as one line and exit status 1."""


class Interrupted(Exception):
    """Ctrl-C, SIGTERM or SIGHUP arrived; the exit status is 128 + the signal's number."""

    def __init__(self, signum: int, note: str = "") -> None:
        super().__init__(signum, note)
        self.signum = signum
        self.note = note


def check(error: _ferrun.ZelkError, what: str) -> None:
    if error:
        raise CommandError(f"{what}: {error.what().strip()}")


def lost_line(actuators: Sequence[_ferrun.Actuator]) -> Optional[str]:
    """The SDK's reason when the last exchange of one of the actuators found the line gone."""
    for actuator in actuators:
        text = actuator.last_error().what()
        if LINE_LOST in text:
            return text[text.index(LINE_LOST):].strip()
    return None


def finish_in_flight(bus: _ferrun.Bus) -> None:
    """Lets the stream command in flight finish before the blocking calls take the line."""
    until = time.monotonic() + 0.05
    while time.monotonic() < until:
        bus.run_wait(1000)


@contextlib.contextmanager
def signals_held() -> Iterator[None]:
    """The stop signals wait while the motor is being put to sleep."""
    saved = [signal.signal(signum, signal.SIG_IGN) for signum in STOP_SIGNALS]
    try:
        yield
    finally:
        for signum, handler in zip(STOP_SIGNALS, saved):
            signal.signal(signum, handler)


@contextlib.contextmanager
def signals_raise_interrupted() -> Iterator[None]:
    """The stop signals raise Interrupted, between the SDK's calls, for as long as this
    lasts."""
    def interrupted(signum: int, frame: Optional[FrameType]) -> None:
        raise Interrupted(signum)

    saved = [signal.signal(signum, interrupted) for signum in STOP_SIGNALS]
    try:
        yield
    finally:
        for signum, handler in zip(STOP_SIGNALS, saved):
            signal.signal(signum, handler)


def put_to_sleep(bus: _ferrun.Bus, actuators: Sequence[_ferrun.Actuator], said: str = "") -> str:
    """Best effort after an interruption or an error: stop streaming, ask for sleep mode.
    On a lost line nothing is tried: each set_mode would only run out its time limit. A lost
    line's reason is given unless ``said`` has it already."""
    notes = []
    for actuator in actuators:
        actuator.disable_stream()
    lost = lost_line(actuators)
    if not lost:
        finish_in_flight(bus)
    for actuator in actuators:
        if lost:
            break
        error = actuator.set_mode(_ferrun.SleepMode)
        lost = lost_line([actuator])
        if error and not lost:
            notes.append(f"could not return motor {actuator.name} to sleep mode: "
                         f"{error.what().strip()}")
    if lost:
        motors = "the motors" if len(actuators) > 1 else "the motor"
        reason = "" if lost in said else f": {lost}"
        notes.append(f"{motors} could not be put into sleep mode{reason}")
    return "; ".join(notes) or SLEEPING[len(actuators) > 1]


def prepare_log(path: Optional[str], append: bool, prefix: str) -> Tuple[str, int]:
    """The log file to use and the offset where this run's lines will start. The default
    is a fresh file that tempfile creates (never an existing file or a symlink); --log
    truncates unless --append. Only a regular file will do: the summary reads the log back,
    and a device (/dev/full reads as endless zeros), a FIFO or a directory is no log."""
    try:
        if path is None:
            descriptor, path = tempfile.mkstemp(prefix=prefix, suffix=".log")
            os.close(descriptor)
            return path, 0
        if os.path.exists(path) and not os.path.isfile(path):
            raise CommandError(f"cannot write the traffic log {path}: not a regular file")
        # Should a FIFO have taken the file's place since, opening it does not wait for a reader.
        flags = os.O_WRONLY | os.O_CREAT | os.O_NONBLOCK | (os.O_APPEND if append else 0)
        descriptor = os.open(path, flags, 0o666)
        try:
            if not stat.S_ISREG(os.fstat(descriptor).st_mode):
                raise CommandError(f"cannot write the traffic log {path}: not a regular file")
            if not append:
                os.ftruncate(descriptor, 0)
            return path, os.lseek(descriptor, 0, os.SEEK_END)
        finally:
            os.close(descriptor)
    except OSError as error:
        raise CommandError(f"cannot write the traffic log {path}: {error.strerror}") from None


def open_bus(port: str, baud: int, interframe_delay_us: int,
             log_path: Optional[str] = None, local_echo: bool = False) -> _ferrun.Bus:
    """A bus with its port open (and its traffic appended to ``log_path``), expecting each
    request back first with ``local_echo``; CommandError with the SDK's reason when either
    fails."""
    bus = _ferrun.Bus()
    bus.local_echo = local_echo
    check(bus.open_serial_port(port, baud, interframe_delay_us), f"cannot open serial port {port}")
    if log_path is not None:
        error = bus.begin_serial_logging(log_path)
        if error:
            bus.close_serial_port()
            check(error, "cannot write the traffic log")
    return bus


def log_write_failures(bus: _ferrun.Bus) -> str:
    """A line on the traffic log's failed writes, "" when there were none: the summary counts
    only what reached the file."""
    failures = bus.log_write_failures()
    if not failures:
        return ""
    return f"traffic log: {failures} writes failed: {bus.last_log_error().what().strip()}"


def check_log(bus: _ferrun.Bus) -> None:
    """CommandError when the traffic log lacks some of the command's traffic."""
    failed = log_write_failures(bus)
    if failed:
        raise CommandError(failed)


@contextlib.contextmanager
def port_or_virtual(port: Optional[str], addresses: Sequence[int], baud: int,
                    options: Sequence[str] = (), echo: bool = False) -> Iterator[str]:
    """The port given, or a virtual actuator's for the length of the block when none is: its
    devices have the addresses given and a line paced at ``baud`` (that echoes each request,
    with ``echo``). Says which on stderr, so that standard output stays the command's own."""
    if port is not None:
        yield port
        return
    with virtual_actuator(options, baud=baud, turnaround_us=VIRTUAL_TURNAROUND_US,
                          address=list(addresses), echo=echo) as virtual_port:
        print(f"ferrun: virtual actuator on {virtual_port}", file=sys.stderr)
        yield virtual_port


def add_line_options(parser: argparse.ArgumentParser, baud_help: str = "") -> None:
    """PORT (optional: a virtual actuator), --interframe-delay-us and --log; --baud unless the
    command has its own."""
    parser.add_argument("port", nargs="?", metavar="PORT", type=port_path,
                        help="serial port path (default: a virtual actuator)")
    if baud_help:
        parser.add_argument("--baud", type=baud_rate, default=19200, help=baud_help)
    parser.add_argument("--interframe-delay-us", type=interframe_delay, default=2000,
                        metavar="US", help="quiet time between exchanges, 0 to "
                        f"{MAX_INTERFRAME_DELAY_US} (default 2000)")
    parser.add_argument("--log", metavar="PATH",
                        help="append the traffic to this log (see ferrun log)")
    parser.add_argument("--local-echo", action="store_true",
                        help="the line echoes each request (a two-wire RS-485 adapter): expect "
                        "it back before the answer")


def port_path(text: str) -> str:
    if not text:
        raise argparse.ArgumentTypeError("an empty path; leave the port out for a virtual "
                                         "actuator")
    return text


def baud_rate(text: str) -> int:
    try:
        baud = int(text)
    except ValueError:
        baud = 0
    if not MIN_BAUD <= baud <= MAX_BAUD:
        raise argparse.ArgumentTypeError(
            f"not a whole number from {MIN_BAUD} to {MAX_BAUD}: {text}")
    return baud


def interframe_delay(text: str) -> int:
    try:
        delay = int(text)
    except ValueError:
        delay = -1
    if not 0 <= delay <= MAX_INTERFRAME_DELAY_US:
        raise argparse.ArgumentTypeError(
            f"not a whole number of microseconds from 0 to {MAX_INTERFRAME_DELAY_US}: {text}")
    return delay


def baud_rates(text: str) -> List[int]:
    rates = [baud_rate(part) for part in text.split(",")]
    if len(set(rates)) != len(rates):
        raise argparse.ArgumentTypeError(f"baud rates must be distinct: {text}")
    return rates


def addresses(text: str) -> List[int]:
    """Server addresses as a list (1,3,7), a range (1-247) or both (1-5,9)."""
    found: List[int] = []
    for part in text.split(","):
        low, dash, high = part.partition("-")
        try:
            first, last = int(low), int(high if dash else low)
        except ValueError:
            raise argparse.ArgumentTypeError(f"not a list of addresses: {text}") from None
        if not 1 <= first <= last <= MAX_ADDRESS:
            found = []
            break
        found += range(first, last + 1)
    if not found or len(set(found)) != len(found):
        raise argparse.ArgumentTypeError(
            f"addresses must be distinct, 1 to {MAX_ADDRESS}: {text}")
    return found


def address(text: str) -> int:
    try:
        number = int(text)
    except ValueError:
        number = 0
    if not 1 <= number <= MAX_ADDRESS:
        raise argparse.ArgumentTypeError(f"a server address is 1 to {MAX_ADDRESS}: {text}")
    return number


def seconds(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        value = math.nan
    if not (math.isfinite(value) and value > 0):
        raise argparse.ArgumentTypeError(f"not a number of seconds above 0: {text}")
    return value


def one_line(text: str) -> str:
    return " ".join(text.split())
