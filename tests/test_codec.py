"""Register splitting and joining, the RTU CRC-16 and byte arrays."""
import array
import enum
import itertools
import random
import re

import pytest

from qel_modbus import ModbusStatic, _byte_array
from tests.support import crc_bytes

split_register, compound_register = ModbusStatic.split_register, ModbusStatic.compound_register
calculate_crc, crc_is_right = ModbusStatic.calculate_crc, ModbusStatic.crc_is_right
FRAMES = [bytes.fromhex(h) for h in ("010300000001840A", "1103006B00037687", "010600010003980B")]


def outcome(fn):
    try:
        return "ok", fn()
    except Exception as e:  # compared by type and text
        return type(e), str(e)


class Index:
    def __init__(self, n):
        self.n = n

    def __index__(self):
        return self.n


class Code(enum.IntEnum):
    BIG, ONE = 2 ** 40, 1


CONTAINERS = {
    "bytes": bytes, "bytearray": bytearray, "array": lambda b: array.array("B", b), "list": list, "tuple": tuple,
    "text": lambda b: b.decode("latin-1"), "memoryview": memoryview, "bytes subclass": type("B", (bytes,), {}),
    "strided memoryview": lambda b: memoryview(bytes(x for c in b for x in (c, 0)))[::2],
    "signed array": lambda b: array.array("b", b),  # same bits, elements above 127 negative
}


def elements_of(kind, data):
    return list(CONTAINERS[kind](data)) if kind == "signed array" else list(data)


@pytest.mark.parametrize("value, expected", [
    (0x1234, (0x12, 0x34)), (0x12345, (0x23, 0x45)), (-1, (0xFF, 0xFF)), (0, (0, 0)), (-0x1234, (0xED, 0xCC)),
    (2 ** 70 + 0xBEEF, (0xBE, 0xEF)), (-2 ** 70 - 1, (0xFF, 0xFF)), (True, (0, 1)), (Code.BIG, (0, 0)),
])
def test_split_register(value, expected):
    result = split_register(value)
    assert result == expected and type(result) is tuple and all(type(b) is int for b in result)


@pytest.mark.parametrize("high, low, expected", [
    (0x12, 0x34, 0x1234), (1, 300, 556), (256, 0, 65536), (-1, 0, -256), (2 ** 70, 1, 2 ** 78 + 1),
    (True, True, 257), (1, 2.5, 258.5), (Code.ONE, 0, 256),
])
def test_compound_register(high, low, expected):
    result = compound_register(high, low)
    assert result == expected and type(result) is type(expected)


@pytest.mark.parametrize("call, python", [
    (lambda: split_register("a"), lambda: ("a" >> 8) & 0xFF), (lambda: split_register(1.0), lambda: (1.0 >> 8) & 0xFF),
    (lambda: compound_register(1.0, 2), lambda: (1.0 << 8) + 2), (lambda: compound_register(1, "a"), lambda: 256 + "a"),
    (lambda: compound_register(None, 1), lambda: (None << 8) + 1),
])
def test_register_type_errors_are_the_operators(call, python):
    assert outcome(call) == outcome(python) and outcome(call)[0] is TypeError


@pytest.mark.parametrize("frame", FRAMES, ids=lambda f: f.hex())
@pytest.mark.parametrize("kind", list(CONTAINERS))
def test_worked_examples(kind, frame):
    data, expected = CONTAINERS[kind](frame), crc_bytes(elements_of(kind, frame[:-2]))
    assert kind == "signed array" or expected == (frame[-2], frame[-1])
    assert calculate_crc(CONTAINERS[kind](frame[:-2])) == calculate_crc(data, 0, -2) == expected
    assert calculate_crc(string=data, end=len(frame) - 2) == expected
    assert calculate_crc(data, beg=3, end=3) == calculate_crc(CONTAINERS[kind](b"")) == (0xFF, 0xFF)
    assert calculate_crc(data, 2) == crc_bytes(elements_of(kind, frame)[2:])
    assert type(calculate_crc(data)) is tuple and all(type(b) is int for b in calculate_crc(data))


