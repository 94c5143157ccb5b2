"""The virtual actuator: a simulated device on a pseudo-terminal, run as its own process.

Every blocking SDK call holds the GIL until it returns, so the device must not live in the
same Python process; it runs as the ``ferrun-sim`` program, which prints the port path to
open as its first line and stops when its standard input closes.
"""

import contextlib
import os
import selectors
import subprocess
import sys
from pathlib import Path
from typing import Iterator, List, Optional, Sequence

__all__ = ["VirtualActuatorError", "sim_binary", "virtual_actuator"]


class VirtualActuatorError(RuntimeError):
    """The virtual actuator could not be started."""


def sim_binary() -> Path:
    """Path of the ``ferrun-sim`` program installed with this package."""
    override = os.environ.get("FERRUN_SIM")
    if override:
        return Path(override)
    return Path(__file__).resolve().parent / "bin" / "ferrun-sim"


@contextlib.contextmanager
def virtual_actuator(
    options: Sequence[str] = (), startup_timeout: float = 10.0
) -> Iterator[str]:
    """Start a virtual actuator and yield the port path to open; stop it on exit.

    ``options`` are the program's command-line options (see ``ferrun sim --help``), for
    example ``["--baud", "115200", "--drop", "0.01"]``.
    """
    if sys.platform == "win32":
        raise VirtualActuatorError("the virtual actuator needs a POSIX pseudo-terminal")
    binary = sim_binary()
    if not binary.exists():
        raise VirtualActuatorError(f"virtual actuator program not found at {binary}")
    command: List[str] = [str(binary), *options]
    process = subprocess.Popen(
        command,
        stdin=subprocess.PIPE,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
    )
    try:
        port = _read_port(process, startup_timeout)
        yield port
    finally:
        _stop(process)


def _read_port(process: "subprocess.Popen[str]", timeout: float) -> str:
    assert process.stdout is not None
    selector = selectors.DefaultSelector()
    selector.register(process.stdout, selectors.EVENT_READ)
    ready = selector.select(timeout)
    selector.close()
    line: Optional[str] = process.stdout.readline() if ready else None
    if not line:
        _stop(process)
        stderr = process.stderr.read() if process.stderr else ""
        raise VirtualActuatorError(f"virtual actuator did not start: {stderr.strip()}")
    return line.strip()


def _stop(process: "subprocess.Popen[str]") -> None:
    if process.poll() is None:
        with contextlib.suppress(BrokenPipeError, OSError):
            if process.stdin is not None:
                process.stdin.close()
        try:
            process.wait(timeout=5)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()
    for stream in (process.stdout, process.stderr):
        if stream is not None:
            stream.close()
