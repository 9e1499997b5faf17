#!/usr/bin/env python3
"""Throughput and CPU cost of qel_modbus against other Modbus masters.

    python bench/run.py [--quick | --full] [--budget S] [--repeats N] [--out DIR]

All rows run in this one process against the same simulated slave, which
answers from precomputed frames so that it is not the limit.  Each row is set
against a raw-I/O floor (the same request and answer bytes through bare socket
or os calls) and against qel_modbus.  Writes results.md, results.json and
results.png to --out (default: this folder).  Peers that are not installed are
reported as missing.  Nothing here asserts anything about speed.
"""

import argparse
import atexit
import collections
import faulthandler
import functools
import json
import math
import os
import platform
import select
import signal
import socket
import statistics
import struct
import subprocess
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, ROOT)  # qel_modbus_simslave
if os.environ.get("QEL_BUILD_DIR"):
    _build = os.environ["QEL_BUILD_DIR"]
    sys.path.insert(0, os.path.abspath(_build) if os.path.isdir(_build) else os.path.join(ROOT, _build))

TIMEOUT = 1.0
BAUD = 115200  # a pty ignores it; the peers derive their inter-frame gaps from it
STATION = 1

# -- what the slave holds, and the frames, in plain Python -------------------------

REGS = [(0x1234 + 0x0101 * i) & 0xFFFF for i in range(125)]    # holding 0..124
FLOAT_ADDR = 200
FLOATS = [0.25 + 1.5 * i for i in range(10)]                    # exact in float32
FLOAT_REGS = list(struct.unpack(">20H", struct.pack(">10f", *FLOATS)))
COILS = [i % 3 == 0 for i in range(64)]                         # coils 0..63
WRITE_ADDR, WRITE_VALUES = 300, [40000 + i for i in range(10)]
CHECK_ADDR = 1000  # each peer proves its writes in a block of its own
TCP_COIL = 500


def _crc_entry(byte):
    for _ in range(8):
        byte = (byte >> 1) ^ 0xA001 if byte & 1 else byte >> 1
    return byte


CRC_TABLE = [_crc_entry(b) for b in range(256)]


def py_crc16(data):
    """Table-driven Modbus CRC-16 in pure Python: the baseline for calculate_crc."""
    crc, table = 0xFFFF, CRC_TABLE
    for byte in data:
        crc = (crc >> 8) ^ table[(crc ^ byte) & 0xFF]
    return crc


