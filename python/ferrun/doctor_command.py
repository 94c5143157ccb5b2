"""``ferrun doctor``: why a serial port does not work, or works slowly, and the fix.

One line per check, "ok", "warning" or "failed", each with what to do about it: the port
exists (and its stable by-id name); this user may open it; no other process has it open; no
modem manager or braille-display service is running that takes USB-serial adapters for its
own; the driver's latency timer and low-latency flag (``--fix`` sets the timer to 1 ms); and
with ``--address``, twenty reads of the mode register: round trips and failures by kind.
Warnings leave the exit status 0, a failed check makes it 1.
"""

import argparse
import errno
import os
import stat
import tempfile
from dataclasses import dataclass
from typing import Callable, List, Optional, Sequence, Tuple

import _ferrun
from ferrun.host import (ASYNC_LOW_LATENCY, Host, PortInfo, Process, ftdi_latency_key,
                         windows_name)
from ferrun.log_stats import collect_stats, percentiles
from ferrun.ports_command import BY_ID, PortFacts, describe, latency_timer, sysfs_device
from ferrun.register_commands import MODE_REPORT
from ferrun.session import (ECHO_TEXT, CommandError, address, baud_rate, open_bus,
                            port_path)
from ferrun.traffic_log import read_frames

OK, WARNING, FAILED = "ok", "warning", "failed"
READS = 20
# Reads tried again with local echo on, when the live check failed without telling why.
ECHO_PROBES = 3
INTERFRAME_DELAY_US = 2000
MODEM_MANAGER = "ModemManager"
BRAILLE_SERVICE = "brltty"
PTY_MASTERS = ("/dev/ptmx", "/dev/pts/ptmx")
RULES_FILE = "/etc/udev/rules.d/70-serial-adapters.rules"
# Kinds of failure the live check has advice for (see ferrun.traffic_log's failure table).
ADVICE = {
    "line echoes": "the line echoes each request (a two-wire adapter): enable local echo, "
                   "bus.local_echo = True (ferrun's commands: --local-echo)",
    "interchar gap": "the adapter hands answers over in pieces: lower its latency timer "
                     "(above)",
}


@dataclass
class Check:
    status: str
    name: str
    text: str
    fix: str = ""

    def line(self) -> str:
        fix = f"; fix: {self.fix}" if self.fix else ""
        return f"{self.status:<7}  {self.name}: {self.text}{fix}"


def add_parser(commands: "argparse._SubParsersAction[argparse.ArgumentParser]") -> None:
    doctor = commands.add_parser(
        "doctor", help="check a serial port: permissions, other users, latency, a live read",
        description="Check one serial port and say how to mend what is wrong: whether it "
        "exists, whether this user may open it, whether another process holds it, whether a "
        "modem manager or braille service is in the way, the adapter's latency timer, and "
        "with --address a live check of 20 reads. Without PORT it checks the only port there "
        "is. Exit status 1 when a check failed; warnings leave it 0.")
    doctor.add_argument("port", nargs="?", metavar="PORT", type=port_path,
                        help="serial port path (default: the only one there is)")
    doctor.add_argument("--address", type=address, help="read from this server address")
    doctor.add_argument("--baud", type=baud_rate, help="baud rate of the live check "
                        "(default 19200)")
    doctor.add_argument("--fix", action="store_true",
                        help="set the adapter's latency timer to 1 ms now, where permitted")
    doctor.set_defaults(run=lambda args: report(args, Host()))


def report(args: argparse.Namespace, host: Host) -> int:
    if args.baud is not None and args.address is None:
        raise CommandError("--baud is the live check's: give --address too")
    checks: List[Check] = []

    def say(check: Check) -> None:
        print(check.line(), flush=True)
        checks.append(check)

    listing = host.listing()
    port, info = _choose(host, args.port, listing, say)
    facts = describe(host, info) if info else None
    folder = port is not None and not host.windows and os.path.isdir(host.path(port))
    exists = port is not None and not folder and (info is not None if host.windows
                                                  else os.path.exists(host.path(port)))
    if folder:
        say(Check(FAILED, "port", f"{port} is a folder, not a serial port",
                  f"name a port in it (ls {port})"))
    elif port is not None:
        say(_port(host, port, facts, exists))
    if not host.windows:
        processes = host.processes()  # None without /proc (macOS): those checks are Linux's
        real = host.realpath(port) if exists and port else None
        if real:
            say(_access(host, real))
            if processes is not None:
                say(_holders(real, processes))
        if processes is not None:
            named = {p.name: p.pid for p in processes}
            say(_modem_manager(named.get(MODEM_MANAGER), facts))
            say(_braille_service(named.get(BRAILLE_SERVICE)))
    if exists and port:
        say(_windows_latency(host, port, args.fix) if host.windows
            else _latency(host, port, facts, args.fix))
        if args.address is not None:
            for check in _live(port, args.address, args.baud or 19200):
                say(check)
    counts = {status: sum(c.status == status for c in checks) for status in (OK, WARNING, FAILED)}
    print(f"{counts[OK]} ok, {counts[WARNING]} warnings, {counts[FAILED]} failed")
    return 1 if counts[FAILED] else 0


