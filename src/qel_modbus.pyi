"""Modbus masters: RTU over a serial port or a TCP stream, and Modbus TCP."""

import array as array
import socket
import struct as struct
from types import TracebackType
from typing import Any, Iterable, List, Optional, Protocol, Sequence, Tuple, Type, Union

from serial import Serial as _Serial

_BytesLike = Union[bytes, bytearray, "array.array[int]"]

class _Channel(Protocol):
    timeout: Any
    @property
    def in_waiting(self) -> int: ...
    def read(self, size: int = ...) -> bytes: ...
    def write(self, data: Any) -> Any: ...
    def close(self) -> Any: ...

def _byte_array(iterable: Iterable[int], /) -> "array.array[int]":
    """Return an array of unsigned bytes (type code 'B') holding the given integers. Raises OverflowError for a value outside 0-255 and TypeError for a non-integer."""

class ModbusStatic:
    FC_Read_Coils: int
    """Function code 1: read coils."""
    FC_Read_Input_Coils: int
    """Function code 2: read discrete inputs."""
    FC_Read_Registers: int
    """Function code 3: read holding registers."""
    FC_Read_Input_Registers: int
    """Function code 4: read input registers."""
    FC_Write_Coil: int
    """Function code 5: write one coil."""
    FC_Write_Register: int
    """Function code 6: write one register."""
    FC_Write_Registers: int
    """Function code 16: write several registers."""
    Default_Timeout: int
    """The default time-out of a Master, in seconds (1)."""
    @staticmethod
    def split_register(value: int, /) -> Tuple[int, int]:
        """Split a 16-bit register value into its (high, low) bytes. Sends nothing."""
    @staticmethod
    def compound_register(high: int, low: int) -> int:
        """Join a high and a low byte into one register value: (high << 8) + low. Sends nothing."""
    @staticmethod
    def calculate_crc(
        string: Union[_BytesLike, str, Sequence[int]], beg: Optional[int] = 0, end: Optional[int] = None
    ) -> Tuple[int, int]:
        """Return the Modbus CRC-16 of string[beg:end] as (low byte, high byte), low byte first as it goes on the wire. Raises TypeError for an object that cannot be sliced."""
    @staticmethod
    def crc_is_right(string: Union[_BytesLike, Sequence[int]], /) -> bool:
        """Return True when the last two bytes of a frame are the CRC-16 of the bytes before them; False for frames shorter than two bytes."""

class SlaveException(Exception):
    station: Any
    """The station the request was addressed to."""
    function_code: int
    """The function code of the request, without the exception bit (0x83 is stored as 3)."""
    error_code: Any
    """The Modbus exception code (1 illegal function, 2 illegal data address, ...)."""
    def __init__(self, station: Any, function_code: int, error_code: Any) -> None:
        """An exception answer of a slave: station, function code and Modbus exception code."""
    def __str__(self) -> str:
        """A one-line text naming the station, the function code and the exception code."""
    def __repr__(self) -> str:
        """The same text as str()."""

class TCPTunnel:
    _socket: socket.socket
    def __init__(self, host: Optional[str], port: int, timeout: float = 1.0) -> None:
        """Open a TCP connection to host:port that carries raw RTU frames. Raises OSError (socket.timeout included) when the connection fails, TypeError for a host that is not a str or a time-out that is no number."""
    def read(self, size: int = 1) -> bytes:
        """Receive at most size bytes: returns what arrived within the time-out (possibly fewer bytes; empty when the peer closed the connection). Raises socket.timeout when nothing arrived, OSError on a broken or closed connection."""
    def write(self, data: _BytesLike) -> int:
        """Send data over the connection; returns the number of bytes sent. Raises socket.timeout or OSError when the connection fails."""
    @property
    def in_waiting(self) -> int:
        """Always 0: a TCP stream reports no pending input."""
    @property
    def timeout(self) -> float:
        """The time-out of reads and writes, in seconds. Setting it raises TypeError for a value that is no number."""
    @timeout.setter
    def timeout(self, value: float) -> None: ...
    def close(self) -> None:
        """Close the connection. Later reads and writes raise OSError."""
    def __enter__(self) -> "TCPTunnel":
        """Return the tunnel itself."""
    def __exit__(
        self,
        exc_type: Optional[Type[BaseException]],
        exc_val: Optional[BaseException],
        exc_tb: Optional[TracebackType],
    ) -> None:
        """Close the tunnel; exceptions are not suppressed."""

