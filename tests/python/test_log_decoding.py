"""Decoding traffic log lines: independent wire vectors, failure texts, malformed input, and
properties (never raises; what the SDK wrote decodes back to what it was asked to send)."""

import json
import os
from collections import Counter
from pathlib import Path

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import _ferrun
from ferrun import virtual_actuator
from ferrun.log_decoder import LogDecoder, crc16, crc_status, csv_row, format_line
from ferrun.traffic_log import (FAILURE_TEXTS, MalformedLine, NotATrafficLog, failure_kinds,
                                parse_line, read_frames)

VECTORS = Path(__file__).resolve().parents[2].parent / "shared" / "vectors" / "modbus_frames.json"


def log_line(time_us, direction, frame_hex, failure=""):
    fields = [str(time_us), direction, *frame_hex.split()] + ([failure] if failure else [])
    return "\t".join(fields) + "\r\n"


def decode_all(lines):
    decoder = LogDecoder()
    return [decoder.decode(frame) for frame in read_frames(lines)]


@pytest.fixture(scope="module")
def vectors():
    if not VECTORS.exists():
        pytest.skip(f"wire vectors not found at {VECTORS}")
    loaded = json.loads(VECTORS.read_text())
    return {v["what"]: v["frame"] for v in loaded["requests"] + loaded["responses"]}, loaded


# Request vector -> what its decoding must say.
REQUESTS = {
    "read holding registers: server 1, start 342, count 2":
        dict(address=1, function="read holding registers", read_start=342, read_count=2,
             registers=["position"]),
    "read holding registers: server 247, start 65535, count 1":
        dict(address=247, read_start=65535, read_count=1),
    "write single register: server 1, register 3, value 2":
        dict(function="write single register", write_start=3, write_values=[2],
             registers=["mode_command"]),
    "write multiple registers: server 1, start 140, values 0xFFFE 0xFFFF (a wide write of -2)":
        dict(function="write multiple registers", write_start=140, write_count=2,
             write_values=[0xFFFE, 0xFFFF]),
    "read/write multiple registers: server 1, read 20 count 2, write 30 count 1 value 9":
        dict(function="read/write multiple registers", read_start=20, read_count=2,
             write_start=30, write_count=1, write_values=[9]),
    "read/write multiple registers: server 1, read 0 count 0, write 0 count 0":
        dict(read_count=0, write_count=0, write_values=[]),
    "stream command: server 1, sleep (sub-function 0)": dict(mode="sleep", setpoint=0),
    "stream command: server 1, force -1 mN (sub-function 28)": dict(mode="force", setpoint=-1),
    "stream command: server 1, position 100000 um (sub-function 30)":
        dict(function="stream command", mode="position", setpoint=100000),
    "stream command: server 1, haptic effects 0x8001 (sub-function 34)":
        dict(mode="haptic", setpoint=0x8001),
    "stream command: server 1, kinematic (sub-function 32)": dict(mode="kinematic"),
}
# Response vector -> (the request it answers, what its decoding must say).
RESPONSES = {
    "read response: 2 registers 0x1234 0x5678":
        ("read holding registers: server 1, start 342, count 2",
         dict(read_start=342, read_values=[0x1234, 0x5678], registers=["position"])),
    "read response: 1 register value 2":
        ("read holding registers: server 1, start 317, count 1",
         dict(read_start=317, read_values=[2], registers=["mode_report"])),
    "write multiple response: start 140 count 2":
        ("write multiple registers: server 1, start 140, values 0xFFFE 0xFFFF (a wide write of -2)",
         dict(write_start=140, write_count=2)),
    "exception response: function 3, code 2 (illegal data address)":
        ("read holding registers: server 1, start 317, count 1",
         dict(function="read holding registers", exception_code=2,
              exception="illegal data address")),
    "exception response: function 3, code 6 (server device busy)":
        ("read holding registers: server 1, start 317, count 1",
         dict(exception_code=6, exception="server device busy")),
    "stream response: position 256, force -2, power 10, temperature 200, voltage 24000, errors 1":
        ("stream command: server 1, sleep (sub-function 0)",
         dict(position_um=256, force_mN=-2, power_W=10, temperature_C=200, voltage_mV=24000,
              errors=1)),
    "stream response: temperature byte 0xFB (reads as 251)":
        ("stream command: server 1, sleep (sub-function 0)", dict(temperature_C=251)),
}


