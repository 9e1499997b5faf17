"""The poll command (python -m qel_modbus_ext, qel-modbus) against the
simulated slave on each transport: its output, its writes, its error lines
and exit codes, and the terminal that is redrawn in place."""
import io
import json
import os
import re
import signal
import socket
import struct
import subprocess
import sys

import pytest

from qel_modbus_ext import _poll
from qel_modbus_simslave import ModbusTcpSlave, RtuPtySlave, RtuTcpSlave, SlaveImage

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
ENV = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
posix_only = pytest.mark.skipif(os.name != "posix", reason="needs a POSIX pseudo-terminal")
TRANSPORTS = ["rtu-tcp", "tcp", "serial"]  # serial: a pseudo-terminal, POSIX only
RTU_TRANSPORTS = ["rtu-tcp", "serial"]


def run(*args, timeout=60):
    return subprocess.run([sys.executable, "-m", "qel_modbus_ext", *args], cwd=ROOT, env=ENV,
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True,
                          timeout=timeout)


class Plant:
    """One slave image served on every transport; ``args(name)`` is the
    command line that reaches it, ``faults(name)`` that transport's switches."""

    def __init__(self):
        self.image = SlaveImage()
        self.image.set_holding(0, [1200, 3400, 0xFFFF])
        self.image.set_input(10, [230, 50])
        self.image.set_coils(0, [1, 0, 1])
        self.image.set_discrete(4, [0, 1])
        self.servers = {"rtu-tcp": RtuTcpSlave(self.image, lifetime=120),
                        "tcp": ModbusTcpSlave(self.image, lifetime=120)}
        if os.name == "posix":
            self.servers["serial"] = RtuPtySlave(self.image, lifetime=120)

    def server(self, name):
        if name not in self.servers:
            pytest.skip("needs a POSIX pseudo-terminal")
        return self.servers[name]

    def args(self, name):
        server = self.server(name)
        if name == "serial":
            # A pseudo-terminal refuses parity settings.
            return ["--serial", server.port, "--baud", "19200", "--parity", "N"]
        return ["--" + name, "127.0.0.1:%d" % server.port]

    def faults(self, name):
        return self.server(name).faults

    def close(self):
        for server in self.servers.values():
            server.close()


@pytest.fixture
def plant():
    p = Plant()
    yield p
    p.close()


READS = ["--holding", "0", "3", "--coils", "0", "3", "--input", "10", "2", "--discrete", "4", "2"]
TABLE = """\
holding 0-2
      0   1200  0x04B0
      1   3400  0x0D48
      2  65535  0xFFFF
coils 0-2
      0  1
      1  0
      2  1
input 10-11
     10  230  0x00E6
     11   50  0x0032
discrete 4-5
      4  0
      5  1
"""


@pytest.mark.parametrize("transport", TRANSPORTS)
def test_table_and_json_on_every_transport(plant, transport):
    out = run(*plant.args(transport), *READS)
    assert (out.returncode, out.stdout, out.stderr) == (0, TABLE, "")

    out = run(*plant.args(transport), *READS, "--json")
    assert out.returncode == 0, out.stderr
    poll = json.loads(out.stdout)
    assert re.match(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}$", poll.pop("time"))
    assert poll == {"poll": 1, "ok": True, "reads": [
        {"table": "holding", "address": 0, "count": 3, "kind": "uint16", "values": [1200, 3400, 65535]},
        {"table": "coils", "address": 0, "count": 3, "values": [True, False, True]},
        {"table": "input", "address": 10, "count": 2, "kind": "uint16", "values": [230, 50]},
        {"table": "discrete", "address": 4, "count": 2, "values": [False, True]}]}


def _regs(fmt, value, order):
    """The registers a device of the given byte order holds ``value`` in."""
    raw = struct.pack(">" + fmt, value)
    words = [raw[i:i + 2] for i in range(0, len(raw), 2)]
    if order in ("CDAB", "DCBA"):
        words.reverse()
    if order in ("BADC", "DCBA"):
        words = [w[::-1] for w in words]
    return [int.from_bytes(w, "big") for w in words]


