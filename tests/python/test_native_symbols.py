"""The shared object exports the module's entry and nothing else.

Any other exported symbol (a core function, a template instance, a unique
object) could bind to another module's copy of the same name in the process.
The dynamic symbol table is read here directly, so the check runs wherever
the suite does, under an emulator too.
"""

from __future__ import annotations

import struct
from pathlib import Path

SHT_DYNSYM = 11
SHN_UNDEF = 0
EXPORTED_BINDINGS = {1, 2, 10}  # global, weak, GNU unique
VISIBLE = {0, 3}  # default, protected


def dynamic_symbols(path: Path) -> tuple[set[str], set[str]]:
    """The names that the ELF shared object at `path` defines and exports,
    and those it needs from elsewhere."""
    data = path.read_bytes()
    assert data[:4] == b"\x7fELF", f"{path} is not an ELF file"
    wide = {1: False, 2: True}[data[4]]
    order = {1: "<", 2: ">"}[data[5]]
    if wide:
        shoff, = struct.unpack_from(order + "Q", data, 0x28)
        shentsize, shnum = struct.unpack_from(order + "HH", data, 0x3A)
        section = order + "IIQQQQIIQQ"
        symbol, symbol_size = order + "IBBHQQ", 24
    else:
        shoff, = struct.unpack_from(order + "I", data, 0x20)
        shentsize, shnum = struct.unpack_from(order + "HH", data, 0x2E)
        section = order + "IIIIIIIIII"
        symbol, symbol_size = order + "IIIBBH", 16
    sections = [struct.unpack_from(section, data, shoff + i * shentsize) for i in range(shnum)]
    dynsym = [s for s in sections if s[1] == SHT_DYNSYM]
    assert len(dynsym) == 1, "no dynamic symbol table"
    _, _, _, _, offset, size, link, *_ = dynsym[0]
    strings_offset = sections[link][4]
    exported, needed = set(), set()
    for at in range(offset, offset + size, symbol_size):
        fields = struct.unpack_from(symbol, data, at)
        if wide:
            name, info, other, shndx, _, _ = fields
        else:
            name, _, _, info, other, shndx = fields
        end = data.index(b"\0", strings_offset + name)
        text = data[strings_offset + name:end].decode()
        if shndx == SHN_UNDEF:
            if text:
                needed.add(text)
        elif info >> 4 in EXPORTED_BINDINGS and other & 3 in VISIBLE:
            exported.add(text)
    return exported, needed


def test_only_the_module_entry_is_exported(native):
    exported, needed = dynamic_symbols(Path(native.__file__))
    assert exported == {"PyInit__native"}
    # The interpreter's functions stay references to the interpreter's own.
    assert {"PyErr_SetObject", "PyUnicode_FromFormat"} <= needed
