"""Command line of the simulated slave: ``python -m qel_modbus_simslave --help``.

Starts the chosen transports around one shared data image, prints the
address of each, and serves until Ctrl-C, SIGTERM, the lifetime, or (when
stdin is a pipe) the end of stdin.
"""

import argparse
import json
import os
import signal
import stat
import sys
import threading

from .image import SlaveImage
from .servers import ModbusTcpSlave, RtuPtySlave, RtuTcpSlave

EPILOG = """\
examples:
  python -m qel_modbus_simslave --rtu-tcp 5020
  python -m qel_modbus_simslave --rtu-tcp 5020 --modbus-tcp 5502 --pty --stations 1,2,3 \\
      --holding 0=1200,3400,5600 --coils 0=1,0,1
  python -m qel_modbus_simslave --rtu-tcp 5020 --delay 1.5          # answers late
  python -m qel_modbus_simslave --rtu-tcp 5020 --image plant.json

image file (JSON; addresses are keys, each with the values from there on):
  {"holding": {"0": [1200, 3400]}, "input": {"100": [7]},
   "coils": {"0": [1, 0, 1]}, "discrete": {"0": [true]}}
"""

TABLES = ("holding", "input", "coils", "discrete")
FAULTS = ("delay", "split_at", "split_gap", "corrupt_crc", "exception", "silent")


def build_parser():
    p = argparse.ArgumentParser(
        prog="python -m qel_modbus_simslave", epilog=EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
        description="A simulated Modbus slave (RTU over TCP, Modbus TCP, RTU on a pseudo-terminal) "
                    "for trying qel_modbus without hardware. Every table holds 65536 entries, all 0 "
                    "until set.")
    t = p.add_argument_group("transports (at least one)")
    t.add_argument("--rtu-tcp", type=int, metavar="PORT",
                   help="serve RTU frames over TCP on PORT (0: any free port); use TCPTunnel(HOST, PORT)")
    t.add_argument("--modbus-tcp", type=int, metavar="PORT",
                   help="serve Modbus TCP on PORT (0: any free port); use ModbusTCPMaster(HOST, PORT)")
    t.add_argument("--pty", action="store_true",
                   help="serve RTU on a pseudo-terminal and print its device path; "
                        "use serial.Serial(PATH) (POSIX only)")
    t.add_argument("--host", default="127.0.0.1",
                   help="address the TCP transports bind to (default 127.0.0.1; 0.0.0.0 for all)")
    t.add_argument("--stations", default="1", metavar="1,2,...|any",
                   help="RTU stations that answer (default 1); others stay silent like absent devices")

    i = p.add_argument_group("data image")
    for name, what in zip(TABLES, ("holding registers", "input registers", "coils", "discrete inputs")):
        i.add_argument(f"--{name}", action="append", default=[], metavar="ADDR=V,V,...",
                       help=f"set {what} from ADDR on; repeatable" +
                            (" (values 0/1)" if name in ("coils", "discrete") else " (0..65535, 0x.. allowed)"))
    i.add_argument("--image", metavar="FILE", help="load the tables from a JSON file (see below)")

    f = p.add_argument_group("fault switches (threaded transports; apply to every answer)")
    f.add_argument("--delay", type=float, default=0.0, metavar="S", help="answer S seconds late")
    f.add_argument("--split-at", type=int, metavar="N", help="send the first N bytes of each answer, pause, then the rest")
    f.add_argument("--split-gap", type=float, default=0.05, metavar="S",
                   help="the pause of --split-at (default 0.05 s)")
    f.add_argument("--corrupt-crc", action="store_true", help="flip a bit of each answer's CRC (RTU)")
    f.add_argument("--exception", type=int, metavar="CODE",
                   help="answer every request with Modbus exception CODE (e.g. 2, 4, 11)")
    f.add_argument("--silent", action="store_true", help="process requests but never answer")

    r = p.add_argument_group("running")
    r.add_argument("--lifetime", type=float, metavar="S", help="stop after S seconds (default: run until stopped)")
    r.add_argument("--json", action="store_true",
                   help='print the addresses as one JSON line {"rtu_tcp", "modbus_tcp", "pty", "pid"}')
    r.add_argument("--fast", action="store_true",
                   help="one thread for all connections, for benchmarks: TCP only, no fault switches")
    r.add_argument("--precomputed", action="store_true",
                   help="with --fast: answer a request seen before from a cache (a repeated write "
                        "is not executed again)")
    return p


def check_args(p, args):
    if args.rtu_tcp is None and args.modbus_tcp is None and not args.pty:
        p.error("give --rtu-tcp, --modbus-tcp and/or --pty")
    if args.fast and (args.pty or any_fault(args)):
        p.error("--fast serves TCP only and has no fault switches")
    if args.precomputed and not args.fast:
        p.error("--precomputed needs --fast")
    if args.pty and os.name != "posix":
        p.error("--pty needs a POSIX system")
    try:
        args.stations = parse_stations(args.stations)
    except ValueError:
        p.error(f"--stations: expected numbers 0..255 separated by commas, or any: {args.stations!r}")


def any_fault(args):
    return bool(args.delay or args.split_at is not None or args.corrupt_crc or
                args.exception is not None or args.silent)


