"""The typing stub agrees with the built module."""
import os
import shutil
import subprocess
import sys

import pytest

import qel_modbus
from peers import require

require("mypy.stubtest")

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def test_stub_matches_runtime(tmp_path):
    # The stub installed beside the module, else the one in the tree.
    installed = os.path.join(os.path.dirname(qel_modbus.__file__), "qel_modbus.pyi")
    stub = installed if os.path.exists(installed) else os.path.join(ROOT, "src", "qel_modbus.pyi")
    # mypy refuses site-packages on its search path, so the stub is checked from a copy.
    stubs = tmp_path / "stubs"
    stubs.mkdir()
    shutil.copy(stub, stubs / "qel_modbus.pyi")
    env = dict(os.environ, MYPYPATH=str(stubs), PYTHONPATH=os.path.dirname(qel_modbus.__file__))
    result = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "qel_modbus"],
        cwd=tmp_path, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True, timeout=300,
    )
    assert result.returncode == 0, result.stdout + result.stderr
