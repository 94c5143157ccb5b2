"""Figures of a traffic log: exchanges per function, round-trip times, failures by kind,
resends, the stream's rate and jitter, and how busy the line was.

Times are kept as counts per microsecond value, so the memory stays flat however long the
log is, and medians and percentiles are still exact.
"""

import math
from collections import Counter
from dataclasses import dataclass, field
from typing import Dict, Iterable, List, Optional, Tuple

from ferrun.log_decoder import EXCEPTION_NAMES, STREAM_COMMAND, LogDecoder
from ferrun.traffic_log import TX, Frame, failure_kinds

# A character on the line: start bit, 8 data bits, parity, stop bit.
BITS_PER_CHARACTER = 11


@dataclass
class TrafficStats:
    frames: int = 0
    requests: Dict[int, int] = field(default_factory=dict)  # function code -> requests sent
    round_trips_us: Dict[int, int] = field(default_factory=dict)  # answered exchanges
    failures: Dict[str, int] = field(default_factory=dict)  # kind -> count
    resends: int = 0
    stream_cycles_us: Dict[int, int] = field(default_factory=dict)  # stream tx to stream tx
    line_bytes: int = 0
    active_us: int = 0  # the log's span; a clock that starts again (appended runs) adds up

    def busy_share(self, baud: int) -> Optional[float]:
        """The share of the log's time the line carried bytes."""
        if self.active_us <= 0 or baud <= 0:
            return None
        return self.line_bytes * BITS_PER_CHARACTER / baud * 1e6 / self.active_us


def collect_stats(frames: Iterable[Frame]) -> TrafficStats:
    """One pass over the frames of a log."""
    requests: Counter = Counter()
    round_trips: Counter = Counter()
    failures: Counter = Counter()
    cycles: Counter = Counter()
    kinds_of: Dict[str, List[str]] = {}
    count = line_bytes = active = resends = 0
    last_time: Optional[int] = None
    sent_at: Optional[int] = None  # the request waiting for its answer
    last_request = b""
    last_failed = False
    last_stream_at: Optional[int] = None  # set while stream commands follow each other
    for _, time_us, direction, data, failure in frames:
        count += 1
        if last_time is not None and time_us > last_time:
            active += time_us - last_time
        last_time = time_us
        line_bytes += len(data)
        if direction == TX:
            code = data[1]
            requests[code] += 1
            if code == STREAM_COMMAND:
                # The engine never resends a stream command: the next one is a new cycle.
                if last_stream_at is not None and time_us >= last_stream_at:
                    cycles[time_us - last_stream_at] += 1
                last_stream_at = time_us
            else:
                last_stream_at = None
                if last_failed and data == last_request:
                    resends += 1
            last_request = data
            last_failed = False
            sent_at = time_us
            continue
        if failure:
            kinds = kinds_of.get(failure)
            if kinds is None:
                kinds = kinds_of[failure] = failure_kinds(failure)
            failures.update(kinds)
            last_failed = True
        elif len(data) > 2 and data[1] & 0x80:
            code = data[2]
            failures[f"exception {code} ({EXCEPTION_NAMES.get(code, 'unknown exception')})"] += 1
            last_failed = True
        elif data and sent_at is not None and time_us >= sent_at:
            round_trips[time_us - sent_at] += 1
        sent_at = None
    return TrafficStats(count, dict(requests), dict(round_trips), dict(failures), resends,
                        dict(cycles), line_bytes, active)


def percentiles(counts: Dict[int, int], wanted: Iterable[float]) -> List[int]:
    """Nearest-rank percentiles (0 < p <= 1) of values given as value -> count."""
    total = sum(counts.values())
    ordered = sorted(counts.items())
    results = []
    for p in wanted:
        rank = max(1, math.ceil(p * total))
        seen = 0
        for value, n in ordered:
            seen += n
            if seen >= rank:
                results.append(value)
                break
    return results


def mean_and_deviation(counts: Dict[int, int]) -> Tuple[float, float]:
    total = sum(counts.values())
    mean = sum(v * n for v, n in counts.items()) / total
    variance = sum(n * (v - mean) ** 2 for v, n in counts.items()) / total
    return mean, math.sqrt(variance)


def _ms(us: float) -> str:
    return f"{us / 1000:.3f} ms"


def format_stats(stats: TrafficStats, baud: int) -> List[str]:
    """The figures as lines a person reads at a glance."""
    exchanges = sum(stats.requests.values())
    lines = [f"{stats.frames} frames, {exchanges} requests over {stats.active_us / 1e6:.3f} s"]
    if stats.requests:
        lines.append("requests by function:")
        for code, n in sorted(stats.requests.items(), key=lambda item: -item[1]):
            lines.append(f"  {LogDecoder.function_name(code):31} {n:>9}")
    answered = sum(stats.round_trips_us.values())
    if answered:
        low, median, p99, high = percentiles(stats.round_trips_us, (0, 0.5, 0.99, 1))
        lines.append(f"round trip, tx to rx ({answered} answered): min {_ms(low)}, median "
                     f"{_ms(median)}, p99 {_ms(p99)}, max {_ms(high)}")
    else:
        lines.append("round trip, tx to rx: no answered exchange")
    failed = ", ".join(f"{kind} {n}" for kind, n in
                       sorted(stats.failures.items(), key=lambda item: (-item[1], item[0])))
    lines.append(f"failures: {failed or 'none'}")
    lines.append(f"resends: {stats.resends}")
    cycles = sum(stats.stream_cycles_us.values())
    if cycles:
        mean, deviation = mean_and_deviation(stats.stream_cycles_us)
        median, p99 = percentiles(stats.stream_cycles_us, (0.5, 0.99))
        lines.append(f"stream: {stats.requests.get(STREAM_COMMAND, 0)} commands, "
                     f"{1e6 / mean:.1f} exchanges/s, cycle mean {mean:.0f} us, jitter "
                     f"(standard deviation) {deviation:.0f} us, median {median} us, p99 {p99} us")
    else:
        lines.append("stream: none")
    share = stats.busy_share(baud)
    busy = "-" if share is None else f"{100 * share:.1f}%"
    lines.append(f"line busy: {busy} at {baud} baud ({stats.line_bytes} bytes x "
                 f"{BITS_PER_CHARACTER} bits)")
    if share is not None and share > 1:
        lines.append("  more than the line can carry: the log came from a faster line")
    return lines
