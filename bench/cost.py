#!/usr/bin/env python3
"""Exact cost per transaction: user-space instructions and system calls.

    python bench/cost.py [--short N] [--long N] [--check] [--md FILE] [--json FILE]
                         [--annotate [TOP]] [--rows K,..] [--keep DIR] [--jobs J]

Wall-clock rates on a shared machine swing by tens of percent; these counts
repeat to a fraction of an instruction.  Every row runs in a process of its
own, once under `valgrind --tool=callgrind` (user-space instructions of that
process only) and once under `strace -f -c` (system calls), each for two loop
lengths; the difference divided by the difference in length is the cost of
one transaction, with interpreter start-up, imports and connecting cancelled
out.  The slave is another process (qel_modbus_simslave's benchmark process
for TCP, RtuPtySlave in a child process for the pseudo-terminal), so its work
is never counted.

Rows: qel_modbus (Master over TCPTunnel, over ModbusTCPChannel and over a
serial port; ModbusTCPMaster), the bare exchange of the same bytes (a Python socket with a
time-out: send, then one recv of the answer's length, no checks; on the pty,
pyserial's own write + read of the answer's length) and pymodbus.  Targets
are printed beside the numbers; a missed target fails the run only with
--check.  A failing or wrong qel_modbus row always fails it.  valgrind and
strace must be installed (.ci/run installs them).
"""

import argparse
import concurrent.futures
import contextlib
import json
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
TIMEOUT = 1.0
BAUD = 115200
RUN_LIMIT = 240  # seconds for one measured process, callgrind included


# -- the measured process ---------------------------------------------------------------
#
# Kept free of imports beyond what its row needs: whatever it loads is paid on
# both loop lengths and cancels, but under callgrind it costs seconds.

def _bare(sock, request, answer):
    send, recv, size = sock.send, sock.recv, len(answer)
    return dict(send=send, recv=recv, request=request, size=size), "send(request); recv(size)", \
        lambda: send(request) == len(request) and recv(size) == answer


def _tcp_socket(a):
    import socket
    sock = socket.create_connection((a.host, a.port), timeout=TIMEOUT)
    sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    return sock


def _serial_port(a):
    # As the README opens a port: a read time-out only.  (A write time-out
    # costs pyserial's write about 9,000 instructions more, ours and the bare
    # row alike.)
    import serial
    return serial.Serial(a.path, baudrate=BAUD, timeout=TIMEOUT)


def _qel():
    if os.environ.get("QEL_BUILD_DIR"):
        build = os.environ["QEL_BUILD_DIR"]
        sys.path.insert(0, os.path.abspath(build) if os.path.isdir(build) else os.path.join(ROOT, build))
    import qel_modbus
    return qel_modbus


def _registers(answer):  # an RTU answer to function 3
    return list(struct.unpack(f">{answer[2] // 2}H", answer[3:3 + answer[2]]))


def _coils(answer, count):  # a Modbus TCP answer to function 1
    bits = answer[9:9 + answer[8]]
    return [bool(bits[i >> 3] >> (i & 7) & 1) for i in range(count)]


def _pymodbus_tcp(a, rtu):
    from pymodbus import FramerType
    from pymodbus.client import ModbusTcpClient
    client = ModbusTcpClient(a.host, port=a.port, timeout=TIMEOUT, retries=0,
                             framer=FramerType.RTU if rtu else FramerType.SOCKET)
    if not client.connect():
        raise ConnectionError("pymodbus did not connect")
    return client


def setup_qel_tunnel(a):
    q = _qel()
    read, expected = q.Master(q.TCPTunnel(a.host, a.port, TIMEOUT)).read_registers, _registers(a.answer)
    return dict(read=read), "read(1, 0, 10)", lambda: list(read(1, 0, 10)) == expected


def setup_bare_rtu_tcp(a):
    return _bare(_tcp_socket(a), a.request, a.answer)


def setup_pymodbus_rtu_tcp(a):
    read, expected = _pymodbus_tcp(a, rtu=True).read_holding_registers, _registers(a.answer)
    return dict(read=read), "read(0, count=10, device_id=1)", \
        lambda: read(0, count=10, device_id=1).registers == expected


