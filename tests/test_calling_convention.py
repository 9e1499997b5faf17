"""What every function shows before its body runs: names, defaults,
annotations, docstrings, binding and its TypeError texts, conversions."""
import array
import ast
import ctypes
import math
import re
import sys
import socket

import pytest

import qel_modbus
from qel_modbus import ModbusStatic
from tests.support import SilentChannel

# class  member[/member...]  kind  parameters "name: ann=default" [-> ann], or the alias target
MEMBER_TABLE = """
- _byte_array function iterable: Iterable
ModbusStatic split_register static value
ModbusStatic compound_register static high, low
ModbusStatic calculate_crc static string, beg=0, end=None
ModbusStatic crc_is_right static string
SlaveException __init__ method self, station, function_code, error_code
SlaveException __str__ method self
SlaveException __repr__ alias __str__
TCPTunnel __init__ method self, host: str, port: int, timeout: float=1.0
TCPTunnel read method self, size: int=1
TCPTunnel write method self, data: BytesLike -> int
TCPTunnel in_waiting getter self -> int
TCPTunnel timeout getter self -> float
TCPTunnel timeout setter self, value: float
TCPTunnel close/__enter__ method self
TCPTunnel __exit__ method self, exc_type, exc_val, exc_tb
Master __init__ method self, tunnel: Channel, timeout: float=1
Master close/__enter__ method self
Master __exit__ method self, exc_type, exc_val, exc_tb
Master timeout getter self -> float
Master timeout setter self, value: float
Master write_register method self, station, address, value
Master write_registers method self, station, address, values
Master send_write_register_request method self, station, address, value
Master send_write_registers_request method self, station, address, values
Master write_coil/send_write_coil_request method self, station, address, value
Master read_register method self, station: int, address: int, func_code: int=3
Master read_registers method self, station: int, address: int, count: int, func_code: int=3
Master read_input_register method self, station: int, address: int
Master read_input_registers method self, station, address: int, count: int
Master read_int16 method self, station: int, address: int
Master read_uint16 alias read_register
Master write_int16/write_uint16 alias write_register
Master __read_int32 method self, station: int, address: int, sign: str, endian: str
Master read_uint32/read_int32/read_float method self, station, address, endian: str=">"
Master __read_multi_int32 method self, station, address, count: int, sign: str, endian: str
Master read_multi_uint32/read_multi_int32/read_multi_float method self, station, address, count: int, endian: str=">"
Master __write_int32 method self, station, address, value, sign: str, endian: str
Master write_int32/write_uint32/write_float method self, station, address, value, endian: str=">"
Master __write_multi_int32 method self, station, address, values, sign: str, endian: str
Master write_multi_int32/write_multi_uint32/write_multi_float method self, station, address, values, endian: str=">"
Master __send_read_xx_registers_request method self, station: int, address: int, count: int, code: int
Master send_read_registers_request method self, station, address, count, func_code: int
Master send_read_input_registers_request method self, station, address, count
Master read_coil method self, station, address
Master __read_xx_coils method self, station, address, count: int, code: int
Master read_coils/read_input_coils method self, station, address, count
Master __send_read_xx_coils_request method self, station, address, count: int, code: int
Master send_read_coils_request/send_read_input_coils_request method self, station, address, count
Master __read method self, size=1
Master __feedback_assistant method self, station, normal_msg_len, check_crc=False
Master __write_message method self, message
Master __check_crc static message, station
FixMaster __init__ method self, tunnel, station: int=1, timeout: float=1
FixMaster station getter self -> int
FixMaster station setter self, value: int
FixMaster close/__enter__ method self
FixMaster __exit__ method self, exc_type, exc_val, exc_tb
FixMaster timeout getter self -> float
FixMaster timeout setter self, value: float
FixMaster send_write_coil_request method self, address: int, value: int
FixMaster send_write_registers_request method self, address: int, values: Sequence
FixMaster send_write_register_request method self, address: int, value: int
FixMaster send_read_coils_request method self, address: int, count: int
FixMaster send_read_registers_request method self, address: int, count: int, func_code: int=3
FixMaster write_register method self, address: int, value: int
FixMaster write_registers method self, address: int, values: Sequence
FixMaster write_coil method self, address: int, value: bool
FixMaster read_register method self, address: int
FixMaster read_registers method self, address: int, count: int, func_code: int=3
FixMaster read_coil method self, address: int
FixMaster read_coils method self, address: int, count: int
FixMaster read_int32/read_uint32 method self, address: int
FixMaster read_float method self, address
FixMaster write_int32/write_uint32 method self, address, value
FixMaster read_int16/read_uint16 method self, address
FixMaster write_int16/write_uint16 method self, address, value
ModbusTCPMaster __init__ method self, host: str, port: int, timeout: float=1.0
ModbusTCPMaster construct_read_coils_command static coil_type, address: int, count: int -> str
ModbusTCPMaster _query method self, command: str, needed_length: int
ModbusTCPMaster read_coils method self, coil_type, address: int, count: int
ModbusTCPMaster construct_write_coil_command static coil_type, address: int, value: bool -> str
ModbusTCPMaster write_coil method self, coil_type, address: int, value: bool
"""

