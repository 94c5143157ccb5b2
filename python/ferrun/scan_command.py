"""``ferrun scan``: which addresses answer at which baud rate.

Each address is asked once for its mode, not important (no resends) and with a short
response time-out of its own, so an absent one costs the request's wire time, that time-out
and the quiet after it (twice the time-out): at 19200 baud, with the default 10 ms, about
35 ms. Those that answer are asked for their voltage, temperature and error bits as well.
"""

import argparse
import json
import signal
import sys
import time
from dataclasses import asdict, dataclass
from typing import Any, List, Optional

import _ferrun
from ferrun.register_commands import MODE_NAMES, MODE_REPORT
from ferrun.session import (ECHO_TEXT, MAX_ADDRESS, CommandError, Interrupted, add_line_options,
                            addresses, baud_rates, check, log_write_failures, lost_line,
                            open_bus, port_or_virtual)

DEFAULT_BAUD_RATES = "9600,19200,115200"
DEFAULT_RESPONSE_TIMEOUT_US = 10000
# Where a scan without PORT finds its virtual actuator: address 1 at 19200 baud, deaf to
# the other rates.
VIRTUAL_BAUD = 19200


@dataclass
class Found:
    """An actuator that answered, as --json prints it; None where a later read failed."""

    address: int
    baud: int
    mode: str
    voltage_mV: Optional[int]
    temperature_C: Optional[int]
    errors: Optional[int]


def add_parser(commands: "argparse._SubParsersAction[argparse.ArgumentParser]") -> None:
    scan = commands.add_parser(
        "scan", help="find the actuators on a line: addresses and baud rates",
        description="Ask every address at every baud rate once for its mode and list the "
        "actuators that answer, with their mode, voltage, temperature and error bits. "
        "Ctrl-C lists those found so far. Without PORT it scans a virtual actuator at "
        f"address 1 that listens at {VIRTUAL_BAUD} baud only.")
    add_line_options(scan)
    scan.add_argument("--baud", type=baud_rates, default=baud_rates(DEFAULT_BAUD_RATES),
                      metavar="B[,B...]", help=f"baud rates to try (default {DEFAULT_BAUD_RATES})")
    scan.add_argument("--address", type=addresses, default=list(range(1, MAX_ADDRESS + 1)),
                      metavar="A[-B][,...]",
                      help=f"addresses to try: a list, ranges or both (default 1-{MAX_ADDRESS})")
    scan.add_argument("--response-timeout-us", type=int, default=DEFAULT_RESPONSE_TIMEOUT_US,
                      metavar="US", help="how long an address may take to answer (default "
                      f"{DEFAULT_RESPONSE_TIMEOUT_US}, the engine's own is 20000)")
    scan.add_argument("--json", action="store_true", help="print a JSON list of objects")
    scan.set_defaults(run=run)


def _probe(bus: _ferrun.Bus, address: int, baud: int, timeout_us: int,
           echoes: List[int]) -> Optional[Found]:
    a = _ferrun.Actuator(bus, address, str(address))
    mode = a.read_register_blocking(MODE_REPORT, _ferrun.not_important,
                                    response_timeout_us=timeout_us)
    if mode.error:
        lost = lost_line([a])
        if lost:
            raise CommandError(f"scan stopped at address {address}, {baud} baud: {lost}")
        if ECHO_TEXT in mode.error.what():
            echoes.append(address)
        return None

    def value(result: Any) -> Optional[int]:
        return None if result.error else int(result.value)

    return Found(address, baud, MODE_NAMES.get(mode.value, str(mode.value)),
                 value(a.get_voltage_mV()), value(a.get_temperature_C()), value(a.get_errors()))


def _sweep(port: str, args: argparse.Namespace, found: List[Found], echoes: List[int]) -> str:
    """Adds what answers to ``found`` and the addresses whose request came back as an echo
    to ``echoes``; what went wrong writing the traffic log, if anything."""
    from rich.console import Console
    from rich.progress import BarColumn, MofNCompleteColumn, Progress, TextColumn

    columns = [TextColumn("{task.description}"), BarColumn(), MofNCompleteColumn(),
               TextColumn("{task.fields[found]} found")]
    console = Console(stderr=True)
    with Progress(*columns, console=console, disable=not console.is_terminal,
                  transient=True) as progress:
        task = progress.add_task("scanning", total=len(args.baud) * len(args.address), found=0)
        # One bus, its port opened again at each rate: one traffic log on one clock.
        bus = open_bus(port, args.baud[0], args.interframe_delay_us, args.log, args.local_echo)
        try:
            for baud in args.baud:
                if baud != args.baud[0]:
                    bus.close_serial_port()
                    check(bus.open_serial_port(port, baud, args.interframe_delay_us),
                          f"cannot open serial port {port} at {baud} baud")
                for address in args.address:
                    progress.update(task, description=f"{baud} baud, address {address:3d}")
                    answer = _probe(bus, address, baud, args.response_timeout_us, echoes)
                    if answer:
                        found.append(answer)
                    progress.update(task, advance=1, found=len(found))
        finally:
            bus.close_serial_port()
    return log_write_failures(bus)


def _show(found: List[Found], as_json: bool, summary: str) -> None:
    if as_json:
        print(json.dumps([asdict(f) for f in found]))
        return

    def shown(value: Optional[int], unit: str) -> str:
        return "-" if value is None else f"{value} {unit}"

    if found:
        print(f"{'address':>7}  {'baud':>7}  {'mode':<13}  {'voltage':>9}  {'temperature':>11}  "
              "errors")
    for f in found:
        errors = "-" if f.errors is None else f"0x{f.errors:04x}"
        print(f"{f.address:7d}  {f.baud:7d}  {f.mode:<13}  {shown(f.voltage_mV, 'mV'):>9}  "
              f"{shown(f.temperature_C, 'C'):>11}  {errors}")
    print(summary)


def run(args: argparse.Namespace) -> int:
    if not 0 < args.response_timeout_us <= 10_000_000:
        raise CommandError("--response-timeout-us must be 1 to 10000000")
    found: List[Found] = []
    echoes: List[int] = []
    start = time.monotonic()
    with port_or_virtual(args.port, [1], VIRTUAL_BAUD, ["--strict-baud"],
                         echo=args.local_echo) as port:
        try:
            failed_log = _sweep(port, args, found, echoes)
        except (CommandError, RuntimeError, Interrupted, KeyboardInterrupt) as error:
            # What was found stands: a lost line or a signal ends the sweep, not its results.
            how = ("was interrupted" if isinstance(error, Interrupted) and
                   error.signum == signal.SIGINT else "stopped")
            _show(found, args.json, f"{len(found)} found before the scan {how}")
            raise
    rates = ", ".join(str(baud) for baud in args.baud)
    _show(found, args.json, f"{len(found)} found: {len(args.address)} addresses at {rates} "
          f"baud in {time.monotonic() - start:.1f} s")
    if echoes and not args.local_echo:
        print(f"ferrun: the line echoes each request ({len(echoes)} came back instead of an "
              "answer): a two-wire adapter; scan again with --local-echo", file=sys.stderr)
    if failed_log:
        raise CommandError(failed_log)
    return 0