class Master:
    MessageLastSent: bytes
    """The last request frame written to the channel."""
    MessageLastReceived: bytes
    """Every byte read from the channel since the last request: the answer taken comes last, after any answers to other requests (another station, another function) that were dropped."""
    _Master__tunnel: Union[_Serial, TCPTunnel, _Channel]
    def __init__(self, tunnel: Union[_Serial, TCPTunnel, _Channel], timeout: float = 1) -> None:
        """A Modbus RTU master over a channel (a pyserial Serial or a TCPTunnel), which it owns and closes; sets the channel's time-out to timeout seconds."""
    def close(self) -> None:
        """Close the channel."""
    def __enter__(self) -> "Master":
        """Return the master itself."""
    def __exit__(
        self,
        exc_type: Optional[Type[BaseException]],
        exc_val: Optional[BaseException],
        exc_tb: Optional[TracebackType],
    ) -> None:
        """Close the master and its channel; exceptions are not suppressed."""
    @property
    def timeout(self) -> float:
        """The channel's time-out in seconds; setting it converts the value to float (TypeError for a value that is no number)."""
    @timeout.setter
    def timeout(self, value: float) -> None: ...
    def write_register(self, station: int, address: int, value: int) -> None:
        """Write one holding register (function 6) and await the echo. Raises SlaveException for an exception answer, IOError 'modbus: read from slave timeout' for a short answer, ValueError for a CRC error."""
    def write_registers(self, station: int, address: int, values: Sequence[int]) -> None:
        """Write consecutive holding registers (function 16, at most 127) and await the answer. Raises ValueError for more than 127 values or a CRC error, SlaveException, IOError on time-out."""
    def send_write_register_request(self, station: int, address: int, value: int) -> None:
        """Send a function-6 request for one register without reading the answer; returns None."""
    def send_write_registers_request(self, station: int, address: int, values: Sequence[int]) -> None:
        """Send a function-16 request without reading the answer; returns None. Raises ValueError for more than 127 values."""
    def write_coil(self, station: int, address: int, value: object) -> None:
        """Write one coil (function 5: 0xFF00 for a true value, 0 otherwise) and await the echo. Raises SlaveException, IOError on time-out, ValueError for a CRC error."""
    def send_write_coil_request(self, station: int, address: int, value: object) -> None:
        """Send a function-5 request without reading the answer; returns None."""
    def read_register(self, station: int, address: int, func_code: int = 3) -> int:
        """Read one register with func_code (3 holding, 4 input) and return its unsigned 16-bit value. Raises SlaveException, IOError 'modbus: read from slave timeout', ValueError for a CRC error."""
    def read_registers(self, station: int, address: int, count: int, func_code: int = 3) -> List[int]:
        """Read count registers from address with func_code (3 holding, 4 input); returns the unsigned 16-bit values. Raises SlaveException, IOError on a short answer, ValueError for a CRC error."""
    def read_input_register(self, station: int, address: int) -> int:
        """Read one input register (function 4); returns its unsigned 16-bit value. Raises as read_registers."""
    def read_input_registers(self, station: int, address: int, count: int) -> List[int]:
        """Read count input registers (function 4); returns the unsigned 16-bit values. Raises as read_registers."""
    def read_int16(self, station: int, address: int) -> int:
        """Read one holding register and return it as a signed 16-bit value. Raises as read_registers."""
    def read_uint16(self, station: int, address: int, func_code: int = 3) -> int:
        """Read one register (function 3 by default) and return its unsigned 16-bit value. Raises as read_registers."""
    def write_int16(self, station: int, address: int, value: int) -> None:
        """Write one holding register (function 6); a negative value is sent in two's complement. Raises as write_register."""
    def write_uint16(self, station: int, address: int, value: int) -> None:
        """Write one holding register (function 6). Raises as write_register."""
    def _Master__read_int32(
        self, station: int, address: int, sign: Optional[str], endian: Optional[str]
    ) -> Union[int, float]: ...
    def read_uint32(self, station: int, address: int, endian: Optional[str] = ">") -> int:
        """Read two holding registers as an unsigned 32-bit value; endian '>' puts the high word at the lower address. Raises as read_registers."""
    def read_int32(self, station: int, address: int, endian: Optional[str] = ">") -> int:
        """Read two holding registers as a signed 32-bit value; endian '>' puts the high word at the lower address. Raises as read_registers."""
    def read_float(self, station: int, address: int, endian: Optional[str] = ">") -> float:
        """Read two holding registers as a single-precision float; endian '>' puts the high word at the lower address. Raises as read_registers."""
    def _Master__read_multi_int32(
        self, station: int, address: int, count: int, sign: Optional[str], endian: Optional[str]
    ) -> List[Union[int, float]]: ...
    def read_multi_uint32(self, station: int, address: int, count: int, endian: Optional[str] = ">") -> List[int]:
        """Read count unsigned 32-bit values from 2*count holding registers in one request. Raises as read_registers."""
    def read_multi_int32(self, station: int, address: int, count: int, endian: Optional[str] = ">") -> List[int]:
        """Read count signed 32-bit values from 2*count holding registers in one request. Raises as read_registers."""
    def read_multi_float(
        self, station: int, address: int, count: int, endian: Optional[str] = ">"
    ) -> List[float]:
        """Read count single-precision floats from 2*count holding registers in one request. Raises as read_registers."""
    def _Master__write_int32(
        self, station: int, address: int, value: Union[int, float], sign: Optional[str], endian: Optional[str]
    ) -> None: ...
    def write_int32(self, station: int, address: int, value: int, endian: Optional[str] = ">") -> None:
        """Write a signed 32-bit value to two holding registers (function 16). Raises struct.error for a value out of range, otherwise as write_registers."""
    def write_uint32(self, station: int, address: int, value: int, endian: Optional[str] = ">") -> None:
        """Write an unsigned 32-bit value to two holding registers (function 16). Raises struct.error for a value out of range, otherwise as write_registers."""
    def write_float(self, station: int, address: int, value: float, endian: Optional[str] = ">") -> None:
        """Write a single-precision float to two holding registers (function 16). Raises OverflowError for a value beyond single precision, otherwise as write_registers."""
    def _Master__write_multi_int32(
        self,
        station: int,
        address: int,
        values: Iterable[Union[int, float]],
        sign: Optional[str],
        endian: Optional[str],
    ) -> None: ...
    def write_multi_int32(
        self, station: int, address: int, values: Iterable[int], endian: Optional[str] = ">"
    ) -> None:
        """Write signed 32-bit values to consecutive register pairs in one function-16 request. Raises as write_int32."""
    def write_multi_uint32(
        self, station: int, address: int, values: Iterable[int], endian: Optional[str] = ">"
    ) -> None:
        """Write unsigned 32-bit values to consecutive register pairs in one function-16 request. Raises as write_uint32."""
    def write_multi_float(
        self, station: int, address: int, values: Iterable[float], endian: Optional[str] = ">"
    ) -> None:
        """Write single-precision floats to consecutive register pairs in one function-16 request. Raises as write_float."""
    def _Master__send_read_xx_registers_request(self, station: int, address: int, count: int, code: int) -> None: ...
    def send_read_registers_request(self, station: int, address: int, count: int, func_code: int) -> None:
        """Send a register read request with func_code without reading the answer; returns None."""
    def send_read_input_registers_request(self, station: int, address: int, count: int) -> None:
        """Send a function-4 read request without reading the answer; returns None."""
    def read_coil(self, station: int, address: int) -> bool:
        """Read one coil (function 1); returns its state. Raises SlaveException, IOError on a short answer, ValueError for a CRC error."""
    def _Master__read_xx_coils(self, station: int, address: int, count: int, code: int) -> List[bool]: ...
    def read_coils(self, station: int, address: int, count: int) -> List[bool]:
        """Read count coils (function 1); returns their states. Raises as read_coil."""
    def read_input_coils(self, station: int, address: int, count: int) -> List[bool]:
        """Read count discrete inputs (function 2); returns their states. Raises as read_coil."""
    def _Master__send_read_xx_coils_request(self, station: int, address: int, count: int, code: int) -> None: ...
    def send_read_coils_request(self, station: int, address: int, count: int) -> None:
        """Send a function-1 request without reading the answer; returns None."""
    def send_read_input_coils_request(self, station: int, address: int, count: int) -> None:
        """Send a function-2 request without reading the answer; returns None."""
    def _Master__read(self, size: int = 1) -> bytes: ...
    def _Master__feedback_assistant(
        self, station: int, normal_msg_len: int, check_crc: bool = False
    ) -> "array.array[int]": ...
    def _Master__write_message(self, message: _BytesLike) -> None: ...
    @staticmethod
    def _Master__check_crc(message: Union[_BytesLike, Sequence[int]], station: object) -> None: ...

