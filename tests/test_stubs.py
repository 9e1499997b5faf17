"""The typing stub agrees with the built module."""
import os
import re
import shutil
import subprocess
import sys
import textwrap

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
    stubtest(tmp_path, stubs, "qel_modbus", os.path.dirname(qel_modbus.__file__))


def test_companion_stub_matches_runtime(tmp_path):
    import qel_modbus_ext
    package = os.path.dirname(qel_modbus_ext.__file__)
    stubs = tmp_path / "stubs"
    stubs.mkdir()
    shutil.copy(os.path.join(package, "__init__.pyi"), str(stubs / "qel_modbus_ext.pyi"))
    # The poll command's entry module is run, not imported: it has no stub.
    stubtest(tmp_path, stubs, "qel_modbus_ext",
             os.pathsep.join([os.path.dirname(package), os.path.dirname(qel_modbus.__file__)]),
             allow=["qel_modbus_ext.__main__"])


def test_simulated_slave_stubs_match_runtime(tmp_path):
    # The stubs lie beside the modules, as installed.
    stubtest(tmp_path, ROOT, "qel_modbus_simslave", ROOT)


# A test's use of the simulated slave, then planted mistakes, each marked.
SIMSLAVE_SCRIPT = textwrap.dedent('''\
    from typing import Dict, List, Optional

    from qel_modbus_simslave import ModbusTcpSlave, RtuPtySlave, RtuTcpSlave, SlaveImage, SlaveProcess, rtu_frame


    def serve() -> List[int]:
        image = SlaveImage()
        image.set_holding(0, [1, 2, 3])
        image.set_coils(0, [True, False])
        image.identification = {0: b"v", 1: b"p", 2: b"1"}
        image.identification_room = 20
        objects: Dict[int, bytes] = image.identification
        with RtuTcpSlave(image, stations={1, 2}, lifetime=10) as slave:
            host, port = slave.address
            slave.faults.delay = 0.5
            slave.faults.set(split_at=3, exception=4, close_after_request=True)
            print(host + str(port), slave.requests[0].hex(), objects, slave.connections)
        with ModbusTcpSlave(lifetime=None) as tcp, RtuPtySlave() as pty, SlaveProcess(modbus_tcp=None) as proc:
            tcp.image.set_input(3, 7)
            rtu_tcp: Optional[int] = proc.rtu_tcp
            print(pty.port.upper(), rtu_tcp)
        answer: Optional[bytes] = image.process(rtu_frame(b"\\x01\\x03")[1:])
        print(answer)
        return image.get_holding(0, 3)


    def mistakes(image: SlaveImage, slave: RtuTcpSlave) -> None:
        image.set_holding("0", [1])  # MISTAKE
        flags: List[int] = image.get_coils(0, 2)  # MISTAKE
        slave.faults.set(delay="1")  # MISTAKE
        slave.faults.set(dealy=1.0)  # MISTAKE
        port: str = slave.port  # MISTAKE
        RtuTcpSlave(stations="1")  # MISTAKE
        image.identification = {0: "text"}  # MISTAKE
        print(flags, port)
''')


def test_mypy_strict_checks_a_use_of_the_simulated_slave(tmp_path):
    script = tmp_path / "use.py"
    script.write_text(SIMSLAVE_SCRIPT)
    result = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-incremental", "--show-column-numbers", str(script)],
        cwd=str(tmp_path), env=dict(os.environ, MYPYPATH=ROOT), stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
        universal_newlines=True, timeout=300)
    found = {int(m.group(1)) for m in re.finditer(r"use\.py:(\d+):\d+: error", result.stdout)}
    planted = {i for i, line in enumerate(SIMSLAVE_SCRIPT.splitlines(), 1) if line.endswith("# MISTAKE")}
    assert found == planted, result.stdout


def stubtest(cwd, stubs, module, path, allow=()):
    env = dict(os.environ, MYPYPATH=str(stubs), PYTHONPATH=path)
    allowlist = os.path.join(str(cwd), "allowlist.txt")
    with open(allowlist, "w") as f:
        f.write("\n".join(allow) + "\n")
    result = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "--allowlist", allowlist, module],
        cwd=str(cwd), env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True, timeout=300,
    )
    assert result.returncode == 0, result.stdout + result.stderr


@pytest.mark.parametrize("stub", ["src/qel_modbus.pyi", "qel_modbus_ext/__init__.pyi"])
def test_every_public_member_of_the_stub_has_a_docstring(stub):
    import ast
    with open(os.path.join(ROOT, stub), encoding="utf-8") as f:
        tree = ast.parse(f.read())
    missing = []
    for cls in [n for n in tree.body if isinstance(n, ast.ClassDef) and not n.name.startswith("_")]:
        body = cls.body
        for i, node in enumerate(body):
            setter = isinstance(node, ast.FunctionDef) and any(
                isinstance(d, ast.Attribute) and d.attr == "setter" for d in node.decorator_list)
            if isinstance(node, ast.FunctionDef) and not setter and not node.name.startswith("_" + cls.name + "__"):
                if ast.get_docstring(node) is None:
                    missing.append(cls.name + "." + node.name)
            elif isinstance(node, ast.AnnAssign) and not node.target.id.startswith("_"):
                following = body[i + 1] if i + 1 < len(body) else None
                if not (isinstance(following, ast.Expr) and isinstance(following.value, ast.Constant)
                        and isinstance(following.value.value, str)):
                    missing.append(cls.name + "." + node.target.id)
    assert missing == []
