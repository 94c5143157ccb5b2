#!/usr/bin/env python3
"""Writes the fuzz harnesses' seed corpora (fuzz/corpus/<harness>/) from the independent wire
vectors (../shared/vectors/modbus_frames.json beside the checkout, or the path given), and the
minimal fuzz_engine inputs of the faults the harness found (fuzz/findings/, see its README).

Usage: python3 fuzz/make_corpus.py [VECTORS_JSON]
The input formats are described at the top of each harness and in engine_scenario.hpp."""

import json
import pathlib
import shutil
import struct
import sys

HERE = pathlib.Path(__file__).resolve().parent
DEFAULT_VECTORS = HERE.parent.parent / "shared" / "vectors" / "modbus_frames.json"

# fuzz_engine opcodes (engine_scenario.hpp).
READ_ONE, READ_WIDE, READ_MANY, WRITE_ONE, WRITE_WIDE, WRITE_MANY, READ_WRITE = range(7)
STREAM, SET_MODE, CLOCK_JUMP, DELIVER_NOW, LINE_DELIVER, LINE_PAUSE, LINE_ANSWER = range(7, 14)
LINE_WAIT, NEW_ACTUATOR, REOPEN, LINE_WAIT_ANSWER = range(14, 18)
CORRECT, BAD_COUNT, EXCEPTION, WRONG_FUNCTION, WRONG_ADDRESS, BAD_CRC, TRUNCATED = range(7)


def crc(frame: bytes) -> bytes:
    value = 0xFFFF
    for byte in frame:
        value ^= byte
        for _ in range(8):
            value = (value >> 1) ^ 0xA001 if value & 1 else value >> 1
    return bytes([value & 0xFF, value >> 8])


def u16(value: int) -> bytes:
    return struct.pack(">H", value & 0xFFFF)


def u32(value: int) -> bytes:
    return struct.pack(">I", value & 0xFFFFFFFF)


def frame_of(entry: dict) -> bytes:
    return bytes.fromhex(entry["frame"])


# ---- fuzz_engine ----

ACTUATOR = bytes([0, 0, 4, 1])  # Actuator at address 1, 100 us clock step, 19200 baud, 2000 us
CLIENT = bytes([1, 0, 4, 1])  # the same for a bare ModbusClient


def answer(kind: int = CORRECT, tweak: int = 0, seed: int = 1, split: int = 0, gap: int = 0) -> bytes:
    return bytes([LINE_WAIT_ANSWER, kind, tweak, seed, split, gap])


def delivered_after_send(frame: bytes) -> bytes:
    return bytes([LINE_WAIT, LINE_DELIVER, len(frame)]) + frame


def request_operation(request: bytes, prio: int = 0) -> bytes:
    """The fuzz_engine operation that sends this request frame."""
    function = request[1]
    if function == 3:
        start, count = struct.unpack(">HH", request[2:6])
        if count == 1:
            return bytes([READ_ONE, prio]) + u16(start)
        if count == 2:
            return bytes([READ_WIDE, prio]) + u16(start)
        return bytes([READ_MANY, prio]) + u16(start) + bytes([count])
    if function == 6:
        return bytes([WRITE_ONE, prio]) + request[2:6]
    if function == 16:
        start, count = struct.unpack(">HH", request[2:6])
        if count == 2:
            low, high = struct.unpack(">HH", request[7:11])
            return bytes([WRITE_WIDE, prio]) + u16(start) + u32(high << 16 | low)
        return bytes([WRITE_MANY, prio]) + u16(start) + bytes([count, request[7]])
    if function == 23:
        rstart, rcount, wstart, wcount = struct.unpack(">HHHH", request[2:10])
        seed = request[11] if wcount else 0
        return bytes([READ_WRITE, prio]) + u16(rstart) + bytes([rcount]) + u16(wstart) + bytes(
            [wcount, seed])
    raise ValueError(request.hex())


def mode_answer(mode: int) -> bytes:
    """set_mode's exchanges answered: the write echoed, then the mode reported."""
    report = bytes([1, 3, 2, 0, mode])
    return (answer() + delivered_after_send(report + crc(report)) + bytes([SET_MODE, mode]))


def stream(what: int, value: int = 0, passes: int = 1) -> bytes:
    return bytes([STREAM, what]) + u32(value) + bytes([passes])