def test_text_is_its_code_points():
    assert calculate_crc("abc") == calculate_crc(b"abc") == calculate_crc(type("T", (str,), {})("abc"))
    for text in ["\u20ac", "a\u0100b", "\U0001F600x", "\xff\u1234\U0010FFFF", "\ud800"]:
        assert calculate_crc(text, 1, None) == crc_bytes([ord(c) for c in text][1:])


BOUNDS = [None, 0, 1, 3, 7, 8, 9, -1, -2, -8, -9, 100, -100, 2 ** 63, -2 ** 63, 2 ** 100, True, Index(2)]


@pytest.mark.parametrize("kind", list(CONTAINERS))
def test_slices_follow_python_rules(kind):
    data, elements = CONTAINERS[kind](FRAMES[1]), elements_of(kind, FRAMES[1])
    for beg, end in itertools.product(BOUNDS, repeat=2):
        assert calculate_crc(data, beg, end) == crc_bytes(elements[beg:end]), (beg, end)
    for beg, end in [(1.0, None), (0, "2"), (b"", None), (0, 2.0)]:
        with pytest.raises(TypeError, match="slice indices must be integers or None or have an __index__ method"):
            calculate_crc(data, beg, end)


@pytest.mark.parametrize("obj", [5, None, 1.5, {1, 2}, iter([1, 2]), (x for x in [1]), object()])
def test_unsliceable(obj):
    with pytest.raises(TypeError, match=re.escape(f"'{type(obj).__name__}' object is unsliceable")):
        calculate_crc(obj)


ODD_ELEMENTS = [
    [-1], [256], [0x10000], [2 ** 70], [-2 ** 70], [2 ** 62], [2 ** 62 - 1], [-2 ** 62], [-2 ** 62 - 1], [2 ** 63],
    [-2 ** 63], [2 ** 64 + 5], [True, False, True], [Code.BIG, 1, Code.ONE], [2 ** 70, 1, 2, 3], [1, 2, 2 ** 70, -5],
    [-2 ** 70, 255, 0], [0xFFFF, -0xFFFF, 0x7FFFFFFF],
    [1, "a"], [1.5], [None], [2 ** 70, "x"], [1, 2, b"\x03"], [Code.ONE, 2.0],  # the xor's TypeError
]


@pytest.mark.parametrize("elements", ODD_ELEMENTS)
def test_odd_elements_match_the_reference(elements):
    expected = outcome(lambda: crc_bytes(elements))
    assert outcome(lambda: calculate_crc(elements)) == outcome(lambda: calculate_crc(tuple(elements))) == expected
    assert outcome(lambda: calculate_crc([0x41] + elements, 1)) == expected


# Buffers whose elements or shape keep them off any byte fast path.
ODD_VIEWS = {
    "0-dim": lambda: memoryview(b"a").cast("B", shape=[]),
    "2-dim": lambda: memoryview(bytes(range(4))).cast("B", shape=[2, 2]),
    "format c": lambda: memoryview(b"\x01\x03").cast("c"),
    "format H": lambda: memoryview(array.array("H", [0x0103, 0xFFFF])),
    "format b": lambda: memoryview(array.array("b", [-1, 3, 4, 5])),
}


def reference_is_right(string):
    end = len(string) - 2
    if end < 0:
        return False
    low, high = crc_bytes(string[0:end])
    return low == string[end] and high == string[end + 1]


@pytest.mark.parametrize("view", list(ODD_VIEWS))
def test_odd_memoryviews_behave_as_slicing_them(view):
    mv = ODD_VIEWS[view]()
    assert outcome(lambda: calculate_crc(mv)) == outcome(lambda: crc_bytes(mv[0:None]))
    assert outcome(lambda: crc_is_right(mv)) == outcome(lambda: reference_is_right(mv))