def test_every_frame_kind_decodes_as_the_vectors_say(vectors):
    frames, loaded = vectors
    for check in loaded["crc"]:
        crc = crc16(check["ascii"].encode())
        assert bytes([crc & 0xFF, crc >> 8]).hex(" ") == check["wire_bytes"]
    for what, expected in REQUESTS.items():
        (decoded,) = decode_all([log_line(5, "tx", frames[what])])
        assert decoded.crc == "ok" and decoded.layout == "ok", what
        assert {k: getattr(decoded, k) for k in expected} == expected, what
    for what, (request, expected) in RESPONSES.items():
        _, decoded = decode_all([log_line(5, "tx", frames[request]),
                                 log_line(905, "rx", frames[what])])
        assert decoded.crc == "ok" and decoded.layout == "ok" and decoded.address == 1, what
        assert decoded.time_ms == 0.9
        assert {k: getattr(decoded, k) for k in expected} == expected, what
    # Every frame renders as one line, and the mode register's value by its name.
    _, answer = decode_all([log_line(5, "tx", frames["read holding registers: server 1, "
                                                    "start 317, count 1"]),
                            log_line(9, "rx", frames["read response: 1 register value 2"])])
    decoder = LogDecoder()
    assert "317 mode_report=2 (ForceMode)" in format_line(answer, decoder.names, decoder.modes)
    bad = bytearray.fromhex(frames["read response: 1 register value 2"])
    bad[-1] ^= 1
    assert crc_status(bytes(bad)) == "bad"


def test_failure_texts_are_kinds_and_unknown_texts_stay_verbatim():
    assert failure_kinds("".join(FAILURE_TEXTS)) == list(FAILURE_TEXTS.values())
    assert failure_kinds("Timed out.") == ["timed out"]  # trailing space trimmed away
    assert failure_kinds("Wrong CRC. Brownout detected. Line lost. ") == [
        "wrong CRC", "Brownout detected.", "line lost"]
    lines = [log_line(0, "tx", "01 03 01 3d 00 01 14 3a"),
             "20100\trx\tTimed out. \r\n",
             log_line(22000, "tx", "01 03 01 3d 00 01 14 3a"),
             log_line(22400, "rx", "01 03 02 00 02 39 85", "Response does not match. "),
             log_line(24000, "tx", "01 03 01 3d 00 01 14 3a"),
             log_line(24400, "rx", "01 03 02", "Unexpected interchar. Line lost. Gremlins. ")]
    timed_out, mismatch, lost = decode_all(lines)[1::2]
    assert (timed_out.layout, timed_out.address, timed_out.failure) == ("none", None, "Timed out.")
    assert timed_out.function == "read holding registers"
    assert mismatch.failure == "Response does not match." and mismatch.read_values == [2]
    assert lost.failure == "Unexpected interchar. Line lost. Gremlins."
    assert lost.layout != "ok"


def test_malformed_lines_are_reported_and_skipped():
    good = log_line(10, "tx", "01 03 01 3d 00 01 14 3a")
    bad = ["10\ttx\t01\t03\t01\t3\r\n",      # cut short in a byte
           "10\ttx\t01\t03\r\n",              # a request cut short
           "10\t",                            # no direction
           "10\ttx\t01\t0g\t01\t3d\r\n",      # not hexadecimal
           "10\trq\t01\t03\t01\t3d\r\n",      # unknown direction
           "1e3\ttx\t01\t03\t01\t3d\r\n",     # not a time
           "10\ttx\t01\t\t03\t01\t3d\r\n"]    # an empty field
    for line in bad:
        with pytest.raises(MalformedLine):
            parse_line(line)
    reported = []
    frames = list(read_frames(bad[:3] + [good] + bad[3:] + ["\r\n", good],
                              lambda n, why: reported.append(n)))
    assert [f.line for f in frames] == [4, 10]
    assert reported == [1, 2, 3, 5, 6, 7, 8]
    with pytest.raises(NotATrafficLog):
        list(read_frames(["hello, world\n"] * 3))
    with pytest.raises(NotATrafficLog):
        list(read_frames(["\x89PNG\r\n"] + ["\x00\x01 binary\n"] * 20 + [good]))
    assert list(read_frames([])) == []


well_formed = st.builds(
    lambda t, d, data, failure: "\t".join([str(t), d, *(f"{b:02x}" for b in data)]
                                          + ([failure] if failure else [])),
    st.integers(0, 2**63), st.sampled_from(["tx", "rx"]), st.binary(max_size=40),
    st.one_of(st.just(""), st.sampled_from(list(FAILURE_TEXTS)), st.text(max_size=12)))