def pack_bits(bits):
    out = bytearray((len(bits) + 7) // 8)
    for i, bit in enumerate(bits):
        out[i >> 3] |= bool(bit) << (i & 7)
    return bytes(out)


def pdu(fc, addr, word, data=b""):
    return struct.pack(">BHH", fc, addr, word) + (bytes((len(data),)) + data if data else b"")


def fc16(addr, values):
    return pdu(16, addr, len(values), struct.pack(f">{len(values)}H", *values))


def rtu(p):
    frame = bytes((STATION,)) + p
    return frame + struct.pack("<H", py_crc16(frame))


def mbap(p):
    return struct.pack(">HHHB", 1, 0, len(p) + 1, STATION) + p


def model_answer(p):
    """The answer PDU the slave must give, once loaded, to the requests used here."""
    fc, addr, count = struct.unpack(">BHH", p[:5])
    if fc == 3:
        image = dict(enumerate(REGS))
        image.update((FLOAT_ADDR + i, v) for i, v in enumerate(FLOAT_REGS))
        return struct.pack(f">BB{count}H", 3, 2 * count, *(image.get(a, 0) for a in range(addr, addr + count)))
    if fc == 1:
        data = pack_bits([addr + i < len(COILS) and COILS[addr + i] for i in range(count)])
        return bytes((1, len(data))) + data
    return p[:5]  # writes echo address and count (or value)


# name as shown, peer method and arguments, request PDU, expected value (None: a write)
Op = collections.namedtuple("Op", "name method args pdu expected")


def register_read(count):
    return Op(f"read_registers({count})", "read_regs", (0, count), pdu(3, 0, count), REGS[:count])


RTU_OPS = [
    register_read(1), register_read(10), register_read(125),
    Op("write_registers(10)", "write_regs", (WRITE_ADDR, WRITE_VALUES), fc16(WRITE_ADDR, WRITE_VALUES), None),
    Op("read_coils(64)", "read_coils", (0, 64), pdu(1, 0, 64), COILS),
    Op("read_float", "read_float", (FLOAT_ADDR,), pdu(3, FLOAT_ADDR, 2), FLOATS[0]),
    Op("read_multi_float(10)", "read_floats", (FLOAT_ADDR, 10), pdu(3, FLOAT_ADDR, 20), FLOATS),
]
TCP_OPS = [
    Op("read_coils(64)", "read_coils", (0, 64), pdu(1, 0, 64), COILS),
    Op("write_coil", "write_coil", (TCP_COIL, True), pdu(5, TCP_COIL, 0xFF00), None),
]
SWEEP_COUNTS = [1, 2, 5, 10, 25, 50, 100, 125]
THREADS = [1, 2, 4, 8, 32]
CRC_SIZES = [8, 64, 256, 1 << 20]


class Wrong(Exception):
    """A result that differs from what the slave holds: reported, never timed."""

    def __repr__(self):
        return str(self)


def same(got, expected):
    if isinstance(expected, list):
        return got is not None and len(got) == len(expected) and all(
            (bool(g) if isinstance(e, bool) else g) == e for g, e in zip(got, expected))
    return got == expected


# -- the masters under test, all behind one small interface ------------------------

def optional(name):
    try:
        return __import__(name, fromlist=["_"])
    except ImportError:
        return None


qel_modbus = optional("qel_modbus")
serial = optional("serial")
pymodbus_client = optional("pymodbus.client")
minimalmodbus = optional("minimalmodbus")
pymodbustcp = optional("pyModbusTCP.client")
RTU_FRAMER = pymodbus_client and optional("pymodbus").FramerType.RTU


class QelRtu:
    def __init__(self, channel): self.m = qel_modbus.Master(channel, TIMEOUT)
    def read_regs(self, addr, count): return self.m.read_registers(STATION, addr, count)
    def write_regs(self, addr, values): self.m.write_registers(STATION, addr, values)
    def read_coils(self, addr, count): return self.m.read_coils(STATION, addr, count)
    def read_float(self, addr): return self.m.read_float(STATION, addr)
    def read_floats(self, addr, count): return self.m.read_multi_float(STATION, addr, count)
    def close(self): self.m.close()


class QelTcp:
    def __init__(self, host, port): self.m = qel_modbus.ModbusTCPMaster(host, port, TIMEOUT)
    def read_coils(self, addr, count): return self.m.read_coils(1, addr, count)
    def write_coil(self, addr, value): self.m.write_coil(1, addr, value)
    def close(self): self.m._socket.close()


class Pymodbus:
    def __init__(self, client):
        self.c = client
        if not client.connect():
            raise ConnectionError("pymodbus client did not connect")
        self.f32 = client.DATATYPE.FLOAT32

    def read_regs(self, addr, count): return self.c.read_holding_registers(addr, count=count, device_id=STATION).registers
    def write_regs(self, addr, values): self.c.write_registers(addr, values, device_id=STATION)
    def read_coils(self, addr, count): return self.c.read_coils(addr, count=count, device_id=STATION).bits[:count]
    def read_float(self, addr): return self.c.convert_from_registers(self.read_regs(addr, 2), self.f32)
    def read_floats(self, addr, n): return self.c.convert_from_registers(self.read_regs(addr, 2 * n), self.f32)
    def write_coil(self, addr, value): self.c.write_coil(addr, value, device_id=STATION)
    def close(self): self.c.close()


class Minimal:
    """minimalmodbus waits out an RS-485 silent period (at least 1.75 ms) before
    each request; gap=False lifts it for this instrument only, to show the
    library's own cost."""

    def __init__(self, port, gap=True):
        self.i = minimalmodbus.Instrument(port, STATION)  # 2.x takes an open port object
        if not gap:
            self.i._communicate = functools.partial(self._gapless, self.i._communicate)

    @staticmethod
    def _gapless(communicate, request, size):
        period = minimalmodbus._calculate_minimum_silent_period
        minimalmodbus._calculate_minimum_silent_period = lambda baudrate: 0.0
        try:
            return communicate(request, size)
        finally:
            minimalmodbus._calculate_minimum_silent_period = period

    def read_regs(self, addr, count): return self.i.read_registers(addr, count)
    def write_regs(self, addr, values): self.i.write_registers(addr, list(values))
    def read_coils(self, addr, count): return self.i.read_bits(addr, count, functioncode=1)
    def read_float(self, addr): return self.i.read_float(addr)

    def read_floats(self, addr, count):  # it has no multi-float call: registers and struct
        regs = self.i.read_registers(addr, 2 * count)
        return list(struct.unpack(f">{count}f", struct.pack(f">{2 * count}H", *regs)))

    def close(self): self.i.serial.close()


class PyModbusTCP:
    def __init__(self, host, port):
        self.c = pymodbustcp.ModbusClient(host=host, port=port, timeout=TIMEOUT, auto_open=True)

    def read_coils(self, addr, count):
        bits = self.c.read_coils(addr, count)
        if bits is None:  # it reports failures by returning None
            raise IOError(self.c.last_error_as_txt)
        return bits

    def write_coil(self, addr, value):
        if not self.c.write_single_coil(addr, value):
            raise IOError(self.c.last_error_as_txt)

    def close(self): self.c.close()


class SocketFloor:
    """send + recv of prebuilt bytes, receiving until the full answer length."""

    def __init__(self, host, port):
        self.s = socket.create_connection((host, port), timeout=TIMEOUT)
        self.s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)

    def exchange(self, request, size):
        s = self.s
        s.send(request)
        got = s.recv(size)
        while len(got) < size:
            more = s.recv(size - len(got))
            if not more:
                raise ConnectionError("slave closed the connection")
            got += more
        return got

    def close(self): self.s.close()


