"""The project's simulated Modbus slave, in pure Python.

    from qel_modbus_simslave import RtuTcpSlave
    with RtuTcpSlave() as slave:                 # station 1, port chosen by the OS
        slave.image.set_holding(0, [1, 2, 3])
        host, port = slave.address
        slave.faults.delay = 0.5                 # see Faults
        ...
        slave.requests                           # raw request frames received

Transports: RtuTcpSlave, RtuPtySlave, ModbusTcpSlave (threads, in process),
SlaveProcess / ``python -m qel_modbus_simslave`` (a child process, for benchmarks).
The data image and its accessors: qel_modbus_simslave.image.SlaveImage.
The command line, with fault switches and a pseudo-terminal mode:
``python -m qel_modbus_simslave --help``.
"""

from .image import SlaveImage
from .rtu import crc16, rtu_frame
from .servers import Faults, ModbusTcpSlave, RtuPtySlave, RtuTcpSlave, SlaveProcess

__all__ = ["SlaveImage", "Faults", "RtuTcpSlave", "RtuPtySlave", "ModbusTcpSlave",
           "SlaveProcess", "crc16", "rtu_frame"]
