"""See the bytes on the wire: ``qel_modbus_ext.trace`` wraps a channel (a
``TCPTunnel``, a ``ModbusTCPChannel`` or a pyserial port) and logs every
request and answer in hex through ``logging``, here on the logger
"modbus.wire" at level DEBUG.  Hand the wrapper to ``Master`` where you
would hand the channel; masters on the wrapper and on the channel itself
take turns on that channel.

    python3 examples/tracing_channel.py             # against the simulated slave
    python3 examples/tracing_channel.py HOST PORT   # against your gateway
"""
import logging
import sys

from qel_modbus import Master, TCPTunnel
from qel_modbus_ext import trace


def poll(host, port):
    with Master(trace(TCPTunnel(host, port), logging.getLogger("modbus.wire")), timeout=0.5) as master:
        master.write_register(1, 10, 0x1234)
        print("register 10:", hex(master.read_register(1, 10)))


def main(argv):
    logging.basicConfig(level=logging.DEBUG, format="%(name)s %(message)s", stream=sys.stdout)
    if len(argv) == 2:
        return poll(argv[0], int(argv[1]))
    from qel_modbus_simslave import RtuTcpSlave
    with RtuTcpSlave(lifetime=60) as slave:
        poll(slave.host, slave.port)


if __name__ == "__main__":
    main(sys.argv[1:])
