"""The companion module qel_modbus_ext: its native part is built into the
qel_modbus library and reached through the stub extension _qel_modbus_ext,
which must refuse any module that merely goes by the name qel_modbus."""
import importlib
import importlib.util
import sys

import pytest

import _qel_modbus_ext
import qel_modbus
import qel_modbus_ext
from qel_modbus_simslave import ModbusTcpSlave
from tests.child import run
from tests.test_module import NAMESPACE, public_names

CLASSES = ["ModbusTCPChannel"]
NATIVE = CLASSES + ["_execute", "_registers_of", "_unpack", "_pack"]
TOOLS = ["execute", "write_coils", "read_write_registers", "mask_write_register", "read_device_identification",
         "read_value", "read_values", "write_value"]
REFUSED = "qel_modbus_ext needs the qel_modbus module of the same build"
REINIT = "Module 'qel_modbus_ext' has already been imported. Re-initialisation is not supported."


def test_the_package_reexports_the_native_classes():
    assert qel_modbus_ext.__all__[:len(CLASSES)] == CLASSES
    assert set(TOOLS) <= set(qel_modbus_ext.__all__)
    assert [getattr(qel_modbus_ext, n) for n in CLASSES] == [getattr(_qel_modbus_ext, n) for n in CLASSES]
    assert public_names(_qel_modbus_ext) == NATIVE


def test_qel_modbus_keeps_its_namespace():
    assert public_names(qel_modbus) == NAMESPACE
    # Imported in the other order, in a fresh interpreter.
    outcome = run("""
        import json
        import qel_modbus_ext, qel_modbus
        print(json.dumps([k for k in vars(qel_modbus) if not (k.startswith("__") and k.endswith("__"))]))
    """)
    assert outcome.returncode == 0, outcome.describe()
    assert outcome.result == NAMESPACE


@pytest.mark.parametrize("name", CLASSES)
def test_class_facts(name):
    cls = getattr(qel_modbus_ext, name)
    assert type(cls) is type and cls.__bases__ == (object,)
    assert cls.__name__ == cls.__qualname__ == name and cls.__module__ == "qel_modbus_ext"
    functions = [v for k, v in vars(cls).items() if callable(v) and not k.startswith("__") or k == "__init__"]
    assert functions and all(f.__module__ == "qel_modbus_ext" for f in functions)
    # Built by the same procedure as qel_modbus's classes: the same function type.
    assert type(cls.__init__) is type(qel_modbus.TCPTunnel.__init__)


def test_the_channel_connects_and_closes():
    with ModbusTcpSlave() as slave:
        channel = qel_modbus_ext.ModbusTCPChannel(*slave.address, timeout=2.0)
        assert channel._socket.getpeername() == slave.address
        channel.close()


def test_a_second_import_gives_the_same_module(monkeypatch):
    classes = [getattr(_qel_modbus_ext, n) for n in CLASSES]
    monkeypatch.setattr(_qel_modbus_ext, "__spec__", _qel_modbus_ext.__spec__)
    monkeypatch.delitem(sys.modules, "_qel_modbus_ext")
    assert importlib.import_module("_qel_modbus_ext") is _qel_modbus_ext is sys.modules["_qel_modbus_ext"]
    assert [getattr(_qel_modbus_ext, n) for n in CLASSES] == classes
    assert public_names(_qel_modbus_ext) == NATIVE


def test_of_two_fresh_module_objects_only_the_first_initialises():
    outcome = run("""
        import importlib.util, json, sys
        spec = importlib.util.find_spec("_qel_modbus_ext")
        first, second = importlib.util.module_from_spec(spec), importlib.util.module_from_spec(spec)
        spec.loader.exec_module(first)
        try:
            spec.loader.exec_module(second)
            error = None
        except RuntimeError as e:
            error = str(e)
        print(json.dumps([first is second, error, hasattr(first, "ModbusTCPChannel"),
                          hasattr(second, "ModbusTCPChannel")]))
    """)
    assert outcome.returncode == 0, outcome.describe()
    assert outcome.result == [False, REINIT, True, False]


