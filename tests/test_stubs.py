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
    stubtest(tmp_path, stubs, "qel_modbus", os.path.dirname(qel_modbus.__file__))


def test_companion_stub_matches_runtime(tmp_path):
    import qel_modbus_ext
    package = os.path.dirname(qel_modbus_ext.__file__)
    stubs = tmp_path / "stubs"
    stubs.mkdir()
    shutil.copy(os.path.join(package, "__init__.pyi"), str(stubs / "qel_modbus_ext.pyi"))
    stubtest(tmp_path, stubs, "qel_modbus_ext",
             os.pathsep.join([os.path.dirname(package), os.path.dirname(qel_modbus.__file__)]))


def stubtest(cwd, stubs, module, path):
    env = dict(os.environ, MYPYPATH=str(stubs), PYTHONPATH=path)
    result = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", module],
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
