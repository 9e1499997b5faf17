"""The Windows wheels that .ci/windows leaves in wheelhouse/: what each holds,
and that each of its .pyd files (qel_modbus and the companion's stub
_qel_modbus_ext) needs only the interpreter's DLL and system DLLs and exports
only its own module's entry point (read with mingw-w64's objdump)."""
import glob
import os
import re
import shutil
import subprocess
import zipfile

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
WHEELS = sorted(glob.glob(os.path.join(ROOT, "wheelhouse", "qel_modbus-*-win*.whl")))
OBJDUMP = {"win32": "i686-w64-mingw32-objdump", "win_amd64": "x86_64-w64-mingw32-objdump"}
# The C runtime (mingw links msvcrt), the kernel and Winsock: all part of Windows.
SYSTEM_DLLS = {"kernel32.dll", "msvcrt.dll", "ws2_32.dll"}

pytestmark = pytest.mark.skipif(not WHEELS, reason="no Windows wheel in wheelhouse/ (made by .ci/windows)")


def tags(wheel):
    python, abi, platform = re.match(r"qel_modbus-[^-]+-([^-]+)-([^-]+)-([^-]+)\.whl$", os.path.basename(wheel)).groups()
    return python, abi, platform


PYDS = ["qel_modbus.pyd", "_qel_modbus_ext.pyd"]


def objdump(wheel, pyd, tmp_path):
    tool = OBJDUMP[tags(wheel)[2]]
    if shutil.which(tool) is None:
        pytest.skip("%s is not installed" % tool)
    with zipfile.ZipFile(wheel) as z:
        path = z.extract(pyd, str(tmp_path))
    return subprocess.run([tool, "-p", path], stdout=subprocess.PIPE, universal_newlines=True, check=True).stdout


@pytest.fixture(params=WHEELS, ids=[os.path.basename(w) for w in WHEELS])
def wheel(request):
    return request.param


@pytest.mark.parametrize("pyd", PYDS)
def test_the_pyd_imports_only_python_and_system_dlls(wheel, pyd, tmp_path):
    dump = objdump(wheel, pyd, tmp_path)
    imported = {name.lower() for name in re.findall(r"DLL Name: (\S+)", dump)}
    python_dll = "python%s.dll" % tags(wheel)[0][2:]
    assert python_dll in imported
    assert imported - {python_dll} <= SYSTEM_DLLS, imported


@pytest.mark.parametrize("pyd", PYDS)
def test_the_pyd_exports_only_its_entry_point(wheel, pyd, tmp_path):
    dump = objdump(wheel, pyd, tmp_path)
    table = dump.split("[Ordinal/Name Pointer] Table", 1)[1].split("\n\n", 1)[0]
    assert re.findall(r"\]\s+(\S+)", table) == ["PyInit_" + pyd[:-len(".pyd")]]


def test_the_wheel_holds_the_modules_stubs_slave_licence_and_metadata(wheel):
    python, abi, platform = tags(wheel)
    with zipfile.ZipFile(wheel) as z:
        names = set(z.namelist())
        dist_info = {n.split("/")[0] for n in names if ".dist-info/" in n}
        assert len(dist_info) == 1
        dist_info = dist_info.pop()
        wheel_file = z.read(dist_info + "/WHEEL").decode()
        record = z.read(dist_info + "/RECORD").decode()
        entry_points = z.read(dist_info + "/entry_points.txt").decode()
    assert {"qel_modbus.pyi", "qel_modbus-stubs/__init__.pyi", "qel_modbus_simslave/__init__.py",
            "qel_modbus_simslave/__main__.py", "qel_modbus_ext/__init__.py", "qel_modbus_ext/__init__.pyi",
            "qel_modbus_ext/py.typed", "qel_modbus_ext/__main__.py", "qel_modbus_ext/_poll.py",
            dist_info + "/METADATA", dist_info + "/LICENSE", dist_info + "/entry_points.txt"} <= names
    assert sorted(n for n in names if n.endswith(".pyd")) == sorted(PYDS)
    assert "Tag: %s-%s-%s" % (python, abi, platform) in wheel_file
    assert "Root-Is-Purelib: false" in wheel_file
    assert entry_points == "[console_scripts]\nqel-modbus = qel_modbus_ext._poll:main\n"
    assert set(row.split(",")[0] for row in record.splitlines()) == names
    assert not any("__pycache__" in n or n.endswith(".pyc") for n in names)
