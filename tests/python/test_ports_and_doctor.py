"""``ferrun ports`` and ``ferrun doctor`` against a fake root laid out like /sys, /dev and
/proc (a USB adapter at ttyUSB0 with its by-id link and a 16 ms latency timer), a fake
Windows registry, and a virtual actuator for the live check."""

import argparse
import json
import os
import re
from types import SimpleNamespace

import pytest

import ferrun
from ferrun import doctor_command, ports_command
from ferrun.cli import _parser, main
from ferrun.host import FTDI_KEY, Host

BY_ID = "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A10K1L2X-if00-port0"
ADAPTER = SimpleNamespace(device="/dev/ttyUSB0", vid=0x0403, pid=0x6001,
                          serial_number="A10K1L2X", manufacturer="FTDI",
                          product="FT232R USB UART")
USER_UID = 4321  # owns nothing in the fake root


def link(at, target):
    at.parent.mkdir(parents=True, exist_ok=True)
    at.symlink_to(os.path.relpath(target, at.parent) if os.path.isabs(target) else target)


def process(root, pid, name, *files):
    fd = root / "proc" / str(pid) / "fd"
    fd.mkdir(parents=True)
    (fd.parent / "comm").write_text(name + "\n")
    for number, target in enumerate(files, 3):
        (fd / str(number)).symlink_to(target)  # dangling, as the process sees it


@pytest.fixture
def root(tmp_path):
    """ttyUSB0 of an FTDI adapter, mode 0660, its group listed as dialout (with carol)."""
    port = tmp_path / "sys/devices/pci0000:00/usb1/1-2/1-2:1.0/ttyUSB0"
    port.mkdir(parents=True)
    (port / "latency_timer").write_text("16\n")
    driver = tmp_path / "sys/bus/usb-serial/drivers/ftdi_sio"
    driver.mkdir(parents=True)
    link(port / "driver", str(driver))
    link(tmp_path / "sys/class/tty/ttyUSB0/device", str(port))
    node = tmp_path / "dev/ttyUSB0"
    node.parent.mkdir()
    node.write_text("")
    node.chmod(0o660)
    link(tmp_path / BY_ID.lstrip("/"), "../../ttyUSB0")
    (tmp_path / "etc").mkdir()
    (tmp_path / "etc/group").write_text(f"dialout:x:{node.stat().st_gid}:carol\n")
    process(tmp_path, 1, "systemd", "/dev/null")
    return tmp_path


def host(root, listing=(ADAPTER,), user="bob", in_group=False, kind=Host):
    """A user in a group of its own, and in the device's group when ``in_group``."""
    node = root / "dev/ttyUSB0"
    gid = os.stat(node).st_gid if node.exists() else -1
    return kind(root=str(root), user=user, uid=USER_UID,
                gids=frozenset({gid + 1, gid} if in_group else {gid + 1}), pid=99999,
                windows=False, listing=lambda: list(listing), serial_flags=lambda path: 0)


def doctor(capsys, the_host, *argv):
    status = doctor_command.report(_parser().parse_args(["doctor", *argv]), the_host)
    out = capsys.readouterr().out
    return status, {line.split(":")[0].split(None, 1)[1]: line for line in out.splitlines()
                    if ":" in line}


def test_ports_lists_each_port_with_what_is_known_of_it(root, capsys):
    serial_port = SimpleNamespace(device="/dev/ttyS0", vid=None, pid=None, serial_number=None,
                                  manufacturer=None, product=None)
    listed = host(root, [serial_port, ADAPTER])
    assert ports_command.report(argparse.Namespace(json=True), listed) == 0
    uart, usb = json.loads(capsys.readouterr().out)
    assert usb == {"port": "/dev/ttyUSB0", "by_id": BY_ID, "driver": "ftdi_sio", "vid": "0403",
                   "pid": "6001", "serial_number": "A10K1L2X", "manufacturer": "FTDI",
                   "product": "FT232R USB UART", "latency_ms": 16}
    assert uart["port"] == "/dev/ttyS0" and uart["driver"] is uart["latency_ms"] is None
    assert ports_command.report(argparse.Namespace(json=False), listed) == 0
    header, first, second = capsys.readouterr().out.splitlines()
    assert header.split() == ["port", "driver", "vid:pid", "serial", "manufacturer", "product",
                              "latency", "by-id"]
    assert first.split()[:3] == ["/dev/ttyS0", "-", "-"]
    assert "ftdi_sio  0403:6001  A10K1L2X" in second and f"16 ms    {BY_ID}" in second
    assert ports_command.report(argparse.Namespace(json=False), host(root, [])) == 0
    assert capsys.readouterr().out == "no serial ports found\n"
    # Through the command line, on this machine: whatever it has, a list.
    assert main(["ports", "--json"]) == 0
    assert isinstance(json.loads(capsys.readouterr().out), list)


