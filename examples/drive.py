"""A variable-speed drive: control word, status word, scaled set-point.

Holding registers of the drive (from its manual):

    0   control word   bit 0 run, bit 1 reverse, bit 7 fault reset
    1   speed set-point, 0.01 Hz per unit (0..5000 = 0..50.00 Hz)
    10  status word    bit 0 ready, bit 1 running, bit 2 reverse, bit 3 fault
    11  actual speed, 0.01 Hz per unit

A register field carries only the low 16 bits of what is passed, so the
set-point is checked against the drive's range before it is written.

    python3 examples/drive.py                      # simulated drive
    python3 examples/drive.py HOST PORT [STATION]  # your gateway
"""
import sys
import threading
import time

from qel_modbus import Master, TCPTunnel

CONTROL, SETPOINT, STATUS, ACTUAL = 0, 1, 10, 11
RUN, REVERSE, FAULT_RESET = 1 << 0, 1 << 1, 1 << 7
STATUS_BITS = ["ready", "running", "reverse", "fault"]
MAX_HZ = 50.0


def set_speed(master, station, hz):
    raw = round(hz * 100)
    if not 0 <= raw <= round(MAX_HZ * 100):
        raise ValueError(f"{hz} Hz is outside 0..{MAX_HZ} Hz")
    master.write_register(station, SETPOINT, raw)
    return raw


def status(master, station):
    word, actual = master.read_registers(station, STATUS, 2)
    return [name for bit, name in enumerate(STATUS_BITS) if word >> bit & 1], actual / 100


def wait_until(master, station, flag, present=True, timeout=5.0):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        flags, actual = status(master, station)
        if (flag in flags) == present:
            return flags, actual
        time.sleep(0.05)
    raise TimeoutError(f"drive did not report {flag!r} {'on' if present else 'off'}")


def run(master, station):
    print("set-point register:", set_speed(master, station, 37.5))
    try:
        set_speed(master, station, 700)
    except ValueError as e:
        print("refused:", e)
    master.write_register(station, CONTROL, RUN | REVERSE)
    flags, actual = wait_until(master, station, "running")
    print("status:", " ".join(flags), f"{actual:.2f} Hz")
    master.write_register(station, CONTROL, 0)
    flags, actual = wait_until(master, station, "running", present=False)
    print("status:", " ".join(flags), f"{actual:.2f} Hz")


def simulated_drive(image, stop):
    """Follows the control word the way a drive does, every 10 ms."""
    while not stop.wait(0.01):
        control, setpoint = image.get_holding(CONTROL, 2)
        running = bool(control & RUN)
        word = 1 | running << 1 | (running and bool(control & REVERSE)) << 2
        image.set_holding(STATUS, [word, setpoint if running else 0])


def main(argv):
    if len(argv) >= 2:
        with Master(TCPTunnel(argv[0], int(argv[1]))) as master:
            return run(master, int(argv[2]) if len(argv) > 2 else 1)
    from qel_modbus_simslave import RtuTcpSlave
    stop = threading.Event()
    with RtuTcpSlave(lifetime=60) as slave:
        model = threading.Thread(target=simulated_drive, args=(slave.image, stop), daemon=True)
        model.start()
        try:
            with Master(TCPTunnel(slave.host, slave.port)) as master:
                run(master, 1)
        finally:
            stop.set()
            model.join()


if __name__ == "__main__":
    main(sys.argv[1:])