SUMMARY = "根据指定的功能码，从指定的从站读取指定地址"
STATION, ADDRESS, COUNT = ":param station: 从站地址", ":param address: 寄存器地址", ":param count: 要读取的寄存器数量"
FUNC_CODE = ":param func_code: 功能码，默认为读取多个寄存器，3"
ONE_VALUE, VALUE_LIST = ":return: 16 位寄存器值（无符号）", ":return: 多个寄存器值（16位无符号整数）组成的列表"
DOC_LINES = {
    "Master.read_register": [SUMMARY + "的寄存器值。", STATION, ADDRESS, FUNC_CODE, ONE_VALUE],
    "Master.read_registers": [SUMMARY + "指定数量的寄存器值。", STATION, ADDRESS, COUNT, FUNC_CODE, VALUE_LIST],
    "Master.read_input_register": ["从指定的从站读取指定地址的“输入”寄存器值，只读取一个，使用确定的功能码 0x4",
                                   STATION, ADDRESS, ONE_VALUE],
    "Master.read_input_registers": ["使用确定的功能码 0x4，从指定的从站读取指定地址指定数量的寄存器（输入寄存器）值。",
                                    STATION, ADDRESS, COUNT, VALUE_LIST],
    "Master.__write_message": ["把组装好的报文写入到通道（如串口）。所有需要往通道写数据的函数都应该通过调用这个函数来执行写入。",
                               ":param message: 组装好的报文", ":return: No return"],
    "FixMaster.read_registers": ["根据指定的功能码，从预定的从站读取指定地址指定数量的寄存器值。", ADDRESS, COUNT, FUNC_CODE,
                                 VALUE_LIST],
}
ANNOTATIONS = {
    "int": lambda: "int", "float": lambda: "float", "str": lambda: "unicode", "bool": lambda: bool,
    "Iterable": lambda: qel_modbus._Iterable, "Sequence": lambda: qel_modbus._Sequence,
    "BytesLike": lambda: qel_modbus._Union[bytes, bytearray, array.array],
    "Channel": lambda: qel_modbus._Union[qel_modbus._Serial, qel_modbus.TCPTunnel],
}