@pytest.mark.parametrize("port", ["/dev/ttyUSB0", BY_ID])
def test_doctor_names_each_obstacle_and_its_fix(root, capsys, port):
    process(root, 4242, "minicom", "/dev/pts/1", "/dev/ttyUSB0")
    process(root, 812, "ModemManager", "/dev/null")
    process(root, 900, "brltty")
    status, lines = doctor(capsys, host(root), port)
    assert status == 1
    assert lines["port"].startswith("ok") and ("/dev/ttyUSB0" in lines["port"])
    assert BY_ID in lines["port"]
    assert lines["access"].startswith("failed") and "not in group dialout" in lines["access"]
    assert "fix: sudo usermod -aG dialout bob, then log out and in again" in lines["access"]
    assert lines["other users"].startswith("failed") and "minicom (pid 4242)" in lines[
        "other users"]
    assert "ModemManager (pid 1)" not in lines["other users"]
    assert lines["modem manager"].startswith("warning") and "(pid 812)" in lines[
        "modem manager"]
    assert ('ATTRS{idVendor}=="0403", ATTRS{idProduct}=="6001", ENV{ID_MM_DEVICE_IGNORE}="1"'
            in lines["modem manager"])
    assert lines["braille service"].startswith("warning") and "pid 900" in lines[
        "braille service"]
    assert lines["latency"].startswith("warning") and "latency timer 16 ms" in lines["latency"]
    assert ('ACTION=="add", SUBSYSTEM=="usb-serial", DRIVER=="ftdi_sio", '
            'ATTR{latency_timer}="1"' in lines["latency"])
    assert "low-latency flag off" in lines["latency"]
    assert (root / "sys/class/tty/ttyUSB0/device/latency_timer").read_text() == "16\n"


def test_doctor_fix_sets_the_latency_and_a_healthy_port_passes(root, capsys):
    status, lines = doctor(capsys, host(root, in_group=True), "--fix")  # the only port there is
    assert status == 0
    assert [line.split()[0] for line in lines.values()] == ["ok"] * 6
    assert "16 ms -> 1 ms" in lines["latency"]
    assert (root / "sys/class/tty/ttyUSB0/device/latency_timer").read_text() == "1\n"
    _, lines = doctor(capsys, host(root, in_group=True))
    assert "latency timer 1 ms" in lines["latency"]

    # Added to the group, but this login does not have it yet; and a timer it may not write.
    class Refusing(Host):
        def write(self, path, text):
            raise PermissionError(13, "Permission denied")

    (root / "sys/class/tty/ttyUSB0/device/latency_timer").write_text("16\n")
    status, lines = doctor(capsys, host(root, user="carol", kind=Refusing), "--fix")
    assert status == 1 and "fix: log out and in again" in lines["access"]
    assert lines["latency"].startswith("warning") and "Permission denied" in lines["latency"]
    assert (root / "sys/class/tty/ttyUSB0/device/latency_timer").read_text() == "16\n"


