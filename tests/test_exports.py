"""Each built module exports its entry point and nothing else."""
import struct
import sys

import pytest

import _qel_modbus_ext
import qel_modbus


def dynamic_symbols(path):
    """Names of the defined global and weak symbols in an ELF file's dynamic
    symbol table (what `nm -D --defined-only` lists), for 32- and 64-bit,
    little- and big-endian files."""
    with open(path, "rb") as f:
        data = f.read()
    assert data[:4] == b"\x7fELF"
    wide = data[4] == 2
    order = "<" if data[5] == 1 else ">"
    if wide:
        shoff, = struct.unpack_from(order + "Q", data, 0x28)
        shentsize, shnum = struct.unpack_from(order + "HH", data, 0x3A)
    else:
        shoff, = struct.unpack_from(order + "I", data, 0x20)
        shentsize, shnum = struct.unpack_from(order + "HH", data, 0x2E)
    sections = []
    for i in range(shnum):
        at = shoff + i * shentsize
        if wide:
            _, kind, _, _, offset, size, link, _, _, entsize = struct.unpack_from(order + "IIQQQQIIQQ", data, at)
        else:
            _, kind, _, _, offset, size, link, _, _, entsize = struct.unpack_from(order + "IIIIIIIIII", data, at)
        sections.append((kind, offset, size, link, entsize))
    names = []
    for kind, offset, size, link, entsize in sections:
        if kind != 11:  # SHT_DYNSYM
            continue
        strings = sections[link][1]
        for at in range(offset + entsize, offset + size, entsize):  # entry 0 is the null symbol
            if wide:
                name, info, _, shndx = struct.unpack_from(order + "IBBH", data, at)
            else:
                name, _, _, info, _, shndx = struct.unpack_from(order + "IIIBBH", data, at)
            binding = info >> 4
            if 0 < shndx < 0xFF00 and binding in (1, 2, 10):  # defined; GLOBAL, WEAK, GNU_UNIQUE
                end = data.index(b"\0", strings + name)
                names.append(data[strings + name:end].decode())
    return names


def pe_exports(path):
    """Names in a PE file's export table (a Windows DLL or .pyd), 32- and 64-bit."""
    with open(path, "rb") as f:
        data = f.read()
    assert data[:2] == b"MZ"
    pe, = struct.unpack_from("<I", data, 0x3C)
    assert data[pe:pe + 4] == b"PE\0\0"
    sections_count, = struct.unpack_from("<H", data, pe + 6)
    optional_size, = struct.unpack_from("<H", data, pe + 20)
    optional = pe + 24
    magic, = struct.unpack_from("<H", data, optional)
    directories = optional + (96 if magic == 0x10B else 112)
    export_rva, _ = struct.unpack_from("<II", data, directories)
    sections = []
    for i in range(sections_count):
        at = optional + optional_size + 40 * i
        size, rva, raw_size, raw = struct.unpack_from("<IIII", data, at + 8)
        sections.append((rva, max(size, raw_size), raw))

    def offset(rva):
        for start, size, raw in sections:
            if start <= rva < start + size:
                return raw + rva - start
        raise AssertionError("RVA %#x lies in no section" % rva)

    if export_rva == 0:
        return []
    names_count, _, names_rva = struct.unpack_from("<III", data, offset(export_rva) + 24)
    names = []
    for i in range(names_count):
        name_rva, = struct.unpack_from("<I", data, offset(names_rva) + 4 * i)
        start = offset(name_rva)
        names.append(data[start:data.index(b"\0", start)].decode())
    return names


@pytest.mark.skipif(not sys.platform.startswith(("linux", "win32")), reason="reads ELF or PE export tables only")
@pytest.mark.parametrize("module", [qel_modbus, _qel_modbus_ext], ids=lambda m: m.__name__)
def test_only_the_entry_point_is_exported(module):
    read = pe_exports if sys.platform == "win32" else dynamic_symbols
    assert read(module.__file__) == ["PyInit_" + module.__name__]