def engine_seeds(vectors: dict) -> dict:
    seeds = {}
    for i, entry in enumerate(vectors["requests"]):
        request = frame_of(entry)
        if request[1] == 100:
            continue
        header = ACTUATOR if request[0] == 1 else bytes([0, 4, 4, 1])
        seeds[f"request_{i:02d}_answered"] = header + answer() + request_operation(request)
        seeds[f"request_{i:02d}_client"] = (CLIENT if request[0] == 1 else bytes([1, 4, 4, 1])) + \
            answer() + request_operation(request, prio=2)
    read_two = frame_of(vectors["responses"][0])
    read_one = frame_of(vectors["responses"][1])
    write_echo = frame_of(vectors["responses"][2])
    exception_address = frame_of(vectors["responses"][3])
    exception_busy = frame_of(vectors["responses"][4])
    telemetry = frame_of(vectors["responses"][5])
    hot = frame_of(vectors["responses"][6])
    seeds["vector_read_two"] = ACTUATOR + delivered_after_send(read_two) + bytes([READ_WIDE, 0]) + u16(342)
    seeds["vector_read_one"] = ACTUATOR + delivered_after_send(read_one) + bytes([READ_ONE, 0]) + u16(317)
    seeds["vector_write_echo"] = ACTUATOR + delivered_after_send(write_echo) + bytes(
        [WRITE_WIDE, 0]) + u16(140) + u32(0xFFFFFFFE)
    seeds["vector_exceptions"] = ACTUATOR + delivered_after_send(exception_address) + \
        delivered_after_send(exception_busy) + bytes([READ_ONE, 1]) + u16(317) + \
        bytes([READ_ONE, 1]) + u16(317)
    seeds["vector_telemetry"] = ACTUATOR + delivered_after_send(telemetry) + \
        delivered_after_send(hot) + stream(0, 0, 8)
    seeds["stream_every_mode"] = ACTUATOR + mode_answer(2) + stream(2, -500) + answer(seed=7) + \
        stream(0, 0, 40) + mode_answer(3) + stream(3, 100000) + answer(seed=9) + stream(5, 0, 40) + \
        mode_answer(4) + stream(4, 0x8001) + answer() + stream(5, 0, 40) + mode_answer(5) + \
        answer() + stream(5, 0, 40) + stream(1)
    seeds["client_stream"] = CLIENT + answer(seed=3) + stream(2, -1, 4) + answer(seed=4) + \
        stream(3, 100000, 4)
    seeds["silent_device"] = ACTUATOR + bytes([READ_ONE, 0]) + u16(317)
    seeds["split_answer"] = ACTUATOR + answer(split=4, gap=40) + bytes([READ_WIDE, 0]) + u16(342)
    seeds["bad_crc_then_good"] = CLIENT + answer(BAD_CRC, 1, 2) + answer() + bytes(
        [READ_ONE, 2]) + u16(317)
    seeds["truncated_then_good"] = ACTUATOR + answer(TRUNCATED, 4) + answer() + bytes(
        [READ_MANY, 0]) + u16(100) + bytes([10])
    seeds["queued_client"] = CLIENT + answer() + answer(seed=5) + answer(EXCEPTION, 6) + \
        bytes([READ_ONE, 1]) + u16(1) + bytes([WRITE_ONE, 1]) + u16(2) + u16(3) + \
        bytes([READ_WIDE, 3]) + u16(342)
    seeds["broadcast_write"] = bytes([0, 3, 4, 1]) + bytes([WRITE_ONE, 0]) + u16(3) + u16(2)
    return seeds


# ---- fuzz_device_model ----

def device_seeds(vectors: dict) -> dict:
    seeds = {}
    for i, entry in enumerate(vectors["requests"]):
        request = frame_of(entry)
        seeds[f"request_{i:02d}"] = bytes([request[0], 0, len(request)]) + request + bytes([5])
        if i % 3 == 0:  # the same without its CRC, which the harness then appends
            seeds[f"request_{i:02d}_crc_added"] = bytes([request[0], 2, len(request) - 2]) + \
                request[:-2] + bytes([5])
    mode = bytes.fromhex("01 06 00 03 00 03")
    report = bytes.fromhex("01 03 01 3d 00 01")
    seeds["mode_then_report"] = bytes([1, 0, 8]) + mode + crc(mode) + bytes([20, 8]) + report + \
        crc(report) + bytes([0])
    broadcast = bytes.fromhex("00 06 00 03 00 02")
    seeds["broadcast"] = bytes([1, 0, 8]) + broadcast + crc(broadcast) + bytes([0])
    unknown = bytes.fromhex("01 2b 0e 01 00")
    seeds["unknown_function"] = bytes([1, 0, 7]) + unknown + crc(unknown) + bytes([0])
    return seeds


