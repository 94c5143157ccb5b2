"""What each frame of a traffic log means: function, registers and values, the stream
command's mode and set-point, the telemetry of a stream answer, exception codes, the CRC.

A response is read against the request just before it in the log (the engine has one
exchange on the line at a time), which gives a read's values their register addresses.
"""

import struct
from dataclasses import dataclass, field, fields
from typing import Dict, List, Optional, Sequence, Tuple

import _ferrun
from ferrun.traffic_log import RX, TX, Frame

# What the wire carries comes from the SDK itself (sdk/modbus/wire), so that the log tools
# never keep tables of their own.
READ_HOLDING_REGISTERS = _ferrun.READ_HOLDING_REGISTERS
WRITE_SINGLE_REGISTER = _ferrun.WRITE_SINGLE_REGISTER
WRITE_MULTIPLE_REGISTERS = _ferrun.WRITE_MULTIPLE_REGISTERS
READ_WRITE_MULTIPLE_REGISTERS = _ferrun.READ_WRITE_MULTIPLE_REGISTERS
STREAM_COMMAND = _ferrun.STREAM_COMMAND
STREAM_RESPONSE_LENGTH = _ferrun.STREAM_RESPONSE_LENGTH

FUNCTION_NAMES = _ferrun.function_names()

# The unit of each mode's set-point in a stream command (None: the value is not used).
_SETPOINT_UNITS = {"force": "mN", "position": "um", "haptic": "effects"}
# Sub-function of the stream command: the mode it drives and the unit of its set-point.
STREAM_MODES: Dict[int, Tuple[str, Optional[str]]] = {
    sub: (mode, _SETPOINT_UNITS.get(mode)) for sub, mode in _ferrun.stream_mode_names().items()
}

EXCEPTION_NAMES = _ferrun.exception_names()

_MODE_REGISTERS = ("mode_command", "mode_report")


def _snake_name(constant: str) -> str:
    """``kModeCommand`` -> ``mode_command``, ``kBlock133`` -> ``block_133``."""
    if len(constant) > 1 and constant[0] == "k" and constant[1].isupper():
        constant = constant[1:]
    words: List[str] = []
    for i, char in enumerate(constant):
        boundary = char.isupper() or (char.isdigit() and i > 0 and not constant[i - 1].isdigit())
        if boundary and i > 0:
            words.append("_")
        words.append(char.lower())
    return "".join(words)


def register_names() -> Dict[int, str]:
    """Names of the registers the Actuator's commands use, by address, as the SDK's register
    map names them."""
    return {int(address): _snake_name(str(name))
            for address, name in _ferrun.register_names().items()}


def mode_names() -> Dict[int, str]:
    return {int(mode): name for name, mode in _ferrun.MotorMode.__members__.items()}


def crc16(data: bytes) -> int:
    """CRC-16/MODBUS of ``data``; it goes on the wire low byte first."""
    return _ferrun.crc16(bytes(data))


def crc_status(data: bytes) -> str:
    if len(data) < 3:
        return "none"
    crc = crc16(data[:-2])
    return "ok" if data[-2] == crc & 0xFF and data[-1] == crc >> 8 else "bad"


def stream_setpoint(data: bytes) -> Optional[Tuple[int, int]]:
    """(sub-function, signed value) of a stream command frame, or None."""
    if len(data) != 9 or data[1] != STREAM_COMMAND:
        return None
    return data[2], struct.unpack_from(">i", data, 3)[0]


def stream_telemetry(data: bytes) -> Optional[Tuple[int, int, int, int, int, int]]:
    """(position um, force mN, power W, temperature C, voltage mV, error bits) of a stream
    response frame, or None when the frame is not one."""
    if len(data) != STREAM_RESPONSE_LENGTH or data[1] != STREAM_COMMAND:
        return None
    t = _ferrun.decode_telemetry(bytes(data))
    return t.position, t.force, t.power, t.temperature, t.voltage, t.errors


