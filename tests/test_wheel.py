"""The wheel as a user gets it: built, installed into a fresh environment,
and checked by mypy --strict and pyright from a script outside the tree."""
import os
import re
import shutil
import subprocess
import sys
import textwrap
import venv

import pytest

from peers import missing_here, require

pytestmark = pytest.mark.wheel

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

# A user's script: correct calls, then planted mistakes, each marked.
SCRIPT = textwrap.dedent('''\
    import logging
    from typing import Dict, List

    from qel_modbus import FixMaster, Master, ModbusStatic, ModbusTCPMaster, SlaveException, TCPTunnel
    from qel_modbus_ext import (ModbusTCPChannel, execute, mask_write_register, read_device_identification,
                                read_value, read_values, read_write_registers, trace, with_retries, write_coils,
                                write_value)
    from qel_modbus_simslave import RtuTcpSlave


    def poll(host: str, port: int) -> List[int]:
        with Master(TCPTunnel(host, port, timeout=0.5)) as master:
            values: List[int] = master.read_registers(1, 0, 4)
            master.write_float(1, 100, 49.98, endian="<")
            on: bool = master.read_coil(1, 3)
            print(on, master.MessageLastSent.hex(), ModbusStatic.FC_Read_Registers)
            return values


    def meter(tunnel: TCPTunnel) -> float:
        with FixMaster(tunnel, station=2) as fm:
            fm.station = 3
            return fm.read_float(0) + fm.timeout


    def plc(host: str) -> List[bool]:
        try:
            return ModbusTCPMaster(host, 502).read_coils(1, 0, 8)
        except SlaveException as e:
            print(e.function_code, e.error_code)
            raise


    def device(host: str) -> List[int]:
        with Master(ModbusTCPChannel(host, timeout=0.5)) as master:
            return master.read_registers(1, 0, 4)


    def channel(host: str) -> bytes:
        with ModbusTCPChannel(host, 502) as channel:
            channel.timeout = 2.0
            sent: int = channel.write(b"\\x01\\x03\\x00\\x00\\x00\\x01")
            print(sent, channel.in_waiting, channel.AduLastSent.hex())
            return channel.read(7) + channel.AduLastReceived


    def tools(host: str) -> float:
        with Master(trace(TCPTunnel(host, 502), logging.getLogger("wire"), logging.INFO)) as master:
            answer: bytes = execute(master, 1, 3, b"\\x00\\x00\\x00\\x02")
            echo: bytes = execute(master, 1, 6, bytearray(4), answer=4)
            write_coils(master, 1, 0, [True, 0, 1])
            registers: List[int] = read_write_registers(master, 1, 0, 2, 10, [1, 2])
            mask_write_register(master, 1, 0, 0xFF00, 0x0012)
            ident: Dict[int, bytes] = read_device_identification(master, 1, level=2)
            count: int = read_value(master, 1, 0, "uint32", order="CDAB")
            name: str = str(read_value(master, 1, 8, "string(4)", table="input"))
            flows: List[float] = read_values(master, 1, 20, "float32", 4, table="input", order="BADC")
            write_value(master, 1, 30, "float64", 2.5, order="DCBA")
            retrying = with_retries(master, reads=3, backoff=0.1)
            again: float = read_value(retrying, 1, 40, "float32")
            print(answer, echo, registers, ident, count, name, retrying.read_registers(1, 0, 2))
            return flows[0] + again


    def simulated() -> List[int]:
        with RtuTcpSlave(lifetime=5) as slave:
            slave.image.set_holding(0, [1, 2])
            slave.faults.set(delay=0.1)
            with Master(TCPTunnel(*slave.address)) as master:
                return master.read_registers(1, 0, 2) + slave.image.get_holding(0, 2)


    def mistakes(master: Master, tunnel: TCPTunnel) -> None:
        master.read_registers(1, 0, "4")  # MISTAKE
        text: str = master.read_register(1, 0)  # MISTAKE
        master.read_coils(1, 0, 8).upper()  # MISTAKE
        tunnel.reconnect()  # MISTAKE
        FixMaster(tunnel, station="1")  # MISTAKE
        ModbusTCPChannel("plc", "502")  # MISTAKE
        RtuTcpSlave().faults.set(delay="1")  # MISTAKE
        read_value(master, 1, 0, "float32", order="ABDC")  # MISTAKE
        label: str = read_value(master, 1, 0, "int32")  # MISTAKE
        execute(master, 1, 3, [0, 0, 0, 1])  # MISTAKE
        read_values(master, 1, 0, "int16", 2, table="coils")  # MISTAKE
        trace(tunnel, level="DEBUG")  # MISTAKE
        with_retries(master, reads="2")  # MISTAKE
        print(label)
        print(text)
''')


def planted_lines(script):
    return {i for i, line in enumerate(script.splitlines(), 1) if line.endswith("# MISTAKE")}


