"""``ferrun monitor``: a live view of every actuator on a bus.

The actuators stream through a run_wait loop (each stream answer carries position, force,
power, temperature, voltage and error bits); the mode is read about once a second in between;
the traffic log, read back as it grows, gives each actuator's exchange rate and its failures
by kind. The monitor changes no mode and no set-point while it runs, and whatever ends it
(Ctrl-C, SIGTERM, --seconds, a lost line) it puts the motors to sleep before the port
closes.
"""

import argparse
import os
import time
from collections import deque
from typing import Any, Deque, Dict, List, Optional, Sequence, Tuple

import _ferrun
from ferrun.log_command import quiet_broken_pipe
from ferrun.log_plot import require_matplotlib
from ferrun.register_commands import MODE_NAMES, MODE_REPORT, bits_text
from ferrun.session import (SLEEPING, CommandError, Interrupted, add_line_options, addresses,
                            log_write_failures, lost_line, open_bus, port_or_virtual,
                            prepare_log, put_to_sleep, seconds, signals_held,
                            signals_raise_interrupted)
from ferrun.traffic_log import MalformedLine, TrafficSummary, TrafficTally, parse_line

REFRESH_S = 0.2  # the view, the log read back and the plot
MODE_EVERY_S = 1.0
RATE_WINDOW_S = 1.0
PLOT_WINDOW_S = 10.0
PLOT_SAMPLE_S = 0.01
NON_INTERACTIVE_BACKENDS = ("agg", "cairo", "pdf", "pgf", "ps", "svg", "template")


def add_parser(commands: "argparse._SubParsersAction[argparse.ArgumentParser]") -> None:
    monitor = commands.add_parser(
        "monitor", help="live telemetry, exchange rate and failures of each actuator",
        description="Stream from every actuator given and show its telemetry, mode, exchange "
        "rate and failures by kind, several times a second, until Ctrl-C (or --seconds); "
        "then put the motors to sleep. Without PORT it watches a virtual actuator.")
    add_line_options(monitor, "baud rate (default 19200)")
    monitor.add_argument("--address", type=addresses, default=[1], metavar="A[,B...]",
                         help="server addresses on the bus (default 1)")
    monitor.add_argument("--seconds", type=seconds, help="stop after this long")
    monitor.add_argument("--plot", action="store_true",
                         help="position and force in a live matplotlib window (needs a display)")
    monitor.set_defaults(run=run)


class LogTail:
    """What a growing traffic log gains from an offset on, counted per address."""

    def __init__(self, path: str, offset: int) -> None:
        self.file = open(path, "rb")
        self.file.seek(offset)
        self.pending = b""
        self.tally = TrafficTally()

    def update(self) -> Dict[int, TrafficSummary]:
        lines = (self.pending + self.file.read()).split(b"\n")
        self.pending = lines.pop()  # a line still being written, or b""
        for line in lines:
            try:
                self.tally.add(parse_line(line.decode("latin-1")))
            except MalformedLine:
                pass
        return self.tally.summaries


class LivePlot:
    """Position and force of each actuator over the last PLOT_WINDOW_S, in a window."""

    def __init__(self, addresses: Sequence[int]) -> None:
        require_matplotlib()
        import matplotlib.pyplot as plt

        if plt.get_backend().lower() in NON_INTERACTIVE_BACKENDS:
            raise CommandError("--plot needs a display: matplotlib found none "
                               f"(backend {plt.get_backend()})")
        self.plt = plt
        self.fig, (self.position, self.force) = plt.subplots(2, 1, sharex=True)
        self.fig.suptitle("ferrun monitor")
        self.position.set_ylabel("position (um)")
        self.force.set_ylabel("force (mN)")
        self.force.set_xlabel("time (s)")
        self.samples: Dict[int, Deque[Tuple[float, int, int]]] = {a: deque() for a in addresses}
        self.lines = {a: (self.position.plot([], [], label=f"address {a}")[0],
                          self.force.plot([], [])[0]) for a in addresses}
        self.position.legend(loc="upper left")
        plt.show(block=False)

    def add(self, time_s: float, address: int, data: _ferrun.StreamData) -> None:
        samples = self.samples[address]
        samples.append((time_s, data.position, data.force))
        while samples[0][0] < time_s - PLOT_WINDOW_S:
            samples.popleft()

    def draw(self) -> None:
        for address, (position, force) in self.lines.items():
            times = [s[0] for s in self.samples[address]]
            position.set_data(times, [s[1] for s in self.samples[address]])
            force.set_data(times, [s[2] for s in self.samples[address]])
        for ax in (self.position, self.force):
            ax.relim()
            ax.autoscale_view()
        self.fig.canvas.draw_idle()
        self.fig.canvas.flush_events()

    def closed(self) -> bool:
        return not self.plt.fignum_exists(self.fig.number)


