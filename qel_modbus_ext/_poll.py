"""The poll command: ``python -m qel_modbus_ext`` or ``qel-modbus``.

Reads and writes a device from the shell over a serial port, RTU over TCP
or Modbus TCP; every request goes through the companion's functions, so
each transport takes the same road as a program using the library.
"""

import argparse
import datetime
import json
import math
import re
import shutil
import socket
import struct
import sys
import time

import _qel_modbus_ext

try:
    from termios import error as _TermiosError
except ImportError:  # Windows
    class _TermiosError(Exception):
        pass

PROG = "qel-modbus"

EXCEPTION_NAMES = {
    1: "ILLEGAL FUNCTION", 2: "ILLEGAL DATA ADDRESS", 3: "ILLEGAL DATA VALUE",
    4: "SLAVE DEVICE FAILURE", 5: "ACKNOWLEDGE", 6: "SLAVE DEVICE BUSY",
    8: "MEMORY PARITY ERROR", 10: "GATEWAY PATH UNAVAILABLE",
    11: "GATEWAY TARGET DEVICE FAILED TO RESPOND",
}

# table -> (function code for a plain read, largest count of one request)
TABLES = {"holding": (3, 125), "input": (4, 125), "coils": (1, 2000), "discrete": (2, 2000)}
ORDERS = ("ABCD", "CDAB", "BADC", "DCBA")

DESCRIPTION = """\
Read registers, coils and inputs of a Modbus device, or write one, from the
shell. Give one transport, then one or more reads and/or writes. Writes are
done once, before the first read; reads are repeated with --repeat.

Addresses are protocol addresses counted from 0: the manual's holding
register 40001 is --holding 0, input register 30001 is --input 0. Numbers
may be written in hex (0x10)."""

EPILOG = """\
examples:
  read 4 holding registers from station 1 behind a serial gateway (RTU over TCP):
    qel-modbus --rtu-tcp 192.168.1.50:4001 --holding 0 4
  poll two float32 input registers (word-swapped) of station 3 on RS-485 every 2 s,
  until Ctrl-C:
    qel-modbus --serial /dev/ttyUSB0 --baud 9600 --parity N --station 3 \\
        --input 100 2 --as float32 --order CDAB --repeat 0 --interval 2

word orders of --order (the value 0x11223344 held in two registers):
  ABCD  0x1122 0x3344  big-endian, the Modbus default
  CDAB  0x3344 0x1122  words swapped
  BADC  0x2211 0x4433  bytes swapped in each register
  DCBA  0x4433 0x2211  both

exit status: 0 all polls succeeded, 1 a read or write failed, 2 a wrong command line.
"python -m qel_modbus_ext" is the same command."""


# ---- the command line -------------------------------------------------------------

def _number(text):
    try:
        return int(text, 0)
    except ValueError:
        raise argparse.ArgumentTypeError("not a whole number: %r" % text)


def _host_port(text):
    host, sep, port = text.rpartition(":")
    host = host.strip("[]")  # [::1]:502
    if not sep or not host:
        raise argparse.ArgumentTypeError("expected HOST:PORT, e.g. 192.168.1.50:502: %r" % text)
    try:
        number = int(port)
    except ValueError:
        number = -1
    if not 0 < number < 65536:
        raise argparse.ArgumentTypeError("the port is a number 1..65535: %r" % text)
    return host, number


def _kind(text):
    try:
        _qel_modbus_ext._registers_of(text, "ABCD")
    except ValueError as e:
        raise argparse.ArgumentTypeError(str(e))
    return text


def _width(kind):
    """Registers one value of ``kind`` takes."""
    return 1 if kind is None else _qel_modbus_ext._registers_of(kind, "ABCD")


class _Ordered(argparse.Action):
    """Keeps reads and writes in the order they were given."""

    def __call__(self, parser, namespace, values, option_string=None):
        items = getattr(namespace, self.dest) or []
        setattr(namespace, self.dest, items + [(self.const, values[0], values[1])])