def run(args, **kwargs):
    # Nothing of a developer build may leak into the fresh environment.
    env = kwargs.pop("env", os.environ)
    env = {k: v for k, v in env.items() if k not in ("PYTHONPATH", "QEL_BUILD_DIR", "PYTHONHOME")}
    return subprocess.run(args, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, universal_newlines=True,
                          timeout=600, env=env, **kwargs)


@pytest.fixture(scope="module")
def installed(tmp_path_factory):
    """(python of a fresh environment holding the wheel, a directory outside the tree)."""
    work = tmp_path_factory.mktemp("wheel")
    wheels = work / "wheels"
    built = run([sys.executable, "-m", "pip", "wheel", "--no-deps", "-w", str(wheels), ROOT])
    assert built.returncode == 0, built.stdout[-4000:]
    [wheel] = list(wheels.glob("qel_modbus-*.whl"))
    env_dir = work / "env"
    venv.EnvBuilder(with_pip=True).create(str(env_dir))
    python = str(env_dir / ("Scripts" if os.name == "nt" else "bin") / "python")
    done = run([python, "-m", "pip", "install", str(wheel)])
    assert done.returncode == 0, done.stdout[-4000:]
    user = work / "user"
    user.mkdir()
    return python, user


def test_wheel_installs_the_modules_and_the_stub_package(installed):
    python, user = installed
    probe = run([python, "-c", textwrap.dedent("""
        import os, sysconfig, qel_modbus, qel_modbus_ext, _qel_modbus_ext
        site = sysconfig.get_paths()["platlib"]
        print(os.path.dirname(qel_modbus.__file__) == site)
        print(os.path.isfile(os.path.join(site, "qel_modbus-stubs", "__init__.pyi")))
        print(os.path.isfile(os.path.join(site, "qel_modbus.pyi")))
        print(os.path.dirname(_qel_modbus_ext.__file__) == site)
        package = os.path.dirname(qel_modbus_ext.__file__)
        print(package == os.path.join(site, "qel_modbus_ext"))
        print(",".join(sorted(n for n in os.listdir(package) if n != "__pycache__")))
        print(qel_modbus_ext.ModbusTCPChannel.__module__)
        import qel_modbus_simslave
        files = os.listdir(os.path.dirname(qel_modbus_simslave.__file__))
        print(",".join(sorted(n for n in files if n.endswith((".pyi", ".typed")))))
    """)], cwd=str(user))
    assert probe.returncode == 0, probe.stdout
    # The package as it is in the tree, stubs and py.typed included.
    package = sorted(n for n in os.listdir(os.path.join(ROOT, "qel_modbus_ext")) if n != "__pycache__")
    assert {"__init__.pyi", "py.typed"} <= set(package)
    assert probe.stdout.split() == ["True", "True", "True", "True", "True", ",".join(package), "qel_modbus_ext",
                                    "__init__.pyi,image.pyi,py.typed,rtu.pyi,servers.pyi"]


def test_wheel_installs_the_poll_command(installed):
    python, user = installed
    script = os.path.join(os.path.dirname(python), "qel-modbus" + (".exe" if os.name == "nt" else ""))
    shown = run([script, "--help"], cwd=str(user))
    assert shown.returncode == 0 and "examples:" in shown.stdout, shown.stdout
    refused = run([python, "-m", "qel_modbus_ext", "--tcp", "127.0.0.1:1", "--holding", "0", "1"], cwd=str(user))
    assert (refused.returncode, refused.stdout) == (1, "holding 0: connection refused\n")


def checker_lines(output, script):
    """Line numbers of the script that a checker's output reports an error on."""
    name = re.escape(os.path.basename(script))
    return {int(m.group(1)) for m in re.finditer(name + r":(\d+):\d+:? (?:- )?error", output)}


@pytest.mark.skipif(missing_here("mypy"), reason="mypy needs Python 3.8 or later")
def test_mypy_strict_finds_the_types_and_every_planted_mistake(installed):
    require("mypy")
    python, user = installed
    script = user / "plant.py"
    script.write_text(SCRIPT)
    result = run([sys.executable, "-m", "mypy", "--strict", "--no-incremental", "--python-executable", python,
                  "--show-column-numbers", str(script)], cwd=str(user))
    assert "import-not-found" not in result.stdout and "import-untyped" not in result.stdout, result.stdout
    assert checker_lines(result.stdout, script) == planted_lines(SCRIPT), result.stdout


@pytest.mark.skipif(missing_here("pyright"), reason="pyright needs Python 3.8 or later")
def test_pyright_finds_the_types_and_every_planted_mistake(installed):
    require("pyright")
    if shutil.which("node") is None:
        pytest.fail("pyright needs node on PATH")
    python, user = installed
    script = user / "plant.py"
    script.write_text(SCRIPT)
    result = run([sys.executable, "-m", "pyright", "--pythonpath", python, str(script)], cwd=str(user),
                 env=dict(os.environ, PYRIGHT_PYTHON_IGNORE_WARNINGS="1"))
    assert "reportMissingImports" not in result.stdout and "reportMissingModuleSource" not in result.stdout, \
        result.stdout
    assert checker_lines(result.stdout, script) == planted_lines(SCRIPT), result.stdout