class Watch:
    """What the view shows of each actuator, kept up to date by the loop."""

    def __init__(self, actuators: List[_ferrun.Actuator], addresses: List[int]) -> None:
        self.actuators = actuators
        self.addresses = addresses
        self.modes: Dict[int, str] = {a: "-" for a in addresses}
        self.answered = {a: False for a in addresses}
        self.summaries: Dict[int, TrafficSummary] = {}
        self.counts: Dict[int, Deque[Tuple[float, int]]] = {a: deque() for a in addresses}

    def read_modes(self) -> None:
        for actuator, address in zip(self.actuators, self.addresses):
            mode = actuator.read_register_blocking(MODE_REPORT, _ferrun.not_important)
            self.modes[address] = "?" if mode.error else MODE_NAMES.get(mode.value,
                                                                        str(mode.value))

    def note_answers(self) -> None:
        for actuator, address in zip(self.actuators, self.addresses):
            self.answered[address] = self.answered[address] or not actuator.last_error()

    def count(self, now: float, summaries: Dict[int, TrafficSummary]) -> None:
        self.summaries = summaries
        for address, counts in self.counts.items():
            counts.append((now, summaries.get(address, TrafficSummary()).stream_answers))
            while len(counts) > 2 and counts[1][0] <= now - RATE_WINDOW_S:
                counts.popleft()

    def rate(self, address: int) -> float:
        counts = self.counts[address]
        if len(counts) < 2 or counts[-1][0] <= counts[0][0]:
            return 0.0
        return (counts[-1][1] - counts[0][1]) / (counts[-1][0] - counts[0][0])

    def failures(self, address: int) -> str:
        failures = self.summaries.get(address, TrafficSummary()).failures
        return ", ".join(f"{kind} {n}" for kind, n in sorted(failures.items())) or "none"

    def table(self, elapsed: float) -> Any:
        """A column per actuator, so that a bus of several fits a terminal's width."""
        from rich.console import Group
        from rich.table import Table

        table = Table(box=None)
        table.add_column("")
        rows: List[List[str]] = [[name] for name in (
            "mode", "position um", "force mN", "power W", "temperature C", "voltage mV",
            "error bits", "exchanges/s", "failures")]
        for actuator, address in zip(self.actuators, self.addresses):
            table.add_column(f"address {address}", justify="right", max_width=24)
            d = actuator.get_stream_data()
            telemetry = [d.position, d.force, d.power, d.temperature, d.voltage]
            shown = [str(value) if self.answered[address] else "-" for value in telemetry]
            errors = bits_text(d.errors) if self.answered[address] else "-"
            column = [self.modes[address], *shown, errors, f"{self.rate(address):.0f}",
                      self.failures(address)]
            for row, text in zip(rows, column):
                row.append(text)
        for row in rows:
            table.add_row(*row)
        return Group(f"ferrun monitor, {elapsed:.1f} s; Ctrl-C stops and puts the motors to "
                     "sleep", table)

    def summary(self, elapsed: float) -> List[str]:
        lines = [f"monitored for {elapsed:.1f} s"]
        for address in self.addresses:
            traffic = self.summaries.get(address, TrafficSummary())
            answered = traffic.stream_answers
            lines.append(f"  address {address}: {answered} stream exchanges "
                         f"({answered / max(elapsed, 1e-9):.0f}/s) of "
                         f"{traffic.stream_requests} requests, failures: "
                         f"{self.failures(address)}")
        return lines


