"""Telemetry recordings: what ``Actuator.take_recording()`` returns.

The SDK hands over its samples as a buffer of 32-byte records. With NumPy installed they
become a structured array without a copy (:class:`numpy.ndarray` with the fields below, plus
``lost`` and ``to_csv``); without it, an :class:`ArrayRecording` with one :mod:`array` per
field. Either is indexed by field name and has ``len()``.
"""

import array
import csv
import importlib
import os
import struct
import typing
from collections import Counter
from typing import Any, Dict, Iterable, Iterator, List, Optional, Tuple, Union

__all__ = ["ArrayRecording", "FIELDS", "columns", "failure_counts", "to_csv", "wrap"]

# Name, array type code and unit of every field, in the order of the SDK's record.
FIELDS: Tuple[Tuple[str, str, str], ...] = (
    ("time_us", "q", "us, the engine's clock"),
    ("setpoint", "i", "mN, um or effect bits, as subfunction says"),
    ("position_um", "i", "um"),
    ("force_mN", "i", "mN"),
    ("power_W", "H", "W"),
    ("voltage_mV", "H", "mV"),
    ("temperature_C", "h", "C"),
    ("errors", "H", "error bits"),
    ("subfunction", "B", "28 force, 30 position, 34 haptic, 32 kinematic, 0 sleep"),
    ("failed", "B", "1: the exchange failed, telemetry is the last good one"),
    ("failure", "H", "failure bits, as _ferrun.failure_table() names them"),
)
_RECORD = struct.Struct("=" + "".join(code for _, code, _ in FIELDS))

_numpy_class: Optional[type] = None


class ArrayRecording:
    """A recording without NumPy: ``rec["position_um"]`` is an ``array.array``."""

    def __init__(self, columns: Dict[str, "array.array[int]"], lost: int = 0) -> None:
        self.columns = columns
        self.lost = lost

    @classmethod
    def from_buffer(cls, raw: Any) -> "ArrayRecording":
        columns = {name: array.array(code) for name, code, _ in FIELDS}
        lists = [columns[name] for name, _, _ in FIELDS]
        for record in _RECORD.iter_unpack(memoryview(raw).tobytes()):
            for column, value in zip(lists, record):
                column.append(value)
        return cls(columns, int(raw.lost))

    def __len__(self) -> int:
        return len(self.columns["time_us"])

    def __getitem__(self, name: str) -> "array.array[int]":
        return self.columns[name]

    def __iter__(self) -> Iterator[Tuple[int, ...]]:
        return iter(zip(*(self.columns[name] for name, _, _ in FIELDS)))

    def to_csv(self, path: Union[str, "os.PathLike[str]"]) -> None:
        to_csv(self, path)


def to_csv(recording: Any, path: Union[str, "os.PathLike[str]"]) -> None:
    """Writes one line per sample under a header of the field names (each ends in its
    unit), after a comment line that spells the units out."""
    names = [name for name, _, _ in FIELDS]
    with open(path, "w", newline="") as out:
        out.write("# " + "; ".join(f"{name}: {unit}" for name, _, unit in FIELDS) + "\n")
        writer = csv.writer(out)
        writer.writerow(names)
        columns: List[Any] = [recording[name].tolist() for name in names]
        writer.writerows(zip(*columns))


def columns(recordings: Iterable[Any]) -> Dict[str, List[int]]:
    """The fields of several takes of one recording, oldest first, as lists."""
    joined: Dict[str, List[int]] = {name: [] for name, _, _ in FIELDS}
    for recording in recordings:
        for name, column in joined.items():
            column.extend(recording[name].tolist())
    return joined


def failure_counts(samples: Any) -> "typing.Counter[str]":
    """How often each kind of failure (as the traffic log's tools name them) hit the
    exchanges of a recording (or of its columns()); an exchange that failed without failure
    bits got an exception response."""
    import _ferrun

    kinds = [(mask, kind) for mask, _, _, kind in _ferrun.failure_table()]
    counts: "typing.Counter[str]" = Counter()
    for failed, bits in zip(samples["failed"], samples["failure"]):
        if bits:
            counts.update(kind for mask, kind in kinds if bits & mask)
        elif failed:
            counts["exception response"] += 1
    return counts


def wrap(raw: Any) -> Any:
    """The recording for a buffer of samples the SDK handed over."""
    try:
        numpy: Any = importlib.import_module("numpy")
    except ImportError:
        return ArrayRecording.from_buffer(raw)
    recording: Any = numpy.asarray(raw).view(_numpy_recording_class(numpy))
    recording.lost = int(raw.lost)
    return recording


def _numpy_recording_class(numpy: Any) -> type:
    global _numpy_class
    if _numpy_class is None:

        class NumpyRecording(numpy.ndarray):  # type: ignore[misc]
            """A structured array of samples with the count lost before them."""

            lost = 0

            def __array_finalize__(self, obj: Any) -> None:
                self.lost = getattr(obj, "lost", 0)

            def to_csv(self, path: Union[str, "os.PathLike[str]"]) -> None:
                to_csv(self, path)

        NumpyRecording.__qualname__ = "NumpyRecording"
        _numpy_class = NumpyRecording
    return _numpy_class
