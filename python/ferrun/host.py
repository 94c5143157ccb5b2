"""What ``ferrun ports`` and ``ferrun doctor`` learn from the system, in one place.

A :class:`Host` reads files under a root folder (``/`` on a real machine: ``sys/``, ``dev/``,
``proc/``, ``etc/group``), knows the user it runs as, lists the serial ports (pyserial's
``list_ports``), reads a port's serial flags and, on Windows, the driver's registry. Tests lay
out a fake root and give a fake user, listing, ioctl and registry instead.

Paths are given as the system names them (``/dev/ttyUSB0``) and looked up under the root;
symbolic links resolve inside it, as udev's relative links do.
"""

import getpass
import importlib
import os
import struct
import sys
from dataclasses import dataclass, field
from typing import Any, Callable, Dict, FrozenSet, List, Optional, Protocol, Sequence, Tuple

# Linux's TIOCGSERIAL and the low-latency bit of struct serial_struct's flags (at byte 16).
TIOCGSERIAL = 0x541E
ASYNC_LOW_LATENCY = 0x2000
SERIAL_STRUCT_BYTES = 72
# Where the FTDI driver keeps each adapter's settings on Windows.
FTDI_KEY = r"SYSTEM\CurrentControlSet\Enum\FTDIBUS"


class PortInfo(Protocol):
    """What list_ports tells of a port (pyserial's ListPortInfo)."""

    device: str
    vid: Optional[int]
    pid: Optional[int]
    serial_number: Optional[str]
    manufacturer: Optional[str]
    product: Optional[str]


class Registry(Protocol):
    """The part of the Windows registry under HKEY_LOCAL_MACHINE that the doctor needs."""

    def subkeys(self, key: str) -> List[str]: ...

    def value(self, key: str, name: str) -> Any: ...

    def set_dword(self, key: str, name: str, value: int) -> None: ...


class WindowsRegistry:
    """HKEY_LOCAL_MACHINE through winreg; OSError (PermissionError when not administrator) as
    winreg raises it."""

    def __init__(self) -> None:
        self.winreg: Any = importlib.import_module("winreg")  # typed for Windows only

    def subkeys(self, key: str) -> List[str]:
        reg = self.winreg
        with reg.OpenKey(reg.HKEY_LOCAL_MACHINE, key) as handle:
            return [reg.EnumKey(handle, i) for i in range(reg.QueryInfoKey(handle)[0])]

    def value(self, key: str, name: str) -> Any:
        reg = self.winreg
        with reg.OpenKey(reg.HKEY_LOCAL_MACHINE, key) as handle:
            return reg.QueryValueEx(handle, name)[0]

    def set_dword(self, key: str, name: str, value: int) -> None:
        reg = self.winreg
        with reg.OpenKey(reg.HKEY_LOCAL_MACHINE, key, 0, reg.KEY_SET_VALUE) as handle:
            reg.SetValueEx(handle, name, 0, reg.REG_DWORD, value)


def windows_name(port: str) -> str:
    """COM3 for com3 and \\\\.\\COM3 alike."""
    return port.upper().replace("\\\\.\\", "")


def ftdi_latency_key(registry: Registry, port: str) -> Optional[Tuple[str, int]]:
    """The ``Device Parameters`` key whose PortName is ``port`` and the LatencyTimer it holds,
    in ms; None when no FTDI adapter has that port."""
    wanted = windows_name(port)
    try:
        devices = registry.subkeys(FTDI_KEY)
    except OSError:
        return None  # no FTDI adapter was ever plugged in
    for device in devices:
        for instance in _subkeys(registry, f"{FTDI_KEY}\\{device}"):
            key = f"{FTDI_KEY}\\{device}\\{instance}\\Device Parameters"
            try:
                if windows_name(str(registry.value(key, "PortName"))) == wanted:
                    return key, int(registry.value(key, "LatencyTimer"))
            except (OSError, ValueError):
                continue
    return None


def _subkeys(registry: Registry, key: str) -> List[str]:
    try:
        return registry.subkeys(key)
    except OSError:
        return []