@pytest.mark.parametrize("kind, order, registers, shown, in_json", [
    ("float32", order, _regs("f", 49.98, order), "49.98", 49.98) for order in ("ABCD", "CDAB", "BADC", "DCBA")
] + [
    ("int32", "CDAB", _regs("i", -70000, "CDAB"), "-70000", -70000),
    ("uint32", "DCBA", _regs("I", 0x11223344, "DCBA"), "287454020", 0x11223344),
    ("int16", "BADC", [0xFEFF], "-2", -2),
    ("uint16", "ABCD", [0xFFFE], "65534", 65534),
    ("int64", "ABCD", _regs("q", -2 ** 40, "ABCD"), str(-2 ** 40), -2 ** 40),
    ("uint64", "CDAB", _regs("Q", 2 ** 64 - 2, "CDAB"), str(2 ** 64 - 2), 2 ** 64 - 2),
    ("float64", "DCBA", _regs("d", -0.1, "DCBA"), "-0.1", -0.1),
    ("string(3)", "ABCD", [0x5455, 0x5242, 0x0000], '"TURB"', "TURB"),
])
def test_typed_values_in_each_order(plant, kind, order, registers, shown, in_json):
    width = len(registers)
    plant.image.set_holding(100, registers + registers)
    args = [*plant.args("rtu-tcp"), "--holding", "100", "2", "--as", kind, "--order", order]
    out = run(*args)
    assert out.returncode == 0, out.stderr
    head, *rows = out.stdout.splitlines()
    assert head.startswith("holding 100-%d as %s" % (100 + 2 * width - 1, kind))
    assert [row.split() for row in rows] == [["100", shown], [str(100 + width), shown]]
    poll = json.loads(run(*args, "--json").stdout)
    assert poll["reads"][0]["values"] == [in_json, in_json]


@pytest.mark.parametrize("transport", TRANSPORTS)
@pytest.mark.parametrize("writes, typed, lines, check", [
    (["--write-register", "5", "0x1234", "--write-coil", "7", "1"], [],
     ["write register 5: wrote 4660", "write coil 7: wrote 1"],
     lambda image: image.get_holding(5) == [0x1234] and image.get_coils(7) == [True]),
    (["--write-register", "6", "-2"], [], ["write register 6: wrote -2"],
     lambda image: image.get_holding(6) == [0xFFFE]),
    (["--write-coil", "0", "0"], [], ["write coil 0: wrote 0"], lambda image: image.get_coils(0) == [False]),
    (["--write-register", "20", "-2.5"], ["--as", "float32", "--order", "CDAB"],
     ["write register 20: wrote -2.5"], lambda image: image.get_holding(20, 2) == _regs("f", -2.5, "CDAB")),
], ids=["register-and-coil", "negative", "coil-off", "float-cdab"])
def test_writes_land_in_the_slave_image(plant, transport, writes, typed, lines, check):
    out = run(*plant.args(transport), *writes, *typed)
    assert (out.returncode, out.stdout.splitlines(), out.stderr) == (0, lines, "")
    assert check(plant.image)


@pytest.mark.parametrize("transport, fault, line", [
    (t, dict(silent=True), "no answer within 0.5 s") for t in TRANSPORTS
] + [
    (t, dict(exception=code), "Modbus exception %s" % name) for t in TRANSPORTS for code, name in [
        (2, "2 ILLEGAL DATA ADDRESS"), (11, "11 GATEWAY TARGET DEVICE FAILED TO RESPOND")]
] + [
    (t, dict(exception=7), "Modbus exception 7") for t in ["rtu-tcp"]
] + [
    (t, dict(corrupt_crc=True), "CRC error (noise, wrong parity or baud rate, or two devices answering)")
    for t in RTU_TRANSPORTS
] + [
    (t, dict(close_after_request=True), "connection reset by the device or gateway") for t in ["rtu-tcp", "tcp"]
])
def test_one_error_line_per_failed_read(plant, transport, fault, line):
    plant.faults(transport).set(**fault)
    out = run(*plant.args(transport), "--timeout", "0.5", "--holding", "0", "2", "--coils", "0", "3")
    assert (out.returncode, out.stdout, out.stderr) == (1, "holding 0-1: %s\ncoils 0-2: %s\n" % (line, line), "")