def setup_qel_modbus_tcp(a):
    q = _qel()
    read, expected = q.ModbusTCPMaster(a.host, a.port, TIMEOUT).read_coils, _coils(a.answer, 64)
    return dict(read=read), "read(1, 0, 64)", lambda: [bool(b) for b in read(1, 0, 64)] == expected


def setup_bare_modbus_tcp(a):
    return _bare(_tcp_socket(a), a.request, a.answer)


def setup_qel_modbus_tcp_channel(a):
    q = _qel()
    sys.path.append(ROOT)  # the companion package, where it is not installed
    from qel_modbus_ext import ModbusTCPChannel
    read, expected = q.Master(ModbusTCPChannel(a.host, a.port, TIMEOUT)).read_registers, _registers(a.answer[6:])
    return dict(read=read), "read(1, 0, 10)", lambda: list(read(1, 0, 10)) == expected


def setup_bare_modbus_tcp_registers(a):
    return _bare(_tcp_socket(a), a.request, a.answer)


def setup_pymodbus_tcp(a):
    read, expected = _pymodbus_tcp(a, rtu=False).read_holding_registers, _registers(a.answer[6:])
    return dict(read=read), "read(0, count=10, device_id=1)", \
        lambda: read(0, count=10, device_id=1).registers == expected


def setup_pymodbus_modbus_tcp(a):
    read, expected = _pymodbus_tcp(a, rtu=False).read_coils, _coils(a.answer, 64)
    return dict(read=read), "read(0, count=64, device_id=1)", \
        lambda: read(0, count=64, device_id=1).bits[:64] == expected


def setup_qel_serial(a):
    q = _qel()
    read, expected = q.Master(_serial_port(a)).read_registers, _registers(a.answer)
    return dict(read=read), "read(1, 0, 10)", lambda: list(read(1, 0, 10)) == expected


def setup_pyserial(a):
    port = _serial_port(a)
    write, read, request, size = port.write, port.read, a.request, len(a.answer)
    return dict(write=write, read=read, request=request, size=size), "write(request); read(size)", \
        lambda: write(request) == len(request) and read(size) == a.answer


def worker(a):
    """Sets the row up, checks one transaction, runs the loop, checks one more."""
    names, body, check = globals()["setup_" + a.worker](a)
    if not check():
        raise SystemExit(f"{a.worker}: wrong answer before the loop")
    # The loop is compiled with the row's callables as locals, so every row
    # pays the same loop overhead and nothing else.
    source = f"def loop(n, {', '.join(f'{k}={k}' for k in names)}):\n    for _ in range(n):\n        {body}\n"
    space = dict(names)
    exec(compile(source, f"<{a.worker}>", "exec"), space)
    space["loop"](a.n)
    if not check():
        raise SystemExit(f"{a.worker}: wrong answer after the loop")
    return 0


# -- rows ---------------------------------------------------------------------------------

# key, section, shown as, kind of bare row it is set against (None: it is one),
# target ratio of instructions to it, target system calls ("today": as many as
# the baseline figure given with it), who it belongs to.
ROWS = [
    ("qel_tunnel", "RTU over TCP: read_registers(1, 0, 10)",
     "qel_modbus Master(TCPTunnel)", "bare_rtu_tcp", 1.0, 3, "ours"),
    ("bare_rtu_tcp", None, "bare socket send + recv(25)", None, None, None, "bare"),
    ("pymodbus_rtu_tcp", None, "pymodbus ModbusTcpClient, RTU framer", "bare_rtu_tcp", None, None, "peer"),
    ("qel_modbus_tcp", "Modbus TCP: read_coils(1, 0, 64)",
     "qel_modbus ModbusTCPMaster", "bare_modbus_tcp", 1.0, 3, "ours"),
    ("bare_modbus_tcp", None, "bare socket send + recv(17)", None, None, None, "bare"),
    ("pymodbus_modbus_tcp", None, "pymodbus ModbusTcpClient", "bare_modbus_tcp", None, None, "peer"),
    ("qel_modbus_tcp_channel", "Modbus TCP: read_registers(1, 0, 10)",
     "qel_modbus Master(ModbusTCPChannel)", "bare_modbus_tcp_registers", 1.0, 3, "ours"),
    ("bare_modbus_tcp_registers", None, "bare socket send + recv(29)", None, None, None, "bare"),
    ("pymodbus_tcp", None, "pymodbus ModbusTcpClient", "bare_modbus_tcp_registers", None, None, "peer"),
    ("qel_serial", "RTU over pty (pyserial Serial): read_registers(1, 0, 10)",
     "qel_modbus Master(Serial)", "pyserial", 2.0, 7, "ours"),
    ("pyserial", None, "pyserial write + read(25)", None, None, None, "bare"),
]


