"""``ferrun read`` and ``ferrun write``: one-shot register access for commissioning.

Registers are named as the SDK's register map names them (``ferrun read 1 voltage``) and
shown with the unit of the quantity they hold; the register map also says which ones are
wide. Values go through the Actuator's own calls, so failures are the SDK's texts.
"""

import argparse
import json
import sys
import time
from dataclasses import asdict, dataclass
from typing import Any, Callable, Dict, List, Optional, Tuple

import _ferrun
from ferrun.log_decoder import register_names
from ferrun.session import (CommandError, add_line_options, address, check, check_log, lost_line,
                            one_line, open_bus, port_or_virtual)

NAMES = register_names()
REGISTERS_BY_NAME = {name: number for number, name in NAMES.items()}
# The names worth listing: the map's placeholders (register_9, block_133) only restate the number.
LISTED_NAMES = sorted(name for number, name in NAMES.items() if not name.endswith(f"_{number}"))
UNITS: Dict[int, Tuple[str, int]] = {int(number): (str(unit), int(width))
                                     for number, (unit, width) in _ferrun.register_units().items()}
MODE_NAMES = {int(mode): name for name, mode in _ferrun.MotorMode.__members__.items()}
MODE_REPORT = REGISTERS_BY_NAME["mode_report"]
LAST_REGISTER = 0xFFFF
# What a register, and a wide one, holds: the C++ types of the SDK's calls.
PLAIN_RANGE = (0, 0xFFFF)
WIDE_RANGE = (-(1 << 31), (1 << 31) - 1)
MIN_RATE_HZ = 0.001
MAX_RATE_HZ = 1000.0


@dataclass
class Reading:
    """One value at a register, as --json prints it."""

    address: int
    register: int
    name: Optional[str]
    value: int
    unit: Optional[str]


def reading(server: int, register: int, value: int, width: int) -> Reading:
    """The register's name, and its unit when the value spans the register's width."""
    unit, own_width = UNITS.get(register, (None, width))
    return Reading(server, register, NAMES.get(register), value,
                   unit if own_width == width else None)


def value_text(r: Reading, in_hex: bool = False) -> str:
    number = f"0x{r.value & 0xFFFFFFFF:04x}" if in_hex else str(r.value)
    if r.unit == "mode":
        return f"{number} ({MODE_NAMES.get(r.value, 'no such mode')})"
    if r.unit == "bits":
        return bits_text(r.value)
    return f"{number} {r.unit}" if r.unit else number


def bits_text(value: int) -> str:
    """Error bits, and which are set: 0x0003 (bits 0,1)."""
    bits = [str(bit) for bit in range(16) if value >> bit & 1]
    return f"0x{value:04x} ({'bits ' + ','.join(bits) if bits else 'none'})"


def reading_line(r: Reading, in_hex: bool = False) -> str:
    return f"{r.register:5d} {r.name or '':<13} {value_text(r, in_hex)}"


def whole_number(text: str) -> int:
    """Decimal (010 is ten) or 0x hex; ValueError for anything else."""
    return int(text, 16 if text.strip().lstrip("+-")[:2].lower() == "0x" else 10)


def register_number(text: str) -> int:
    """A register by its number (decimal or 0x hex) or by its name in the register map."""
    try:
        number = whole_number(text)
    except ValueError:
        if text.lower() in REGISTERS_BY_NAME:
            return REGISTERS_BY_NAME[text.lower()]
        known = ", ".join(LISTED_NAMES)
        raise argparse.ArgumentTypeError(
            f"no register is named {text!r} (names: {known})") from None
    if not 0 <= number <= LAST_REGISTER:
        raise argparse.ArgumentTypeError(f"registers are 0 to {LAST_REGISTER}: {text}")
    return number


def register_and_count(text: str) -> Tuple[int, int]:
    register, colon, count_text = text.partition(":")
    count = 1
    if colon:
        try:
            count = int(count_text)
        except ValueError:
            count = 0
        if not 1 <= count <= _ferrun.MAX_READ_REGISTERS:
            raise argparse.ArgumentTypeError(
                f"the count must be 1 to {_ferrun.MAX_READ_REGISTERS}: {text}")
    return register_number(register), count


def value_list(text: str) -> List[Tuple[int, bool]]:
    """Each value, and whether it was given in hex."""
    try:
        return [(whole_number(part), "x" in part.lower()) for part in text.split(",")]
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a list of whole numbers: {text}") from None


def _width(register: int, wide: bool) -> int:
    """2 for --wide and for the registers the register map calls wide."""
    return 2 if wide else UNITS.get(register, ("", 1))[1]


def _check_span(register: int, count: int, width: int) -> None:
    if register + count * width - 1 > LAST_REGISTER:
        raise CommandError(f"{count * width} registers from {register} run past {LAST_REGISTER}")