# ---- fuzz_builders ----

def builder_seeds(vectors: dict) -> dict:
    seeds = {}
    for i, entry in enumerate(vectors["requests"]):
        r = frame_of(entry)
        function = r[1]
        if function == 3:
            body = bytes([0, r[0]]) + r[2:6] + bytes([0])
        elif function == 6:
            body = bytes([1, r[0]]) + r[2:6] + bytes([0])
        elif function == 16:
            body = bytes([2, r[0]]) + r[2:6] + bytes([0]) + r[7:-2]
        elif function == 23:
            body = bytes([3, r[0]]) + r[2:10] + bytes([0]) + r[11:-2]
        else:
            body = bytes([4, r[0]]) + r[2:7]
        seeds[f"request_{i:02d}"] = body
    for i, entry in enumerate(vectors["crc"]):
        seeds[f"crc_{i}"] = bytes([5]) + entry["ascii"].encode()
    for i, entry in enumerate(vectors["responses"]):
        seeds[f"response_{i}"] = bytes([7]) + frame_of(entry)
    seeds["raw_frame"] = bytes([6, 1, 3, 0, 4, 2, 0, 0, 0, 1])
    seeds["raw_frame_negative"] = bytes([6, 1, 3, 0xFF, 0xFF, 0])
    return seeds


# ---- fuzz_engine inputs of the faults found (fuzz/findings/README.md) ----

def with_crc(frame: bytes) -> bytes:
    return frame + crc(frame)


def finding_inputs() -> dict:
    zero_interframe = bytes([0, 0, 4, 5])  # Actuator at address 1, interframe delay 0
    broadcast = bytes([0, 3, 4, 1])  # Actuator at address 0
    return {
        "read_byte_count_unchecked": ACTUATOR + delivered_after_send(bytes.fromhex(
            "01 03 00 00 00 19 84")) + bytes([READ_ONE, 0]) + u16(0),
        "read_write_byte_count_unchecked": ACTUATOR + delivered_after_send(with_crc(bytes.fromhex(
            "01 17 04"))) + bytes([READ_WRITE, 0]) + u16(0) + bytes([0]) + u16(0) + bytes([0, 0]),
        "stale_bytes_taken_as_answer": zero_interframe + stream(5) + bytes([DELIVER_NOW, 7]) +
        with_crc(bytes.fromhex("01 03 02 00 2a")) + bytes([READ_ONE, 0]) + u16(0),
        "broadcast_read_succeeds": broadcast + bytes([READ_ONE, 0]) + u16(317),
        "write_echo_unchecked": ACTUATOR + delivered_after_send(with_crc(bytes.fromhex(
            "01 06 00 04 00 02"))) + bytes([WRITE_ONE, 0]) + u16(3) + u16(2),
        "function_code_unchecked": CLIENT + delivered_after_send(with_crc(bytes.fromhex(
            "01 04 02 00 2a"))) + bytes([READ_ONE, 3]) + u16(0),
        "broadcast_fails_on_stray_byte": broadcast + delivered_after_send(b"\x00") + bytes(
            [WRITE_ONE, 1]) + u16(3) + u16(2),
        "drained_bytes_uncounted": CLIENT + bytes([DELIVER_NOW, 3, 0xAA, 0xBB, 0xCC, READ_ONE, 3]) +
        u16(0),
        "no_recovery_after_failure": CLIENT + answer(BAD_CRC, 0, 1) + bytes([READ_ONE, 2]) + u16(0),
        "timeout_counts_from_hand_over": bytes([1, 0, 4, 0]) + bytes([READ_ONE, 3]) + u16(0),
    }


def main() -> None:
    vectors_path = pathlib.Path(sys.argv[1]) if len(sys.argv) > 1 else DEFAULT_VECTORS
    vectors = json.loads(vectors_path.read_text())
    for harness, seeds in (("fuzz_engine", engine_seeds(vectors)),
                           ("fuzz_device_model", device_seeds(vectors)),
                           ("fuzz_builders", builder_seeds(vectors))):
        folder = HERE / "corpus" / harness
        shutil.rmtree(folder, ignore_errors=True)
        folder.mkdir(parents=True)
        for name, data in seeds.items():
            (folder / name).write_bytes(data)
        print(f"{harness}: {len(seeds)} seeds")
    findings = HERE / "findings"
    findings.mkdir(exist_ok=True)
    for name, data in finding_inputs().items():
        (findings / name).write_bytes(data)
    print(f"findings: {len(finding_inputs())} inputs")


if __name__ == "__main__":
    main()
