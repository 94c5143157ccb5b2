"""Reading back the serial traffic log the SDK writes: one tab-separated line per frame.

A line is ``<time us>\\ttx\\t<byte>\\t...`` for a request and ``<time us>\\trx\\t<byte>...``
for what came back, bytes as two hexadecimal digits, followed on a failed reception by one
field of failure texts ("Timed out. Wrong CRC. "). Files are read as a stream of lines, each
cut short at MAX_LINE_CHARS, so input of any size, even one without a line end, is read in flat
memory.
"""

import functools
import io
from collections import Counter
from dataclasses import dataclass, field
from typing import (Callable, Dict, Iterable, Iterator, List, NamedTuple, Optional, Protocol,
                    Tuple)

import _ferrun

# The texts the engine puts behind a failed exchange, in the order it writes them, and the
# kind each one is counted as: the SDK's own failure table.
FAILURE_TEXTS = {log_text: kind for _, _, log_text, kind in _ferrun.failure_table()}
STREAM_FUNCTION = _ferrun.STREAM_COMMAND
TX = "tx"
RX = "rx"

# A file whose first lines are all malformed is not a traffic log at all.
SNIFF_LINES = 10
# The longest line the SDK writes (a 256-byte frame and every failure text) is under 1000
# characters; anything longer is not a log line, and is never held in memory whole.
MAX_LINE_CHARS = 4096
_HEX_DIGITS = "0123456789abcdefABCDEF"
_new_tuple = tuple.__new__


class Frame(NamedTuple):
    line: int  # line number in the file, from 1
    time_us: int
    direction: str  # TX or RX
    data: bytes
    failure: str  # the failure texts of a reception, as written; "" when none


class MalformedLine(ValueError):
    """A line that is not a traffic log line; its text says why."""


class NotATrafficLog(ValueError):
    """The input does not look like a traffic log at all."""


def parse_line(text: str, line: int = 0) -> Frame:
    """One log line as a Frame; raises MalformedLine for anything the SDK would not write."""
    if len(text) > MAX_LINE_CHARS:
        raise MalformedLine(f"longer than {MAX_LINE_CHARS} characters")
    stripped = text.rstrip("\r\n")
    parts = stripped.split("\t", 2)
    if len(parts) < 2:
        raise MalformedLine("cut short")
    stamp, direction = parts[0], parts[1]
    if not (stamp.isascii() and stamp.isdigit()):
        raise MalformedLine(f"time {stamp[:20]!r} is not a whole number of microseconds")
    if direction != TX and direction != RX:
        raise MalformedLine(f"unknown direction {direction[:20]!r}")
    failure = ""
    hexes = ""
    if len(parts) == 3:
        hexes = "\t" + parts[2]
        if direction == RX:
            # The failure field is the one field that is not hexadecimal.
            cut = hexes.rfind("\t")
            last = hexes[cut + 1:]
            if last.strip(_HEX_DIGITS):
                failure = last
                hexes = hexes[:cut]
    try:
        data = bytes.fromhex(hexes)
    except ValueError:
        raise MalformedLine("a byte is not two hexadecimal digits") from None
    count = len(data)
    if len(hexes) != 3 * count or hexes[::3] != "\t" * count:
        raise MalformedLine("a byte is not two hexadecimal digits")
    if direction == TX and count < 4:
        raise MalformedLine("cut short: a request has at least 4 bytes")
    # tuple.__new__ skips the generated constructor's Python frame: a tenth of the parse.
    return _new_tuple(Frame, (line, int(stamp), direction, data, failure))


MalformedHandler = Callable[[int, str], None]


class LineSource(Protocol):
    def readline(self, size: int = -1, /) -> str: ...


def bounded_lines(stream: LineSource) -> Iterator[str]:
    """The stream's lines, a longer one than MAX_LINE_CHARS as its first MAX_LINE_CHARS + 1
    characters (which parse_line refuses) while the rest of it is skipped."""
    read = functools.partial(stream.readline, MAX_LINE_CHARS + 1)
    for line in iter(read, ""):
        yield line
        while len(line) > MAX_LINE_CHARS and line[-1] not in "\r\n":
            line = read()