class Row:
    def __init__(self, cls, name, kind, signature):
        self.cls, self.name, self.kind = cls, name, kind
        self.target = signature if kind == "alias" else None
        signature, _, ret = signature.partition(" -> ")
        self.params, self.defaults, self.ann = [], [], {"return": ret} if ret else {}
        for part in [] if self.target else signature.split(", "):
            part, has_default, default = part.partition("=")
            name, _, ann = part.partition(": ")
            self.params.append(name)
            self.defaults += [ast.literal_eval(default)] if has_default else []
            self.ann.update({name: ann} if ann else {})
        self.required = len(self.params) - len(self.defaults)
        self.private = self.name.startswith("__") and not self.name.endswith("__")
        self.stored = f"_{self.cls}{self.name}" if self.private else self.name
        self.id = f"{self.cls}.{self.name}" + ("=" if kind == "setter" else "")

    def function(self):
        """The function object; a missing member fails the test."""
        if self.cls == "-":
            return qel_modbus._byte_array
        entry = vars(getattr(qel_modbus, self.cls)).get(self.stored)
        fn = {"static": "__func__", "getter": "fget", "setter": "fset"}.get(self.kind)
        fn = getattr(entry, fn, None) if fn else entry
        assert fn is not None, f"{self.id} is missing"
        return fn


ROWS = [Row(cls, name, kind, sig)
        for cls, names, kind, sig in (line.split(" ", 3) for line in MEMBER_TABLE.split("\n")[1:-1])
        for name in names.split("/")]
FUNCTIONS = [r for r in ROWS if r.kind != "alias"]
ONE_PARAM, MULTI_PARAM = [r for r in FUNCTIONS if len(r.params) == 1], [r for r in FUNCTIONS if len(r.params) > 1]


def over(rows):
    return pytest.mark.parametrize("row", rows, ids=[r.id for r in rows])


def takes(name, bound, count, given):
    return f"{name}() takes {bound} {count} positional argument{'' if count == 1 else 's'} ({given} given)"


@over(FUNCTIONS)
def test_member(row):
    fn = row.function()
    assert (fn.__name__, fn.__module__) == (row.name, "qel_modbus")
    assert fn.__qualname__ == (row.name if row.cls == "-" else f"{row.cls}.{row.name}")
    assert fn.__defaults__ == (tuple(row.defaults) or None)
    assert [type(d) for d in fn.__defaults__ or ()] == [type(d) for d in row.defaults]
    assert fn.__annotations__ == {k: ANNOTATIONS[v]() for k, v in row.ann.items()}
    doc = DOC_LINES.get(f"{row.cls}.{row.name}")
    assert fn.__doc__ == ("".join("\n\t\t" + line for line in doc) + "\n\t\t" if doc else None)
    if row.cls == "-":
        return
    cls = getattr(qel_modbus, row.cls)
    entry = vars(cls)[row.stored]
    if row.private:
        assert row.name not in vars(cls) and not hasattr(cls, row.name)
    if row.kind in ("getter", "setter"):
        has_setter = any(r.id == f"{row.cls}.{row.name}=" for r in ROWS)
        assert type(entry) is property and entry.fdel is None and (entry.fset is not None) == has_setter
    else:
        assert type(entry) is (staticmethod if row.kind == "static" else type(fn)) and getattr(cls, row.stored) is fn
        probe = cls.__new__(cls)
        bound = getattr(probe, row.stored)
        assert bound is fn if row.kind == "static" else (bound.__self__, bound.__func__) == (probe, fn)


@over([r for r in ROWS if r.kind == "alias"])
def test_alias_is_the_same_object(row):
    entries = vars(getattr(qel_modbus, row.cls))
    assert row.name in entries and row.target in entries, f"{row.id} is missing"
    assert entries[row.name] is entries[row.target] and entries[row.name].__name__ == row.target


@pytest.mark.parametrize("cls", ["ModbusStatic", "SlaveException", "TCPTunnel", "Master", "FixMaster",
                                 "ModbusTCPMaster"])
def test_class_body_order(cls):
    expected = list(dict.fromkeys(r.stored for r in ROWS if r.cls == cls))
    if cls == "ModbusStatic":
        expected[:0] = [k for k in vars(ModbusStatic) if k.startswith("FC_") or k == "Default_Timeout"]
    got = [k for k in vars(getattr(qel_modbus, cls)) if k not in ("__module__", "__dict__", "__weakref__", "__doc__")]
    assert set(got) == set(expected), f"{cls}: missing {set(expected) - set(got)}, unexpected {set(got) - set(expected)}"
    assert got == expected


