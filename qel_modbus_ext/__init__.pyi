"""Channels and tools beside the qel_modbus masters."""

import array
import logging
import socket
from types import TracebackType
from typing import Any, Callable, Dict, Iterable, List, Literal, Optional, Type, TypeVar, Union, overload

import qel_modbus
from qel_modbus import FixMaster, Master, ModbusTCPMaster
from serial import Serial as _Serial

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
    "trace",
    "TracedChannel",
    "with_retries",
    "RetryingMaster",
]

_BytesLike = Union[bytes, bytearray, "array.array[int]"]
_AnyMaster = Union[Master, FixMaster, ModbusTCPMaster, "RetryingMaster"]
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


# ---- tracing and retries ------------------------------------------------------

_T = TypeVar("_T")
_TracedInner = Union[qel_modbus.TCPTunnel, ModbusTCPChannel, _Serial, qel_modbus._Channel]
_Master = Union[qel_modbus.Master, qel_modbus.FixMaster, qel_modbus.ModbusTCPMaster]

class TracedChannel:
    """A channel that forwards to the channel it wraps and logs each request and answer in hex: `-> station S fc F <bytes>`, `<- station S fc F <ms> ms <bytes>` (an answer once whole when its head tells its length, else each piece read; `silence` after a short read; the exception of a failed read). Nothing is formatted while the level is disabled."""
    channel: _TracedInner
    """The wrapped channel; masters on it and on its wrappers take turns."""
    def __init__(self, channel: _TracedInner, logger: logging.Logger, level: int) -> None:
        """Wrap channel; use trace(), which checks its arguments."""
    def write(self, data: _BytesLike) -> Any:
        """Log the request, then write it to the wrapped channel; a failed write is logged and re-raised."""
    def read(self, size: int = 1) -> bytes:
        """Read from the wrapped channel and log the answer; its exceptions are logged and re-raised."""
    @property
    def in_waiting(self) -> int:
        """The wrapped channel's in_waiting."""
    @property
    def timeout(self) -> Any:
        """The wrapped channel's time-out; setting it sets the wrapped channel's."""
    @timeout.setter
    def timeout(self, value: Any) -> None: ...
    def close(self) -> None:
        """Log what is left of an unfinished answer and close the wrapped channel."""
    def __enter__(self) -> "TracedChannel":
        """Return the wrapper itself."""
    def __exit__(
        self,
        exc_type: Optional[Type[BaseException]],
        exc_val: Optional[BaseException],
        exc_tb: Optional[TracebackType],
    ) -> None:
        """Close the wrapped channel; exceptions are not suppressed."""
    def __getattr__(self, name: str) -> Any:
        """Any other attribute of the wrapped channel."""

def trace(
    channel: _TracedInner, logger: logging.Logger = ..., level: int = ...
) -> TracedChannel:
    """Return channel (a TCPTunnel, a ModbusTCPChannel, a pyserial port) wrapped to log its traffic on logger (default: the logger "qel_modbus") at level (default DEBUG); hand it to a master in place of the channel. Raises TypeError for a channel without read and write, a logger that is no Logger or a level that is no int."""

class RetryingMaster:
    """A master proxy: its read_* operations are repeated after a time-out or a CRC error, everything else is forwarded to the master as it is."""
    master: _Master
    """The wrapped master."""
    reads: int
    """How many times a read is repeated at most."""
    backoff: float
    """The pause before the first repeat, in seconds; it doubles before each further one."""
    def __init__(self, master: _Master, reads: int, backoff: float) -> None:
        """Wrap master; use with_retries(), which checks its arguments."""
    def _run(self, is_read: bool, call: Callable[[], _T]) -> _T:
        """Return call(); when is_read, repeat it after a time-out or a CRC error while repeats are left, pausing backoff * 2**attempt seconds, then raise the last error."""
    def close(self) -> None:
        """Close the master."""
    def __enter__(self) -> "RetryingMaster":
        """Return the proxy itself."""
    def __exit__(
        self,
        exc_type: Optional[Type[BaseException]],
        exc_val: Optional[BaseException],
        exc_tb: Optional[TracebackType],
    ) -> None:
        """Close the master; exceptions are not suppressed."""
    def __getattr__(self, name: str) -> Any:
        """The master's attribute; a read_* operation wrapped to be repeated."""

def with_retries(master: _Master, reads: int = 2, backoff: float = 0.05) -> RetryingMaster:
    """Return a proxy of master whose read_* operations are repeated up to reads more times after a time-out (OSError "modbus: read from slave timeout", socket.timeout) or a CRC error, pausing backoff * 2**attempt seconds before each repeat. Writes, exception answers, bad arguments and closed connections are never repeated: a write whose answer was lost may have been done, and an exception answer is an answer. Raises TypeError for a reads that is no int or a backoff that is no number, ValueError for a negative or infinite one."""
