"""The virtual actuator: a simulated device on a pseudo-terminal, run as its own process.

The device runs as the ``ferrun-sim`` program (paced like a real wire, with its own timing
undisturbed by the caller's process), which prints the port path to open as its first line
and stops when its standard input closes.
"""

import atexit
import contextlib
import os
import selectors
import shutil
import subprocess
import sys
import tempfile
import threading
from pathlib import Path
from typing import Dict, Iterator, List, Optional, Sequence, Tuple, Union

__all__ = ["VirtualActuatorError", "sim_binary", "virtual_actuator"]

# What paced=True stands for: a common line speed, and a device that takes a millisecond.
PACED_BAUD = 19200
PACED_TURNAROUND_US = 1000
# Where the SDK looks for an adapter's latency timer instead of /sys.
SYSFS_ROOT_VARIABLE = "FERRUN_SYSFS_ROOT"


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
    options: Sequence[str] = (),
    startup_timeout: float = 10.0,
    *,
    paced: bool = False,
    baud: Optional[int] = None,
    turnaround_us: Optional[int] = None,
    address: Union[int, Sequence[int], None] = None,
    journal: Union[str, "os.PathLike[str]", None] = None,
    echo: bool = False,
    usb_latency_ms: Optional[int] = None,
    usb_packet: Optional[int] = None,
) -> Iterator[str]:
    """Start a virtual actuator and yield the port path to open; stop it on exit.

    ``paced=True`` paces the line like a real one at 19200 baud with a 1 ms device
    turnaround; ``baud`` and ``turnaround_us`` set either explicitly. ``address`` is a server
    address or a sequence of them (a bus of devices, each with its own state). ``journal``
    names a file that receives every frame, effect and fault (see the README). ``echo=True``
    makes a two-wire line that hears its own transmitter: every byte sent comes back at the
    line's pace before any answer (use the bus's ``local_echo``). ``usb_latency_ms``
    puts an emulated USB-serial adapter before the port: the device's output reaches it in
    packets of ``usb_packet`` bytes (default 62), when the adapter's buffer holds one, else at
    the next tick of its latency timer; the timer is a file under a sysfs root of this
    process's own, which ``FERRUN_SYSFS_ROOT`` names while the block runs, so the SDK's
    request for low latency on open makes the adapter fast as it would a real one.
    ``options`` are further command-line options (see ``ferrun sim --help``), for example
    ``["--drop", "0.01"]``; they come last, so they win over the arguments above.

    Raises VirtualActuatorError, with the program's own error text, when it does not start.
    """
    if sys.platform == "win32":
        raise VirtualActuatorError("the virtual actuator needs a POSIX pseudo-terminal")
    binary = sim_binary()
    if not binary.exists():
        raise VirtualActuatorError(f"virtual actuator program not found at {binary}")
    command: List[str] = [str(binary)]
    if paced:
        baud = PACED_BAUD if baud is None else baud
        turnaround_us = PACED_TURNAROUND_US if turnaround_us is None else turnaround_us
    if baud is not None:
        command += ["--baud", str(baud)]
    if turnaround_us is not None:
        command += ["--turnaround-us", str(turnaround_us)]
    if isinstance(address, (str, bytes)):
        raise TypeError("address is a server address or a sequence of them, not a string")
    if address is not None:
        addresses = [address] if isinstance(address, int) else list(address)
        command += ["--address", ",".join(str(a) for a in addresses)]
    if journal is not None:
        command += ["--journal", os.fspath(journal)]
    if echo:
        command.append("--echo")
    sysfs_root = None
    if usb_latency_ms is not None:
        sysfs_root = _sysfs_root()
        command += ["--usb-latency-ms", str(usb_latency_ms), "--sysfs-root", sysfs_root]
    if usb_packet is not None:
        command += ["--usb-packet", str(usb_packet)]
    command += list(options)
    process = subprocess.Popen(
        command,
        stdin=subprocess.PIPE,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
        # A session of its own: Ctrl-C in a terminal goes to the whole foreground group, and
        # the program using the device must still be able to put it to sleep. It stops when
        # this process does all the same: its standard input closes.
        start_new_session=True,
    )
    try:
        port = _read_port(process, startup_timeout)
        with _environment(SYSFS_ROOT_VARIABLE, sysfs_root):
            yield port
    finally:
        _stop(process)


_sysfs_roots: Dict[int, str] = {}  # by process id: a child of fork() makes its own


def _sysfs_root() -> str:
    """This process's folder laid out like /sys for emulated adapters, removed at exit."""
    root = _sysfs_roots.get(os.getpid())
    if root is None:
        root = _sysfs_roots[os.getpid()] = tempfile.mkdtemp(prefix="ferrun-sysfs-")
        atexit.register(_remove_sysfs_root, os.getpid(), root)
    return root


def _remove_sysfs_root(pid: int, root: str) -> None:
    if os.getpid() == pid:  # not in a child of fork(), which inherits the exit handlers
        shutil.rmtree(root, ignore_errors=True)


# Blocks of _environment running, by process and variable, and what the variable was before
# the first of them: blocks of several threads may end in any order.
_environment_blocks: Dict[Tuple[int, str], Tuple[int, Optional[str]]] = {}
_environment_lock = threading.Lock()


@contextlib.contextmanager
def _environment(name: str, value: Optional[str]) -> Iterator[None]:
    """The environment variable set to value (when not None) while any such block runs; what
    was there before comes back when the last one ends."""
    if value is None:
        yield
        return
    key = (os.getpid(), name)
    with _environment_lock:
        count, before = _environment_blocks.get(key, (0, os.environ.get(name)))
        _environment_blocks[key] = (count + 1, before)
        os.environ[name] = value
    try:
        yield
    finally:
        with _environment_lock:
            count, before = _environment_blocks.pop(key)
            if count > 1:
                _environment_blocks[key] = (count - 1, before)
            elif before is None:
                os.environ.pop(name, None)
            else:
                os.environ[name] = before


def _read_port(process: "subprocess.Popen[str]", timeout: float) -> str:
    assert process.stdout is not None
    selector = selectors.DefaultSelector()
    selector.register(process.stdout, selectors.EVENT_READ)
    ready = selector.select(timeout)
    selector.close()
    line: Optional[str] = process.stdout.readline() if ready else None
    if not line:
        stderr = _stop(process).strip()
        reason = stderr or f"it printed no port (exit status {process.returncode})"
        raise VirtualActuatorError(f"virtual actuator did not start: {reason}")
    return line.strip()


def _stop(process: "subprocess.Popen[str]") -> str:
    """Stops the program and returns what it wrote to its standard error."""
    if process.poll() is None:
        with contextlib.suppress(BrokenPipeError, OSError):
            if process.stdin is not None:
                process.stdin.close()
        try:
            process.wait(timeout=5)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()
    stderr = ""
    if process.stderr is not None and not process.stderr.closed:
        with contextlib.suppress(OSError, ValueError):
            stderr = process.stderr.read()
    for stream in (process.stdin, process.stdout, process.stderr):
        if stream is not None:
            with contextlib.suppress(BrokenPipeError, OSError):
                stream.close()
    return stderr