def test_doctor_without_a_port_to_check_still_looks_at_the_services(root, capsys):
    process(root, 900, "brltty")
    (root / "dev/ttyUSB0").unlink()  # what brltty does to an adapter it takes
    status, lines = doctor(capsys, host(root, []))
    assert status == 1 and lines["port"].startswith("failed   port: no serial port found")
    assert lines["braille service"].startswith("warning") and "access" not in lines
    status, lines = doctor(capsys, host(root), "/dev/ttyUSB0")
    assert status == 1 and "/dev/ttyUSB0 does not exist" in lines["port"]
    status, lines = doctor(capsys, host(root, [ADAPTER, ADAPTER]))
    assert status == 1 and "name the one to check" in lines["port"]
    # The folder of by-id names, as a shell's completion stops at it.
    status, lines = doctor(capsys, host(root), "/dev/serial/by-id")
    assert status == 1 and "is a folder, not a serial port" in lines["port"]
    assert main(["doctor", "--baud", "9600"]) == 1
    assert "give --address too" in capsys.readouterr().err


class FakeRegistry:
    """HKLM's keys by their whole path, each a dict of its values."""

    def __init__(self, keys):
        self.keys = keys
        self.writable = True

    def subkeys(self, path):
        return sorted({k[len(path) + 1:].split("\\")[0] for k in self.keys
                       if k.startswith(path + "\\")})

    def value(self, path, name):
        return self.keys[path][name]

    def set_dword(self, path, name, value):
        if not self.writable:
            raise PermissionError(13, "Access is denied")
        self.keys[path][name] = value


def test_windows_latency_is_read_and_fixed_in_the_registry(capsys):
    com3, com7 = (f"{FTDI_KEY}\\VID_0403+PID_{ids}\\0000\\Device Parameters"
                  for ids in ("6001+A10K1L2XA", "6015+DK0AB123A"))
    registry = FakeRegistry({com3: {"PortName": "COM3", "LatencyTimer": 16},
                             com7: {"PortName": "COM7", "LatencyTimer": 2}})
    adapter = SimpleNamespace(**{**vars(ADAPTER), "device": "COM3"})
    windows = Host(windows=True, registry=registry, listing=lambda: [adapter])
    assert ports_command.report(argparse.Namespace(json=True), windows) == 0
    assert json.loads(capsys.readouterr().out)[0]["latency_ms"] == 16

    status, lines = doctor(capsys, windows, r"\\.\com3")
    assert status == 0 and list(lines) == ["port", "latency"]
    assert lines["latency"].startswith("warning") and "LatencyTimer 16 ms" in lines["latency"]
    registry.writable = False
    _, lines = doctor(capsys, windows, "COM3", "--fix")
    assert "Access is denied" in lines["latency"] and "as administrator" in lines["latency"]
    registry.writable = True
    _, lines = doctor(capsys, windows, "COM3", "--fix")
    assert lines["latency"].startswith("ok") and "16 ms -> 1 ms" in lines["latency"]
    assert [registry.keys[key]["LatencyTimer"] for key in (com3, com7)] == [1, 2]
    _, lines = doctor(capsys, windows, "COM9")
    assert lines["port"].startswith("failed")


@pytest.mark.parametrize("echo, options", [(False, []), (True, []),
                                           (True, ["--usb-latency-ms", "16"])])
def test_the_live_check_reads_the_mode_register(capsys, echo, options):
    # This machine's own /proc and /dev: the virtual actuator serving the pseudo-terminal is
    # no competitor for it. Through an adapter the SDK cannot reach, the echo comes late.
    with ferrun.virtual_actuator(options, paced=True, echo=echo) as port:
        status = main(["doctor", port, "--address", "1", "--baud", "19200"])
    out = capsys.readouterr().out
    assert re.search(r"^ok +other users: no other process has it open, ferrun-sim", out, re.M)
    live = next(line for line in out.splitlines() if "live:" in line)
    assert ("adapter: the SDK found" in out) == hasattr(ferrun.Bus(), "adapter_report")
    if echo:
        assert status == 1 and live.startswith("failed")
        assert "0 of 20 reads" in live and "bus.local_echo = True" in live
        assert options or "line echoes" in live
    else:
        assert status == 0, out
        assert live.startswith("ok") and "20 of 20 reads of the mode register answered" in live
        assert re.search(r"round trip median \d+\.\d ms, p99 \d+\.\d ms$", live)
