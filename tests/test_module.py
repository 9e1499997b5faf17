"""Module loading: namespace, classes, one module per process, roll-back of a
failed import."""
import array
import ctypes
import importlib
import importlib.util
import json
import os
import re
import socket
import struct
import subprocess
import sys
import textwrap
import types
import typing

import pytest
import serial

import qel_modbus

CLASSES = ["ModbusStatic", "SlaveException", "TCPTunnel", "Master", "FixMaster", "ModbusTCPMaster"]
NAMESPACE = ["struct", "array", "_Union", "_Sequence", "_Iterable", "_Serial", "_tcp_connect", "_byte_array"] + CLASSES
CONSTANTS = [("FC_Read_Coils", 1), ("FC_Read_Input_Coils", 2), ("FC_Read_Registers", 3),
             ("FC_Read_Input_Registers", 4), ("FC_Write_Coil", 5), ("FC_Write_Register", 6),
             ("FC_Write_Registers", 16), ("Default_Timeout", 1)]
REINIT = "Module 'qel_modbus' has already been imported. Re-initialisation is not supported."
OTHER_INTERPRETER = "Interpreter change detected - this module can only be loaded into one interpreter per process."
BUILD_DIR = os.path.dirname(qel_modbus.__file__)


def public_names(module):
    return [k for k in vars(module) if not (k.startswith("__") and k.endswith("__"))]


def run_child(code):
    """Runs `code` in a fresh interpreter that finds this build; its last
    output line is JSON."""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(filter(None, [BUILD_DIR, os.environ.get("PYTHONPATH")])))
    proc = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True,
                          timeout=60, env=env)
    assert proc.returncode == 0, proc.stderr
    return json.loads(proc.stdout.strip().splitlines()[-1])


def test_namespace():
    assert public_names(qel_modbus) == NAMESPACE
    assert [qel_modbus.struct, qel_modbus.array, qel_modbus._Union, qel_modbus._Sequence, qel_modbus._Iterable,
            qel_modbus._Serial, qel_modbus._tcp_connect] == [struct, array, typing.Union, typing.Sequence,
                                                             typing.Iterable, serial.Serial, socket.create_connection]
    assert not any(hasattr(qel_modbus, name) for name, _ in CONSTANTS)


def test_standard_attributes_come_from_the_spec():
    spec = qel_modbus.__spec__
    assert [k for k in vars(qel_modbus) if k not in NAMESPACE] == [
        "__name__", "__doc__", "__package__", "__loader__", "__spec__", "__file__"]
    assert qel_modbus.__doc__ is None
    assert (qel_modbus.__file__, qel_modbus.__loader__, qel_modbus.__package__) == (spec.origin, spec.loader, "")


def test_modbus_static_constants():
    attrs = [(k, v) for k, v in vars(qel_modbus.ModbusStatic).items() if not k.startswith("__")][:8]
    assert attrs == CONSTANTS and all(type(v) is int for _, v in attrs)


@pytest.mark.parametrize("name", CLASSES)
def test_class_facts(name):
    cls = getattr(qel_modbus, name)
    base = Exception if name == "SlaveException" else object
    assert type(cls) is type and cls.__bases__ == (base,) and cls.__mro__ == (cls,) + base.__mro__
    assert cls.__name__ == cls.__qualname__ == name and cls.__module__ == "qel_modbus"
    assert "__doc__" in vars(cls) and cls.__doc__ is None
    assert cls.__dictoffset__ != 0  # instances keep an attribute dictionary


def test_second_import_gives_the_same_module(monkeypatch):
    classes = [getattr(qel_modbus, n) for n in CLASSES]
    monkeypatch.setattr(qel_modbus, "__spec__", qel_modbus.__spec__)  # the import machinery rebinds it
    monkeypatch.delitem(sys.modules, "qel_modbus")
    assert importlib.import_module("qel_modbus") is qel_modbus is sys.modules["qel_modbus"]
    spec = importlib.util.spec_from_file_location("qel_modbus", qel_modbus.__file__)
    module = importlib.util.module_from_spec(spec)
    assert module is qel_modbus
    spec.loader.exec_module(module)  # the same object: accepted, nothing runs
    assert [getattr(qel_modbus, n) for n in CLASSES] == classes and public_names(qel_modbus) == NAMESPACE


def test_exec_step_refuses_a_second_module_object():
    # The loader skips the exec step for a module without our definition, so
    # the slots are driven directly with a fresh module object.
    api = ctypes.pythonapi
    api.PyModule_GetDef.restype, api.PyModule_GetDef.argtypes = ctypes.c_void_p, [ctypes.py_object]
    api.PyModule_ExecDef.restype, api.PyModule_ExecDef.argtypes = ctypes.c_int, [ctypes.py_object, ctypes.c_void_p]
    other = types.ModuleType("qel_modbus")
    with pytest.raises(RuntimeError, match=re.escape(REINIT)):
        api.PyModule_ExecDef(other, api.PyModule_GetDef(qel_modbus))
    assert public_names(other) == [] and sys.modules["qel_modbus"] is qel_modbus