@pytest.mark.parametrize("transport", ["rtu-tcp", "tcp"])
def test_refused_connection_fails_each_read_with_one_attempt(transport):
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]  # bound, not listening: refused
        out = run("--" + transport, "127.0.0.1:%d" % port, "--holding", "0", "1", "--json", "--repeat", "2",
                  "--interval", "0")
    assert out.returncode == 1
    polls = [json.loads(line) for line in out.stdout.splitlines()]
    assert [(p["poll"], p["ok"], p["reads"][0]["error"]) for p in polls] == \
        [(1, False, "connection refused"), (2, False, "connection refused")]
    assert out.stderr == "qel-modbus: 2 polls, 0 good, 2 failed\n"


def test_a_poll_after_a_dropped_connection_connects_again(plant, monkeypatch):
    faults = plant.faults("rtu-tcp")
    faults.close_after_request = True
    # Between the polls the gateway comes back.
    monkeypatch.setattr(_poll.time, "sleep", lambda seconds: faults.reset())
    out, err = io.StringIO(), io.StringIO()
    monkeypatch.setattr(sys, "stdout", out)
    monkeypatch.setattr(sys, "stderr", err)
    assert _poll.main([*plant.args("rtu-tcp"), "--holding", "1", "1", "--repeat", "2", "--json"]) == 1
    polls = [json.loads(line) for line in out.getvalue().splitlines()]
    assert [p["reads"][0].get("values") or p["reads"][0]["error"] for p in polls] == \
        ["connection reset by the device or gateway", [3400]]
    assert err.getvalue() == "qel-modbus: 2 polls, 1 good, 1 failed\n"


def test_exception_code_in_json(plant):
    plant.faults("tcp").exception = 4
    out = run(*plant.args("tcp"), "--input", "10", "1", "--json")
    assert out.returncode == 1
    assert json.loads(out.stdout)["reads"] == [
        {"table": "input", "address": 10, "count": 1, "kind": "uint16",
         "error": "Modbus exception 4 SLAVE DEVICE FAILURE", "exception": 4}]


def test_piped_repeat_prints_one_line_per_poll(plant):
    out = run(*plant.args("rtu-tcp"), "--holding", "0", "2", "--coils", "1", "2", "--repeat", "3",
              "--interval", "0.05")
    assert out.returncode == 0
    lines = out.stdout.splitlines()
    assert len(lines) == 3
    for line in lines:
        assert re.match(r"\d\d:\d\d:\d\d\.\d{3}  holding 0-1: 1200 3400 \| coils 1-2: 0 1$", line), line
    assert out.stderr == "qel-modbus: 3 polls, 3 good, 0 failed\n"