def test_random_data_matches_the_reference():
    rng = random.Random(0x5EED)
    for length in list(range(70)) + [rng.randrange(70, 2000) for _ in range(30)]:
        data = bytes(rng.randrange(256) for _ in range(length))
        for kind in ("bytes", "bytearray", "array", "list", "memoryview", "text", "strided memoryview"):
            assert calculate_crc(CONTAINERS[kind](data)) == crc_bytes(data), (kind, data.hex())
        for _ in range(5):
            beg, end = (rng.choice([None, rng.randint(-length - 3, length + 3)]) for _ in range(2))
            expected = crc_bytes(data[beg:end])
            assert calculate_crc(data, beg, end) == calculate_crc(array.array("B", data), beg, end) == expected
            assert calculate_crc(list(data), beg, end) == expected
    for _ in range(400):
        elements = [rng.choice([1, -1, True]) * rng.getrandbits(rng.choice([1, 8, 9, 16, 31, 62, 63, 64, 65, 80]))
                    for _ in range(rng.randrange(12))]
        elements = [bool(e) if rng.random() < 0.1 else e for e in elements]
        assert calculate_crc(elements) == crc_bytes(elements), elements
        text = "".join(chr(rng.choice([rng.randrange(256), rng.randrange(0x110000)])) for _ in range(rng.randrange(9)))
        assert calculate_crc(text) == crc_bytes([ord(c) for c in text])


FRAME_KINDS = ["bytes", "bytearray", "array", "list", "tuple", "memoryview", "strided memoryview"]


@pytest.mark.parametrize("kind", FRAME_KINDS)
@pytest.mark.parametrize("frame", FRAMES, ids=lambda f: f.hex())
def test_crc_is_right_on_worked_frames_and_every_single_byte_change(kind, frame):
    assert crc_is_right(CONTAINERS[kind](frame)) is True
    for position, value in itertools.product(range(len(frame)), range(256)):
        if value != frame[position]:
            changed = frame[:position] + bytes([value]) + frame[position + 1:]
            assert crc_is_right(CONTAINERS[kind](changed)) is False, (position, value)


@pytest.mark.parametrize("data, expected", [
    (b"\xff\xff", True), ([0xFF, 0xFF], True), ((0xFF, 0xFF), True), (array.array("B", [0xFF, 0xFF]), True),
    ([2 ** 70, 7, *crc_bytes([2 ** 70, 7])], True), ([255.0, 0xFF], True),
    (b"\xff\xfe", False), ([0xFE, 0xFF], False), (b"", False), (b"\xff", False), ([], False), ([0xFF], False),
    ((), False), (array.array("B"), False), (bytearray(b"\x01"), False),
])
def test_crc_is_right_short_and_odd_frames(data, expected):
    assert crc_is_right(data) is expected


@pytest.mark.parametrize("source, elements", [
    ((1, 3), [1, 3]), (b"\x00\x7f\xff", [0, 127, 255]), (bytearray(b"ab"), [97, 98]), (array.array("B", [9]), [9]),
    (array.array("H", [7]), [7]), ([0, 255], [0, 255]), (range(3), [0, 1, 2]), ((), []), (memoryview(b"m"), [109]),
    ([True, False], [1, 0]),
])
def test_byte_array_builds_type_code_B(source, elements):
    result = _byte_array(source)
    assert type(result) is array.array and result.typecode == "B" and result.tolist() == elements
    assert result is not source and _byte_array(x for x in elements) == result
    result.extend(split_register(0x1234))
    result += _byte_array(calculate_crc(result))
    assert crc_is_right(result)


@pytest.mark.parametrize("source", [(1, 256), (-1,), (2 ** 70,), ("a",), (1.5,), "ab", None, 5, [b"x"],
                                    array.array("H", [256])])
def test_byte_array_errors_are_the_array_type_errors(source):
    expected = outcome(lambda: array.array("B", source))
    assert expected[0] in (TypeError, OverflowError) and outcome(lambda: _byte_array(source)) == expected
