import gc
import re

import pytest

import _ferrun
from _ferrun import MessagePriority, MotorMode, ZelkError


def test_module_contents_in_registration_order():
    assert _ferrun.__doc__ == "Python binding for the C++ zelkSDK"
    names = [n for n in vars(_ferrun) if not n.startswith("_")]
    classes = [n for n in names if isinstance(getattr(_ferrun, n), type)]
    assert classes == [
        "StreamData", "MotorMode", "ZelkError", "ZelkResultInt32", "ZelkResultInt16",
        "ZelkResultUInt16", "ZelkResultList", "ZelkResultMotorMode", "MessagePriority",
        "Streaming", "Bus", "Actuator", "RecordingBuffer",
    ]
    assert _ferrun.ForceMode is MotorMode.ForceMode
    assert _ferrun.KinematicMode is MotorMode.KinematicMode
    assert _ferrun.important is MessagePriority.important
    assert _ferrun.not_important is MessagePriority.not_important


# pybind11's own lines: signatures, the overload heading, an enum's bare member list.
GENERATED = re.compile(r"(\d+\. )?\w+\((.*\) -> .*|\*args, \*\*kwargs\))$|Overloaded function\.$"
                       r"|Members:$|  \w+$")


def says_something(thing):
    return any(line.strip() and not GENERATED.match(line) for line in (thing.__doc__ or "").splitlines())


def test_every_public_class_method_and_property_says_what_it_does():
    public = [(name, thing) for name, thing in vars(_ferrun).items()
              if not name.startswith("_") and callable(thing)]
    for name, cls in list(public):
        if isinstance(cls, type) and not hasattr(cls, "__members__"):  # enum methods are pybind11's
            public += [(f"{name}.{n}", member) for n, member in vars(cls).items()
                       if (n == "__init__" or not n.startswith("_"))
                       and not isinstance(member, type(object.__init__))]  # no constructor
    assert [name for name, thing in public if not says_something(thing)] == []


@pytest.mark.parametrize(
    "error, truth, text, shown",
    [
        (ZelkError(0), False, "", "<ZelkError failure=0, message=''>"),
        (ZelkError(64, "Wrong CRC. "), True, "Wrong CRC. ", "<ZelkError failure=1, message='Wrong CRC. '>"),
        (ZelkError(-1), True, "", "<ZelkError failure=1, message=''>"),
        (ZelkError(0, "note"), False, "note", "<ZelkError failure=0, message='note'>"),
        (ZelkError(1, "it's\nhere"), True, "it's\nhere", "<ZelkError failure=1, message='it's\nhere'>"),
        (ZelkError(failure_type=1), True, "", "<ZelkError failure=1, message=''>"),
    ],
)
def test_zelk_error(error, truth, text, shown):
    assert bool(error) is truth
    assert error.what() == text
    assert repr(error) == shown
    assert str(error) == repr(error)


@pytest.mark.parametrize("args", [(), ("1",), (1.5,), (None,)])
def test_zelk_error_rejects_bad_arguments(args):
    with pytest.raises(TypeError):
        ZelkError(*args)


def test_errors_compare_by_identity():
    assert ZelkError(0) != ZelkError(0)


def test_enumerations():
    assert MotorMode.PositionMode == 3
    assert MotorMode(2) == MotorMode.ForceMode and MotorMode(2) is not MotorMode.ForceMode
    assert MotorMode(6).name == "???" and int(MotorMode(6)) == 6
    assert MotorMode(0).name == "???"
    assert not (MessagePriority.not_important == 1)
    assert MessagePriority.important != 0
    assert int(MessagePriority.not_important) == 1
    assert str(MotorMode.ForceMode) == "MotorMode.ForceMode"
    assert repr(MotorMode.ForceMode) == "<MotorMode.ForceMode: 2>"
    assert hash(MotorMode.HapticMode) == 4
    assert set(MotorMode.__members__) == {
        "SleepMode", "ForceMode", "PositionMode", "HapticMode", "KinematicMode"}
    with pytest.raises(TypeError):
        MotorMode.ForceMode < MotorMode.HapticMode  # noqa: B015


@pytest.mark.parametrize(
    "cls",
    [_ferrun.StreamData, _ferrun.ZelkResultInt32, _ferrun.ZelkResultInt16,
     _ferrun.ZelkResultUInt16, _ferrun.ZelkResultList, _ferrun.ZelkResultMotorMode],
)
def test_value_classes_have_no_constructor(cls):
    with pytest.raises(TypeError, match=f"_ferrun.{cls.__name__}: No constructor defined!"):
        cls()


def test_stream_data_property_ranges():
    data = _ferrun.Actuator("x").get_stream_data()
    assert (data.position, data.force, data.power, data.temperature, data.voltage, data.errors) == (
        0, 0, 0, 0, 0, 0)
    data.temperature = -1
    assert data.temperature == -1
    data.position = -2147483648
    for name, bad in [("power", 65536), ("voltage", 1.5), ("errors", -1), ("force", 2**31),
                      ("temperature", None), ("position", "1")]:
        before = getattr(data, name)
        with pytest.raises(TypeError):
            setattr(data, name, bad)
        assert getattr(data, name) == before
    with pytest.raises(AttributeError):
        data.other = 1


def test_result_views_and_lists():
    result = _ferrun.Actuator("x").read_multiple_registers_blocking(0, 0)
    assert isinstance(result, _ferrun.ZelkResultList)
    first, second = result.value, result.value
    assert first == second == [] and first is not second
    result.value = [1, 2, 3]
    assert result.value == [1, 2, 3]
    got = result.value
    got.append(4)
    assert result.value == [1, 2, 3]
    with pytest.raises(TypeError):
        result.value = [70000]
    view = result.error
    result.error = ZelkError(1, "late")
    assert view.what() == "late"  # a view of the field, not a copy
    with pytest.raises(TypeError):
        result.error = 1
    del result
    gc.collect()
    assert bool(view) and view.what() == "late"  # the view keeps its owner alive


def test_the_wire_format_comes_from_the_sdk():
    assert _ferrun.crc16(b"123456789") == 0x4B37
    answer = bytes.fromhex("016400000100fffffffe000ac85dc00001f778")
    assert _ferrun.crc_ok(answer) and not _ferrun.crc_ok(answer[:-1] + b"\x00")
    telemetry = _ferrun.decode_telemetry(answer)
    assert (telemetry.position, telemetry.force, telemetry.temperature) == (256, -2, 200)
    with pytest.raises(ValueError):
        _ferrun.decode_telemetry(answer[:-1])
    assert _ferrun.wire_time_us(8, 19200) == 4584
    for characters, baud in ((10**13, 9600), (-5, 9600), (8, 0), (8, -9600)):
        with pytest.raises(ValueError):
            _ferrun.wire_time_us(characters, baud)
    assert _ferrun.exception_names()[6] == "server device busy"
    assert _ferrun.failure_table()[0] == (
        0x10, "Response timed out, the motor took too long to respond. ", "Timed out. ",
        "timed out")