any_line = st.one_of(st.text(max_size=80), well_formed,
                     well_formed.map(lambda line: line[: len(line) // 2]))


@settings(max_examples=300, deadline=None)
@given(st.lists(any_line, max_size=12))
def test_decoding_never_raises(lines):
    decoder = LogDecoder()
    try:
        frames = list(read_frames(lines, lambda n, why: None))
    except NotATrafficLog:
        return
    for frame in frames:
        decoded = decoder.decode(frame)
        format_line(decoded, decoder.names, decoder.modes)
        csv_row(decoded)


@pytest.fixture(scope="module")
def logged_actuator(tmp_path_factory):
    path = os.fspath(tmp_path_factory.mktemp("sdk-log") / "traffic.log")
    with virtual_actuator() as port:
        a = _ferrun.Actuator("x1")
        assert not a.open_serial_port(port, 19200, 0)
        assert not a.begin_serial_logging(path)
        yield a, path
        a.close_serial_port()


register_op = st.one_of(
    st.tuples(st.just("write"), st.integers(500, 900), st.lists(st.integers(0, 0xFFFF),
                                                               min_size=1, max_size=6)),
    st.tuples(st.just("read"), st.integers(500, 900), st.integers(1, 6)),
    st.tuples(st.just("read/write"), st.integers(500, 900), st.lists(
        st.integers(0, 0xFFFF), min_size=1, max_size=4)))


# What the engine counts each failure kind of its log as. A busy machine may starve the
# virtual actuator past the response time-out; an exchange then fails (and its late answer may
# spoil the next one) and an important request is resent. Whatever failed, the engine counted.
COUNTER_OF = {"timed out": 15, "interchar gap": 16, "wrong address": 13, "wrong CRC": 14,
              "response mismatch": 18}


def has(decoded, fields):
    return {k: getattr(decoded, k) for k in fields} == fields


@settings(max_examples=25, deadline=None)
@given(ops=st.lists(register_op, min_size=1, max_size=4),
       stream=st.sampled_from([("position", _ferrun.PositionMode, "set_streamed_position_um"),
                               ("force", _ferrun.ForceMode, "set_streamed_force_mN")]),
       setpoint=st.integers(-(2**31), 2**31 - 1))
def test_what_the_sdk_wrote_decodes_back(logged_actuator, ops, stream, setpoint):
    a, path = logged_actuator
    counted = a.get_bus().get_diagnostic_counters()
    start = os.path.getsize(path)
    mode_name, mode, setter = stream
    mode_set = not a.set_mode(mode)
    streamed_from = os.path.getsize(path)
    getattr(a, setter)(setpoint)
    a.enable_stream()
    while os.path.getsize(path) == streamed_from:  # until a stream command has been logged
        a.run()
    a.disable_stream()
    calls = []  # (fields of the request, of the answer or None when the call failed)
    for kind, register, values in ops:
        if kind == "write" and len(values) == 1:
            written = dict(write_start=register, write_values=values)
            failed = a.write_register_blocking(register, values[0])
            calls.append((written, None if failed else written))
        elif kind == "write":
            failed = a.write_multiple_registers_blocking(register, len(values), values)
            calls.append((dict(write_start=register, write_values=values),
                          None if failed else dict(write_start=register, write_count=len(values))))
        elif kind == "read":
            result = a.read_multiple_registers_blocking(register, values)
            calls.append((dict(read_start=register, read_count=values), None if result.error
                          else dict(read_start=register, read_values=list(result.value))))
        else:
            result = a.read_write_multiple_registers_blocking(register, 2, register + 10,
                                                              len(values), values)
            calls.append((dict(read_start=register, read_count=2, write_start=register + 10,
                               write_values=values), None if result.error
                          else dict(read_start=register, read_values=list(result.value))))
    with open(path, "rb") as log:
        log.seek(start)
        decoded = decode_all(log.read().decode("ascii").splitlines(keepends=True))
    assert [d.direction for d in decoded] == ["tx", "rx"] * (len(decoded) // 2)
    assert all(d.crc == "ok" and d.layout == "ok" for d in decoded if not d.failure)
    now = a.get_bus().get_diagnostic_counters()
    failures = Counter(kind for d in decoded if d.failure for kind in failure_kinds(d.failure))
    assert failures == {kind: now[i] - counted[i] for kind, i in COUNTER_OF.items()
                        if now[i] != counted[i]}
    streamed = [d for d in decoded if d.direction == "tx" and d.mode]
    assert streamed
    # A mode whose confirmation was lost leaves the stream in the mode before.
    assert mode_set or failures
    assert not mode_set or all((d.mode, d.setpoint) == (mode_name, setpoint) for d in streamed)
    # set_mode's exchanges come before the stream, the calls' after it.
    exchanges = [(tx, rx) for tx, rx in zip(decoded[::2], decoded[1::2])
                 if tx.function != "stream command" and tx.line > streamed[0].line]
    for request, answer in calls:
        attempts = 0  # failed ones, each resent or the call given up
        while exchanges and has(exchanges[0][0], request) and exchanges[0][1].failure:
            exchanges.pop(0)
            attempts += 1
        if answer is None:
            assert attempts
            continue
        tx, rx = exchanges.pop(0)
        assert has(tx, request) and has(rx, answer) and not rx.failure
    assert exchanges == []
