"""Quickstart: poll the project's simulated slave over RTU-over-TCP.

Starts the simulated slave on loopback, then reads and writes holding
registers, coils and a float through TCPTunnel + Master, and prints what it
read back.
"""
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

from qel_modbus import Master, TCPTunnel  # noqa: E402
from qel_modbus_simslave import RtuTcpSlave  # noqa: E402

STATION = 1


def main():
    with RtuTcpSlave(stations={STATION}, lifetime=60) as slave:
        slave.image.set_holding(0, [1200, 3400, 5600])
        slave.image.set_coils(0, [True, False, True])
        host, port = slave.address

        with Master(TCPTunnel(host, port, timeout=1.0)) as master:
            print("holding registers 0-2:", master.read_registers(STATION, 0, 3))

            master.write_registers(STATION, 10, [11, 22, 33])
            print("holding registers 10-12 after write:", master.read_registers(STATION, 10, 3))

            print("coils 0-2:", master.read_coils(STATION, 0, 3))
            master.write_coil(STATION, 1, True)
            print("coil 1 after write:", master.read_coil(STATION, 1))

            master.write_float(STATION, 20, 3.14)
            print("float at 20-21:", round(master.read_float(STATION, 20), 5))

            master.write_int32(STATION, 30, -123456, endian="<")
            print("int32 at 30-31 (low word first):", master.read_int32(STATION, 30, endian="<"))


if __name__ == "__main__":
    main()