@dataclass
class DecodedFrame:
    """One frame's meaning; the fields are also the columns of ``ferrun log decode --csv``."""

    line: int
    time_ms: float
    direction: str
    address: Optional[int] = None
    function: str = ""
    read_start: Optional[int] = None
    read_count: Optional[int] = None
    read_values: List[int] = field(default_factory=list)
    write_start: Optional[int] = None
    write_count: Optional[int] = None
    write_values: List[int] = field(default_factory=list)
    registers: List[str] = field(default_factory=list)  # names of the named registers touched
    mode: str = ""
    setpoint: Optional[int] = None
    position_um: Optional[int] = None
    force_mN: Optional[int] = None
    power_W: Optional[int] = None
    temperature_C: Optional[int] = None
    voltage_mV: Optional[int] = None
    errors: Optional[int] = None
    exception_code: Optional[int] = None
    exception: str = ""
    layout: str = "ok"  # "ok", "none" (no bytes) or why the bytes do not form the frame
    crc: str = "none"
    failure: str = ""
    frame: str = ""


CSV_COLUMNS = [f.name for f in fields(DecodedFrame)]


def _u16s(data: bytes) -> List[int]:
    return [int.from_bytes(data[i:i + 2], "big") for i in range(0, len(data) - 1, 2)]


class LogDecoder:
    """Decodes frames in log order, remembering the request each response answers."""

    def __init__(self) -> None:
        self.names = register_names()
        self.modes = mode_names()
        self.origin_us: Optional[int] = None
        self.request: Optional[bytes] = None

    def decode(self, frame: Frame) -> DecodedFrame:
        if self.origin_us is None:
            self.origin_us = frame.time_us
        d = DecodedFrame(frame.line, (frame.time_us - self.origin_us) / 1000.0, frame.direction,
                         crc=crc_status(frame.data), failure=frame.failure.strip(),
                         frame=frame.data.hex(" "))
        data = frame.data
        request = self.request if frame.direction == RX else None
        self.request = data if frame.direction == TX else None
        if not data:
            d.layout = "none"
            if request is not None:
                d.function = self.function_name(request[1])
            return d
        d.address = data[0]
        if len(data) < 2:
            d.layout = "cut short"
            return d
        d.function = self.function_name(data[1] & 0x7F if frame.direction == RX else data[1])
        try:
            if frame.direction == TX:
                self._request(d, data)
            else:
                self._response(d, data, request)
        except (IndexError, ValueError, struct.error):
            d.layout = "cut short"
        return d

    @staticmethod
    def function_name(code: int) -> str:
        return FUNCTION_NAMES.get(code, f"function {code}")

    def _named(self, d: DecodedFrame, start: int, count: int) -> None:
        d.registers += [self.names[a] for a in range(start, start + count) if a in self.names]

    def _request(self, d: DecodedFrame, data: bytes) -> None:
        code, body = data[1], data[2:-2]
        if code == READ_HOLDING_REGISTERS:
            d.read_start, d.read_count = _u16s(body[:4])
            self._expect(d, body, 4)
        elif code == WRITE_SINGLE_REGISTER:
            d.write_start, value = _u16s(body[:4])
            d.write_count, d.write_values = 1, [value]
            self._expect(d, body, 4)
        elif code == WRITE_MULTIPLE_REGISTERS:
            d.write_start, d.write_count = _u16s(body[:4])
            d.write_values = _u16s(body[5:])
            self._expect(d, body, 5 + 2 * d.write_count)
        elif code == READ_WRITE_MULTIPLE_REGISTERS:
            d.read_start, d.read_count, d.write_start, d.write_count = _u16s(body[:8])
            d.write_values = _u16s(body[9:])
            self._expect(d, body, 9 + 2 * d.write_count)
        elif code == STREAM_COMMAND:
            self._expect(d, body, 5)
            setpoint = stream_setpoint(data)
            if setpoint is not None:
                sub, d.setpoint = setpoint
                d.mode = STREAM_MODES.get(sub, (f"sub-function {sub}", None))[0]
            return
        else:
            d.layout = "unknown function"
            return
        if d.read_start is not None and d.read_count is not None:
            self._named(d, d.read_start, d.read_count)
        if d.write_start is not None and d.write_count is not None:
            self._named(d, d.write_start, d.write_count)

    def _response(self, d: DecodedFrame, data: bytes, request: Optional[bytes]) -> None:
        code, body = data[1], data[2:-2]
        asked = request[1] if request is not None and len(request) > 1 else None
        if code & 0x80:
            d.exception_code = data[2]
            d.exception = EXCEPTION_NAMES.get(d.exception_code, "unknown exception")
            self._expect(d, body, 1)
            return
        if code in (READ_HOLDING_REGISTERS, READ_WRITE_MULTIPLE_REGISTERS):
            byte_count = body[0]
            d.read_values = _u16s(body[1:1 + byte_count])
            d.read_count = len(d.read_values)
            if request is not None and asked == code:
                d.read_start = _u16s(request[2:4])[0]
                self._named(d, d.read_start, d.read_count)
            self._expect(d, body, 1 + byte_count)
        elif code in (WRITE_SINGLE_REGISTER, WRITE_MULTIPLE_REGISTERS):
            start, second = _u16s(body[:4])
            d.write_start = start
            if code == WRITE_SINGLE_REGISTER:
                d.write_count, d.write_values = 1, [second]
            else:
                d.write_count = second
            self._named(d, start, d.write_count)
            self._expect(d, body, 4)
        elif code == STREAM_COMMAND:
            telemetry = stream_telemetry(data)
            if telemetry is None:
                d.layout = "not 19 bytes"
                return
            (d.position_um, d.force_mN, d.power_W, d.temperature_C, d.voltage_mV,
             d.errors) = telemetry
        else:
            d.layout = "unknown function"

    @staticmethod
    def _expect(d: DecodedFrame, body: bytes, length: int) -> None:
        if len(body) != length:
            d.layout = f"{len(body) + 4} bytes, not {length + 4}"