def _sections():
    """Row key -> the transaction it measures (a row without one shares its predecessor's)."""
    out, current = {}, None
    for key, name, *_ in ROWS:
        current = out[key] = name or current
    return out


SECTIONS = _sections()


def frames():
    """Request and answer bytes of each row, from the wall-clock benchmark's model."""
    import run as wall
    regs = wall.pdu(3, 0, 10)
    coils = wall.pdu(1, 0, 64)
    rtu = (wall.rtu(regs), wall.rtu(wall.model_answer(regs)))
    tcp = (wall.mbap(coils), wall.mbap(wall.model_answer(coils)))
    tcp_registers = (wall.mbap(regs), wall.mbap(wall.model_answer(regs)))
    return {k: tcp_registers if SECTIONS[k] == SECTIONS["qel_modbus_tcp_channel"] else tcp if "modbus_tcp" in k
            else rtu for k, *_ in ROWS}


def transport(key):
    return "pty" if key in ("qel_serial", "pyserial") else "modbus_tcp" if "modbus_tcp" in key else "rtu_tcp"


def available(key):
    """None, or why the row cannot run here."""
    import importlib.util
    for module in (["pymodbus"] if "pymodbus" in key else []) + (["serial"] if transport(key) == "pty" else []):
        if importlib.util.find_spec(module) is None:
            return f"missing: {module} not installed"
    if transport(key) == "pty" and os.name != "posix":
        return "skipped: needs a POSIX pseudo-terminal"
    return None


# -- measuring ------------------------------------------------------------------------------

def syscall_counts(path):
    """strace -c's summary -> {name: calls}."""
    counts = {}
    with open(path) as f:
        for line in f:
            parts = line.split()
            if len(parts) >= 5 and parts[3].isdigit() and parts[-1] != "total" and re.match(r"^[\d.]+$", parts[0]):
                counts[parts[-1]] = int(parts[3])
    return counts


def instructions(path):
    with open(path) as f:
        for line in f:
            if line.startswith(("summary:", "totals:")):
                return int(line.split()[1])
    raise RuntimeError(f"no total in {path}")


class Measure:
    def __init__(self, args, endpoints, bytes_of, scratch):
        self.args, self.endpoints, self.bytes_of, self.scratch = args, endpoints, bytes_of, scratch

    def command(self, key, n):
        request, answer = self.bytes_of[key]
        cmd = [sys.executable, os.path.abspath(__file__), "--worker", key, "--n", str(n),
               "--request", request.hex(), "--answer", answer.hex()]
        where = self.endpoints[transport(key)]
        return cmd + (["--path", where] if transport(key) == "pty" else ["--host", where[0], "--port", str(where[1])])

    def run(self, key, tool, n):
        out = os.path.join(self.scratch, f"{key}.{tool}.{n}")
        wrap = {"callgrind": ["valgrind", "--tool=callgrind", "--trace-children=no", "--collect-atstart=yes",
                              f"--callgrind-out-file={out}"],
                "strace": ["strace", "-f", "-c", "-o", out]}[tool]
        env = dict(os.environ, PYTHONHASHSEED="0")  # the same dict layouts in every run
        try:
            done = subprocess.run(wrap + self.command(key, n), env=env, stdin=subprocess.DEVNULL,
                                  stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=RUN_LIMIT)
        except subprocess.TimeoutExpired:
            raise RuntimeError(f"not done after {RUN_LIMIT} s")
        if done.returncode:
            tail = done.stderr.decode(errors="replace").strip().splitlines()
            tail = [line for line in tail if not line.startswith("==")] or tail
            raise RuntimeError(f"exit {done.returncode}: {' | '.join(tail[-3:])}")
        return instructions(out) if tool == "callgrind" else syscall_counts(out)

    def row(self, key):
        """-> (instructions per transaction, {syscall: calls per transaction})."""
        short, long = self.args.short, self.args.long
        span = long - short
        i_short, i_long = self.run(key, "callgrind", short), self.run(key, "callgrind", long)
        s_short, s_long = self.run(key, "strace", short), self.run(key, "strace", long)
        calls = {name: (s_long.get(name, 0) - s_short.get(name, 0)) / span for name in set(s_long) | set(s_short)}
        return (i_long - i_short) / span, {k: v for k, v in calls.items() if abs(v) >= 0.005}


