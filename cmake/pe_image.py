#!/usr/bin/env python3
"""Checks a kernel image and writes its PE checksum.

A driver image must be PE32 for i386, subsystem native, and import from
ntoskrnl.exe and HAL.dll only. Without options the checksum is written after
the checks pass; --verify-only also requires the stored checksum to be right;
--expect-failure inverts the verdict (used to prove the checker refuses);
--kernel-only narrows the allowed imports to ntoskrnl.exe.
"""
import struct
import sys

ALLOWED_IMPORTS = {"ntoskrnl.exe", "hal.dll"}
IMAGE_FILE_MACHINE_I386 = 0x14C
IMAGE_SUBSYSTEM_NATIVE = 1


def pe_checksum(data, checksum_offset):
    total = 0
    length = len(data)
    padded = data + (b"\0" if length % 2 else b"")
    for i in range(0, len(padded), 2):
        if checksum_offset <= i < checksum_offset + 4:
            continue
        total += struct.unpack_from("<H", padded, i)[0]
        total = (total & 0xFFFF) + (total >> 16)
    total = (total & 0xFFFF) + (total >> 16)
    return (total + length) & 0xFFFFFFFF


def rva_to_offset(sections, rva):
    for va, vsize, raw, rawsize in sections:
        if va <= rva < va + max(vsize, rawsize):
            return rva - va + raw
    raise ValueError("RVA 0x%x outside every section" % rva)


def read_cstring(data, offset):
    end = data.index(b"\0", offset)
    return data[offset:end].decode("ascii")


def inspect(data, allowed=ALLOWED_IMPORTS):
    problems = []
    if data[:2] != b"MZ":
        return ["not an MZ image"], None
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    if data[pe:pe + 4] != b"PE\0\0":
        return ["no PE signature"], None
    machine, nsections = struct.unpack_from("<HH", data, pe + 4)
    opt_size = struct.unpack_from("<H", data, pe + 20)[0]
    opt = pe + 24
    magic = struct.unpack_from("<H", data, opt)[0]
    if machine != IMAGE_FILE_MACHINE_I386:
        problems.append("machine 0x%x is not i386" % machine)
    if magic != 0x10B:
        problems.append("not PE32 (magic 0x%x)" % magic)
    subsystem = struct.unpack_from("<H", data, opt + 68)[0]
    if subsystem != IMAGE_SUBSYSTEM_NATIVE:
        problems.append("subsystem %d is not native" % subsystem)
    sections = []
    sec = opt + opt_size
    for i in range(nsections):
        vsize, va, rawsize, raw = struct.unpack_from("<IIII", data, sec + 40 * i + 8)
        sections.append((va, vsize, raw, rawsize))
    import_rva = struct.unpack_from("<I", data, opt + 96 + 8)[0]
    imports = []
    if import_rva:
        off = rva_to_offset(sections, import_rva)
        while True:
            name_rva = struct.unpack_from("<I", data, off + 12)[0]
            if name_rva == 0:
                break
            imports.append(read_cstring(data, rva_to_offset(sections, name_rva)))
            off += 20
    for dll in imports:
        if dll.lower() not in allowed:
            problems.append("imports from %s" % dll)
    return problems, opt + 64


def main(argv):
    args = [a for a in argv if not a.startswith("--")]
    verify_only = "--verify-only" in argv
    expect_failure = "--expect-failure" in argv
    path = args[0]
    with open(path, "rb") as f:
        data = bytearray(f.read())
    allowed = {"ntoskrnl.exe"} if "--kernel-only" in argv else ALLOWED_IMPORTS
    problems, checksum_offset = inspect(bytes(data), allowed)
    if not problems:
        wanted = pe_checksum(bytes(data), checksum_offset)
        stored = struct.unpack_from("<I", data, checksum_offset)[0]
        if verify_only:
            if stored != wanted:
                problems.append("checksum 0x%08x, should be 0x%08x" % (stored, wanted))
        elif stored != wanted:
            struct.pack_into("<I", data, checksum_offset, wanted)
            with open(path, "wb") as f:
                f.write(data)
    if expect_failure:
        if problems:
            print("%s: refused as expected (%s)" % (path, "; ".join(problems)))
            return 0
        print("%s: accepted, but it should have been refused" % path)
        return 1
    if problems:
        for p in problems:
            print("%s: %s" % (path, p), file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