def _choose(host: Host, port: Optional[str], listing: Sequence[PortInfo],
            say: Callable[[Check], None]) -> Tuple[Optional[str], Optional[PortInfo]]:
    """The port to check and what the listing says of it."""
    if port is None:
        if len(listing) == 1:
            return listing[0].device, listing[0]
        if not listing:
            say(Check(FAILED, "port", "no serial port found", "plug the adapter in; "
                      "dmesg shows whether the system saw it (and what took it)"))
        else:
            names = ", ".join(sorted(i.device for i in listing))
            say(Check(FAILED, "port", f"{len(listing)} ports ({names})", "name the one to check"))
        return None, None
    if host.windows:
        same: Callable[[str], bool] = lambda device: windows_name(device) == windows_name(port)
    else:
        real = host.realpath(port)
        same = lambda device: host.realpath(device) == real
    return port, next((i for i in listing if same(i.device)), None)


def _port(host: Host, port: str, facts: Optional[PortFacts], exists: bool) -> Check:
    if not exists:
        return Check(FAILED, "port", f"{port} does not exist",
                     "plug the adapter in, or take one that ferrun ports lists")
    if host.windows:
        return Check(OK, "port", f"{port} exists")
    real = host.realpath(port)
    stable = facts.by_id if facts else None
    if port.startswith(BY_ID + "/"):
        return Check(OK, "port", f"{port} is {real}")
    if stable:
        return Check(OK, "port", f"{port} exists, stable name {stable}")
    if facts and facts.vid:
        return Check(WARNING, "port", f"{port} has no stable name in {BY_ID}: the number may "
                     "change when an adapter is plugged in again",
                     "udev makes those names; check that it runs (ls -l /dev/serial/by-id)")
    return Check(OK, "port", f"{port} exists (not a USB adapter: no by-id name)")


def _access(host: Host, real: str) -> Check:
    node = os.stat(host.path(real))
    mode = node.st_mode
    group, members = host.groups().get(node.st_gid, (str(node.st_gid), []))
    shown = f"{real} ({stat.filemode(mode)}, group {group})"
    if host.uid == 0:
        return Check(OK, "access", f"{host.user} may open {shown} as root")
    if node.st_uid == host.uid and mode & 0o600 == 0o600:
        return Check(OK, "access", f"{host.user} owns {shown}")
    if mode & 0o060 == 0o060 and node.st_gid in host.gids:
        return Check(OK, "access", f"{host.user} is in group {group} and may open {shown}")
    if mode & 0o006 == 0o006:
        return Check(OK, "access", f"anyone may open {shown}")
    if mode & 0o060 != 0o060:
        return Check(FAILED, "access", f"{shown}: neither {host.user} nor its group may open it",
                     f"sudo chmod 0660 {real} for now; a udev rule with MODE=\"0660\" keeps it")
    if host.user in members:
        return Check(FAILED, "access", f"{host.user} was added to group {group} after logging "
                     f"in, so may not open {shown} yet", "log out and in again")
    return Check(FAILED, "access", f"{host.user} is not in group {group}, so may not open "
                 f"{shown}", f"sudo usermod -aG {group} {host.user}, then log out and in again")