# -- where the instructions go ----------------------------------------------------------------

def inclusive(path):
    """callgrind_annotate --inclusive=yes -> {file:function: instructions}."""
    # Run where no source path resolves: elsewhere a function may be listed
    # twice, under its relative and its absolute file name.
    text = subprocess.run(["callgrind_annotate", "--inclusive=yes", "--threshold=100", "--auto=no", path],
                          cwd=os.path.dirname(path), stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                          check=True).stdout.decode(errors="replace")
    costs = {}
    for line in text.splitlines():
        m = re.match(r"^\s*([\d,]+)\s+(?:\(\s*[\d.]+%\)\s+)?(\S.*?)\s*$", line)
        if not m or m.group(2).startswith(("PROGRAM TOTALS", "Ir")):
            continue
        where, _, function = re.sub(r"\s+\[[^]]*\]$", "", m.group(2)).partition(":")
        name = f"{os.path.basename(where)}:{function}"
        costs[name] = max(costs.get(name, 0), int(m.group(1).replace(",", "")))
    return costs


def annotate(scratch, key, short, long, top, total):
    """Top functions by inclusive instructions per transaction; the loop's own
    callers (the interpreter's entry, the eval loop) are left out."""
    a, b = (inclusive(os.path.join(scratch, f"{key}.callgrind.{n}")) for n in (short, long))
    span = long - short
    per = sorted(((b.get(k, 0) - a.get(k, 0)) / span, k) for k in set(a) | set(b))
    return [(cost, name) for cost, name in reversed(per) if 0.5 <= cost < 0.99 * total][:top]


# -- the report ---------------------------------------------------------------------------------

def table(results):
    """results: {key: (instructions, calls) or str}  ->  markdown lines, missed targets."""
    lines = ["| transaction | library | instructions/tx | system calls/tx | ×bare instructions | "
             "×bare system calls | target | met | which system calls (per tx) |",
             "|---|---|---:|---:|---:|---:|---|---|---|"]
    missed, last = [], None
    for key, _, shown, base, ratio_target, calls_target, _ in ROWS:
        if key not in results:
            continue
        got, what, last = results[key], SECTIONS[key] if SECTIONS[key] != last else "", SECTIONS[key]
        if not isinstance(got, tuple):
            lines.append(f"| {what} | {shown} | — | — | — | — | — | — | {got} |")
            continue
        instr, calls = got
        total = sum(calls.values())
        vs = results.get(base) if base else None
        vs = vs if isinstance(vs, tuple) else None
        ratio = f"{instr / vs[0]:.2f}" if vs else "—"
        ratio_calls = f"{total / sum(vs[1].values()):.2f}" if vs and sum(vs[1].values()) else "—"
        target = met = ""
        if ratio_target is not None and vs is None:
            target, met = f"≤ {ratio_target:.1f}× instructions, ≤ {calls_target} system calls", "no baseline"
        elif ratio_target is not None:
            target = f"≤ {ratio_target:.1f}× instructions, ≤ {calls_target} system calls"
            ok = [instr <= ratio_target * vs[0], total <= calls_target + 0.005]
            met = "yes" if all(ok) else "no (" + ", ".join(
                w for w, good in zip(("instructions", "system calls"), ok) if not good) + ")"
            if not all(ok):
                missed.append(f"{SECTIONS[key]}: {shown}: {met}")
        detail = ", ".join(f"{name} {n:g}" if n == int(n) else f"{name} {n:.2f}"
                           for name, n in sorted(calls.items(), key=lambda x: (-x[1], x[0])))
        lines.append(f"| {what} | {shown} | {instr:,.0f} | {total:.2f} | {ratio} | {ratio_calls} | "
                     f"{target} | {met} | {detail} |")
    return lines, missed


