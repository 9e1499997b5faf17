"""See the bytes on the wire: a channel that logs every transfer.

``TracingChannel`` wraps any channel (a ``TCPTunnel`` or a pyserial port),
forwards the five members a master uses, and logs each write and read in
hex through ``logging`` (logger "modbus.wire", level DEBUG).  Hand the
wrapper to ``Master`` where you would hand the channel.  It names the
channel it wraps as ``channel``: masters on several wrappers of one tunnel
then take turns on that tunnel, as masters on the tunnel itself do.

    python3 examples/tracing_channel.py             # against the simulated slave
    python3 examples/tracing_channel.py HOST PORT   # against your gateway
"""
import logging
import sys

from qel_modbus import Master, TCPTunnel

WIRE = logging.getLogger("modbus.wire")


def spaced(data):
    return " ".join("%02x" % b for b in bytes(data))


class TracingChannel:
    def __init__(self, channel, log=WIRE):
        self.channel, self.log = channel, log

    def write(self, data):
        self.log.debug("-> %s", spaced(data))
        return self.channel.write(data)

    def read(self, size=1):
        try:
            data = self.channel.read(size)
        except OSError as e:
            self.log.debug("<- %s: %s", type(e).__name__, e)
            raise
        if data or size:
            self.log.debug("<- %s", spaced(data) if data else "(nothing)")
        return data

    @property
    def in_waiting(self):
        return self.channel.in_waiting

    @property
    def timeout(self):
        return self.channel.timeout

    @timeout.setter
    def timeout(self, value):
        self.channel.timeout = value

    def close(self):
        self.channel.close()


def poll(host, port):
    with Master(TracingChannel(TCPTunnel(host, port)), timeout=0.5) as master:
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
