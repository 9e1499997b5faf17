import socket
import subprocess
from typing import Any, Callable, Collection, FrozenSet, Iterable, List, Optional, Tuple, TypeVar, Union

from .image import SlaveImage

POLL: float

_Stations = Union[int, Iterable[int], None]
_S = TypeVar("_S", bound="_Server")
_P = TypeVar("_P", bound="SlaveProcess")

class Faults:
    delay: float
    split_at: Optional[int]
    split_gap: float
    trickle: Optional[float]
    corrupt_crc: bool
    corrupt_byte: Optional[int]
    exception: Optional[int]
    silent: bool
    truncate: Optional[int]
    extra: bytes
    odd_byte_count: bool
    close_after_request: Union[bool, int, None]
    answer_station: Optional[int]
    def __init__(self) -> None: ...
    def __setattr__(self, name: str, value: Any) -> None: ...
    def set(self, *, delay: float = ..., split_at: Optional[int] = ..., split_gap: float = ...,
            trickle: Optional[float] = ..., corrupt_crc: bool = ..., corrupt_byte: Optional[int] = ...,
            exception: Optional[int] = ..., silent: bool = ..., truncate: Optional[int] = ...,
            extra: bytes = ..., odd_byte_count: bool = ..., close_after_request: Union[bool, int, None] = ...,
            answer_station: Optional[int] = ...) -> None: ...
    def reset(self) -> None: ...
    def snapshot(self) -> Any: ...

def listen(host: str, port: int) -> socket.socket: ...
def mbap_split(buf: bytearray) -> Tuple[List[bytes], bytearray]: ...
def mbap_reply(adu: bytes, process: Callable[[bytes], Optional[bytes]],
               stations: Optional[Collection[int]]) -> Optional[bytes]: ...

class _Server:
    record: bool
    image: SlaveImage
    stations: Optional[FrozenSet[int]]
    faults: Faults
    requests: List[bytes]
    connections: int
    def __init__(self, image: Optional[SlaveImage], stations: _Stations, lifetime: Optional[float],
                 record: bool = ...) -> None: ...
    def close(self) -> None: ...
    def __enter__(self: _S) -> _S: ...
    def __exit__(self, *exc: object) -> None: ...

class _TcpServer(_Server):
    address: Tuple[str, int]
    host: str
    port: int
    def __init__(self, image: Optional[SlaveImage], host: str, port: int, stations: _Stations,
                 lifetime: Optional[float], record: bool) -> None: ...

class RtuTcpSlave(_TcpServer):
    def __init__(self, image: Optional[SlaveImage] = ..., host: str = ..., port: int = ...,
                 stations: _Stations = ..., lifetime: Optional[float] = ..., record: bool = ...) -> None: ...

class ModbusTcpSlave(_TcpServer):
    def __init__(self, image: Optional[SlaveImage] = ..., host: str = ..., port: int = ...,
                 stations: _Stations = ..., lifetime: Optional[float] = ..., record: bool = ...) -> None: ...

class RtuPtySlave(_Server):
    port: str
    def __init__(self, image: Optional[SlaveImage] = ..., stations: _Stations = ...,
                 lifetime: Optional[float] = ..., record: bool = ...) -> None: ...

class SlaveProcess:
    proc: subprocess.Popen[bytes]
    rtu_tcp: Optional[int]
    modbus_tcp: Optional[int]
    host: str
    def __init__(self, rtu_tcp: Optional[int] = ..., modbus_tcp: Optional[int] = ...,
                 lifetime: Optional[float] = ..., precomputed: bool = ..., host: str = ...) -> None: ...
    def close(self) -> None: ...
    def __enter__(self: _P) -> _P: ...
    def __exit__(self, *exc: object) -> None: ...