def _holders(real: str, processes: List[Process]) -> Check:
    holders = [p for p in processes if p.files and real in p.files]
    # The program on the far end of a pseudo-terminal (the virtual actuator) holds both ends.
    servers = [p for p in holders if real.startswith("/dev/pts/") and p.files and
               any(f in PTY_MASTERS for f in p.files)]
    others = [p for p in holders if p not in servers]
    if others:
        names = ", ".join(f"{p.name} (pid {p.pid})" for p in others)
        return Check(FAILED, "other users", f"held open by {names}: two programs on one line "
                     "take each other's bytes", f"close it first (kill {others[0].pid})")
    hidden = sum(p.files is None for p in processes)
    served = "".join(f", {p.name} (pid {p.pid}) serves the pseudo-terminal" for p in servers)
    unseen = (f" (the files of {hidden} processes of other users were not readable: run as "
              "root to see them)" if hidden else "")
    return Check(OK, "other users", f"no other process has it open{served}{unseen}")


def _modem_manager(pid: Optional[int], facts: Optional[PortFacts]) -> Check:
    if pid is None:
        return Check(OK, "modem manager", f"{MODEM_MANAGER} is not running")
    if facts and facts.vid and facts.pid:
        match = f'ATTRS{{idVendor}}=="{facts.vid}", ATTRS{{idProduct}}=="{facts.pid}"'
    else:
        match = 'SUBSYSTEM=="tty", KERNEL=="ttyUSB[0-9]*|ttyACM[0-9]*"'
    return Check(WARNING, "modem manager", f"{MODEM_MANAGER} is running (pid {pid}) and may "
                 "probe the port with modem commands when it appears",
                 f"have it leave the adapter alone with the udev rule '{match}, "
                 f'ENV{{ID_MM_DEVICE_IGNORE}}="1"\' in {RULES_FILE} (then sudo udevadm control '
                 f"--reload and plug it in again), or stop it: sudo systemctl stop "
                 f"{MODEM_MANAGER}")


def _braille_service(pid: Optional[int]) -> Check:
    if pid is None:
        return Check(OK, "braille service", f"{BRAILLE_SERVICE} is not running")
    return Check(WARNING, "braille service", f"{BRAILLE_SERVICE} is running (pid {pid}): it "
                 "takes common USB-serial chips for braille displays, and their port vanishes",
                 f"sudo systemctl stop {BRAILLE_SERVICE}-udev.service {BRAILLE_SERVICE}.service "
                 f"and sudo systemctl mask {BRAILLE_SERVICE}-udev.service (or remove "
                 f"{BRAILLE_SERVICE} where no braille display is used)")


def _latency(host: Host, port: str, facts: Optional[PortFacts], fix: bool) -> Check:
    driver = facts.driver if facts and facts.driver else None
    try:
        flags = host.serial_flags(host.path(host.realpath(port)))
        flag = f"low-latency flag {'on' if flags & ASYNC_LOW_LATENCY else 'off'}"
    except OSError as error:
        known = error.errno in (errno.ENOTTY, errno.EINVAL)  # a driver without serial flags
        flag = f"{'no' if known else 'unknown'} low-latency flag ({error.strerror})"
    latency = latency_timer(host, port)
    if latency is None:
        if not os.path.isdir(sysfs_device(host, port)):
            return Check(OK, "latency", f"nothing in sysfs (a pseudo-terminal, or not Linux), "
                         f"{flag}")
        return Check(OK, "latency", f"driver {driver}: no latency timer to set, {flag}")
    said = f"driver {driver or 'unknown'}, latency timer {latency} ms"
    rule = (f'\'ACTION=="add", SUBSYSTEM=="usb-serial", DRIVER=="{driver or "ftdi_sio"}", '
            f'ATTR{{latency_timer}}="1"\' in {RULES_FILE}')
    if latency <= 1:
        return Check(OK, "latency", f"{said}, {flag}")
    if fix:
        try:
            host.write(os.path.join(sysfs_device(host, port), "latency_timer"), "1\n")
        except OSError as error:
            return Check(WARNING, "latency", f"{said}, {flag}; --fix could not set it: "
                         f"{error.strerror}", f"run it as root, or install the udev rule {rule}")
        now = latency_timer(host, port)
        if now != 1:
            return Check(WARNING, "latency", f"{said}, {flag}; the driver kept {now} ms after "
                         "--fix wrote 1", f"the udev rule {rule} sets it as the adapter appears")
        return Check(OK, "latency", f"{said} -> 1 ms until the adapter is plugged in again "
                     f"(the udev rule {rule} keeps it), {flag}")
    return Check(WARNING, "latency", f"{said}: answers reach this computer up to {latency} ms "
                 "late (the SDK lowers it while the port is open where it may), " + flag,
                 f"the udev rule {rule} makes 1 ms permanent; ferrun doctor --fix sets it now")