class PtyFloor:
    """os.write + os.read on the pty, poll as the time-out: terminal settings
    are shared by every open of a pty, so VMIN/VTIME cannot carry it."""

    def __init__(self, path):
        self.fd = os.open(path, os.O_RDWR | os.O_NOCTTY)
        self.poll = select.poll()
        self.poll.register(self.fd, select.POLLIN)

    def exchange(self, request, size):
        fd, poll = self.fd, self.poll.poll
        os.write(fd, request)
        got = b""
        while len(got) < size:
            if not poll(TIMEOUT * 1000):
                raise TimeoutError("pty floor: no answer")
            got += os.read(fd, size - len(got))
        return got

    def close(self): os.close(self.fd)


FLOORS = (SocketFloor, PtyFloor)


def rtu_tcp_peers(host, port):
    """(name, factory, or None when a package is missing); the first is ours."""
    q, s, p, m = qel_modbus, serial, pymodbus_client, minimalmodbus

    def url():
        return serial.serial_for_url(f"socket://{host}:{port}", baudrate=BAUD, timeout=TIMEOUT)
    return [("qel_modbus TCPTunnel", q and (lambda: QelRtu(q.TCPTunnel(host, port, TIMEOUT)))),
            ("qel_modbus socket://", q and s and (lambda: QelRtu(url()))),
            ("pymodbus RTU/TCP", p and (lambda: Pymodbus(p.ModbusTcpClient(
                host, port=port, framer=RTU_FRAMER, timeout=TIMEOUT, retries=0)))),
            ("minimalmodbus socket://", m and s and (lambda: Minimal(url()))),
            ("minimalmodbus no gap", m and s and (lambda: Minimal(url(), gap=False)))]


