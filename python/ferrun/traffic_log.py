"""Reading back the serial traffic log the SDK writes: one tab-separated line per frame."""

from collections import Counter
from dataclasses import dataclass, field
from typing import Dict, Iterable

# The texts the log puts behind a failed exchange, by kind.
FAILURE_TEXTS = {
    "Timed out. ": "timed out",
    "Unexpected interchar. ": "interchar gap",
    "Wrong address. ": "wrong address",
    "Wrong CRC. ": "wrong CRC",
}
STREAM_FUNCTION = 0x64


@dataclass
class TrafficSummary:
    requests: int = 0
    stream_requests: int = 0
    responses: int = 0
    failures: Dict[str, int] = field(default_factory=dict)

    @property
    def failed(self) -> int:
        return sum(self.failures.values())


def summarize(lines: Iterable[str]) -> TrafficSummary:
    """Counts requests, stream requests and failures by kind in traffic log lines."""
    summary = TrafficSummary()
    failures: Counter = Counter()
    for line in lines:
        fields = line.rstrip("\r\n").split("\t")
        if len(fields) < 2:
            continue
        if fields[1] == "tx":
            summary.requests += 1
            if len(fields) > 3 and fields[3] == f"{STREAM_FUNCTION:02x}":
                summary.stream_requests += 1
        elif fields[1] == "rx":
            summary.responses += 1
            tail = fields[-1] if len(fields) > 2 else ""
            found = False
            for text, kind in FAILURE_TEXTS.items():
                if text in tail:
                    failures[kind] += 1
                    found = True
            if not found and len(fields) > 3 and int(fields[3], 16) & 0x80:
                failures["exception response"] += 1
    summary.failures = dict(failures)
    return summary
