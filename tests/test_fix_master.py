"""FixMaster: forwarding to the inner master with the remembered station."""
import pytest

import qel_modbus
from qel_modbus import FixMaster, Master
from tests.support import SilentChannel


class RecordingMaster:
    """Stands in for the inner master: records every forwarded call."""

    def __init__(self):
        self.calls = []

    def __getattr__(self, name):
        def operation(*args, **kwargs):
            self.calls.append((name, args, kwargs))
            return ("result of", name)

        return operation


@pytest.fixture
def fix():
    f = FixMaster(SilentChannel(), 9)
    recorder = RecordingMaster()
    f._FixMaster__master = recorder
    return f, recorder


RETURNING = {"read_register", "read_registers", "read_coil", "read_coils", "read_int32", "read_uint32",
             "read_float", "read_int16", "read_uint16", "write_int16", "write_uint16"}

FORWARDING = [
    ("send_write_coil_request", (3, True)),
    ("send_write_registers_request", (3, [1, 2])),
    ("send_write_register_request", (3, 4)),
    ("send_read_coils_request", (3, 4)),
    ("send_read_registers_request", (3, 4, 4)),
    ("write_register", (3, -1)),
    ("write_registers", (3, (1, 2))),
    ("write_coil", (3, 0)),
    ("read_register", (3,)),
    ("read_registers", (3, 4, 4)),
    ("read_coil", (3,)),
    ("read_coils", (3, 4)),
    ("read_int32", (3,)),
    ("read_uint32", (3,)),
    ("read_float", (3,)),
    ("write_int32", (3, 2**31)),
    ("write_uint32", (3, -5)),
    ("read_int16", (3,)),
    ("read_uint16", (3,)),
    ("write_int16", (3, -1)),
    ("write_uint16", (3, 70000)),
]


@pytest.mark.parametrize("name, args", FORWARDING)
def test_forwards_by_name_with_station_first(fix, name, args):
    f, recorder = fix
    result = getattr(f, name)(*args)
    assert recorder.calls == [(name, (9,) + args, {})]
    assert result == (("result of", name) if name in RETURNING else None)


@pytest.mark.parametrize("name", ["read_registers", "send_read_registers_request"])
def test_func_code_default_is_passed_as_three(fix, name):
    f, recorder = fix
    getattr(f, name)(5, 2)
    assert recorder.calls == [(name, (9, 5, 2, 3), {})]


def test_station_is_read_at_every_call(fix):
    f, recorder = fix
    f.station = 7
    f.read_coil(1)
    f.station = "any object"
    f.read_coil(1)
    assert [c[1][0] for c in recorder.calls] == [7, "any object"]
    assert f.station == "any object"


def test_construction_hands_channel_and_timeout_unchanged():
    channel = SilentChannel()
    f = FixMaster(channel)
    assert isinstance(f._FixMaster__master, Master)
    assert f.station == 1
    assert channel.timeout == 1 and type(channel.timeout) is int
    FixMaster(channel, timeout="as given")
    assert channel.timeout == "as given"


def test_timeout_property_converts_and_forwards():
    channel = SilentChannel()
    f = FixMaster(channel)
    f.timeout = 2
    assert channel.timeout == 2.0 and type(channel.timeout) is float
    with pytest.raises(TypeError):
        f.timeout = "3"
    assert channel.timeout == 2.0 and f.timeout == 2.0


def test_with_block_closes_inner_master_and_propagates():
    channel = SilentChannel()
    with pytest.raises(KeyError):
        with FixMaster(channel) as f:
            assert isinstance(f, FixMaster)
            raise KeyError("inside")
    assert channel.closed == 1


def test_exit_looks_close_up_on_the_object():
    class Sub(FixMaster):
        def close(self):
            self.closed_by_sub = True

    with Sub(SilentChannel()) as s:
        pass
    assert s.closed_by_sub


def test_real_master_operations_are_reached(fix):
    channel = SilentChannel()
    f = FixMaster(channel, station=4, timeout=0.01)
    with pytest.raises(OSError, match="modbus: read from slave timeout"):
        f.read_uint16(0x10)
    assert f._FixMaster__master.MessageLastSent == bytes.fromhex("04030010000185 9A".replace(" ", ""))


def test_uninitialised_object_raises_attribute_error():
    f = FixMaster.__new__(FixMaster)
    with pytest.raises(AttributeError):
        f.read_register(0)


@pytest.mark.parametrize("name", ["read_input_register", "read_input_registers", "read_input_coils",
                                  "send_read_input_registers_request", "send_read_input_coils_request",
                                  "write_float", "read_multi_int32", "write_multi_float"])
def test_facade_offers_no_more_than_its_table(name):
    assert not hasattr(FixMaster, name)


def test_signatures():
    assert FixMaster.__init__.__defaults__ == (1, 1)
    assert FixMaster.read_registers.__defaults__ == (3,)
    assert FixMaster.write_coil.__annotations__ == {"address": "int", "value": bool}
    assert FixMaster.write_registers.__annotations__["values"] is qel_modbus._Sequence
    assert FixMaster.read_registers.__doc__.startswith("\n\t\t根据指定的功能码，从预定的从站")