# Both modules dropped from sys.modules and imported again: the remembered
# qel_modbus comes back with fresh module state, which must lead the stub to
# the companion again.
REIMPORTS = {
    "companion": "del sys.modules['_qel_modbus_ext']",
    "both": "del sys.modules['_qel_modbus_ext'], sys.modules['qel_modbus']",
    "both, qel_modbus first": "del sys.modules['_qel_modbus_ext'], sys.modules['qel_modbus']; import qel_modbus",
    "reload": "importlib.reload(qel_modbus); importlib.reload(sys.modules['_qel_modbus_ext'])",
}


@pytest.mark.parametrize("case", list(REIMPORTS))
def test_reimport_gives_a_working_module(case):
    outcome = run("""
        import importlib, json, sys
        from qel_modbus_simslave import ModbusTcpSlave
        import qel_modbus, _qel_modbus_ext
        first, channel_class = _qel_modbus_ext, _qel_modbus_ext.ModbusTCPChannel
        for _ in range(3):
            %s
            import _qel_modbus_ext
        with ModbusTcpSlave() as slave:
            _qel_modbus_ext.ModbusTCPChannel(*slave.address).close()
        print(json.dumps([_qel_modbus_ext is first, _qel_modbus_ext.ModbusTCPChannel is channel_class,
                          sys.modules["qel_modbus"] is qel_modbus]))
    """ % REIMPORTS[case])
    assert outcome.returncode == 0, outcome.describe()
    assert outcome.result == [True, True, True]


# What a module imported as qel_modbus may be instead of this build's.
# `table` replaces the pointer in the real module's state: no table, or one
# of another layout (magic, version).
FOREIGN = {
    "plain module": "sys.modules['qel_modbus'] = types.ModuleType('qel_modbus')",
    "not a module": "sys.modules['qel_modbus'] = object()",
    "another extension": "import _struct; sys.modules['qel_modbus'] = _struct",
    "no table": "table(None)",
    "other magic": "table(0x12345678, 1)",
    "other version": "table(0x51454c63, 2)",
}


@pytest.mark.parametrize("case", list(FOREIGN))
def test_the_stub_refuses_a_foreign_qel_modbus(case):
    for _ in range(3):
        outcome = run("""
            import ctypes, json, sys, types
            import qel_modbus
            api = ctypes.pythonapi
            api.PyModule_GetState.restype, api.PyModule_GetState.argtypes = ctypes.c_void_p, [ctypes.py_object]
            slot = ctypes.cast(api.PyModule_GetState(qel_modbus), ctypes.POINTER(ctypes.c_void_p))
            saved = slot[0]

            class Table(ctypes.Structure):
                _fields_ = [("magic", ctypes.c_uint32), ("version", ctypes.c_uint32), ("companion", ctypes.c_void_p)]

            def table(magic, version=0):
                global fake
                fake = None if magic is None else Table(magic, version, ctypes.cast(saved, ctypes.POINTER(Table))[0].companion)
                slot[0] = None if fake is None else ctypes.addressof(fake)

            %s
            try:
                import _qel_modbus_ext
                error = None
            except ImportError as e:
                error = str(e)
            left_behind = "_qel_modbus_ext" in sys.modules
            # The real module back: the stub then loads.
            sys.modules["qel_modbus"] = qel_modbus
            slot[0] = saved
            import _qel_modbus_ext
            print(json.dumps([error, left_behind, _qel_modbus_ext.ModbusTCPChannel.__module__]))
        """ % FOREIGN[case])
        assert outcome.returncode == 0, outcome.describe()
        error, left_behind, module = outcome.result
        assert error is not None and error.startswith(REFUSED), error
        assert (left_behind, module) == (False, "qel_modbus_ext")
