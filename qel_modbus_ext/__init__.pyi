"""Channels and tools beside the qel_modbus masters."""

import array
import socket
from types import TracebackType
from typing import Optional, Type, Union

__all__ = ["ModbusTCPChannel"]

_BytesLike = Union[bytes, bytearray, "array.array[int]"]

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
