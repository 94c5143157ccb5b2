"""``ferrun log decode|stats|plot FILE``: reading a traffic log the SDK wrote."""

import argparse
import csv
import io
import os
import stat
import sys
from typing import BinaryIO, Iterable, Iterator, TextIO

from ferrun.log_decoder import CSV_COLUMNS, LogDecoder, csv_row, format_line
from ferrun.log_plot import PlotUnavailable, draw, read_for_plot, require_matplotlib, save
from ferrun.log_stats import collect_stats, format_stats
from ferrun.traffic_log import Frame, NotATrafficLog, bounded_lines, read_frames

# Malformed lines reported one by one before the rest are only counted.
MALFORMED_REPORTS = 20


class LogError(Exception):
    """A failure the log commands report as one line and exit status 1."""


def add_parser(commands: "argparse._SubParsersAction[argparse.ArgumentParser]") -> None:
    log = commands.add_parser("log", help="decode, count or plot a traffic log",
                              description="Read a traffic log written by begin_serial_logging "
                              "or ferrun demo --log.")
    actions = log.add_subparsers(dest="action", required=True, metavar="{decode,stats,plot}")
    decode = actions.add_parser("decode", help="one line per frame: what it means",
                                description="One line per frame: time (ms since the first "
                                "line), direction, server address, function, what the frame "
                                "means, the CRC's status and the engine's failure text.")
    decode.add_argument("file", help="traffic log")
    decode.add_argument("--csv", action="store_true", help="write CSV, one column per field")
    stats = actions.add_parser("stats", help="exchanges, round trips, failures, resends, stream "
                               "rate, line load",
                               description="Exchanges per function, round-trip times, failures "
                               "by kind, resends, stream rate and jitter, and the share of time "
                               "the line was busy.")
    stats.add_argument("file", help="traffic log")
    stats.add_argument("--baud", type=int, default=19200,
                       help="the line's baud rate, for its load (default 19200)")
    plot = actions.add_parser("plot", help="telemetry over time and round-trip histogram",
                              description="Telemetry over time (position with its set-point, "
                              "force, power and temperature, voltage) and a histogram of the "
                              "round-trip times. Needs matplotlib: pip install 'ferrun[plot]'.")
    plot.add_argument("file", help="traffic log")
    plot.add_argument("-o", "--output", required=True, metavar="OUT",
                      help="image to write, .png or .svg")


class MalformedReporter:
    """Reports malformed lines on standard error, the first few one by one."""

    def __init__(self, path: str) -> None:
        self.path = path
        self.count = 0

    def __call__(self, line: int, why: str) -> None:
        self.count += 1
        if self.count <= MALFORMED_REPORTS:
            print(f"ferrun: {self.path}:{line}: malformed line skipped: {why}", file=sys.stderr)

    def finish(self) -> None:
        hidden = self.count - MALFORMED_REPORTS
        if hidden > 0:
            print(f"ferrun: {self.path}: {hidden} more malformed lines skipped", file=sys.stderr)


def open_log(path: str) -> TextIO:
    """The log as text; latin-1 never fails to decode, so a binary file reads as malformed
    lines instead of an exception. A file or a pipe: a device such as /dev/zero never ends."""
    try:
        log = open(path, encoding="latin-1", newline="")
    except OSError as error:
        raise LogError(f"cannot read {path}: {error.strerror or error}") from None
    mode = os.fstat(log.fileno()).st_mode
    if not (stat.S_ISREG(mode) or stat.S_ISFIFO(mode)):
        log.close()
        raise LogError(f"cannot read {path}: not a regular file or a pipe")
    return log


def lines_from(raw: BinaryIO) -> TextIO:
    """Text lines of a binary stream, read the same way as ``open_log``."""
    return io.TextIOWrapper(raw, encoding="latin-1", newline="")


def _with_progress(log: TextIO, path: str) -> Iterator[str]:
    from rich.console import Console
    from rich.progress import BarColumn, Progress, TextColumn, TimeRemainingColumn

    size = os.fstat(log.fileno()).st_size
    columns = [TextColumn("reading"), BarColumn(), TimeRemainingColumn()]
    with Progress(*columns, console=Console(stderr=True), transient=True) as progress:
        task = progress.add_task(path, total=size)
        for number, line in enumerate(bounded_lines(log)):
            if number & 0xFFFF == 0:
                progress.update(task, completed=log.buffer.tell())
            yield line


def frames_of(log: TextIO, path: str, reporter: MalformedReporter,
              progress: bool = False) -> Iterator[Frame]:
    # Progress is how far into the file reading has got: only a regular file has that.
    seekable = stat.S_ISREG(os.fstat(log.fileno()).st_mode)
    lines: Iterable[str] = _with_progress(log, path) if progress and seekable else log
    try:
        yield from read_frames(lines, reporter)
    except NotATrafficLog as why:
        raise LogError(f"{path} is not a traffic log: {why}") from None
    reporter.finish()


def _decode(path: str, as_csv: bool) -> int:
    decoder = LogDecoder()
    reporter = MalformedReporter(path)
    with open_log(path) as log:
        if as_csv:
            writer = csv.writer(sys.stdout, lineterminator="\n")
            writer.writerow(CSV_COLUMNS)
            for frame in frames_of(log, path, reporter):
                writer.writerow(csv_row(decoder.decode(frame)))
        else:
            out = sys.stdout.write
            for frame in frames_of(log, path, reporter):
                out(format_line(decoder.decode(frame), decoder.names, decoder.modes) + "\n")
    return 0


def _stats(path: str, baud: int) -> int:
    if baud <= 0:
        raise LogError("--baud must be a positive number")
    reporter = MalformedReporter(path)
    with open_log(path) as log:
        stats = collect_stats(frames_of(log, path, reporter, sys.stderr.isatty()))
    print(f"{path}:")
    for line in format_stats(stats, baud):
        print(f"  {line}")
    return 0


def plot_file(lines: TextIO, path: str, output: str, title: str = "",
              progress: bool = False) -> None:
    """Draws the log's lines into ``output``; raises LogError or PlotUnavailable."""
    if os.path.splitext(output)[1].lower() not in (".png", ".svg"):
        raise LogError(f"cannot write {output}: the image must end in .png or .svg")
    require_matplotlib()
    telemetry, stats = read_for_plot(frames_of(lines, path, MalformedReporter(path), progress))
    if not stats.frames:
        raise LogError(f"{path} holds no frames to plot")
    figure = draw(telemetry, stats.round_trips_us, title)
    try:
        save(figure, output)
    except OSError as error:
        raise LogError(f"cannot write {output}: {error.strerror or error}") from None


def _plot(path: str, output: str) -> int:
    with open_log(path) as log:
        plot_file(log, path, output, os.path.basename(path), sys.stderr.isatty())
    print(f"wrote {output}")
    return 0


def run(args: argparse.Namespace) -> int:
    try:
        if args.action == "decode":
            return _decode(args.file, args.csv)
        if args.action == "stats":
            return _stats(args.file, args.baud)
        return _plot(args.file, args.output)
    except (LogError, PlotUnavailable) as error:
        print(f"ferrun: {error}", file=sys.stderr)
        return 1


def quiet_broken_pipe() -> None:
    """After the reader of our output went away (``| head``): send the rest nowhere."""
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, sys.stdout.fileno())