class FixMaster:
    _FixMaster__master: Master
    _FixMaster__station: Any
    def __init__(
        self, tunnel: Union[_Serial, TCPTunnel, _Channel], station: int = 1, timeout: float = 1
    ) -> None:
        """A master bound to one station: it creates and owns a Master over the channel and forwards calls with the remembered station."""
    @property
    def station(self) -> int:
        """The station every call talks to."""
    @station.setter
    def station(self, value: int) -> None: ...
    def close(self) -> None:
        """Close the inner master and its channel."""
    def __enter__(self) -> "FixMaster":
        """Return the FixMaster itself."""
    def __exit__(
        self,
        exc_type: Optional[Type[BaseException]],
        exc_val: Optional[BaseException],
        exc_tb: Optional[TracebackType],
    ) -> None:
        """Close the FixMaster; exceptions are not suppressed."""
    @property
    def timeout(self) -> float:
        """The channel's time-out in seconds; setting it converts the value to float."""
    @timeout.setter
    def timeout(self, value: float) -> None: ...
    def send_write_coil_request(self, address: int, value: object) -> None:
        """Send a function-5 request to the station without reading the answer."""
    def send_write_registers_request(self, address: int, values: Sequence[int]) -> None:
        """Send a function-16 request to the station without reading the answer. Raises ValueError for more than 127 values."""
    def send_write_register_request(self, address: int, value: int) -> None:
        """Send a function-6 request to the station without reading the answer."""
    def send_read_coils_request(self, address: int, count: int) -> None:
        """Send a function-1 request to the station without reading the answer."""
    def send_read_registers_request(self, address: int, count: int, func_code: int = 3) -> None:
        """Send a register read request with func_code to the station without reading the answer."""
    def write_register(self, address: int, value: int) -> None:
        """Write one holding register of the station (function 6). Raises as Master.write_register."""
    def write_registers(self, address: int, values: Sequence[int]) -> None:
        """Write consecutive holding registers of the station (function 16, at most 127). Raises as Master.write_registers."""
    def write_coil(self, address: int, value: object) -> None:
        """Write one coil of the station (function 5). Raises as Master.write_coil."""
    def read_register(self, address: int) -> int:
        """Read one holding register of the station; returns its unsigned value. Raises as Master.read_registers."""
    def read_registers(self, address: int, count: int, func_code: int = 3) -> List[int]:
        """Read count registers of the station with func_code; returns the unsigned values. Raises as Master.read_registers."""
    def read_coil(self, address: int) -> bool:
        """Read one coil of the station; returns its state. Raises as Master.read_coil."""
    def read_coils(self, address: int, count: int) -> List[bool]:
        """Read count coils of the station; returns their states. Raises as Master.read_coil."""
    def read_int32(self, address: int) -> int:
        """Read a signed 32-bit value (high word first) from two registers of the station."""
    def read_uint32(self, address: int) -> int:
        """Read an unsigned 32-bit value (high word first) from two registers of the station."""
    def read_float(self, address: int) -> float:
        """Read a single-precision float (high word first) from two registers of the station."""
    def write_int32(self, address: int, value: int) -> None:
        """Write a signed 32-bit value (high word first) to two registers of the station."""
    def write_uint32(self, address: int, value: int) -> None:
        """Write an unsigned 32-bit value (high word first) to two registers of the station."""
    def read_int16(self, address: int) -> int:
        """Read one register of the station as a signed 16-bit value."""
    def read_uint16(self, address: int) -> int:
        """Read one register of the station as an unsigned 16-bit value."""
    def write_int16(self, address: int, value: int) -> None:
        """Write a signed 16-bit value to one register of the station."""
    def write_uint16(self, address: int, value: int) -> None:
        """Write an unsigned 16-bit value to one register of the station."""

