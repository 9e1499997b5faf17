"""Peers of the test suite that exist only for newer interpreters.

Where the interpreter is older than a peer's pinned release needs, its tests
are skipped; everywhere else a missing peer is an error, not a skip, since
the test extra installs it.
"""
import importlib
import sys

import pytest

# The oldest interpreter each pinned peer runs on.
NEEDS = {"pymodbus": (3, 10), "mypy": (3, 8), "pyright": (3, 8)}


def missing_here(peer):
    """True where `peer` cannot be installed for this interpreter."""
    return sys.version_info < NEEDS[peer]


def require(module):
    """Imports `module` of a peer; a skip only where the peer cannot exist."""
    peer = module.split(".")[0]
    if missing_here(peer):
        return pytest.importorskip(module, reason="%s needs Python %d.%d or later" % ((peer,) + NEEDS[peer]))
    return importlib.import_module(module)
