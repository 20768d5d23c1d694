"""The few PE header fields the check compares with what Wine's loader did."""
import struct
from dataclasses import dataclass


@dataclass
class PeImage:
    path: str
    preferred_base: int
    size: int
    entry_rva: int
    has_relocations: bool
    imports: dict  # DLL name (lower case) -> list of function names


def _rva_to_offset(sections, rva):
    for va, vsize, raw, rawsize in sections:
        if va <= rva < va + max(vsize, rawsize):
            return rva - va + raw
    raise ValueError(f"RVA {rva:#x} lies in no section")


def _cstring(data, offset):
    return data[offset:data.index(b"\0", offset)].decode("ascii")


def read(path):
    data = open(path, "rb").read()
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    if data[pe:pe + 4] != b"PE\0\0":
        raise ValueError(f"{path} is not a PE image")
    sections_count = struct.unpack_from("<H", data, pe + 6)[0]
    optional_size = struct.unpack_from("<H", data, pe + 20)[0]
    opt = pe + 24
    if struct.unpack_from("<H", data, opt)[0] != 0x10B:
        raise ValueError(f"{path} is not a 32-bit image")
    entry = struct.unpack_from("<I", data, opt + 16)[0]
    base = struct.unpack_from("<I", data, opt + 28)[0]
    size = struct.unpack_from("<I", data, opt + 56)[0]
    directories = opt + 96
    import_rva, _ = struct.unpack_from("<II", data, directories + 8)
    reloc_rva, reloc_size = struct.unpack_from("<II", data, directories + 5 * 8)
    sections = []
    for i in range(sections_count):
        s = opt + optional_size + 40 * i
        vsize, va, rawsize, raw = struct.unpack_from("<IIII", data, s + 8)
        sections.append((va, vsize, raw, rawsize))
    imports = {}
    if import_rva:
        desc = _rva_to_offset(sections, import_rva)
        while True:
            lookup, _, _, name_rva, thunk = struct.unpack_from("<IIIII", data, desc)
            if name_rva == 0:
                break
            names = []
            entry_offset = _rva_to_offset(sections, lookup or thunk)
            while True:
                value = struct.unpack_from("<I", data, entry_offset)[0]
                if value == 0:
                    break
                names.append(f"#{value & 0xFFFF}" if value & 0x80000000
                             else _cstring(data, _rva_to_offset(sections, value) + 2))
                entry_offset += 4
            imports[_cstring(data, _rva_to_offset(sections, name_rva)).lower()] = names
            desc += 20
    return PeImage(path, base, size, entry, reloc_rva != 0 and reloc_size != 0, imports)