class ModbusTCPMaster:
    _socket: socket.socket
    def __init__(self, host: Optional[str], port: int, timeout: float = 1.0) -> None:
        """Open a Modbus TCP connection to host:port (unit id 1) with a time-out in seconds. Raises OSError when the connection fails, TypeError for a host that is not a str."""
    @staticmethod
    def construct_read_coils_command(coil_type: int, address: int, count: int) -> str:
        """Return the Modbus TCP request, as a latin-1 text, that reads count coils (coil_type 1) or discrete inputs (coil_type 2) from address. Sends nothing."""
    def _query(self, command: Optional[str], needed_length: int) -> bytes:
        """Send a request text and return at most needed_length bytes of what arrives (fewer when fewer came). Raises socket.timeout when nothing arrives."""
    def read_coils(self, coil_type: int, address: int, count: int) -> List[bool]:
        """Read count coils (coil_type 1) or discrete inputs (coil_type 2) from address; returns their states. Raises SlaveException for an exception answer, socket.timeout when no answer comes."""
    @staticmethod
    def construct_write_coil_command(coil_type: int, address: int, value: object) -> str:
        """Return the Modbus TCP request, as a latin-1 text, that writes one coil (coil_type 1) at address. Sends nothing."""
    def write_coil(self, coil_type: int, address: int, value: object) -> None:
        """Write one coil (function 5) and await the answer; returns None. Raises SlaveException for an exception answer, socket.timeout when no answer comes."""
