"""A poll loop over several stations that keeps going when one fails.

Each round reads a list of points; a silent station costs one time-out
and an exception answer costs one round trip, and both are counted, not
fatal.  Reads are safe to repeat, so a failed point is simply read again
next round.  (Never repeat a write blindly: see the README.)

    python3 examples/poll_loop.py                # simulated line: station 2 is off
    python3 examples/poll_loop.py HOST PORT      # your gateway (edit POINTS)
"""
import sys
import time

from qel_modbus import Master, SlaveException, TCPTunnel

# (station, first holding register, count)
POINTS = [(1, 0, 2), (2, 0, 2), (3, 65534, 4)]
ROUNDS = 3
PERIOD = 0.1  # seconds between rounds
EXCEPTIONS = {1: "illegal function", 2: "illegal data address", 3: "illegal data value",
              4: "slave device failure", 6: "slave device busy",
              10: "gateway path unavailable", 11: "gateway target failed to respond"}


def poll_once(master, counts):
    for station, address, count in POINTS:
        try:
            values = master.read_registers(station, address, count)
        except SlaveException as e:
            result = f"exception {e.error_code} ({EXCEPTIONS.get(e.error_code, 'unknown')})"
        except ValueError:        # CRC error: noise on the line
            result = "garbled answer"
        except OSError:           # time-out, or the gateway went away
            result = "no answer"
        else:
            counts[station] += 1
            result = str(values)
        yield f"station {station}: {result}"


def poll(master):
    counts = {station: 0 for station, _, _ in POINTS}
    for n in range(1, ROUNDS + 1):
        print(f"round {n}:", "; ".join(poll_once(master, counts)))
        time.sleep(PERIOD)
    print("answers:", ", ".join(f"station {s} {c}/{ROUNDS}" for s, c in counts.items()))


def main(argv):
    if len(argv) >= 2:
        with Master(TCPTunnel(argv[0], int(argv[1])), timeout=0.5) as master:
            return poll(master)
    from qel_modbus_simslave import RtuTcpSlave
    # Stations 1 and 3 on the line; station 2 is switched off.  Station 3's
    # point lies past the end of its map.
    with RtuTcpSlave(stations={1, 3}, lifetime=60) as line:
        line.image.set_holding(0, [2301, 498])
        with Master(TCPTunnel(line.host, line.port), timeout=0.2) as master:
            poll(master)


if __name__ == "__main__":
    main(sys.argv[1:])