@over(ONE_PARAM)
def test_one_parameter_functions(row):
    fn = row.function()
    for args in [(), (1, 2), (1, 2, 3)]:
        with pytest.raises(TypeError, match=re.escape(f"{row.name}() takes exactly one argument ({len(args)} given)")):
            fn(*args)
    for args in [(1,), ()]:
        with pytest.raises(TypeError, match=re.escape(f"{row.name}() takes no keyword arguments")):
            fn(*args, **{row.params[0]: 1})


def vectorcall(fn, args, keywords):
    """A raw call: Python's own ** check would refuse non-text keys first."""
    signature = [ctypes.py_object, ctypes.c_void_p, ctypes.c_size_t, ctypes.py_object]
    if hasattr(ctypes.pythonapi, "PyObject_Vectorcall"):
        call = ctypes.pythonapi.PyObject_Vectorcall
        call.restype, call.argtypes = ctypes.py_object, signature
    elif sys.version_info >= (3, 8):
        # Not exported before 3.11: the function's own vectorcall entry,
        # the first field after the object header.
        entry = ctypes.c_void_p.from_address(id(fn) + object.__basicsize__).value
        call = ctypes.PYFUNCTYPE(*[ctypes.py_object] + signature)(entry)
    else:
        # No vectorcall before 3.8: tp_call with a dict reaches the same
        # binding code.
        call = ctypes.pythonapi.PyObject_Call
        call.restype = ctypes.py_object
        call.argtypes = [ctypes.py_object, ctypes.py_object, ctypes.py_object]
        return call(fn, tuple(args), dict(keywords))
    values = (ctypes.py_object * (len(args) + len(keywords)))(*args, *keywords.values())
    return call(fn, ctypes.cast(values, ctypes.c_void_p), len(args), tuple(keywords))


@over(MULTI_PARAM)
def test_binding_errors(row):
    fn, n, required, first = row.function(), len(row.params), row.required, row.params[0]
    many, few = ("exactly", "exactly") if not row.defaults else ("at most", "at least")
    required_args = [None] * required
    cases = [((n + 1) * [None], {}, takes(row.name, many, n, n + 1)),
             ([], dict.fromkeys(row.params[1:]), takes(row.name, few, required, 0)),  # self missing
             (required_args, {first: None}, f"{row.name}() got multiple values for keyword argument '{first}'"),
             (required_args, {"bogus": None}, f"{row.name}() got an unexpected keyword argument 'bogus'"),
             # the first bad keyword, in the order passed, decides
             (required_args, {"zz": None, first: None}, f"{row.name}() got an unexpected keyword argument 'zz'")]
    cases += [(given * [None], {}, takes(row.name, few, required, given)) for given in range(required)]
    if required >= 2:  # a missing parameter is reported before a stray keyword
        cases.append(((required - 1) * [None], {"bogus": None}, takes(row.name, few, required, required - 1)))
    for args, kwargs, message in cases:
        with pytest.raises(TypeError, match=re.escape(message)):
            fn(*args, **kwargs)
    with pytest.raises(TypeError, match=re.escape(f"{row.name}() keywords must be strings")):
        vectorcall(fn, required_args, {1: None})


@pytest.mark.parametrize("call, expected", [
    (lambda: ModbusStatic.compound_register(low=2, high=1), 258),
    (lambda: ModbusStatic.compound_register(1, low=2), 258),
    (lambda: ModbusStatic.calculate_crc(end=-2, string=b"\x01\x03\x00\x00\x00\x01\x84\x0a"), (0x84, 0x0A)),
    (lambda: ModbusStatic.calculate_crc(b"\x01\x03\x00\x00\x00\x01", beg=None), (0x84, 0x0A)),
    (lambda: ModbusStatic.calculate_crc(b"\x01\x03\x00\x00\x00\x01", **{"e" + "nd": 6}), (0x84, 0x0A)),  # not interned
    (lambda: vectorcall(ModbusStatic.calculate_crc, [b"\x01\x03\x00\x00\x00\x01\xff"], {"e" + "nd": 6}), (0x84, 0x0A)),
    (lambda: ModbusStatic().compound_register(1, 2), 258),  # static: no instance bound
])
def test_keyword_binding_works(call, expected):
    assert call() == expected


