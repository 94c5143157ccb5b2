import os

import pytest

import _ferrun
from ferrun import virtual_actuator


@pytest.fixture
def port():
    """A fresh virtual actuator on a line paced like a real 19200-baud wire, answering 1 ms
    after each request; yields the port path to open."""
    with virtual_actuator(paced=True) as path:
        yield path


@pytest.fixture
def unpaced_port():
    """A fresh virtual actuator at the pseudo-terminal's own speed."""
    with virtual_actuator() as path:
        yield path


@pytest.fixture
def actuator(port):
    """An actuator with its port open on a fresh virtual actuator."""
    a = _ferrun.Actuator("x1")
    error = a.open_serial_port(port)
    assert not error, error.what()
    yield a
    a.close_serial_port()


@pytest.fixture
def log_path(tmp_path):
    return os.fspath(tmp_path / "traffic.log")


@pytest.fixture
def journaled(tmp_path):
    """An actuator open on a virtual actuator paced at 1,000,000 baud that journals what it
    hears and does; yields the actuator and the journal's path."""
    journal = tmp_path / "journal.tsv"
    with virtual_actuator(paced=True, baud=1_000_000, journal=journal) as port:
        a = _ferrun.Actuator("x1")
        assert not a.open_serial_port(port, 1_000_000)
        yield a, journal
        a.close_serial_port()
