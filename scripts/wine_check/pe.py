"""The few PE header fields the check compares with what Wine's loader did,
for 32-bit (PE32) and 64-bit (PE32+) images alike."""
import struct
from dataclasses import dataclass

MACHINES = {0x14C: "i386", 0x8664: "AMD64"}


@dataclass
class PeImage:
    path: str
    machine: str  # "i386" or "AMD64"
    bits: int  # 32 for PE32, 64 for PE32+
    preferred_base: int
    size: int
    entry_rva: int
    has_relocations: bool
    signed: bool  # carries a certificate table (an Authenticode signature)
    imports: dict  # DLL name (lower case) -> list of function names

    @property
    def format(self):
        return "PE32+" if self.bits == 64 else "PE32"


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
    machine, sections_count = struct.unpack_from("<HH", data, pe + 4)
    optional_size = struct.unpack_from("<H", data, pe + 20)[0]
    opt = pe + 24
    magic = struct.unpack_from("<H", data, opt)[0]
    if magic not in (0x10B, 0x20B) or machine not in MACHINES:
        raise ValueError(f"{path}: machine {machine:#x}, magic {magic:#x}: neither an x86 nor an x64 image")
    bits = 64 if magic == 0x20B else 32
    # PE32+ widens the image base and the four stack and heap sizes.
    entry = struct.unpack_from("<I", data, opt + 16)[0]
    base = struct.unpack_from("<Q", data, opt + 24)[0] if bits == 64 else struct.unpack_from("<I", data, opt + 28)[0]
    size = struct.unpack_from("<I", data, opt + 56)[0]
    directories = opt + (112 if bits == 64 else 96)
    import_rva, _ = struct.unpack_from("<II", data, directories + 8)
    security_offset, security_size = struct.unpack_from("<II", data, directories + 4 * 8)
    reloc_rva, reloc_size = struct.unpack_from("<II", data, directories + 5 * 8)
    sections = []
    for i in range(sections_count):
        s = opt + optional_size + 40 * i
        vsize, va, rawsize, raw = struct.unpack_from("<IIII", data, s + 8)
        sections.append((va, vsize, raw, rawsize))
    thunk_size, ordinal_flag = (8, 1 << 63) if bits == 64 else (4, 1 << 31)
    thunk_format = "<Q" if bits == 64 else "<I"
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
                value = struct.unpack_from(thunk_format, data, entry_offset)[0]
                if value == 0:
                    break
                names.append(f"#{value & 0xFFFF}" if value & ordinal_flag
                             else _cstring(data, _rva_to_offset(sections, value & 0x7FFFFFFF) + 2))
                entry_offset += thunk_size
            imports[_cstring(data, _rva_to_offset(sections, name_rva)).lower()] = names
            desc += 20
    return PeImage(path, MACHINES[machine], bits, base, size, entry, reloc_rva != 0 and reloc_size != 0,
                   security_offset != 0 and security_size != 0, imports)