def pty_peers(path):
    q, s, p, m = qel_modbus, serial, pymodbus_client, minimalmodbus

    def port():
        return serial.Serial(path, baudrate=BAUD, timeout=TIMEOUT, write_timeout=TIMEOUT)
    return [("qel_modbus serial", q and s and (lambda: QelRtu(port()))),
            ("pymodbus serial", p and (lambda: Pymodbus(p.ModbusSerialClient(
                path, framer=RTU_FRAMER, baudrate=BAUD, timeout=TIMEOUT, retries=0)))),
            ("minimalmodbus serial", m and s and (lambda: Minimal(port()))),
            ("minimalmodbus no gap", m and s and (lambda: Minimal(port(), gap=False)))]


def tcp_peers(host, port):
    p = pymodbus_client
    return [("qel_modbus ModbusTCPMaster", qel_modbus and (lambda: QelTcp(host, port))),
            ("pymodbus TCP", p and (lambda: Pymodbus(p.ModbusTcpClient(host, port=port, timeout=TIMEOUT, retries=0)))),
            ("pyModbusTCP", pymodbustcp and (lambda: PyModbusTCP(host, port)))]


# -- timing -------------------------------------------------------------------------

def error_note(e):
    return (str(e) if isinstance(e, Wrong) else f"error: {e!r}")[:120]