def _windows_latency(host: Host, port: str, fix: bool) -> Check:
    found = ftdi_latency_key(host.registry, port) if host.registry else None
    if found is None:
        return Check(OK, "latency", f"no LatencyTimer for {port} in the registry (not an "
                     "FTDI adapter)")
    key, latency = found
    said = f"LatencyTimer {latency} ms"
    if latency <= 1:
        return Check(OK, "latency", said)
    if fix and host.registry:
        try:
            host.registry.set_dword(key, "LatencyTimer", 1)
        except OSError as error:
            return Check(WARNING, "latency", f"{said}; --fix could not set it: "
                         f"{error.strerror or error}", "run it as administrator")
        return Check(OK, "latency", f"{said} -> 1 ms in HKLM\\{key}; plug the adapter in "
                     "again for it to take effect")
    return Check(WARNING, "latency", f"{said}: answers reach this computer up to {latency} ms "
                 "late", "ferrun doctor --fix as administrator sets it to 1 ms (or the port's "
                 "Advanced settings in Device Manager); then plug the adapter in again")


def _answers_with_local_echo(port: str, server: int, baud: int) -> bool:
    """True when a few reads all succeed once the bus expects each request back first."""
    try:
        bus = open_bus(port, baud, INTERFRAME_DELAY_US, local_echo=True)
    except CommandError:
        return False
    try:
        actuator = _ferrun.Actuator(bus, server, str(server))
        return not any(actuator.read_register_blocking(MODE_REPORT, _ferrun.not_important).error
                       for _ in range(ECHO_PROBES))
    finally:
        bus.close_serial_port()


def _live(port: str, server: int, baud: int) -> List[Check]:
    where = f"address {server}, {baud} baud"
    with tempfile.TemporaryDirectory(prefix="ferrun-doctor-") as folder:
        log = os.path.join(folder, "traffic.log")
        try:
            bus = open_bus(port, baud, INTERFRAME_DELAY_US, log)
        except CommandError as error:
            return [Check(FAILED, "live", str(error))]
        checks = []
        errors = []
        try:
            report = getattr(bus, "adapter_report", None)
            latency_us = getattr(bus, "adapter_latency_us", None)
            if report is not None or latency_us is not None:
                checks.append(Check(OK, "adapter", f"the SDK found: {report}; latency budget "
                                    f"{latency_us} us"))
            actuator = _ferrun.Actuator(bus, server, str(server))
            for _ in range(READS):
                result = actuator.read_register_blocking(MODE_REPORT, _ferrun.not_important)
                if result.error:
                    errors.append(result.error.what())
        finally:
            bus.close_serial_port()
        with open(log, encoding="latin-1") as lines:
            stats = collect_stats(read_frames(lines))
    answered = READS - len(errors)
    text = f"{answered} of {READS} reads of the mode register answered ({where})"
    if stats.round_trips_us:
        median, p99 = percentiles(stats.round_trips_us, (0.5, 0.99))
        text += f", round trip median {median / 1000:.1f} ms, p99 {p99 / 1000:.1f} ms"
    if not errors:
        return checks + [Check(OK, "live", text)]
    kinds = sorted(stats.failures.items(), key=lambda item: (-item[1], item[0]))
    text += "; failures: " + (", ".join(f"{kind} {n}" for kind, n in kinds) or errors[0].strip())
    if any(ECHO_TEXT in error for error in errors):
        fix = ADVICE["line echoes"]
    elif _answers_with_local_echo(port, server, baud):
        # An echo that comes back only after the request has left the wire (through a USB
        # adapter, in its packets) looks like the start of a garbled answer.
        fix = ADVICE["line echoes"] + "; its echo comes back late, as through a USB adapter"
    else:
        fix = next((ADVICE[kind] for kind, _ in kinds if kind in ADVICE), "")
    if not answered:
        fix = fix or ("check the address and baud rate (ferrun scan PORT finds them), the "
                      "wiring and the power")
        return checks + [Check(FAILED, "live", text, fix)]
    return checks + [Check(WARNING, "live", text, fix or "check the wiring, its termination "
                           "and ground")]
