"""An energy meter: 32-bit floats in input registers, low word first.

Many meters keep their readings as IEEE floats in input registers
(function 4), two registers each, and many send the low 16 bits first.
``Master.read_float`` reads holding registers, so a meter is read with
``read_input_registers`` and ``struct``; one request fetches the block.

    python3 examples/energy_meter.py                      # simulated meter
    python3 examples/energy_meter.py HOST PORT [STATION]  # your gateway
"""
import struct
import sys

from qel_modbus import Master, TCPTunnel

# Input register map of the meter: name, address, unit.  Energy is an
# unsigned 32-bit count of watt-hours at 100-101.
FLOATS = [("voltage", 0, "V"), ("current", 2, "A"), ("power", 4, "W"), ("frequency", 6, "Hz")]
ENERGY = 100
LOW_WORD_FIRST = True  # the meter's manual says "CDAB" / "word swapped"


def join(first, second, fmt):
    """Two registers as read (lower address first) -> one 32-bit value."""
    high, low = (second, first) if LOW_WORD_FIRST else (first, second)
    return struct.unpack(">" + fmt, struct.pack(">HH", high, low))[0]


def split(value, fmt):
    """One 32-bit value -> the two registers as the meter holds them."""
    high, low = struct.unpack(">HH", struct.pack(">" + fmt, value))
    return [low, high] if LOW_WORD_FIRST else [high, low]


def read_meter(master, station):
    regs = master.read_input_registers(station, 0, 8)       # one request for all four floats
    values = {name: join(regs[a], regs[a + 1], "f") for name, a, _ in FLOATS}
    e = master.read_input_registers(station, ENERGY, 2)
    values["energy"] = join(e[0], e[1], "I") / 1000.0       # kWh
    return values


def report(master, station):
    values = read_meter(master, station)
    for name, _, unit in FLOATS:
        print(f"{name}: {values[name]:.2f} {unit}")
    print(f"energy: {values['energy']:.3f} kWh")
    # Read with the wrong word order, the same registers are nonsense: a
    # quick way to find a meter's order is to read a known value both ways.
    lo, hi = master.read_input_registers(station, 6, 2)
    wrong = struct.unpack(">f", struct.pack(">HH", lo, hi))[0]
    print(f"frequency read high word first: {wrong:.3g}")


def simulated_meter(slave):
    for (name, address, _), value in zip(FLOATS, (230.4, 5.25, 1187.5, 49.98)):
        slave.image.set_input(address, split(value, "f"))
    slave.image.set_input(ENERGY, split(123456789, "I"))


def main(argv):
    if len(argv) >= 2:
        with Master(TCPTunnel(argv[0], int(argv[1]))) as master:
            return report(master, int(argv[2]) if len(argv) > 2 else 1)
    from qel_modbus_simslave import RtuTcpSlave
    with RtuTcpSlave(lifetime=60) as slave:
        simulated_meter(slave)
        with Master(TCPTunnel(slave.host, slave.port)) as master:
            report(master, 1)


if __name__ == "__main__":
    main(sys.argv[1:])
