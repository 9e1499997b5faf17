#!/usr/bin/env python3
"""Fuzzes the codec (ModbusStatic's register and CRC helpers, _byte_array,
SlaveException) with arbitrary Python objects, bound by position or by
keyword, against pure-Python definitions of the same functions: same
result, or an exception of the same type.

    python3 -m fuzz.fuzz_codec [libFuzzer flags] [corpus dirs]
"""

import array
import functools
import sys

import qel_modbus as qm
from fuzz.common import Input, any_object, check_allowed, check_same, fresh, outcome, run
from tests.support import crc_bytes

ModbusStatic, SlaveException = qm.ModbusStatic, qm.SlaveException
# Bad objects raise what Python's own operators and memoryview raise for
# them; LookupError comes from the arguments' own methods.
ALLOWED = (TypeError, ValueError, OverflowError, LookupError, NotImplementedError, MemoryError)


def positional_only(fn):
    """`def fn(x, /)`, written so that Python 3.6 and 3.7 can read it."""
    @functools.wraps(fn)
    def one_argument(*args, **kwargs):
        if kwargs or len(args) != 1:
            raise TypeError(f"{fn.__name__}() takes exactly one positional argument")
        return fn(args[0])
    return one_argument


@positional_only
def split_register(value):
    return (value >> 8) & 0xFF, value & 0xFF


def compound_register(high, low):
    return (high << 8) + low


def calculate_crc(string, beg=0, end=None):
    if isinstance(string, str):
        string = [ord(c) for c in string]
    elif not hasattr(type(string), "__getitem__"):
        raise TypeError(f"'{type(string).__name__}' object is unsliceable")
    return crc_bytes(string[beg:end])


@positional_only
def crc_is_right(string):
    end = len(string) - 2
    if end < 0:
        return False
    low, high = calculate_crc(string, 0, end)
    same = low == string[end]
    return same if not same else high == string[end + 1]


@positional_only
def byte_array(iterable):
    return array.array("B", iterable)


def as_integer(v):
    if type(v) is int:
        return v
    if not (hasattr(type(v), "__int__") or hasattr(type(v), "__index__")):
        raise TypeError("an integer is required")
    return int(v)


def slave_exception_text(station, function_code, error_code):
    function_code = function_code & 0x7F
    return (f"modbus slave reports an exception. station: {as_integer(station)}, "
            f"function code: {as_integer(function_code)}, error code: {as_integer(error_code)}")


def slave_exception_real(station, function_code, error_code):
    e = SlaveException(station, function_code, error_code)
    text = str(e)
    assert repr(e) == text
    return text


FUNCTIONS = [
    (ModbusStatic.split_register, split_register, ["value"]),
    (ModbusStatic.compound_register, compound_register, ["high", "low"]),
    (ModbusStatic.calculate_crc, calculate_crc, ["string", "beg", "end"]),
    (ModbusStatic.crc_is_right, crc_is_right, ["string"]),
    (qm._byte_array, byte_array, ["iterable"]),
    (slave_exception_real, slave_exception_text, ["station", "function_code", "error_code"]),
]


def bound_index(inp):
    return inp.pick([None, 0, 1, 2, -1, -2, -3, 5, 100, -100, 2 ** 70, True]) if not inp.flag(8) else any_object(inp)


def argument(inp, name):
    if name in ("beg", "end"):
        return bound_index(inp)
    if name in ("string", "iterable") and inp.flag(3):
        frame = inp.take(inp.below(24))
        return inp.pick([bytes, bytearray, list, tuple, lambda b: array.array("B", b), memoryview,
                         lambda b: b.decode("latin-1")])(frame)
    return any_object(inp)


def test_one_input(data):
    inp = Input(data)
    for _ in range(1 + inp.below(4)):
        real, model, names = inp.pick(FUNCTIONS)
        values = [argument(inp, n) for n in names]
        # Mostly a correct binding; sometimes too few or too many arguments,
        # keywords for positional-only parameters, or unknown keywords.
        npos = len(names) if not inp.flag(6) else inp.below(len(names) + 2)
        args = values[:npos] + [any_object(inp) for _ in range(npos - len(names))]
        kwargs = {n: v for n, v in zip(names[npos:], values[npos:]) if not inp.flag(8)}
        if inp.flag(12):
            kwargs[inp.pick(names + ["bogus", "self"])] = any_object(inp)
        if real is slave_exception_real and (len(args) + len(kwargs) != 3 or len(args) > 3 or
                                             set(kwargs) - set(names[len(args):])):
            continue  # a binding error there is Python's own, not the module's
        what = f"{model.__name__}(*{args!r}, **{kwargs!r})"
        got = outcome(real, *fresh(args), **kwargs)
        check_allowed(got, ALLOWED, what)
        want = outcome(model, *fresh(args), **kwargs)
        check_same(got, want, lambda e: False, what)


if __name__ == "__main__":
    run(test_one_input, sys.argv)