def build_parser():
    p = argparse.ArgumentParser(prog=PROG, description=DESCRIPTION, epilog=EPILOG,
                                formatter_class=argparse.RawDescriptionHelpFormatter)
    t = p.add_argument_group("how to reach the device (give exactly one)")
    way = t.add_mutually_exclusive_group(required=True)
    way.add_argument("--serial", metavar="PORT",
                     help="RS-485/RS-232 port, e.g. /dev/ttyUSB0 or COM3 (pyserial URLs such as "
                          "rfc2217://host:port work too)")
    way.add_argument("--rtu-tcp", type=_host_port, metavar="HOST:PORT",
                     help="a serial-to-Ethernet gateway passing RTU frames through (transparent mode)")
    way.add_argument("--tcp", type=_host_port, metavar="HOST:PORT",
                     help="a Modbus TCP device or gateway (port 502 as a rule)")
    t.add_argument("--baud", type=int, default=19200, metavar="N", help="serial baud rate (default 19200)")
    t.add_argument("--parity", choices="NEO", default="E",
                   help="serial parity: None, Even, Odd (default E)")
    t.add_argument("--stopbits", type=int, choices=(1, 2), default=1, help="serial stop bits (default 1)")
    t.add_argument("--station", type=_number, default=1, metavar="N",
                   help="the device's station address; the unit id on Modbus TCP (default 1)")
    t.add_argument("--timeout", type=float, default=1.0, metavar="S",
                   help="seconds to wait for each answer (default 1)")

    r = p.add_argument_group("reads (repeatable; shown in the order given)")
    for table, what in (("holding", "holding registers (function 3)"), ("input", "input registers (function 4)"),
                        ("coils", "coils (function 1)"), ("discrete", "discrete inputs (function 2)")):
        r.add_argument("--" + table, dest="reads", action=_Ordered, const=table, nargs=2, type=_number,
                       metavar=("ADDR", "COUNT"), help="read COUNT " + what + " from ADDR on")
    r.add_argument("--as", dest="kind", type=_kind, metavar="KIND",
                   help="read and write registers as int16, uint16, int32, uint32, float32, int64, uint64, "
                        "float64 or string(N) (text in N registers); COUNT then counts values")
    r.add_argument("--order", choices=ORDERS, default="ABCD",
                   help="byte order of values of more than one byte (default ABCD; see below)")

    w = p.add_argument_group("writes (repeatable; done once, before the first read)")
    w.add_argument("--write-register", dest="writes", action=_Ordered, const="holding", nargs=2,
                   metavar=("ADDR", "VALUE"),
                   help="write one holding register (function 6); with --as, a value of that kind")
    w.add_argument("--write-coil", dest="writes", action=_Ordered, const="coils", nargs=2,
                   metavar=("ADDR", "0|1"), help="switch one coil off or on (function 5)")

    o = p.add_argument_group("repeating and output")
    o.add_argument("--repeat", type=int, default=1, metavar="N",
                   help="poll N times (default 1; 0 polls until Ctrl-C)")
    o.add_argument("--interval", type=float, default=1.0, metavar="S",
                   help="seconds from the start of one poll to the next (default 1)")
    o.add_argument("--json", action="store_true", help="print one JSON object per poll")
    return p


def check_args(p, args):
    args.reads = args.reads or []
    args.writes = args.writes or []
    if not args.reads and not args.writes:
        p.error("nothing to do: give a read (--holding, --input, --coils, --discrete) or a write")
    if not 0 <= args.station <= 255:
        p.error("--station: 0..255 (%d)" % args.station)
    if not args.timeout > 0:
        p.error("--timeout: more than 0 seconds")
    if args.repeat < 0 or args.interval < 0:
        p.error("--repeat and --interval: 0 or more")
    if args.serial is None and (args.baud, args.parity, args.stopbits) != (19200, "E", 1):
        p.error("--baud, --parity and --stopbits are for --serial")
    for table, address, count in args.reads:
        typed = table in ("holding", "input") and args.kind is not None
        span = count * _width(args.kind) if typed else count
        limit = TABLES[table][1]
        if count < 1 or span > limit:
            p.error("--%s %d %d: one read takes 1..%d %s" % (
                table, address, count, limit, "registers" if limit == 125 else "bits"))
        if not 0 <= address <= 65536 - span:
            p.error("--%s %d %d: addresses run from 0 to 65535" % (table, address, count))
    writes = []
    for table, address, text in args.writes:
        option = "--write-register" if table == "holding" else "--write-coil"
        try:
            address = _number(address)
            value = _write_value(table, args.kind, text)
        except (argparse.ArgumentTypeError, ValueError) as e:
            p.error("%s %s %s: %s" % (option, address, text, e))
        if not 0 <= address <= 65536 - (_width(args.kind) if table == "holding" else 1):
            p.error("%s %d: addresses run from 0 to 65535" % (option, address))
        writes.append((table, address, value))
    args.writes = writes


