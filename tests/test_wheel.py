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

# A user's script: correct calls, then six planted mistakes, each marked.
SCRIPT = textwrap.dedent('''\
    from typing import List

    from qel_modbus import FixMaster, Master, ModbusStatic, ModbusTCPMaster, SlaveException, TCPTunnel
    from qel_modbus_ext import ModbusTCPChannel


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


    def mistakes(master: Master, tunnel: TCPTunnel) -> None:
        master.read_registers(1, 0, "4")  # MISTAKE
        text: str = master.read_register(1, 0)  # MISTAKE
        master.read_coils(1, 0, 8).upper()  # MISTAKE
        tunnel.reconnect()  # MISTAKE
        FixMaster(tunnel, station="1")  # MISTAKE
        ModbusTCPChannel("plc", "502")  # MISTAKE
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
        print(sorted(n for n in os.listdir(package) if n != "__pycache__"))
        print(qel_modbus_ext.ModbusTCPChannel.__module__)
    """)], cwd=str(user))
    assert probe.returncode == 0, probe.stdout
    assert probe.stdout.split() == ["True", "True", "True", "True", "True",
                                    "['__init__.py',", "'__init__.pyi',", "'__main__.py',", "'_poll.py',",
                                    "'_requests.py',", "'_values.py',", "'py.typed']", "qel_modbus_ext"]


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