def section(results, args, took, module):
    import platform
    from importlib import metadata
    versions = []
    for dist in ("qel_modbus", "pymodbus", "pyserial"):
        try:
            versions.append(f"{dist} {metadata.version(dist)}")
        except metadata.PackageNotFoundError:
            versions.append(f"{dist} (not installed)" if dist != "qel_modbus" else "qel_modbus")
    if module:
        where = os.path.relpath(module, ROOT)
        # A build inside the checkout is named by its path there; an
        # installed module only by its file name.
        versions[0] += f" ({where if not where.startswith('..') else os.path.basename(module)})"
    lines, missed = table(results)
    head = [
        "## Cost per transaction", "",
        f"`python bench/cost.py`, {time.strftime('%Y-%m-%d %H:%M')}, Python {platform.python_version()}, "
        + ", ".join(versions) + f"; {took:.0f} s.", "",
        "User-space instructions of the measuring process under callgrind and its system calls under "
        f"`strace -f -c`, each the difference between a loop of {args.long} and one of {args.short} "
        "transactions divided by their difference, so start-up cancels. Each row is a process of its own; "
        "the slave is another process. Bare: a Python socket with a 1 s time-out, `send(request)` then "
        "`recv(len(answer))`, no checks; on the pty, pyserial's own `write(request)` then "
        "`read(len(answer))` on the same `Serial` (baud rate {0}, read time-out 1 s, no write time-out).".format(BAUD), ""]
    return head + lines + [""], missed


def replace_section(path, text):
    """Puts text in place of the cost section of path, or after the rest."""
    try:
        with open(path) as f:
            old = f.read()
    except FileNotFoundError:
        old = ""
    start = old.find("## Cost per transaction")
    if start < 0:
        new = old.rstrip("\n") + ("\n\n" if old else "") + text
    else:
        end = old.find("\n## ", start + 1)
        new = old[:start] + text + (old[end + 1:] if end >= 0 else "")
    with open(path, "w") as f:
        f.write(new.rstrip("\n") + "\n")


# -- main -----------------------------------------------------------------------------------------

