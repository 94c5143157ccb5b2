"""``ferrun ports``: the serial ports of this machine and what is known of each.

pyserial's ``list_ports`` finds the ports and their USB identity (on Linux, Windows and
macOS); the stable ``/dev/serial/by-id`` name, the driver and the latency timer of a USB
adapter come from ``/dev`` and sysfs on Linux, the latency from the driver's registry key
on Windows.
"""

import argparse
import json
import os
from dataclasses import asdict, dataclass
from typing import Optional

from ferrun.host import Host, PortInfo, ftdi_latency_key

BY_ID = "/dev/serial/by-id"


@dataclass
class PortFacts:
    """A port, as --json prints it; None where nothing is known."""

    port: str
    by_id: Optional[str]
    driver: Optional[str]
    vid: Optional[str]  # four hexadecimal digits, as udev rules and lsusb write them
    pid: Optional[str]
    serial_number: Optional[str]
    manufacturer: Optional[str]
    product: Optional[str]
    latency_ms: Optional[int]


def add_parser(commands: "argparse._SubParsersAction[argparse.ArgumentParser]") -> None:
    ports = commands.add_parser(
        "ports", help="list the serial ports: by-id name, driver, USB ids, latency timer",
        description="List the serial ports with their stable by-id name (Linux), driver, "
        "USB vendor and product ids, serial number, manufacturer, product and the adapter's "
        "latency timer where it has one.")
    ports.add_argument("--json", action="store_true", help="print a JSON list of objects")
    ports.set_defaults(run=lambda args: report(args, Host()))


def sysfs_device(host: Host, port: str) -> str:
    """The port's device folder in sysfs (it may not exist: a pseudo-terminal, Windows)."""
    name = os.path.basename(host.realpath(port))
    return os.path.join(host.sysfs, "class", "tty", name, "device")


def latency_timer(host: Host, port: str) -> Optional[int]:
    text = host.read(os.path.join(sysfs_device(host, port), "latency_timer"))
    text = (text or "").strip()
    return int(text) if text.isascii() and text.isdigit() else None


def by_id(host: Host, port: str) -> Optional[str]:
    real = host.realpath(port)
    try:
        names = sorted(os.listdir(host.path(BY_ID)))
    except OSError:
        return None
    return next((f"{BY_ID}/{n}" for n in names if host.realpath(f"{BY_ID}/{n}") == real), None)


def describe(host: Host, info: PortInfo) -> PortFacts:
    def hex_id(number: Optional[int]) -> Optional[str]:
        return None if number is None else f"{number:04x}"

    facts = PortFacts(info.device, None, None, hex_id(info.vid), hex_id(info.pid),
                      info.serial_number, info.manufacturer, info.product, None)
    if host.windows:
        found = ftdi_latency_key(host.registry, info.device) if host.registry else None
        facts.latency_ms = found[1] if found else None
        return facts
    driver = os.path.join(sysfs_device(host, info.device), "driver")
    if os.path.exists(driver):
        facts.driver = os.path.basename(os.path.realpath(driver))
    facts.by_id = by_id(host, info.device)
    facts.latency_ms = latency_timer(host, info.device)
    return facts


def report(args: argparse.Namespace, host: Host) -> int:
    ports = sorted((describe(host, info) for info in host.listing()), key=lambda f: f.port)
    if args.json:
        print(json.dumps([asdict(p) for p in ports]))
        return 0
    if not ports:
        print("no serial ports found")
        return 0
    rows = [["port", "driver", "vid:pid", "serial", "manufacturer", "product", "latency",
             "by-id"]]
    for p in ports:
        ids = f"{p.vid}:{p.pid}" if p.vid and p.pid else None
        latency = None if p.latency_ms is None else f"{p.latency_ms} ms"
        rows.append([text or "-" for text in (p.port, p.driver, ids, p.serial_number,
                                              p.manufacturer, p.product, latency, p.by_id)])
    widths = [max(len(row[i]) for row in rows) for i in range(len(rows[0]))]
    for row in rows:
        print("  ".join(text.ljust(width) for text, width in zip(row, widths)).rstrip())
    return 0