def _write_value(table, kind, text):
    if table == "coils":
        if text not in ("0", "1"):
            raise ValueError("a coil is 0 (off) or 1 (on)")
        return text == "1"
    if kind is None:  # a plain register: its 16 bits, written signed or not
        value = _number(text)
        if not -32768 <= value <= 65535:
            raise ValueError("a register holds -32768..65535")
        return value
    value = text if kind.startswith("string(") else float(text) if kind.startswith("float") else _number(text)
    try:
        _qel_modbus_ext._pack(kind, "ABCD", value)  # the layouts' own range checks
    except (OverflowError, UnicodeEncodeError) as e:
        raise ValueError(str(e))
    return value


# ---- the device ---------------------------------------------------------------------

class ConnectFailed(Exception):
    """The transport could not be opened; ``cause`` is the OSError."""

    def __init__(self, cause):
        Exception.__init__(self, cause)
        self.cause = cause


class Device:
    """The master on the chosen transport, opened on first use and opened
    again after the connection broke."""

    def __init__(self, args):
        self.args = args
        self.master = None

    def where(self):
        a = self.args
        if a.serial is not None:
            return "%s %d %s%d" % (a.serial, a.baud, a.parity, a.stopbits)
        host, port = a.rtu_tcp or a.tcp
        return "%s:%d" % (host, port) + (" (Modbus TCP)" if a.tcp else " (RTU over TCP)")

    def open(self):
        if self.master is not None:
            return self.master
        import qel_modbus
        a = self.args
        try:
            if a.serial is not None:
                import serial
                parity = {"N": serial.PARITY_NONE, "E": serial.PARITY_EVEN, "O": serial.PARITY_ODD}[a.parity]
                channel = serial.serial_for_url(a.serial, baudrate=a.baud, parity=parity, bytesize=8,
                                                stopbits=a.stopbits, timeout=a.timeout)
            elif a.rtu_tcp is not None:
                channel = qel_modbus.TCPTunnel(a.rtu_tcp[0], a.rtu_tcp[1], timeout=a.timeout)
            else:
                import qel_modbus_ext
                channel = qel_modbus_ext.ModbusTCPChannel(a.tcp[0], a.tcp[1], timeout=a.timeout)
        except (OSError, ValueError, _TermiosError) as e:  # pyserial: a bad URL is a ValueError
            raise ConnectFailed(e)
        try:
            # The master sets the port's time-out, where a serial driver may
            # refuse the settings (a pseudo-terminal refuses parity).
            self.master = qel_modbus.Master(channel, timeout=a.timeout)
        except (OSError, ValueError, _TermiosError) as e:
            channel.close()
            raise ConnectFailed(e)
        return self.master

    def close(self):
        master, self.master = self.master, None
        if master is not None:
            try:
                master.close()
            except OSError:
                pass


def describe(error, timeout):
    """One line a field engineer reads: what went wrong on the wire."""
    import qel_modbus
    connect = isinstance(error, ConnectFailed)
    if connect:
        error = error.cause
    if isinstance(error, qel_modbus.SlaveException):
        name = EXCEPTION_NAMES.get(error.error_code)
        return "Modbus exception %s%s" % (error.error_code, " " + name if name else "")
    if isinstance(error, ConnectionRefusedError):
        return "connection refused"
    if isinstance(error, ConnectionResetError):
        return "connection reset" + (" while connecting" if connect else " by the device or gateway")
    if isinstance(error, (BrokenPipeError, ConnectionAbortedError)):
        return "connection closed by the device or gateway"
    if isinstance(error, socket.timeout) or (isinstance(error, OSError) and "timeout" in str(error)):
        return ("no connection within %g s" if connect else "no answer within %g s") % timeout
    if isinstance(error, ValueError) and connect:
        return "cannot open: %s" % error
    if isinstance(error, ValueError) and "crc error" in str(error):
        return "CRC error (noise, wrong parity or baud rate, or two devices answering)"
    if isinstance(error, ValueError):
        return "bad answer: %s" % error
    if isinstance(error, _TermiosError):
        return "the serial port refused its settings: %s" % (error.args[-1],)
    if connect:
        return "cannot open: %s" % ((isinstance(error, OSError) and error.strerror) or error)
    return "%s: %s" % (type(error).__name__, error)


def _broken(error):
    """Whether the connection is gone and must be opened again."""
    import qel_modbus
    if isinstance(error, (qel_modbus.SlaveException, ValueError, socket.timeout)):
        return False
    return isinstance(error, OSError) and "timeout" not in str(error)