def test_of_two_fresh_module_objects_only_the_first_initialises():
    assert run_child("""
        import importlib.util, json, sys
        spec = importlib.util.find_spec("qel_modbus")
        first, second = importlib.util.module_from_spec(spec), importlib.util.module_from_spec(spec)
        spec.loader.exec_module(first)
        try:
            spec.loader.exec_module(second)
            error = None
        except RuntimeError as e:
            error = str(e)
        print(json.dumps([first is second, error, sys.modules["qel_modbus"] is first, hasattr(second, "Master")]))
    """) == [False, REINIT, True, False]


BREAKAGES = {
    "no pyserial": ("sys.modules['serial'] = None", "del sys.modules['serial']",
                    "ModuleNotFoundError", "import of serial halted; None in sys.modules"),
    "no Serial": ("sys.modules['serial'] = types.ModuleType('serial')", "sys.modules['serial'] = serial",
                  "ImportError", "cannot import name Serial"),
    "no Iterable": ("sys.modules['typing'] = types.ModuleType('typing'); "
                    "sys.modules['typing'].Union, sys.modules['typing'].Sequence = typing.Union, typing.Sequence",
                    "sys.modules['typing'] = typing", "ImportError", "cannot import name Iterable"),
    "no create_connection": ("sys.modules['socket'] = types.ModuleType('socket')", "sys.modules['socket'] = socket",
                             "ImportError", "cannot import name create_connection"),
}
BUILTINS = ["staticmethod", "property", "range", "ValueError", "IOError", "enumerate"]
for _i, _name in enumerate(BUILTINS):
    # This built-in and all later ones removed: the first in lookup order is reported.
    BREAKAGES["no " + _name] = (f"saved = {{n: getattr(builtins, n) for n in {BUILTINS[_i:]!r}}}; "
                                "[delattr(builtins, n) for n in saved]",
                                "[setattr(builtins, n, v) for n, v in saved.items()]",
                                "NameError", f"name '{_name}' is not defined")


@pytest.mark.parametrize("case", list(BREAKAGES))
def test_failed_import_rolls_back(case):
    breakage, repair, error_type, message = BREAKAGES[case]
    result = run_child(f"""
        import builtins, json, serial, socket, sys, types, typing
        {breakage}
        try:
            import qel_modbus
            failure = None
        except BaseException as e:
            failure = [type(e).__name__, str(e)]
        left_behind = "qel_modbus" in sys.modules
        {repair}
        import qel_modbus
        names = [k for k in vars(qel_modbus) if not k.startswith("__")]
        print(json.dumps([failure, left_behind, names, qel_modbus.ModbusStatic.calculate_crc(b"\\x01\\x03")]))
    """)
    assert result == [[error_type, message], False, NAMESPACE, list(qel_modbus.ModbusStatic.calculate_crc(b"\x01\x03"))]


SUB_INTERPRETERS = next((m for m in ("_xxsubinterpreters", "_interpreters") if importlib.util.find_spec(m)), None)


@pytest.mark.skipif(SUB_INTERPRETERS is None, reason="no sub-interpreters")
@pytest.mark.parametrize("main_first", [True, False])
def test_one_interpreter_per_process(main_first):
    sub_import = f"import sys; sys.path[:0] = [{BUILD_DIR!r}]; import qel_modbus"
    errors = run_child(f"""
        import json
        # From 3.12 a new interpreter has its own GIL by default, and the
        # interpreter itself refuses modules that do not declare support for
        # that before they run; one that shares the GIL reaches ours.
        try:
            import _xxsubinterpreters as sub
            try:
                interp = sub.create(isolated=False)
            except TypeError:
                interp = sub.create()
            Failed = sub.RunFailedError
            def run_sub(code):
                sub.run_string(interp, code)
        except ImportError:  # 3.13
            import _interpreters as sub
            interp = sub.create("legacy")
            class Failed(Exception):
                pass
            def run_sub(code):
                failure = sub.exec(interp, code)
                if failure is not None:
                    raise Failed(failure.formatted)
        errors = []
        def attempt(run):
            try:
                run()
            except (ImportError, Failed) as e:
                errors.append(str(e))
        for in_main in ({main_first}, not {main_first}):
            attempt((lambda: __import__("qel_modbus")) if in_main else (lambda: run_sub({sub_import!r})))
        print(json.dumps(errors))
    """)
    assert len(errors) == 1 and errors[0].endswith(OTHER_INTERPRETER)
    assert ("ImportError" in errors[0]) == main_first  # from the sub-interpreter, the type is in the text


def test_no_version_warning_for_the_interpreter_built_for():
    # Built for this interpreter, so the import must not warn, also where
    # the minor version has two digits (3.10 against "3.1" of the version text).
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(filter(None, [BUILD_DIR, os.environ.get("PYTHONPATH")])))
    proc = subprocess.run([sys.executable, "-W", "error::RuntimeWarning", "-c", "import qel_modbus"],
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True, timeout=60, env=env)
    assert proc.returncode == 0, proc.stderr