def read_serial_flags(path: str) -> int:
    """The serial driver's flags of the port (TIOCGSERIAL); OSError when it has none."""
    import fcntl

    descriptor = os.open(path, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
    try:
        answer = fcntl.ioctl(descriptor, TIOCGSERIAL, bytes(SERIAL_STRUCT_BYTES))
        flags: int = struct.unpack_from("i", answer, 16)[0]
        return flags
    finally:
        os.close(descriptor)


def _pyserial_listing() -> Sequence[PortInfo]:
    from serial.tools import list_ports

    return list_ports.comports()


# Windows has no user or group ids; the checks that need them are Linux's.
def _uid() -> int:
    if sys.platform == "win32":
        return -1
    return os.geteuid()


def _groups() -> FrozenSet[int]:
    if sys.platform == "win32":
        return frozenset()
    return frozenset(os.getgroups()) | {os.getegid()}


@dataclass
class Process:
    pid: int
    name: str
    files: Optional[List[str]]  # where its descriptors lead; None when it may not be read


@dataclass
class Host:
    root: str = "/"
    sysfs: str = ""  # default: <root>/sys, or FERRUN_SYSFS_ROOT on a real machine
    user: str = field(default_factory=getpass.getuser)
    uid: int = field(default_factory=_uid)
    gids: FrozenSet[int] = field(default_factory=_groups)
    pid: int = field(default_factory=os.getpid)  # the doctor's own process, never a holder
    windows: bool = sys.platform == "win32"
    listing: Callable[[], Sequence[PortInfo]] = _pyserial_listing
    serial_flags: Callable[[str], int] = read_serial_flags  # given the path under the root
    registry: Optional[Registry] = None

    def __post_init__(self) -> None:
        if not self.sysfs:
            from_environment = os.environ.get("FERRUN_SYSFS_ROOT") if self.root == "/" else ""
            self.sysfs = from_environment or self.path("/sys")
        if self.windows and self.registry is None:
            self.registry = WindowsRegistry()

    def path(self, system_path: str) -> str:
        """Where a path of the system is under the root."""
        return os.path.join(self.root, system_path.lstrip("/" + os.sep))

    def realpath(self, system_path: str) -> str:
        """The path with every symbolic link resolved, as the system names it."""
        resolved = os.path.realpath(self.path(system_path))
        root = os.path.realpath(self.root)
        if root == os.sep:
            return resolved
        inside = os.path.relpath(resolved, root)
        return resolved if inside.startswith("..") else "/" + inside

    def read(self, path: str) -> Optional[str]:
        """A small file's text (a path under the root, or in sysfs); None when unreadable."""
        try:
            with open(path, encoding="utf-8", errors="replace") as text:
                return text.read(4096)
        except OSError:
            return None

    def write(self, path: str, text: str) -> None:
        """Writes a sysfs attribute; OSError as the system refuses it."""
        with open(path, "w", encoding="ascii") as attribute:
            attribute.write(text)

    def groups(self) -> Dict[int, Tuple[str, List[str]]]:
        """etc/group: gid -> (name, the users it lists)."""
        groups: Dict[int, Tuple[str, List[str]]] = {}
        for line in (self.read(self.path("/etc/group")) or "").splitlines():
            parts = line.split(":")
            if len(parts) == 4 and parts[2].isascii() and parts[2].isdigit():
                groups[int(parts[2])] = (parts[0], [m for m in parts[3].split(",") if m])
        return groups

    def processes(self) -> Optional[List[Process]]:
        """The other processes, from <root>/proc; None where there is no /proc."""
        proc = self.path("/proc")
        try:
            pids = sorted(int(entry) for entry in os.listdir(proc) if entry.isdigit())
        except OSError:
            return None
        found = []
        for pid in pids:
            if pid == self.pid:
                continue
            name = (self.read(os.path.join(proc, str(pid), "comm")) or "?").strip()
            found.append(Process(pid, name, self._files(os.path.join(proc, str(pid), "fd"))))
        return found

    @staticmethod
    def _files(fd_folder: str) -> Optional[List[str]]:
        try:
            descriptors = os.listdir(fd_folder)
        except PermissionError:
            return None
        except OSError:
            return []  # gone meanwhile
        files = []
        for descriptor in descriptors:
            try:
                files.append(os.readlink(os.path.join(fd_folder, descriptor)))
            except OSError:
                continue
        return files