def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--short", type=int, default=200, help="transactions in the short loop")
    ap.add_argument("--long", type=int, default=1200, help="transactions in the long loop")
    ap.add_argument("--check", action="store_true", help="exit 1 when a target is missed")
    ap.add_argument("--md", help="put the table into this markdown file's 'Cost per transaction' section")
    ap.add_argument("--json", help="write the numbers here")
    ap.add_argument("--annotate", type=int, nargs="?", const=25, metavar="TOP",
                    help="also list where qel_modbus's and the bare rows' instructions go (top functions "
                         "by inclusive cost per transaction)")
    ap.add_argument("--keep", metavar="DIR", help="keep the callgrind and strace outputs here "
                    "(KEY.callgrind.N for callgrind_annotate)")
    ap.add_argument("--rows", help="comma-separated subset of: " + ",".join(k for k, *_ in ROWS))
    ap.add_argument("--jobs", type=int, default=2, help="measured processes at once (default 2)")
    for name in ("worker", "host", "path", "request", "answer"):
        ap.add_argument("--" + name, help=argparse.SUPPRESS)
    ap.add_argument("--port", type=int, help=argparse.SUPPRESS)
    ap.add_argument("--n", type=int, help=argparse.SUPPRESS)
    args = ap.parse_args(argv)
    if args.worker:
        args.request, args.answer = bytes.fromhex(args.request), bytes.fromhex(args.answer)
        return worker(args)
    if args.long <= args.short:
        ap.error("--long must be greater than --short")

    missing = [tool for tool in ("valgrind", "strace", "callgrind_annotate") if shutil.which(tool) is None]
    if missing:
        print(f"cost: {', '.join(missing)} not installed (apt-get install valgrind strace): nothing measured",
              file=sys.stderr)
        return 1 if args.check else 0
    keys = [k for k, *_ in ROWS]
    if args.rows:
        wanted = args.rows.split(",")
        unknown = set(wanted) - set(keys)
        if unknown:
            ap.error(f"unknown rows: {', '.join(sorted(unknown))}")
        keys = [k for k in keys if k in wanted]

    sys.path.insert(0, HERE)
    import run as wall
    import qel_modbus_simslave

    started = time.perf_counter()
    results = {}
    todo = []
    for key in keys:
        why = available(key)
        if why:
            results[key] = why
        else:
            todo.append(key)
    children = []
    try:
        endpoints = {}
        if any(transport(k) != "pty" for k in todo):
            slave = qel_modbus_simslave.SlaveProcess(rtu_tcp=0, modbus_tcp=0, lifetime=900, precomputed=True)
            children.append(slave)
            wall.load_image(slave.host, slave.rtu_tcp)
            endpoints["rtu_tcp"] = (slave.host, slave.rtu_tcp)
            endpoints["modbus_tcp"] = (slave.host, slave.modbus_tcp)
        if any(transport(k) == "pty" for k in todo):
            pty = wall.PtyChild(900)
            children.append(pty)
            endpoints["pty"] = pty.path
        if args.keep:
            os.makedirs(args.keep, exist_ok=True)
        with (contextlib.nullcontext(args.keep) if args.keep else tempfile.TemporaryDirectory(prefix="qel-cost-")) \
                as scratch:
            measure = Measure(args, endpoints, frames(), scratch)

            def chain(group):  # one pty, one reader at a time: its rows run in turn
                for key in group:
                    try:
                        results[key] = measure.row(key)
                    except Exception as e:
                        results[key] = f"error: {e}"[:300]
                    print(f"cost: {key}: {results[key]}", file=sys.stderr, flush=True)
            groups = [[k] for k in todo if transport(k) != "pty"] + [[k for k in todo if transport(k) == "pty"]]
            with concurrent.futures.ThreadPoolExecutor(max(1, args.jobs)) as pool:
                # The pty chain is the longest: it goes first.
                for future in [pool.submit(chain, g) for g in reversed(groups) if g]:
                    future.result()
            profiles = []
            if args.annotate:
                for key in ("qel_tunnel", "bare_rtu_tcp", "qel_modbus_tcp", "bare_modbus_tcp", "qel_modbus_tcp_channel",
                            "bare_modbus_tcp_registers", "qel_serial", "pyserial"):
                    if isinstance(results.get(key), tuple):
                        profiles.append((key, annotate(scratch, key, args.short, args.long, args.annotate, results[key][0])))
    finally:
        for child in reversed(children):
            child.close()
    took = time.perf_counter() - started
    lines, missed = section(results, args, took, wall.qel_modbus and wall.qel_modbus.__file__)
    text = "\n".join(lines)
    print(text)
    for key, top in profiles:
        print(f"\n### {key}: top functions by inclusive instructions per transaction\n")
        print("\n".join(f"{cost:12,.0f}  {name}" for cost, name in top))
    if args.md:
        replace_section(args.md, text)
    if args.json:
        with open(args.json, "w") as f:
            json.dump(dict(short=args.short, long=args.long, rows={
                k: (dict(instructions=v[0], syscalls=v[1]) if isinstance(v, tuple) else dict(note=v))
                for k, v in results.items()}, missed=missed), f, indent=1)
    print(f"cost: took {took:.0f} s", file=sys.stderr)
    failed = [k for k, *_, who in ROWS if who == "ours" and k in results and not isinstance(results[k], tuple)]
    if failed:
        print("cost: qel_modbus failed: " + "; ".join(f"{k}: {results[k]}" for k in failed), file=sys.stderr)
        return 1
    if missed:
        print("cost: targets missed:\n  " + "\n  ".join(missed), file=sys.stderr)
        return 1 if args.check else 0
    return 0


if __name__ == "__main__":
    sys.exit(main())