def _watch(bus: _ferrun.Bus, watch: Watch, tail: LogTail, limit_s: Optional[float],
           plot: Optional[LivePlot], live: Any) -> float:
    """Streams and shows until the time is up or the plot's window closes; the seconds it
    took. The view stays up: the caller ends it once the motors are asleep."""
    start = time.monotonic()
    watch.read_modes()
    for actuator in watch.actuators:
        actuator.enable_stream()
    next_view = next_mode = next_sample = start
    elapsed = 0.0
    live.start(refresh=True)
    while limit_s is None or elapsed < limit_s:
        bus.run_wait(5000)
        elapsed = time.monotonic() - start
        lost = lost_line(watch.actuators)
        if lost:
            raise CommandError(f"monitoring stopped after {elapsed:.1f} s: {lost}")
        watch.note_answers()
        if plot and elapsed >= next_sample - start:
            for actuator, address in zip(watch.actuators, watch.addresses):
                plot.add(elapsed, address, actuator.get_stream_data())
            next_sample = time.monotonic() + PLOT_SAMPLE_S
        if elapsed >= next_mode - start:
            watch.read_modes()
            next_mode += MODE_EVERY_S
        if elapsed >= next_view - start:
            watch.count(elapsed, tail.update())
            live.update(watch.table(elapsed), refresh=True)
            if plot:
                if plot.closed():
                    break
                plot.draw()
            next_view += REFRESH_S
    watch.count(elapsed, tail.update())
    live.update(watch.table(elapsed), refresh=True)
    return elapsed


def _show_end(live: Any, lines: List[str]) -> str:
    """Ends the view and prints ``lines``; why that failed, "" when it did not or when the
    reader went away (rich makes a broken pipe SystemExit), as elsewhere in ferrun."""
    try:
        live.stop()  # on a pipe or a file the only view there is
        if not live.console.is_terminal:
            live.console.line()  # the last view ends without one
        print("\n".join(lines), flush=True)
    except (BrokenPipeError, SystemExit):
        quiet_broken_pipe()
    except OSError as error:
        quiet_broken_pipe()
        return f"cannot write the view: {error.strerror or error}"
    return ""


def run(args: argparse.Namespace) -> int:
    plot = LivePlot(args.address) if args.plot else None
    log_path, offset = prepare_log(args.log, True, "ferrun-monitor-")
    try:
        with port_or_virtual(args.port, args.address, args.baud, echo=args.local_echo) as port:
            return _monitor(port, args, log_path, offset, plot)
    finally:
        if args.log is None:
            os.unlink(log_path)


def _monitor(port: str, args: argparse.Namespace, log_path: str, offset: int,
             plot: Optional[LivePlot]) -> int:
    from rich.live import Live

    bus = open_bus(port, args.baud, args.interframe_delay_us, log_path, args.local_echo)
    actuators = [_ferrun.Actuator(bus, a, str(a)) for a in args.address]
    watch = Watch(actuators, args.address)
    tail = LogTail(log_path, offset)
    live = Live(watch.table(0.0), auto_refresh=False)
    elapsed = 0.0
    start = time.monotonic()

    def to_sleep(said: str = "") -> str:
        with signals_held():
            note = put_to_sleep(bus, actuators, said)
            bus.close_serial_port()
        return note

    try:
        with signals_raise_interrupted():
            elapsed = _watch(bus, watch, tail, args.seconds, plot, live)
    except Interrupted as interrupted:
        note = to_sleep()
        watch.count(time.monotonic() - start, tail.update())
        _show_end(live, watch.summary(time.monotonic() - start))
        raise Interrupted(interrupted.signum, note) from None
    except (CommandError, RuntimeError) as error:
        what = str(error) if isinstance(error, CommandError) else f"serial line failure: {error}"
        note = to_sleep(what)
        _show_end(live, [])
        raise CommandError(f"{what}; {note}") from None
    except BaseException as error:  # the view could not be written (a terminal gone), or a bug
        note = to_sleep()
        _show_end(live, [])
        if isinstance(error, OSError):
            raise CommandError(f"cannot write the view: {error.strerror or error}; {note}") \
                from None
        raise
    finally:
        tail.file.close()
    note = to_sleep()
    asleep = note in SLEEPING
    failed = [] if asleep else [note]
    failed.append(_show_end(live, watch.summary(elapsed) + ([note] if asleep else [])))
    failed.append(log_write_failures(bus))
    if any(failed):
        raise CommandError("; ".join(text for text in failed if text))
    return 0