class Bench:
    def __init__(self, budget, repeats):
        self.budget, self.repeats, self.warm = budget, repeats, max(0.03, budget / 5)
        self.rows, self.failed = [], []

    def calls(self, fn):
        """Warms fn up; gives a run of it over the budget -> (calls/s, CPU s/call)."""
        n, end = 0, time.perf_counter() + self.warm
        while True:
            fn()
            n += 1
            if time.perf_counter() >= end:
                break
        batch = range(max(1, int(n / self.warm / 1000)))  # about a millisecond per clock read

        def run():
            n, c0, t0 = 0, time.process_time(), time.perf_counter()
            end = t0 + self.budget
            while True:
                for _ in batch:
                    fn()
                n += len(batch)
                t = time.perf_counter()
                if t >= end:
                    return n / (t - t0), (time.process_time() - c0) / n
        return run

    def threads(self, fns):
        """A run of all fns at once, one thread each -> aggregate (calls/s, CPU s/call)."""
        def run():
            stop, counts, errors = [], [0] * len(fns), []
            gate = threading.Barrier(len(fns) + 1, timeout=10)

            def work(i, fn):
                gate.wait()
                n = 0
                try:
                    while not stop:
                        fn()
                        n += 1
                except Exception as e:
                    errors.append(e)
                counts[i] = n
            workers = [threading.Thread(target=work, args=x, daemon=True) for x in enumerate(fns)]
            for w in workers:
                w.start()
            gate.wait()
            c0, t0 = time.process_time(), time.perf_counter()
            time.sleep(self.budget)
            stop.append(True)
            for w in workers:
                w.join(TIMEOUT + 5)
            wall = time.perf_counter() - t0
            if errors:
                raise errors[0]
            return sum(counts) / wall, (time.process_time() - c0) / max(1, sum(counts))
        for fn in fns:
            fn()
        return run

    def add(self, section, op, lib, rate=None, cpu=None, note="", ours=False, floor=False):
        row = dict(section=section, op=op, lib=lib, rate=rate, us=rate and 1e6 / rate,
                   cpu_us=cpu and cpu * 1e6, note=note, ours=ours, floor=floor)
        self.rows.append(row)
        shown = f"{rate:12.0f}/s {row['cpu_us']:9.2f} us CPU" if rate else ""
        print(f"  {section:12} {op:20} {lib:30} {shown} {note}", file=sys.stderr, flush=True)
        if ours and note.startswith(("WRONG", "error")):
            self.failed.append(f"{section} {op}: {note}")

    def group(self, section, op, entries):
        """Times one row group: entries are (lib, make_run, note, ours, floor);
        make_run checks the result and raises when it is wrong.  The repeats go
        round-robin over the group, so drift on a busy machine hits all alike."""
        ready = []
        for lib, make_run, note, ours, floor in entries:
            try:
                ready.append((lib, make_run(), note, ours, floor))
            except Exception as e:
                self.add(section, op, lib, note=error_note(e), ours=ours, floor=floor)
        results, errors = [[] for _ in ready], [None] * len(ready)
        for _ in range(self.repeats):
            for i, (_, run, *_) in enumerate(ready):
                try:
                    if errors[i] is None:
                        results[i].append(run())
                except Exception as e:  # a failure half-way drops that library from the group
                    errors[i] = e
        for (lib, _, note, ours, floor), out, e in zip(ready, results, errors):
            if e is not None:
                self.add(section, op, lib, note=error_note(e), ours=ours, floor=floor)
                continue
            rate, cpu = statistics.median(r for r, _ in out), statistics.median(c for _, c in out)
            self.add(section, op, lib, rate, cpu, note(rate) if callable(note) else note, ours, floor)

    # -- sections -------------------------------------------------------------------

    def peers(self, section, ops, peers, make_floor, frame):
        """Every op on every peer (the first is ours) and the floor, all connected at once."""
        opened = []
        try:
            for k, (name, factory) in enumerate(peers + [("floor", make_floor)]):
                if factory is None:
                    self.add(section, "*", name, note="missing: not installed")
                    continue
                try:
                    opened.append((k, name, factory()))
                except Exception as e:
                    self.add(section, "*", name, note=error_note(e), ours=k == 0)
            for op in ops:
                self.group(section, op.name, [(name, functools.partial(self.checked, op, peer, k, frame),
                                               "", k == 0, name == "floor") for k, name, peer in opened])
        finally:
            for _, _, peer in opened:
                peer.close()

    def checked(self, op, peer, k, frame):
        if isinstance(peer, FLOORS):
            request, answer = frame(op.pdu), frame(model_answer(op.pdu))
            got = peer.exchange(request, len(answer))
            if got != answer:
                raise Wrong(f"WRONG ANSWER {got.hex()}, not timed")
            return self.calls(functools.partial(peer.exchange, request, len(answer)))
        fn = functools.partial(getattr(peer, op.method), *op.args)
        if op.expected is not None:
            ok = same(fn(), op.expected)
        elif op.method == "write_coil":
            peer.write_coil(CHECK_ADDR + k, True)
            ok = same(peer.read_coils(CHECK_ADDR + k, 1), [True])
        else:
            peer.write_regs(CHECK_ADDR + 16 * k, WRITE_VALUES)
            ok = same(peer.read_regs(CHECK_ADDR + 16 * k, len(WRITE_VALUES)), WRITE_VALUES)
        if not ok:
            raise Wrong("WRONG RESULT, not timed")
        return self.calls(fn)

    def crc(self):
        theirs = None
        if pymodbus_client:
            from pymodbus.framer.rtu import FramerRTU
            theirs = FramerRTU.compute_CRC  # gives the CRC bytes as one big-endian int
        libs = [("qel_modbus calculate_crc", qel_modbus.ModbusStatic.calculate_crc, lambda r: r[0] | r[1] << 8),
                ("pymodbus FramerRTU.compute_CRC", theirs, lambda r: (r >> 8) | (r & 0xFF) << 8),
                ("pure-Python table", py_crc16, lambda r: r)]
        for size in CRC_SIZES:
            data = bytes((i * 31 + 7) & 0xFF for i in range(size))

            def make(fn, value):
                if fn is None:
                    raise Wrong("missing: not installed")
                if value(fn(data)) != py_crc16(data):
                    raise Wrong("WRONG RESULT, not timed")
                return self.calls(functools.partial(fn, data))
            self.group("CRC", f"{size} B" if size < 1024 else f"{size >> 20} MiB", [
                (name, functools.partial(make, fn, value), lambda rate: f"{rate * size / 1e6:.1f} MB/s", k == 0, False)
                for k, (name, fn, value) in enumerate(libs)])

    def scale(self, host, port):
        """read_registers(10) from n masters in threads, each on a connection of its own."""
        op = register_read(10)
        request, answer = rtu(op.pdu), rtu(model_answer(op.pdu))
        libs = rtu_tcp_peers(host, port)[0:3:2] + [("floor", lambda: SocketFloor(host, port))]
        for n in THREADS:
            opened = []

            def make(factory):
                if factory is None:
                    raise Wrong("missing: not installed")
                peers = [factory() for _ in range(n)]
                opened.extend(peers)
                fns = [functools.partial(p.exchange, request, len(answer)) if isinstance(p, SocketFloor)
                       else functools.partial(p.read_regs, 0, 10) for p in peers]
                if not all(same(fn(), answer if isinstance(p, SocketFloor) else op.expected)
                           for p, fn in zip(peers, fns)):
                    raise Wrong("WRONG RESULT, not timed")
                return self.threads(fns)
            try:
                self.group("Scale", f"{n} thread{'s' * (n > 1)}", [
                    (name, functools.partial(make, factory), "", k == 0, name == "floor")
                    for k, (name, factory) in enumerate(libs)])
            finally:
                for p in opened:
                    p.close()

    def finish(self):
        """Ratios to the floor and to ours of the same row; the floor must lead."""
        best = {(r["section"], r["op"], r["ours"]): r["rate"] for r in self.rows
                if r["rate"] and (r["ours"] or r["floor"])}
        warnings = []
        for r in self.rows:
            floor, ours = best.get((r["section"], r["op"], False)), best.get((r["section"], r["op"], True))
            r["vs_floor"] = r["rate"] / floor if r["rate"] and floor else None
            r["vs_ours"] = r["rate"] / ours if r["rate"] and ours else None
            if r["vs_floor"] and r["vs_floor"] > 1.0 and not r["floor"]:
                warnings.append(f"WARNING: {r['lib']} beats the floor on {r['section']} {r['op']} "
                                f"({r['vs_floor']:.2f}x): slave bottleneck or measurement bug")
        return warnings


