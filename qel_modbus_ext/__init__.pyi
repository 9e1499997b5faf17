"""Channels and tools beside the qel_modbus masters."""

import array
import socket
from types import TracebackType
from typing import Dict, Iterable, List, Literal, Optional, Sequence, Type, Union, overload

from qel_modbus import FixMaster, Master, ModbusTCPMaster

__all__ = [
    "ModbusTCPChannel",
    "execute",
    "write_coils",
    "read_write_registers",
    "mask_write_register",
    "read_device_identification",
    "read_value",
    "read_values",
    "write_value",
]

_BytesLike = Union[bytes, bytearray, "array.array[int]"]
_AnyMaster = Union[Master, FixMaster, ModbusTCPMaster]
_IntKind = Literal["int16", "uint16", "int32", "uint32", "int64", "uint64"]
_FloatKind = Literal["float32", "float64"]
_Table = Literal["holding", "input"]
_Order = Literal["ABCD", "CDAB", "BADC", "DCBA"]

class ModbusTCPChannel:
    AduLastSent: bytes
    """The last Modbus TCP request sent (MBAP header and PDU)."""
    AduLastReceived: bytes
    """The last Modbus TCP reply received (MBAP header and PDU)."""
    _socket: socket.socket
    def __init__(self, host: str, port: int = 502, timeout: float = 1.0) -> None:
        """Open a Modbus TCP connection to host:port for a Master to talk through. Raises OSError (socket.timeout included) when the connection fails, TypeError for a host that is not a str or a time-out that is no number."""
    def read(self, size: int = 1) -> bytes:
        """Return at most size bytes of the reply to the last request, as an RTU answer with its CRC; the first read after a write waits for it, skipping replies to other transactions. Returns what came, b"" on silence, as a serial port does. Raises ValueError for a reply of this transaction that does not answer the request, OSError on a broken or closed connection."""
    def write(self, data: _BytesLike) -> int:
        """Send an RTU request frame as a Modbus TCP request (the station as the unit id, no CRC, a new transaction id), stale input thrown away first; returns the length of the frame. Raises ValueError for bytes that are no RTU frame with a right CRC, OSError when the connection fails."""
    @property
    def in_waiting(self) -> int:
        """The number of bytes of the last reply that read() can still return at once."""
    @property
    def timeout(self) -> float:
        """The time-out of reads and writes, in seconds. Setting it raises TypeError for a value that is no number."""
    @timeout.setter
    def timeout(self, value: float) -> None: ...
    def close(self) -> None:
        """Close the connection. Later reads and writes raise OSError."""
    def __enter__(self) -> "ModbusTCPChannel":
        """Return the channel itself."""
    def __exit__(
        self,
        exc_type: Optional[Type[BaseException]],
        exc_val: Optional[BaseException],
        exc_tb: Optional[TracebackType],
    ) -> None:
        """Close the channel; exceptions are not suppressed."""

def execute(
    master: _AnyMaster, station: int, function_code: int, data: _BytesLike, *, answer: Union[Literal["counted"], int] = "counted"
) -> bytes:
    """Send the request PDU function_code + data through the master's own engine, link and lock, and return the answer's data: the bytes after the byte count (answer="counted"), or exactly answer bytes after the function code. Raises SlaveException, the master's time-out and CRC errors as its own operations do; ValueError for an argument outside Modbus limits, with nothing sent."""

def write_coils(master: _AnyMaster, station: int, address: int, values: Iterable[Union[bool, int]]) -> None:
    """Write 1..1968 coils from address on (function code 15)."""

def read_write_registers(
    master: _AnyMaster, station: int, read_address: int, read_count: int, write_address: int, values: Iterable[int]
) -> List[int]:
    """Write 1..121 registers from write_address on, then read 1..125 from read_address on, in one request (function code 23)."""

def mask_write_register(master: _AnyMaster, station: int, address: int, and_mask: int, or_mask: int) -> None:
    """Set a register to (register AND and_mask) OR (or_mask AND NOT and_mask) (function code 22)."""

def read_device_identification(master: _AnyMaster, station: int, level: int = 1) -> Dict[int, bytes]:
    """The identification objects of level 1 (basic), 2 (regular) or 3 (extended), object id to bytes, over as many requests as the device needs (function code 43/14)."""

@overload
def read_value(
    master: _AnyMaster, station: int, address: int, kind: _IntKind, *, table: _Table = "holding", order: _Order = "ABCD"
) -> int:
    """One value of a kind from the holding or input registers at address, in the device's byte order."""
@overload
def read_value(
    master: _AnyMaster, station: int, address: int, kind: _FloatKind, *, table: _Table = "holding", order: _Order = "ABCD"
) -> float: ...
@overload
def read_value(
    master: _AnyMaster, station: int, address: int, kind: str, *, table: _Table = "holding", order: _Order = "ABCD"
) -> Union[int, float, str]: ...
@overload
def read_values(
    master: _AnyMaster, station: int, address: int, kind: _IntKind, count: int, *, table: _Table = "holding",
    order: _Order = "ABCD",
) -> List[int]:
    """count values of a kind from address on, in one read (at most 125 registers)."""
@overload
def read_values(
    master: _AnyMaster, station: int, address: int, kind: _FloatKind, count: int, *, table: _Table = "holding",
    order: _Order = "ABCD",
) -> List[float]: ...
@overload
def read_values(
    master: _AnyMaster, station: int, address: int, kind: str, count: int, *, table: _Table = "holding",
    order: _Order = "ABCD",
) -> List[Union[int, float, str]]: ...
def write_value(
    master: _AnyMaster, station: int, address: int, kind: str, value: Union[int, float, str], *, order: _Order = "ABCD"
) -> None:
    """Write one value of a kind to the holding registers at address, in the device's byte order. Raises OverflowError for a value the kind cannot hold."""