def add_parsers(commands: "argparse._SubParsersAction[argparse.ArgumentParser]") -> None:
    read = commands.add_parser(
        "read", help="read registers by number or name, shown with their units",
        description="Read holding registers of one actuator, by number or by their names in "
        "the register map (position, voltage, mode_report, ...), and show them with their "
        "units. Wide registers (position, force, or any with --wide) are read 32 bits at a "
        "time. Without PORT it reads a virtual actuator.")
    add_line_options(read, "baud rate (default 19200)")
    read.add_argument("address", type=address, metavar="ADDRESS", help="server address, 1 to 247")
    read.add_argument("register", type=register_and_count, metavar="REGISTER[:COUNT]",
                      help="first register, by number or name, and how many values")
    read.add_argument("--wide", action="store_true", help="32-bit values, two registers each")
    read.add_argument("--hex", action="store_true", help="show values in hexadecimal")
    read.add_argument("--json", action="store_true", help="one JSON list of readings a poll")
    read.add_argument("--repeat", type=int, default=1, metavar="N",
                      help="poll N times (0: until Ctrl-C)")
    read.add_argument("--rate", type=float, default=1.0, metavar="HZ",
                      help="polls a second with --repeat (default 1)")
    read.set_defaults(run=run_read)

    write = commands.add_parser(
        "write", help="write registers by number or name",
        description="Write holding registers of one actuator, by number or by name: one value "
        "to one register, several to consecutive ones in one request. Wide registers take "
        "32-bit values, one request each. Without PORT it writes to a virtual actuator.")
    add_line_options(write, "baud rate (default 19200)")
    write.add_argument("address", type=address, metavar="ADDRESS", help="server address, 1 to 247")
    write.add_argument("register", type=register_number, metavar="REGISTER",
                       help="first register, by number or name")
    write.add_argument("values", type=value_list, metavar="VALUE[,VALUE...]",
                       help="values to write, decimal or 0x hex")
    write.add_argument("--wide", action="store_true", help="32-bit values, two registers each")
    write.add_argument("--json", action="store_true", help="print what was written as JSON")
    write.set_defaults(run=run_write)


def _on_actuator(args: argparse.Namespace, work: Callable[[_ferrun.Actuator], int]) -> int:
    with port_or_virtual(args.port, [args.address], args.baud, echo=args.local_echo) as port:
        bus = open_bus(port, args.baud, args.interframe_delay_us, args.log, args.local_echo)
        try:
            status = work(_ferrun.Actuator(bus, args.address, str(args.address)))
        finally:
            bus.close_serial_port()
        check_log(bus)
        return status


def _read_once(a: _ferrun.Actuator, server: int, register: int, count: int,
               width: int) -> List[Reading]:
    if width == 2:
        readings = []
        for at in range(register, register + 2 * count, 2):
            wide = a.read_wide_register_blocking(at)
            check(wide.error, f"reading register {at} at address {server} failed")
            readings.append(reading(server, at, wide.value, 2))
        return readings
    if count == 1:
        result: Any = a.read_register_blocking(register)
        values = [result.value]
    else:
        result = a.read_multiple_registers_blocking(register, count)
        values = result.value
    check(result.error, f"reading register {register} at address {server} failed")
    return [reading(server, register + i, value, 1) for i, value in enumerate(values)]


def run_read(args: argparse.Namespace) -> int:
    register, count = args.register
    width = _width(register, args.wide)
    _check_span(register, count, width)
    if args.repeat < 0 or not MIN_RATE_HZ <= args.rate <= MAX_RATE_HZ:
        raise CommandError(f"--repeat must be 0 or more and --rate {MIN_RATE_HZ:g} to "
                           f"{MAX_RATE_HZ:g}")

    def poll(a: _ferrun.Actuator) -> int:
        status = 0
        start = time.monotonic()
        polls = 0
        while args.repeat == 0 or polls < args.repeat:
            if polls:
                time.sleep(max(0.0, start + polls / args.rate - time.monotonic()))
            polls += 1
            try:
                readings = _read_once(a, args.address, register, count, width)
            except CommandError as error:
                if lost_line([a]) or args.repeat == 1:
                    raise
                print(f"ferrun: {one_line(str(error))}", file=sys.stderr)
                status = 1
                continue
            stamp = time.monotonic() - start
            _print_readings(readings, args, stamp if args.repeat != 1 else None)
        return status

    return _on_actuator(args, poll)


def _print_readings(readings: List[Reading], args: argparse.Namespace,
                    stamp: Optional[float], prefix: str = "") -> None:
    """A JSON list (with the poll's time when polling), or a line per reading."""
    if args.json:
        rows = [asdict(r) for r in readings]
        if stamp is not None:
            for row in rows:
                row["time_s"] = round(stamp, 3)
        print(json.dumps(rows), flush=True)
        return
    if stamp is not None:
        prefix = f"{stamp:8.3f} s "
    for r in readings:
        print(prefix + reading_line(r, getattr(args, "hex", False)), flush=True)


def run_write(args: argparse.Namespace) -> int:
    register = args.register
    width = _width(register, args.wide)
    low, high = WIDE_RANGE if width == 2 else PLAIN_RANGE
    # A wide value in hex may be its 32 bits, as read --hex shows a negative one: 0xfffffffb.
    values = [value - (1 << 32) if in_hex and width == 2 and high < value <= 0xFFFFFFFF
              else value for value, in_hex in args.values]
    for value in values:
        if not low <= value <= high:
            raise CommandError(f"value {value} does not fit {'a wide' if width == 2 else 'a'} "
                               f"register ({low} to {high})")
    if width == 1 and len(values) > _ferrun.MAX_WRITE_REGISTERS:
        raise CommandError(f"at most {_ferrun.MAX_WRITE_REGISTERS} values in one write")
    _check_span(register, len(values), width)

    def write(a: _ferrun.Actuator) -> int:
        what = f"writing register {register} at address {args.address} failed"
        if width == 2:
            for i, value in enumerate(values):
                at = register + 2 * i
                check(a.write_wide_register_blocking(at, value),
                      f"writing register {at} at address {args.address} failed")
        elif len(values) == 1:
            check(a.write_register_blocking(register, values[0]), what)
        else:
            check(a.write_multiple_registers_blocking(register, len(values), values), what)
        written = [reading(args.address, register + width * i, value, width)
                   for i, value in enumerate(values)]
        _print_readings(written, args, None, "wrote ")
        return 0

    return _on_actuator(args, write)
