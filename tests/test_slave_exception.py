"""SlaveException: the attributes of an exception answer and its one-line text."""
import enum
import re

import pytest

from qel_modbus import SlaveException

TEXT = "modbus slave reports an exception. station: {}, function code: {}, error code: {}"


class Station(enum.IntEnum):
    TEN = 10


@pytest.mark.parametrize("args, kwargs, attributes", [
    ((1, 0x83, 2), {}, (1, 3, 2)), ((17, 0x90, 4), {}, (17, 16, 4)), ((1, 3, 1), {}, (1, 3, 1)),
    ((0, 0xFF, 0), {}, (0, 0x7F, 0)), ((1, 0x180, 1), {}, (1, 0, 1)), (("s", 2 ** 70 + 0x85, None), {}, ("s", 5, None)),
    ((True, True, False), {}, (True, 1, False)), ((17, 0x90), {"error_code": 4}, (17, 16, 4)),
    ((), {"error_code": 2, "function_code": 0x83, "station": 1}, (1, 3, 2)),
])
def test_attributes_and_args(args, kwargs, attributes):
    e = SlaveException(*args, **kwargs)
    assert (e.station, e.function_code, e.error_code) == attributes and type(e.function_code) is int
    assert e.station is (args + (kwargs.get("station"),))[0]
    assert e.args == args  # only what was passed by position, high bit kept
    assert vars(e) == dict(zip(("station", "function_code", "error_code"), attributes))


@pytest.mark.parametrize("args, text", [
    ((1, 0x83, 2), TEXT.format(1, 3, 2)), ((247, 0x86, 11), TEXT.format(247, 6, 11)), ((0, 0, 0), TEXT.format(0, 0, 0)),
    ((-5, 3, -1), TEXT.format(-5, 3, -1)), ((2 ** 70, 3, 2), TEXT.format(2 ** 70, 3, 2)),
    ((1.9, 3, -2.7), TEXT.format(1, 3, -2)), ((True, True, False), TEXT.format(1, 1, 0)),
    ((Station.TEN, 3, Station.TEN), TEXT.format(10, 3, 10)),
])
def test_text(args, text):
    e = SlaveException(*args)
    assert str(e) == repr(e) == e.__str__() == e.__repr__() == text
    assert SlaveException.__dict__["__repr__"] is SlaveException.__dict__["__str__"]


@pytest.mark.parametrize("attribute", ["station", "function_code", "error_code"])
@pytest.mark.parametrize("value", ["1", None, b"1", [1]])
def test_text_needs_integers(attribute, value):
    e = SlaveException(1, 3, 2)
    setattr(e, attribute, value)
    for render in (str, repr):
        with pytest.raises(TypeError, match=re.escape("an integer is required")):
            render(e)


def test_text_reads_the_attributes_at_each_call():
    e = SlaveException(1, 0x83, 2)
    e.error_code, e.station, e.function_code = 4, 9, 0x90  # only the constructor masks
    assert str(e) == TEXT.format(9, 144, 4)
    del e.station
    with pytest.raises(AttributeError):
        str(e)


@pytest.mark.parametrize("function_code, type_name", [("x", "str"), (None, "NoneType"), (1.5, "float")])
def test_function_code_must_support_and(function_code, type_name):
    with pytest.raises(TypeError, match=re.escape(f"unsupported operand type(s) for &: '{type_name}' and 'int'")):
        SlaveException(1, function_code, 2)


def test_caught_as_exception_not_as_ioerror():
    with pytest.raises(SlaveException) as caught:
        try:
            raise SlaveException(1, 0x83, 2)
        except OSError:  # a time-out handler must let it through
            pytest.fail("caught as OSError")
    assert isinstance(caught.value, Exception) and not issubclass(SlaveException, OSError)


def test_init_through_the_class_by_keyword():
    e = SlaveException(1, 3, 2)
    assert SlaveException.__init__(self=e, station=5, function_code=0x86, error_code=1) is None
    assert (e.station, e.function_code, e.error_code, e.args) == (5, 6, 1, (1, 3, 2))


@pytest.mark.parametrize("call, message", [
    (lambda: SlaveException(1, 2), "__init__() takes exactly 4 positional arguments (3 given)"),
    (lambda: SlaveException(), "__init__() takes exactly 4 positional arguments (1 given)"),
    (lambda: SlaveException(1, 2, 3, 4), "__init__() takes exactly 4 positional arguments (5 given)"),
    (lambda: SlaveException(1, function_code=2), "__init__() takes exactly 4 positional arguments (3 given)"),
    (lambda: SlaveException(1, 2, 3, station=1), "__init__() got multiple values for keyword argument 'station'"),
    (lambda: SlaveException(1, 2, 3, code=1), "__init__() got an unexpected keyword argument 'code'"),
    (lambda: SlaveException.__init__(station=1, function_code=2, error_code=3),
     "__init__() takes exactly 4 positional arguments (0 given)"),
    (lambda: SlaveException(1, 2, 3).__str__(1), "__str__() takes exactly one argument (2 given)"),
    (lambda: SlaveException(1, 2, 3).__repr__(x=1), "__str__() takes no keyword arguments"),
])
def test_binding_errors(call, message):
    with pytest.raises(TypeError, match=re.escape(message)):
        call()