@pytest.mark.parametrize("args, message", [
    (["--holding", "0", "1"], "one of the arguments --serial --rtu-tcp --tcp is required"),
    (["--tcp", "h:502", "--rtu-tcp", "h:4001", "--holding", "0", "1"], "not allowed with argument"),
    (["--tcp", "h:502"], "nothing to do"),
    (["--tcp", "h", "--holding", "0", "1"], "expected HOST:PORT"),
    (["--tcp", "h:70000", "--holding", "0", "1"], "the port is a number 1..65535"),
    (["--tcp", "h:502", "--holding", "0", "0"], "one read takes 1..125 registers"),
    (["--tcp", "h:502", "--holding", "0", "126"], "one read takes 1..125 registers"),
    (["--tcp", "h:502", "--holding", "0", "32", "--as", "float64"], "one read takes 1..125 registers"),
    (["--tcp", "h:502", "--coils", "0", "2001"], "one read takes 1..2000 bits"),
    (["--tcp", "h:502", "--holding", "65535", "2"], "addresses run from 0 to 65535"),
    (["--tcp", "h:502", "--holding", "x", "2"], "not a whole number"),
    (["--tcp", "h:502", "--holding", "0", "1", "--as", "float16"], "string(N)"),
    (["--tcp", "h:502", "--holding", "0", "1", "--as", "string(0)"], "string(N)"),
    (["--tcp", "h:502", "--holding", "0", "1", "--order", "BACD"], "invalid choice"),
    (["--tcp", "h:502", "--write-coil", "1", "2"], "a coil is 0 (off) or 1 (on)"),
    (["--tcp", "h:502", "--write-register", "1", "65536"], "a register holds -32768..65535"),
    (["--tcp", "h:502", "--write-register", "1", "40000", "--as", "int16"], "int16 cannot hold 40000"),
    (["--tcp", "h:502", "--write-register", "1", "abc", "--as", "float32"], "--write-register 1 abc"),
    (["--tcp", "h:502", "--write-register", "1", "abcde", "--as", "string(2)"], "string(2) holds at most 4 characters"),
    (["--tcp", "h:502", "--station", "256", "--holding", "0", "1"], "--station: 0..255"),
    (["--tcp", "h:502", "--timeout", "0", "--holding", "0", "1"], "--timeout"),
    (["--tcp", "h:502", "--baud", "9600", "--holding", "0", "1"], "are for --serial"),
])
def test_wrong_command_lines_exit_2(args, message):
    out = run(*args)
    assert (out.returncode, out.stdout) == (2, "")
    assert message in out.stderr and out.stderr.startswith("usage: qel-modbus")


def test_help_explains_every_option_with_two_examples():
    out = run("--help")
    assert out.returncode == 0 and out.stderr == ""
    for option in ["--serial", "--rtu-tcp", "--tcp", "--baud", "--parity", "--stopbits", "--station", "--timeout",
                   "--holding", "--input", "--coils", "--discrete", "--as", "--order", "--write-register",
                   "--write-coil", "--repeat", "--interval", "--json"]:
        assert re.search(r"^\s+%s\b.*\S" % option, out.stdout, re.M), option
    examples = out.stdout.split("examples:", 1)[1]
    assert len(re.findall(r"^\s+qel-modbus --", examples, re.M)) == 2


class Terminal(io.StringIO):
    def isatty(self):
        return True


def terminal(monkeypatch):
    """A terminal of 120 columns as stdout; returns it and stderr. Called in
    the test itself: output capture sets sys.stdout back after fixtures."""
    screen, err = Terminal(), io.StringIO()
    monkeypatch.setenv("COLUMNS", "120")
    monkeypatch.setattr(sys, "stdout", screen)
    monkeypatch.setattr(sys, "stderr", err)
    return screen, err


def frames(text):
    """The frames drawn on the terminal, each as its lines."""
    return [part.splitlines() for part in re.split(r"\r(?:\x1b\[\d+A)?\x1b\[J", text)[1:]]