# -- child processes and the watchdog -------------------------------------------------

CHILDREN = []


def stop_children():
    while CHILDREN:
        try:
            CHILDREN.pop().close()
        except Exception:
            pass


def watchdog(limit):
    def expire():
        print(f"bench: watchdog: not done after {limit:.0f} s, giving up", file=sys.stderr, flush=True)
        faulthandler.dump_traceback(all_threads=True)
        stop_children()
        os._exit(3)
    timer = threading.Timer(limit, expire)
    timer.daemon = True
    timer.start()


class PtyChild:
    """RtuPtySlave in a child interpreter, so that it does not share our GIL;
    the child leaves when its stdin closes, also when we die."""

    def __init__(self, lifetime):
        self.proc = subprocess.Popen([sys.executable, os.path.abspath(__file__), "--pty-child", str(lifetime)],
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        self.path = self.proc.stdout.readline().decode().strip()
        if not self.path:
            self.close()
            raise RuntimeError("the pty slave did not start")

    def close(self):
        self.proc.stdin.close()
        try:
            self.proc.wait(3)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
        self.proc.stdout.close()


def pty_child(lifetime):
    from qel_modbus_simslave import RtuPtySlave
    with RtuPtySlave(lifetime=lifetime) as slave:
        slave.image.set_holding(0, REGS)
        slave.image.set_holding(FLOAT_ADDR, FLOAT_REGS)
        slave.image.set_coils(0, COILS)
        print(slave.port, flush=True)
        sys.stdin.read()


def load_image(host, port):
    """Writes the image over the wire (the slave is another process); first of
    all, since the slave keeps the first answer it gives to each request."""
    floor = SocketFloor(host, port)
    try:
        coils = pdu(15, 0, len(COILS), pack_bits(COILS))
        for p in (fc16(0, REGS[:123]), fc16(123, REGS[123:]), fc16(FLOAT_ADDR, FLOAT_REGS), coils):
            if floor.exchange(rtu(p), 8) != rtu(p[:5]):
                raise RuntimeError("the slave refused the image")
    finally:
        floor.close()


# -- report ------------------------------------------------------------------------

def machine():
    cpu = platform.processor() or platform.machine()
    try:
        with open("/proc/cpuinfo") as f:
            cpu = next(line.split(":", 1)[1].strip() for line in f if line.startswith("model name"))
    except (OSError, StopIteration):
        pass
    from importlib import metadata
    versions = {}
    for dist in ("qel_modbus", "pymodbus", "minimalmodbus", "pyModbusTCP", "pyserial", "matplotlib"):
        try:
            versions[dist] = metadata.version(dist)
        except metadata.PackageNotFoundError:
            versions[dist] = None
    if qel_modbus:
        versions["qel_modbus"] = f"{versions['qel_modbus'] or '?'} ({os.path.relpath(qel_modbus.__file__, ROOT)})"
    return dict(cpu=cpu, cores=os.cpu_count(), python=platform.python_version(),
                platform=platform.platform(), versions=versions)


def markdown(info, bench, mode, warnings):
    def fmt(value, pattern):
        return pattern.format(value) if value else "—"
    out = ["# qel_modbus benchmarks", "",
           f"Mode `{mode}`: {bench.budget} s per row, median of {bench.repeats}, {time.strftime('%Y-%m-%d %H:%M')}. "
           f"Machine: {info['cpu']}, {info['cores']} cores, Python {info['python']} ({info['platform']}).", "",
           "Versions: " + ", ".join(f"{k} {v or 'missing'}" for k, v in info["versions"].items()) + ".", "",
           "Slave: qel_modbus_simslave's benchmark process answering from precomputed frames (TCP); RtuPtySlave in a "
           "child process (pty). Floor: the same request and answer bytes through bare socket or os calls. "
           "µs/tx is wall time; CPU is this process's `process_time` per transaction (the slave's is not "
           "counted). ×floor and ×ours: transactions per second against the floor and against qel_modbus "
           "in the same row group.", ""]
    out += warnings + [""] * bool(warnings)
    for section in dict.fromkeys(r["section"] for r in bench.rows):
        out += [f"## {section}", "",
                f"| operation | library | {'calls' if section == 'CRC' else 'tx'}/s | µs/tx | CPU µs/tx | ×floor | ×ours | note |",
                "|---|---|---:|---:|---:|---:|---:|---|"]
        out += [f"| {r['op']} | {r['lib']} | {fmt(r['rate'], '{:,.0f}')} | {fmt(r['us'], '{:.2f}')} | "
                f"{fmt(r['cpu_us'], '{:.2f}')} | {fmt(r['vs_floor'], '{:.2f}')} | {fmt(r['vs_ours'], '{:.2f}')} | "
                f"{r['note']} |" for r in bench.rows if r["section"] == section]
        out.append("")
    return "\n".join(out)


def cost_section(path):
    """bench/cost.py's section of an earlier results.md: kept when the tables are rewritten."""
    try:
        with open(path) as f:
            old = f.read()
    except OSError:
        return ""
    start = old.find("## Cost per transaction")
    if start < 0:
        return ""
    end = old.find("\n## ", start)
    return "\n" + old[start:end + 1 if end >= 0 else None].rstrip("\n") + "\n"


def plot(bench, path):
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        return "matplotlib missing: no plot"
    sections = [s for s in ("RTU over TCP", "RTU over pty", "Modbus TCP", "Scale")
                if any(r["section"] == s and r["rate"] for r in bench.rows)]
    fig, axes = plt.subplots(len(sections), 1, figsize=(13, 4.2 * len(sections)), squeeze=False)
    for ax, section in zip(axes[:, 0], sections):
        rows = [r for r in bench.rows if r["section"] == section and r["rate"]]
        ops, libs = list(dict.fromkeys(r["op"] for r in rows)), list(dict.fromkeys(r["lib"] for r in rows))
        width = 0.8 / len(libs)
        for j, lib in enumerate(libs):
            rate = {r["op"]: r["rate"] for r in rows if r["lib"] == lib}
            ax.bar([i + j * width for i in range(len(ops))], [rate.get(op, 0) for op in ops], width, label=lib)
        ax.set_xticks([i + 0.4 - width / 2 for i in range(len(ops))], ops, fontsize=8)
        ax.set(yscale="log", ylabel="transactions/s", title=section,
               ylim=(10 ** int(math.log10(min(r["rate"] for r in rows)) - 0.3), None))
        ax.legend(fontsize=7, ncol=3)
        ax.grid(axis="y", alpha=0.3)
    fig.tight_layout()
    fig.savefig(path, dpi=90)
    plt.close(fig)
    return None


# -- main -----------------------------------------------------------------------------

def measure(bench, limit):
    import qel_modbus_simslave
    slave = qel_modbus_simslave.SlaveProcess(rtu_tcp=0, modbus_tcp=0, lifetime=limit + 30, precomputed=True)
    CHILDREN.append(slave)
    host, rtu_port = slave.host, slave.rtu_tcp
    load_image(host, rtu_port)
    bench.peers("RTU over TCP", RTU_OPS, rtu_tcp_peers(host, rtu_port), lambda: SocketFloor(host, rtu_port), rtu)
    bench.peers("Modbus TCP", TCP_OPS, tcp_peers(host, slave.modbus_tcp),
                lambda: SocketFloor(host, slave.modbus_tcp), mbap)
    bench.crc()
    bench.scale(host, rtu_port)
    bench.peers("Count sweep", [register_read(n) for n in SWEEP_COUNTS], rtu_tcp_peers(host, rtu_port)[0:3:2],
                lambda: SocketFloor(host, rtu_port), rtu)
    if os.name != "posix" or serial is None:
        return bench.add("RTU over pty", "*", "all", note="skipped: needs POSIX and pyserial")
    pty = PtyChild(limit + 30)
    CHILDREN.append(pty)
    bench.peers("RTU over pty", RTU_OPS, pty_peers(pty.path), lambda: PtyFloor(pty.path), rtu)


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    mode = ap.add_mutually_exclusive_group()
    mode.add_argument("--quick", action="store_true", help="short budgets: for CI, under a minute")
    mode.add_argument("--full", action="store_true", help="the default: a few minutes")
    ap.add_argument("--budget", type=float, help="seconds per row and repeat")
    ap.add_argument("--repeats", type=int)
    ap.add_argument("--out", default=HERE, help="where results.{md,json,png} go")
    ap.add_argument("--pty-child", type=float, help=argparse.SUPPRESS)
    args = ap.parse_args(argv)
    if args.pty_child:
        return pty_child(args.pty_child)
    name = "quick" if args.quick else "full"
    bench = Bench(args.budget or (0.06 if args.quick else 0.7), args.repeats or 3)
    limit = 120 if args.quick else 1800
    watchdog(limit)
    atexit.register(stop_children)
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))  # runs the finally and atexit clean-ups
    if qel_modbus is None:
        print("bench: qel_modbus cannot be imported (install it, or set QEL_BUILD_DIR)", file=sys.stderr)
        return 1
    started = time.perf_counter()
    try:
        measure(bench, limit)
    finally:
        stop_children()
    warnings = bench.finish()
    info = machine()
    text = markdown(info, bench, name, warnings)
    os.makedirs(args.out, exist_ok=True)
    kept = cost_section(os.path.join(args.out, "results.md"))
    with open(os.path.join(args.out, "results.md"), "w") as f:
        f.write(text + "\n" + kept)
    with open(os.path.join(args.out, "results.json"), "w") as f:
        json.dump(dict(mode=name, budget=bench.budget, repeats=bench.repeats, machine=info,
                       warnings=warnings, rows=bench.rows), f, indent=1)
    problem = plot(bench, os.path.join(args.out, "results.png"))
    print(text)
    print(problem or f"plot: {os.path.join(args.out, 'results.png')}")
    print(f"bench: {name} run took {time.perf_counter() - started:.1f} s")
    if bench.failed:
        print("bench: qel_modbus failed:\n  " + "\n  ".join(bench.failed), file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