# ---- one line of text per frame ----

def _register_text(names: Dict[int, str], modes: Dict[int, str], start: Optional[int],
                   values: Sequence[int]) -> str:
    if not values:
        return ""
    if start is None:  # a response without its request: no addresses
        return "values " + ", ".join(str(value) for value in values)
    parts = []
    for i, value in enumerate(values):
        address = start + i
        name = names.get(address)
        text = f"{address} {name}={value}" if name else f"{address}={value}"
        if name in _MODE_REGISTERS and value in modes:
            text += f" ({modes[value]})"
        parts.append(text)
    return ", ".join(parts)


def _range_text(names: Dict[int, str], start: int, count: int) -> str:
    text = f"{start}" if count == 1 else f"{start}..{start + count - 1}" if count else "none"
    named = [names[a] for a in range(start, start + count) if a in names]
    return text + (f" ({', '.join(named)})" if named else "")


def describe(d: DecodedFrame, names: Dict[int, str], modes: Dict[int, str]) -> str:
    """What the frame means, in a few words."""
    if d.layout == "none":
        return "no response"
    if d.layout != "ok":
        return f"{d.layout}: {d.frame}"
    if d.exception_code is not None:
        return f"exception {d.exception_code} ({d.exception})"
    if d.position_um is not None:
        return (f"position {d.position_um} um, force {d.force_mN} mN, power {d.power_W} W, "
                f"temperature {d.temperature_C} C, voltage {d.voltage_mV} mV, "
                f"errors 0x{d.errors or 0:04x}")
    if d.mode:
        unit = next((u for m, u in STREAM_MODES.values() if m == d.mode), None)
        if unit == "effects":
            return f"{d.mode} mode, effects 0x{(d.setpoint or 0) & 0xFFFFFFFF:x}"
        if unit is not None:
            return f"{d.mode} mode, set-point {d.setpoint} {unit}"
        return f"{d.mode} mode"
    parts = []
    if d.read_values or (d.direction == RX and d.read_count is not None):
        parts.append(_register_text(names, modes, d.read_start, d.read_values) or "no values")
    elif d.read_start is not None and d.read_count is not None:
        parts.append("read " + _range_text(names, d.read_start, d.read_count))
    if d.write_values:
        parts.append(_register_text(names, modes, d.write_start, d.write_values))
    elif d.write_start is not None and d.write_count is not None:
        parts.append("wrote " + _range_text(names, d.write_start, d.write_count))
    return ", ".join(parts)


def format_line(d: DecodedFrame, names: Dict[int, str], modes: Dict[int, str]) -> str:
    address = "-" if d.address is None else str(d.address)
    text = (f"{d.time_ms:12.3f}  {d.direction}  {address:>3}  {d.function or '-':29}  "
            f"{describe(d, names, modes)}  CRC {d.crc}")
    return text + (f"  {d.failure}" if d.failure else "")


def csv_row(d: DecodedFrame) -> List[str]:
    row = []
    for name in CSV_COLUMNS:
        value = getattr(d, name)
        if isinstance(value, list):
            row.append(" ".join(str(v) for v in value))
        elif value is None:
            row.append("")
        elif isinstance(value, float):
            row.append(f"{value:.3f}")
        else:
            row.append(str(value))
    return row