def test_terminal_is_redrawn_in_place_with_counts(plant, monkeypatch):
    screen, err = terminal(monkeypatch)
    polls = []

    def between_polls(seconds):
        polls.append(seconds)
        plant.faults("rtu-tcp").silent = len(polls) == 1  # the second poll fails

    monkeypatch.setattr(_poll.time, "sleep", between_polls)
    argv = [*plant.args("rtu-tcp"), "--timeout", "0.5", "--write-coil", "2", "0", "--holding", "0", "2",
            "--repeat", "3", "--interval", "0"]
    assert _poll.main(argv) == 1
    drawn = frames(screen.getvalue())
    assert len(drawn) == 3
    # Each frame goes back up over the whole frame before it.
    assert re.findall(r"\x1b\[(\d+)A", screen.getvalue()) == [str(len(drawn[0])), str(len(drawn[1]))]
    heads = [re.sub(r"^\d\d:\d\d:\d\d  ", "", f[0]) for f in drawn]
    where = "  127.0.0.1:%d (RTU over TCP) station 1" % plant.servers["rtu-tcp"].port
    assert heads == ["poll 1 of 3: 1 good, 0 failed" + where, "poll 2 of 3: 1 good, 1 failed" + where,
                     "poll 3 of 3: 2 good, 1 failed" + where]
    assert drawn[1][1:] == ["write coil 2: wrote 0", "holding 0-1: no answer within 0.5 s"]
    assert drawn[2][1:] == ["write coil 2: wrote 0", "holding 0-1", "      0  1200  0x04B0",
                            "      1  3400  0x0D48"]
    assert plant.image.get_coils(2) == [False]
    assert err.getvalue() == "qel-modbus: 3 polls, 2 good, 1 failed\n"


def test_ctrl_c_ends_a_forever_poll_with_the_counts(plant, monkeypatch):
    screen, err = terminal(monkeypatch)
    waits = []

    def between_polls(seconds):
        waits.append(seconds)
        if len(waits) == 4:
            raise KeyboardInterrupt

    monkeypatch.setattr(_poll.time, "sleep", between_polls)
    assert _poll.main([*plant.args("tcp"), "--coils", "0", "1", "--repeat", "0", "--interval", "0"]) == 0
    last = frames(screen.getvalue())[-1]
    assert re.match(r"\d\d:\d\d:\d\d  poll 4: 4 good, 0 failed  127.0.0.1:\d+ \(Modbus TCP\) station 1  "
                    r"Ctrl-C stops$", last[0])
    assert err.getvalue() == "qel-modbus: 4 polls, 4 good, 0 failed\n"


@posix_only
def test_sigint_ends_a_piped_forever_poll_cleanly(plant):
    def python_handles_ctrl_c():
        # A runner started in the background ignores SIGINT; its children
        # would inherit that.
        signal.signal(signal.SIGINT, signal.SIG_DFL)

    proc = subprocess.Popen([sys.executable, "-m", "qel_modbus_ext", *plant.args("rtu-tcp"), "--holding", "0", "1",
                             "--repeat", "0", "--interval", "0.05"], cwd=ROOT, env=ENV, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, universal_newlines=True, preexec_fn=python_handles_ctrl_c)
    try:
        for _ in range(2):
            assert proc.stdout.readline().endswith("holding 0: 1200\n")
        proc.send_signal(signal.SIGINT)
        rest, err = proc.communicate(timeout=30)
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.communicate()
    assert proc.returncode == 0
    assert "Traceback" not in err
    assert re.match(r"qel-modbus: (\d+) polls, \1 good, 0 failed\n$", err), err


@pytest.mark.parametrize("transport, fault, args, line", [
    ("tcp", dict(corrupt_byte=-1), ["--write-register", "5", "0x1234"],
     "write register 5: bad answer: the answer does not repeat the request: sent 00051234, got 000512cb"),
    ("tcp", dict(corrupt_byte=-1), ["--write-coil", "5", "1"],
     "write coil 5: bad answer: the answer does not repeat the request: sent 0005ff00, got 0005ffff"),
    ("rtu-tcp", dict(odd_byte_count=True), ["--holding", "0", "2"], "holding 0-1: bad answer: "),
])
def test_answers_that_do_not_fit_are_failures(plant, transport, fault, args, line):
    plant.faults(transport).set(**fault)
    out = run(*plant.args(transport), "--timeout", "0.5", *args)
    assert out.returncode == 1 and out.stderr == ""
    assert out.stdout.startswith(line) and out.stdout.count("\n") == 1, out.stdout