def _unpack_bits(data, count):
    return [bool(data[i // 8] >> (i % 8) & 1) for i in range(count)]


def do_read(device, args, read):
    import qel_modbus_ext
    table, address, count = read
    master = device.open()
    station = args.station
    if table in ("coils", "discrete"):
        request = struct.pack(">HH", address, count)
        data = qel_modbus_ext.execute(master, station, TABLES[table][0], request)
        return _unpack_bits(bytes(data), count)
    return list(qel_modbus_ext.read_values(master, station, address, args.kind or "uint16", count,
                                           table=table, order=args.order))


def do_write(device, args, write):
    import qel_modbus_ext
    table, address, value = write
    master = device.open()
    if table == "holding" and args.kind is not None:
        qel_modbus_ext.write_value(master, args.station, address, args.kind, value, order=args.order)
        return
    if table == "coils":
        code, request = 5, struct.pack(">HH", address, 0xFF00 if value else 0)
    else:
        code, request = 6, struct.pack(">HH", address, value & 0xFFFF)
    echoed = qel_modbus_ext.execute(master, args.station, code, request, answer=4)
    if echoed != request:
        # A device that did something else than asked must not pass for done.
        raise ValueError("the answer does not repeat the request: sent %s, got %s" % (request.hex(), echoed.hex()))


# ---- one poll -----------------------------------------------------------------------

class Outcome:
    """One read or write: its values, or the error line."""

    def __init__(self, op, item, values=None, error=None, code=None):
        self.op, self.item, self.values, self.error, self.code = op, item, values, error, code


def run_all(device, args, op, items):
    """Each read (or write) of one poll; after a failed connect the rest
    fail with the same line rather than waiting again."""
    import qel_modbus
    fn = do_read if op == "read" else do_write
    outcomes, refused = [], None
    for item in items:
        if refused is not None:
            outcomes.append(Outcome(op, item, error=refused))
            continue
        try:
            outcomes.append(Outcome(op, item, values=fn(device, args, item)))
        except ConnectFailed as e:
            refused = describe(e, args.timeout)
            outcomes.append(Outcome(op, item, error=refused))
        except (OSError, ValueError, qel_modbus.SlaveException) as e:
            if _broken(e):
                device.close()
            outcomes.append(Outcome(op, item, error=describe(e, args.timeout),
                                    code=getattr(e, "error_code", None)))
    return outcomes


def _float_text(value, kind):
    if math.isnan(value):
        return "nan"
    if math.isinf(value):
        return "inf" if value > 0 else "-inf"
    if kind == "float32":
        # The shortest digits that give back the same float32.
        packed = struct.pack(">f", value)
        for digits in range(6, 10):
            text = "%.*g" % (digits, value)
            if struct.pack(">f", float(text)) == packed:
                return text
    return repr(value)


def value_text(value, kind):
    if isinstance(value, bool):
        return "1" if value else "0"
    if isinstance(value, float):
        return _float_text(value, kind)
    if isinstance(value, str):
        return json.dumps(value, ensure_ascii=False)
    return str(value)


def json_value(value, kind):
    if isinstance(value, float):
        text = _float_text(value, kind)
        return text if text in ("nan", "inf", "-inf") else float(text)
    return value


def label(args, outcome):
    table, address, count = outcome.item
    if outcome.op == "write":
        return "write %s %d" % ("register" if table == "holding" else "coil", address)
    registers = table in ("holding", "input")
    width = _width(args.kind) if registers else 1
    last = address + count * width - 1
    text = "%s %d" % (table, address) if last == address else "%s %d-%d" % (table, address, last)
    if registers and args.kind is not None:
        text += " as %s" % args.kind + (" %s" % args.order if width > 1 or args.kind.startswith("string") else "")
    return text


def table_lines(args, outcomes):
    lines = []
    for o in outcomes:
        if o.error is not None:
            lines.append("%s: %s" % (label(args, o), o.error))
            continue
        table, address, value = o.item
        if o.op == "write":
            shown = value_text(value, args.kind if table == "holding" else None)
            lines.append("%s: wrote %s" % (label(args, o), shown))
            continue
        registers = table in ("holding", "input")
        kind = args.kind if registers else None
        step = _width(kind) if registers else 1
        texts = [value_text(v, kind) for v in o.values]
        wide = max(len(t) for t in texts)
        lines.append(label(args, o))
        for i, (v, t) in enumerate(zip(o.values, texts)):
            row = "  %5d  %*s" % (address + i * step, wide, t)
            if registers and kind is None:
                row += "  0x%04X" % v
            lines.append(row)
    return lines


def one_line(args, outcomes):
    parts = []
    for o in outcomes:
        if o.error is not None:
            parts.append("%s: %s" % (label(args, o), o.error))
        elif o.op == "write":
            parts.append("%s: wrote %s" % (label(args, o), value_text(o.item[2], args.kind)))
        else:
            kind = args.kind if o.item[0] in ("holding", "input") else None
            parts.append("%s: %s" % (label(args, o), " ".join(value_text(v, kind) for v in o.values)))
    return " | ".join(parts)


def json_object(args, number, stamp, outcomes):
    reads, writes = [], []
    for o in outcomes:
        table, address, third = o.item
        registers = table in ("holding", "input")
        entry = {"table": table, "address": address}
        if o.op == "read":
            entry["count"] = third
            if registers:
                entry["kind"] = args.kind or "uint16"
                if args.kind is not None:
                    entry["order"] = args.order
        else:
            entry["value"] = third
        if o.error is not None:
            entry["error"] = o.error
            if o.code is not None:
                entry["exception"] = o.code
        elif o.op == "read":
            entry["values"] = [json_value(v, args.kind if registers else None) for v in o.values]
        (reads if o.op == "read" else writes).append(entry)
    obj = {"poll": number, "time": stamp, "ok": all(o.error is None for o in outcomes)}
    if writes:
        obj["writes"] = writes
    obj["reads"] = reads
    return obj


# ---- the loop -----------------------------------------------------------------------

class Screen:
    """A terminal redrawn in place: the cursor goes back up over the last
    frame, which is cleared, and the new one is written."""

    def __init__(self, stream):
        self.stream, self.height = stream, 0

    def show(self, lines):
        width = shutil.get_terminal_size((80, 24)).columns
        # A line longer than the terminal wraps, and the count of lines to go
        # back up over would be wrong.
        lines = [line[:max(width - 1, 1)] for line in lines]
        up = "\x1b[%dA" % self.height if self.height else ""
        self.stream.write("\r" + up + "\x1b[J" + "".join(line + "\n" for line in lines))
        self.stream.flush()
        self.height = len(lines)


def _counts(good, failed):
    return "%d good, %d failed" % (good, failed)


def poll_loop(args, out, err):
    device = Device(args)
    live = out.isatty() and not args.json and args.repeat != 1
    screen = Screen(out) if live else None
    good = failed = number = 0
    write_outcomes = []
    try:
        while args.repeat == 0 or number < args.repeat:
            started = time.monotonic()
            number += 1
            outcomes = []
            if number == 1 and args.writes:
                write_outcomes = run_all(device, args, "write", args.writes)
                outcomes += write_outcomes
            outcomes += run_all(device, args, "read", args.reads)
            stamp = datetime.datetime.now().isoformat(timespec="milliseconds")
            if all(o.error is None for o in outcomes):
                good += 1
            else:
                failed += 1
            if args.json:
                out.write(json.dumps(json_object(args, number, stamp, outcomes)) + "\n")
            elif live:
                kept = [o for o in write_outcomes if o not in outcomes] + outcomes
                total = "" if args.repeat == 0 else " of %d" % args.repeat
                # What matters most comes first: the line is cut at the
                # terminal's width.
                head = "%s  poll %d%s: %s  %s station %d%s" % (
                    stamp[11:19], number, total, _counts(good, failed), device.where(), args.station,
                    "  Ctrl-C stops" if args.repeat == 0 else "")
                screen.show([head] + table_lines(args, kept))
            elif args.repeat == 1:
                out.write("".join(line + "\n" for line in table_lines(args, outcomes)))
            else:
                out.write("%s  %s\n" % (stamp[11:], one_line(args, outcomes)))
            out.flush()
            if args.repeat and number >= args.repeat:
                break
            time.sleep(max(0.0, args.interval - (time.monotonic() - started)))
    except KeyboardInterrupt:
        pass
    finally:
        device.close()
    if args.repeat != 1 or number != 1:
        err.write("%s: %d polls, %s\n" % (PROG, good + failed, _counts(good, failed)))
        err.flush()
    return 0 if failed == 0 and good > 0 else 1


def main(argv=None):
    """Run the poll command; returns the exit status (argparse exits with 2
    on a wrong command line)."""
    p = build_parser()
    args = p.parse_args(argv)
    check_args(p, args)
    return poll_loop(args, sys.stdout, sys.stderr)