class Text(str):
    pass


def require(cls, *names):
    c = getattr(qel_modbus, cls)
    missing = [name for name in names if name not in vars(c)]
    assert not missing, f"{cls}.{missing[0]} is missing"
    return c


def float_error(value):
    """The interpreter's own text for a failed float conversion."""
    try:
        math.copysign(value, 1.0)
    except (TypeError, OverflowError) as e:
        return str(e)
    raise AssertionError(f"{value!r} converts")


@pytest.fixture
def channel():
    return SilentChannel()


@pytest.fixture
def master(channel):
    return require("Master", "__init__", "close", "__enter__", "read_register", "write_register", "read_uint16",
                   "write_uint16", "read_int32", "write_float", "_Master__read_int32")(channel)


@pytest.mark.parametrize("call, message", [
    (lambda m: m.close(1), "close() takes exactly one argument (2 given)"),
    (lambda m: m.close(x=1), "close() takes no keyword arguments"),
    (lambda m: m.__enter__(1), "__enter__() takes exactly one argument (2 given)"),
    (lambda m: m.read_register(1), takes("read_register", "at least", 3, 2)),
    (lambda m: m.write_register(1, 2), takes("write_register", "exactly", 4, 3)),
    (lambda m: m.read_register(1, 2, 3, 4), takes("read_register", "at most", 4, 5)),
    (lambda m: m.read_register(1, 2, station=1), "read_register() got multiple values for keyword argument 'station'"),
    (lambda m: m.read_register(1, 2, bogus=1), "read_register() got an unexpected keyword argument 'bogus'"),
    (lambda m: m.read_uint16(1), takes("read_register", "at least", 3, 2)),
    (lambda m: m.write_uint16(), takes("write_register", "exactly", 4, 1)),
    (lambda m: m.read_int32(1, 0, endian=b">"), "Argument 'endian' has incorrect type (expected str, got bytes)"),
    (lambda m: m.read_int32(1, 0, Text(">")), "Argument 'endian' has incorrect type (expected str, got Text)"),
    (lambda m: m.write_float(1, 0, 1.0, 1), "Argument 'endian' has incorrect type (expected str, got int)"),
    (lambda m: m._Master__read_int32(1, 0, b"i", ">"), "Argument 'sign' has incorrect type (expected str, got bytes)"),
])
def test_master_call_errors(master, channel, call, message):
    with pytest.raises(TypeError, match=re.escape(message)):
        call(master)
    assert channel.written == []  # the body never ran


@pytest.mark.parametrize("call", [
    lambda m: qel_modbus.Master.read_register(self=m, station=1, address=0),
    lambda m: m.read_register(address=0, station=1), lambda m: m.read_int32(1, 0, endian=None),
])
def test_master_calls_that_bind(master, channel, call):
    with pytest.raises(OSError, match=re.escape("modbus: read from slave timeout")):
        call(master)
    assert channel.written[0][:2] == b"\x01\x03"


def test_defaults_were_read_once(monkeypatch, channel):
    Master = require("Master", "__init__", "read_register")
    monkeypatch.setattr(ModbusStatic, "Default_Timeout", 5)
    monkeypatch.setattr(ModbusStatic, "FC_Read_Registers", 4)
    m = Master(channel)
    assert channel.timeout == 1 and type(channel.timeout) is int
    assert (Master.__init__.__defaults__, Master.read_register.__defaults__) == ((1,), (3,))
    with pytest.raises(OSError):
        m.read_register(1, 0)
    assert channel.written == [b"\x01\x03\x00\x00\x00\x01\x84\x0a"]
    if "__init__" in vars(qel_modbus.FixMaster):
        assert qel_modbus.FixMaster.__init__.__defaults__ == (1, 1)


