"""The README's examples run as they stand against the simulated slave."""
import os
import re
import subprocess
import sys

import pytest

import qel_modbus_simslave

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
README = open(os.path.join(ROOT, "README.md"), encoding="utf-8").read()
BLOCKS = re.findall(r"```python\n(.*?)```", README, re.S)


@pytest.fixture(scope="module")
def slaves():
    with qel_modbus_simslave.RtuTcpSlave(stations={1, 2}, lifetime=60) as rtu, \
            qel_modbus_simslave.ModbusTcpSlave(lifetime=60) as tcp:
        pty = qel_modbus_simslave.RtuPtySlave(lifetime=60) if os.name == "posix" else None
        try:
            yield {"HOST": rtu.host, "PORT": rtu.port, "TCP_PORT": tcp.port,
                   "SERIAL_PORT": pty.port if pty else None}
        finally:
            if pty:
                pty.close()


def test_readme_has_examples():
    assert len(BLOCKS) >= 6


@pytest.mark.parametrize("index", range(len(BLOCKS)))
def test_example_runs(slaves, index, capsys):
    code = BLOCKS[index]
    if "SERIAL_PORT" in code and slaves["SERIAL_PORT"] is None:
        pytest.skip("needs a POSIX pseudo-terminal")
    exec(compile(code, f"README block {index}", "exec"), dict(slaves, __name__="readme"))
    assert capsys.readouterr().out.strip()


def test_quickstart_prints_what_it_read():
    import subprocess
    out = subprocess.run([sys.executable, os.path.join(ROOT, "examples", "quickstart.py")],
                         stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True, timeout=60, env=dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path)))
    assert out.returncode == 0, out.stderr
    assert "holding registers 0-2: [1200, 3400, 5600]" in out.stdout
