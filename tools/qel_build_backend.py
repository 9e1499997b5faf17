"""PEP 517 build backend of qel_modbus.

From Python 3.7 on every hook is scikit-build-core's. No release of
scikit-build-core runs on Python 3.6, so there this module builds the wheel
itself with the same CMake project and the same install rules: configure,
build, ``cmake --install`` into a staging directory, copy the packages listed
under ``tool.scikit-build.wheel.packages``, and write the metadata from
``pyproject.toml``. Only wheels are built on 3.6 (``pip install .`` needs
nothing else); sdists are made on a newer interpreter.
"""
import sys

if sys.version_info >= (3, 7):
    from scikit_build_core import build as _skbuild

    _HOOKS = (
        "build_wheel",
        "build_sdist",
        "build_editable",
        "get_requires_for_build_wheel",
        "get_requires_for_build_sdist",
        "get_requires_for_build_editable",
        "prepare_metadata_for_build_wheel",
        "prepare_metadata_for_build_editable",
    )
    for _hook in _HOOKS:
        if hasattr(_skbuild, _hook):
            globals()[_hook] = getattr(_skbuild, _hook)
    del _hook
else:
    from _qel_wheel36 import build_wheel, get_requires_for_build_wheel  # noqa: F401