@pytest.mark.parametrize("cls", ["Master", "FixMaster"])
def test_timeout_setter_converts_and_constructor_does_not(channel, cls):
    owner = require(cls, "__init__", "timeout")(channel, *(["abc"] if cls == "Master" else [1, "abc"]))
    assert channel.timeout == "abc"
    owner.timeout = 3
    assert channel.timeout == 3.0 and type(channel.timeout) is float
    for bad in ("x", None):
        with pytest.raises(TypeError, match=re.escape(float_error(bad))):
            owner.timeout = bad
    assert channel.timeout == 3.0
    with pytest.raises(AttributeError):
        del owner.timeout


@pytest.fixture
def connections(monkeypatch):
    """Records each connection request and answers it with one end of a
    local socket pair."""
    calls, sockets = [], []

    def connect(*args, **kwargs):
        calls.append((args, kwargs))
        sockets.extend(socket.socketpair())
        sockets[-2].settimeout(kwargs.get("timeout") or 1.0)
        return sockets[-2]

    monkeypatch.setattr(qel_modbus, "_tcp_connect", connect)
    yield calls
    for s in sockets:
        s.close()


class HasFloat:
    def __float__(self):
        return 2.5


@pytest.mark.parametrize("cls", ["TCPTunnel", "ModbusTCPMaster"])
@pytest.mark.parametrize("args, timeout", [
    (("127.0.0.1", 502), 1.0), (("127.0.0.1", 502, 2), 2.0), (("127.0.0.1", "p", True), 1.0),
    ((None, 502, 0.5), 0.5), (("127.0.0.1", 502, HasFloat()), 2.5),
])
def test_tcp_constructor_converts_timeout(connections, cls, args, timeout):
    require(cls, "__init__")(*args)
    assert connections == [((tuple(args[:2]),), {"timeout": timeout})]
    assert type(connections[0][1]["timeout"]) is float


@pytest.mark.parametrize("cls", ["TCPTunnel", "ModbusTCPMaster"])
@pytest.mark.parametrize("host, timeout, message", [
    (123, 1.0, "Argument 'host' has incorrect type (expected str, got int)"),
    (Text("127.0.0.1"), 1.0, "Argument 'host' has incorrect type (expected str, got Text)"),
    (b"127.0.0.1", 1.0, "Argument 'host' has incorrect type (expected str, got bytes)"),
    (123, None, float_error(None)), (b"h", "1", float_error("1")),  # the conversion comes first
    ("127.0.0.1", [], float_error([])), ("127.0.0.1", 10 ** 400, float_error(10 ** 400)),
])
def test_tcp_constructor_refuses_before_connecting(connections, cls, host, timeout, message):
    with pytest.raises((TypeError, OverflowError), match=re.escape(message)):
        require(cls, "__init__")(host, 502, timeout)
    assert connections == []


def test_query_command_must_be_exact_text():
    ModbusTCPMaster = require("ModbusTCPMaster", "_query")
    with pytest.raises(TypeError, match=re.escape("Argument 'command' has incorrect type (expected str, got bytes)")):
        ModbusTCPMaster._query(object(), b"x", 4)


def test_tunnel_properties(connections):
    tunnel = require("TCPTunnel", "__init__", "timeout", "in_waiting")("127.0.0.1", 502, 2)
    assert tunnel.timeout == 2.0
    with pytest.raises(TypeError, match=re.escape(float_error("x"))):
        tunnel.timeout = "x"
    for change in (lambda: setattr(tunnel, "in_waiting", 1), lambda: delattr(tunnel, "in_waiting"),
                   lambda: delattr(tunnel, "timeout")):
        with pytest.raises(AttributeError):
            change()