def read_frames(lines: Iterable[str], on_malformed: Optional[MalformedHandler] = None,
                ) -> Iterator[Frame]:
    """The frames of a log, in order. Malformed lines go to ``on_malformed(line, why)`` and
    are skipped; raises NotATrafficLog when none of the first lines is a log line. A text
    file is read through bounded_lines."""
    if isinstance(lines, io.TextIOBase):
        lines = bounded_lines(lines)
    held: List[Tuple[int, str]] = []  # malformed lines before the first good one
    seen_frame = False
    parse = parse_line
    number = 0
    for number, text in enumerate(lines, 1):
        try:
            frame = parse(text, number)
        except MalformedLine as why:
            if not text.strip():
                continue
            if seen_frame:
                if on_malformed is not None:
                    on_malformed(number, str(why))
                continue
            held.append((number, str(why)))
            if len(held) >= SNIFF_LINES:
                raise NotATrafficLog(f"none of its first {len(held)} lines is a traffic log line")
            continue
        if not seen_frame:
            seen_frame = True
            if on_malformed is not None:
                for held_number, why_text in held:
                    on_malformed(held_number, why_text)
            held.clear()
        yield frame
    if held:
        raise NotATrafficLog("it has no traffic log line")


def failure_kinds(text: str) -> List[str]:
    """The kinds of failure in a reception's failure field; a text the engine is not known to
    write comes back verbatim (trimmed), so nothing is lost."""
    kinds: List[str] = []
    rest = text
    while rest.strip():
        rest = rest.lstrip(" ")
        for known, kind in FAILURE_TEXTS.items():
            # Also accept a text whose trailing space was trimmed away.
            if rest.startswith(known) or rest == known.rstrip(" "):
                kinds.append(kind)
                rest = rest[len(known):]
                break
        else:
            following = [at for at in (rest.find(known, 1) for known in FAILURE_TEXTS) if at > 0]
            cut = min(following, default=len(rest))
            kinds.append(rest[:cut].strip())
            rest = rest[cut:]
    return kinds


@dataclass
class TrafficSummary:
    requests: int = 0
    stream_requests: int = 0
    responses: int = 0
    failures: Dict[str, int] = field(default_factory=dict)

    @property
    def failed(self) -> int:
        return sum(self.failures.values())


class TrafficTally:
    """Counts frames as they come, per server address (a reception counts for the address of
    the request before it: a timed-out one carries no bytes of its own), or all as one (-1)."""

    def __init__(self, by_address: bool = True) -> None:
        self.by_address = by_address
        self.summaries: Dict[int, TrafficSummary] = {}
        self._failures: Dict[int, Counter] = {}
        self._address = -1

    def add(self, frame: Frame) -> None:
        if frame.direction == TX and self.by_address:
            self._address = frame.data[0]
        summary = self.summaries.get(self._address)
        failures = self._failures.get(self._address)
        if summary is None or failures is None:
            failures = self._failures[self._address] = Counter()
            summary = self.summaries[self._address] = TrafficSummary(failures=failures)
        if frame.direction == TX:
            summary.requests += 1
            if frame.data[1] == STREAM_FUNCTION:
                summary.stream_requests += 1
            return
        summary.responses += 1
        if frame.failure:
            failures.update(failure_kinds(frame.failure))
        elif len(frame.data) > 1 and frame.data[1] & 0x80:
            failures["exception response"] += 1


def summarize(lines: Iterable[str]) -> TrafficSummary:
    """Counts requests, stream requests and failures by kind in traffic log lines; an
    exception response counts as the failure "exception response". Malformed lines are
    skipped."""
    return summarize_by_address(lines, by_address=False).get(-1, TrafficSummary())


def summarize_by_address(lines: Iterable[str],
                         by_address: bool = True) -> Dict[int, TrafficSummary]:
    """summarize() for each server address on the line (see TrafficTally)."""
    tally = TrafficTally(by_address)
    try:
        for frame in read_frames(lines):
            tally.add(frame)
    except NotATrafficLog:
        pass
    return tally.summaries