def parse_stations(text):
    if text == "any":
        return None
    stations = {int(s) for s in text.split(",")}
    if not all(0 <= s <= 255 for s in stations):
        raise ValueError(text)
    return stations


def parse_assignment(text):
    """"100=1,2,0x10" -> (100, [1, 2, 16])."""
    addr, sep, values = text.partition("=")
    if not sep or not values:
        raise ValueError(f"expected ADDR=V,V,...: {text!r}")
    return int(addr, 0), [int(v, 0) for v in values.split(",")]


def load_image(p, args):
    image = SlaveImage()
    try:
        if args.image:
            with open(args.image, encoding="utf-8") as fh:
                tables = json.load(fh)
            unknown = set(tables) - set(TABLES)
            if unknown:
                raise ValueError(f"unknown tables {sorted(unknown)} in {args.image}")
            for name, entries in tables.items():
                for addr, values in entries.items():
                    getattr(image, f"set_{name}")(int(addr), values)
        for name in TABLES:
            for text in getattr(args, name):
                getattr(image, f"set_{name}")(*parse_assignment(text))
    except (OSError, ValueError, TypeError, IndexError, OverflowError) as e:
        p.error(f"image: {e}")
    return image


def _stdin_is_a_pipe():
    # A parent holding our stdin as a pipe ends us by closing it; a terminal
    # or /dev/null must not.
    try:
        mode = os.fstat(0).st_mode
    except OSError:
        return False
    return stat.S_ISFIFO(mode) or stat.S_ISSOCK(mode)


def announce(args, addresses):
    """Prints where each transport listens, for a person or (--json) a program."""
    if args.json:
        print(json.dumps(dict(addresses, pid=os.getpid())), flush=True)
        return
    host = args.host
    if addresses.get("rtu_tcp") is not None:
        print(f"RTU over TCP  HOST={host} PORT={addresses['rtu_tcp']}"
              f"      Master(TCPTunnel({host!r}, {addresses['rtu_tcp']}))")
    if addresses.get("modbus_tcp") is not None:
        print(f"Modbus TCP    HOST={host} TCP_PORT={addresses['modbus_tcp']}"
              f"  ModbusTCPMaster({host!r}, {addresses['modbus_tcp']})")
    if addresses.get("pty") is not None:
        print(f"RTU serial    SERIAL_PORT={addresses['pty']}"
              f"  Master(serial.Serial({addresses['pty']!r}))")
    stations = "any" if args.stations is None else ",".join(map(str, sorted(args.stations)))
    print(f"stations {stations}; Ctrl-C stops", flush=True)


def start_threaded(args, image):
    """The threaded transports, each with the command line's fault switches."""
    servers, addresses = [], {"rtu_tcp": None, "modbus_tcp": None, "pty": None}
    common = dict(image=image, lifetime=None, record=False)
    try:
        if args.rtu_tcp is not None:
            s = RtuTcpSlave(host=args.host, port=args.rtu_tcp, stations=args.stations, **common)
            servers.append(s)
            addresses["rtu_tcp"] = s.port
        if args.modbus_tcp is not None:
            servers.append(ModbusTcpSlave(host=args.host, port=args.modbus_tcp, **common))
            addresses["modbus_tcp"] = servers[-1].port
        if args.pty:
            servers.append(RtuPtySlave(stations=args.stations, **common))
            addresses["pty"] = servers[-1].port
    except OSError:
        stop_all(servers)
        raise
    for s in servers:
        s.faults.set(**{name: getattr(args, name) for name in FAULTS})
    return servers, addresses


def stop_all(servers):
    for s in servers:
        s.close()


def wait_threaded(args, servers, addresses):
    done = threading.Event()
    signal.signal(signal.SIGTERM, lambda *_: done.set())
    announce(args, addresses)
    if _stdin_is_a_pipe():
        threading.Thread(target=lambda: (sys.stdin.buffer.read(), done.set()), daemon=True).start()
    try:
        done.wait(args.lifetime)
    except KeyboardInterrupt:
        pass
    finally:
        stop_all(servers)


def run_fast(args, image):
    from .fast import FastServer
    server = FastServer(image, args.stations, args.precomputed)
    try:
        if args.rtu_tcp is not None:
            server.listen("rtu_tcp", args.host, args.rtu_tcp, rtu=True)
        if args.modbus_tcp is not None:
            server.listen("modbus_tcp", args.host, args.modbus_tcp, rtu=False)
    except OSError:
        server.close()
        raise
    if _stdin_is_a_pipe():
        server.watch(sys.stdin.buffer)
    signal.signal(signal.SIGTERM, lambda *_: server.stop())
    announce(args, dict({"rtu_tcp": None, "modbus_tcp": None, "pty": None}, **server.ports))
    try:
        server.serve(args.lifetime)  # closes everything when it ends
    except KeyboardInterrupt:
        pass


def main(argv=None):
    p = build_parser()
    args = p.parse_args(argv)
    check_args(p, args)
    image = load_image(p, args)
    try:
        if args.fast:
            run_fast(args, image)
        else:
            wait_threaded(args, *start_threaded(args, image))
    except OSError as e:
        print(f"python -m qel_modbus_simslave: {e}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
