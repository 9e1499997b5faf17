"""The simulated slave's command line: transports, image, fault switches."""
import contextlib
import json
import os
import re
import socket
import struct
import subprocess
import sys

import pytest

from qel_modbus import Master, ModbusTCPMaster, TCPTunnel
from qel_modbus_simslave import crc16, rtu_frame

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
ENV = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
ADDRESS = re.compile(r"\b(PORT|TCP_PORT|SERIAL_PORT)=(\S+)")
posix_only = pytest.mark.skipif(os.name != "posix", reason="needs a POSIX pseudo-terminal")


def run(*args, cwd=ROOT, env=ENV):
    return subprocess.run([sys.executable, "-m", "qel_modbus_simslave", *args], cwd=cwd, env=env,
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True, timeout=30)


@contextlib.contextmanager
def cli(*args):
    """The slave started as a user would; yields the addresses it printed."""
    proc = subprocess.Popen([sys.executable, "-m", "qel_modbus_simslave", "--lifetime", "30", *args],
                            cwd=ROOT, env=ENV, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                            universal_newlines=True)
    try:
        lines = []
        while not lines or not lines[-1].startswith("stations"):
            lines.append(proc.stdout.readline())
            assert lines[-1], f"slave ended early: {lines}"
        yield {k: (v if k == "SERIAL_PORT" else int(v)) for k, v in ADDRESS.findall("".join(lines))}
    finally:
        proc.stdin.close()  # a pipe on stdin: closing it ends the slave
        assert proc.wait(5) == 0
        proc.stdout.close()


def ask(port, request, timeout=0.3):
    with socket.create_connection(("127.0.0.1", port), timeout=timeout) as s:
        s.sendall(request)
        chunks = []
        with contextlib.suppress(socket.timeout):
            while True:
                chunk = s.recv(300)
                if not chunk:
                    break
                chunks.append(chunk)
        return chunks


READ_3 = rtu_frame(bytes([1, 3, 0, 0, 0, 3]))


def test_help_names_every_option():
    out = run("--help").stdout
    for option in ["--rtu-tcp", "--modbus-tcp", "--pty", "--host", "--stations", "--holding", "--input",
                   "--coils", "--discrete", "--image", "--delay", "--split-at", "--split-gap", "--corrupt-crc",
                   "--exception", "--silent", "--lifetime", "--json", "--fast", "--precomputed"]:
        assert re.search(rf"^\s+{option}\b.*\S", out, re.M), option


def test_installed_runs_from_any_directory(tmp_path):
    env = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}
    probe = subprocess.run([sys.executable, "-c", "import qel_modbus"], cwd=tmp_path, env=env)
    if probe.returncode:
        pytest.skip("qel_modbus is not installed (developer build)")
    out = run("--help", cwd=tmp_path, env=env)
    assert out.returncode == 0 and "--rtu-tcp" in out.stdout


def test_modes_share_one_image_from_file_and_command_line(tmp_path):
    image = tmp_path / "plant.json"
    image.write_text(json.dumps({"holding": {"0": [1, 2, 3]}, "coils": {"4": [1, 0, 1]},
                                 "input": {"7": [70]}, "discrete": {"0": [True]}}))
    args = ["--rtu-tcp", "0", "--modbus-tcp", "0", "--stations", "1,2", "--image", str(image),
            "--holding", "1=0x20,30", "--input", "8=80"]
    if os.name == "posix":
        args.append("--pty")
    with cli(*args) as where:
        with Master(TCPTunnel("127.0.0.1", where["PORT"])) as m:
            assert m.read_registers(2, 0, 3) == [1, 32, 30]
            assert m.read_input_registers(1, 7, 2) == [70, 80]
            assert m.read_input_coils(1, 0, 2) == [True, False]
            m.write_register(1, 0, 99)
        plc = ModbusTCPMaster("127.0.0.1", where["TCP_PORT"])
        assert plc.read_coils(1, 4, 3) == [True, False, True]
        plc._socket.close()
        if os.name == "posix":
            import serial
            with Master(serial.Serial(where["SERIAL_PORT"], 19200)) as m:
                assert m.read_register(1, 0) == 99


@pytest.mark.parametrize("switch, check", [
    (["--silent"], lambda chunks: chunks == []),
    (["--exception", "11"], lambda chunks: b"".join(chunks) == rtu_frame(bytes([1, 0x83, 11]))),
    (["--corrupt-crc"], lambda chunks: len(b"".join(chunks)) == 11 and crc16(b"".join(chunks)) != 0),
    (["--split-at", "4", "--split-gap", "0.4"], lambda chunks: [len(c) for c in chunks] == [4, 7]),
    (["--delay", "1"], lambda chunks: chunks == []),  # later than we wait
], ids=["silent", "exception", "corrupt-crc", "split", "delay"])
def test_fault_switches(switch, check):
    with cli("--rtu-tcp", "0", "--holding", "0=5,6,7", *switch) as where:
        assert check(ask(where["PORT"], READ_3, timeout=0.6))


def test_late_answer_arrives():
    with cli("--rtu-tcp", "0", "--delay", "0.4") as where:
        assert b"".join(ask(where["PORT"], READ_3, timeout=1.5)) == rtu_frame(bytes([1, 3, 6]) + bytes(6))


@pytest.mark.parametrize("args, message", [
    ([], "give --rtu-tcp, --modbus-tcp and/or --pty"),
    (["--rtu-tcp", "0", "--holding", "5"], "expected ADDR=V,V,..."),
    (["--rtu-tcp", "0", "--holding", "0=70000"], "image:"),
    (["--rtu-tcp", "0", "--image", "/nonexistent.json"], "image:"),
    (["--rtu-tcp", "0", "--stations", "1,300"], "--stations"),
    (["--rtu-tcp", "0", "--fast", "--silent"], "--fast serves TCP only"),
    (["--rtu-tcp", "0", "--precomputed"], "--precomputed needs --fast"),
])
def test_bad_command_lines(args, message):
    out = run(*args)
    assert out.returncode == 2 and message in out.stderr


def test_fast_json_mode_serves_and_ends_with_stdin():
    proc = subprocess.Popen([sys.executable, "-m", "qel_modbus_simslave", "--fast", "--json", "--rtu-tcp", "0",
                             "--holding", "0=9"], cwd=ROOT, env=ENV, stdin=subprocess.PIPE,
                            stdout=subprocess.PIPE)
    try:
        ports = json.loads(proc.stdout.readline())
        assert ports["modbus_tcp"] is None and ports["pty"] is None
        assert b"".join(ask(ports["rtu_tcp"], rtu_frame(bytes([1, 3, 0, 0, 0, 1])))) == \
            rtu_frame(bytes([1, 3, 2, 0, 9]))
    finally:
        proc.stdin.close()
        assert proc.wait(5) == 0
        proc.stdout.close()


@posix_only
def test_sigterm_stops_it():
    with subprocess.Popen([sys.executable, "-m", "qel_modbus_simslave", "--rtu-tcp", "0", "--lifetime", "30"],
                          cwd=ROOT, env=ENV, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, universal_newlines=True) as proc:
        assert "PORT=" in proc.stdout.readline()
        proc.terminate()
        assert proc.wait(5) == 0


def test_answer_station_fault_rewrites_station():
    from qel_modbus_simslave import RtuTcpSlave
    with RtuTcpSlave(lifetime=10) as slave:
        slave.faults.answer_station = 7
        assert b"".join(ask(slave.port, rtu_frame(bytes([1, 6, 0, 1, 0, 2])))) == \
            rtu_frame(bytes([7, 6, 0, 1, 0, 2]))
