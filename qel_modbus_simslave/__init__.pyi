from .image import SlaveImage as SlaveImage
from .rtu import crc16 as crc16, rtu_frame as rtu_frame
from .servers import Faults as Faults, ModbusTcpSlave as ModbusTcpSlave, RtuPtySlave as RtuPtySlave
from .servers import RtuTcpSlave as RtuTcpSlave, SlaveProcess as SlaveProcess

__all__ = ["SlaveImage", "Faults", "RtuTcpSlave", "RtuPtySlave", "ModbusTcpSlave",
           "SlaveProcess", "crc16", "rtu_frame"]
