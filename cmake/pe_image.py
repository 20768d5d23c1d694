#!/usr/bin/env python3
"""Checks a kernel image, prints its size and sections, writes its PE checksum.

A driver image for --machine i386 (the default) must be PE32 for i386, for
--machine amd64 PE32+ for AMD64; subsystem native, imports from ntoskrnl.exe
and HAL.dll only. It is laid out as kernel images are: file alignment 0x200,
no COFF symbol table, and no section beyond code, data, imports, base
relocations and, on x64 only, unwind data (no debug information or export
table, which nothing in the kernel reads); the relocations must be there, as
the loader puts a driver wherever it finds room. An x64 image must carry the
unwind data the kernel dispatches exceptions and walks stacks with: an
exception directory of well-formed entries, one of them covering the entry
point.

Without options the checksum is written after the checks pass; --verify-only
also requires the stored checksum to be right; --signed-by ROOT requires an
embedded SHA-256 Authenticode signature that osslsigncode verifies against
the root certificate ROOT; --expect-failure inverts the verdict (used to
prove the checker refuses); --kernel-only narrows the allowed imports to
ntoskrnl.exe.
"""
import argparse
import struct
import subprocess
import sys

ALLOWED_IMPORTS = {"ntoskrnl.exe", "hal.dll"}
IMAGE_SUBSYSTEM_NATIVE = 1
FILE_ALIGNMENT = 0x200
# What a driver needs at run time; INIT and PAGE are the kernel's discardable
# and pageable code sections.
ALLOWED_SECTIONS = {".text", ".data", ".rdata", ".bss", ".idata", ".reloc", "INIT", "PAGE"}
UNWIND_SECTIONS = {".pdata", ".xdata"}
# machine field, optional header magic, sections beyond the common ones.
MACHINES = {
    "i386": (0x14C, 0x10B, "PE32", set()),
    "amd64": (0x8664, 0x20B, "PE32+", UNWIND_SECTIONS),
}
EXCEPTION_DIRECTORY = 3
SECURITY_DIRECTORY = 4
BASE_RELOCATION_DIRECTORY = 5
IMAGE_SCN_MEM_EXECUTE = 0x20000000


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


def unwind_problems(data, sections, directory, entry):
    """An x64 image's exception directory: RUNTIME_FUNCTION entries (begin,
    end, unwind information) in ascending order, each over code, its unwind
    information in .xdata, one of them covering the entry point."""
    rva, size = directory
    if not rva or not size:
        return ["no unwind data (no exception directory)"]
    if size % 12:
        return ["exception directory of %d bytes, not whole 12-byte entries" % size]
    names = {s[0]: (s[1], s[2]) for s in sections}
    pdata, xdata = names.get(".pdata"), names.get(".xdata")
    if not pdata or not pdata[0] <= rva < pdata[0] + pdata[1]:
        return ["exception directory outside .pdata"]
    offset = rva_to_offset([s[3] for s in sections], rva)
    previous_end, covers_entry = 0, False
    for i in range(size // 12):
        begin, end, info = struct.unpack_from("<III", data, offset + 12 * i)
        if not begin < end or begin < previous_end:
            return ["unwind entry %d (0x%x-0x%x) empty or out of order" % (i, begin, end)]
        if not any(code and va <= begin and end <= va + vsize for _, va, vsize, _, code in sections):
            return ["unwind entry %d (0x%x-0x%x) outside the code" % (i, begin, end)]
        if not xdata or not xdata[0] <= info < xdata[0] + xdata[1]:
            return ["unwind entry %d's unwind information at 0x%x, outside .xdata" % (i, info)]
        previous_end = end
        covers_entry = covers_entry or begin <= entry < end
    if not covers_entry:
        return ["no unwind data for the entry point 0x%x" % entry]
    return []


def inspect(data, allowed=ALLOWED_IMPORTS, layout=None, machine="i386"):
    """Problems found, and the offset of the checksum; |layout| receives
    (section name, size in memory) of each section."""
    problems = []
    layout = [] if layout is None else layout
    if data[:2] != b"MZ":
        return ["not an MZ image"], None
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    if data[pe:pe + 4] != b"PE\0\0":
        return ["no PE signature"], None
    file_machine, nsections = struct.unpack_from("<HH", data, pe + 4)
    opt_size = struct.unpack_from("<H", data, pe + 20)[0]
    opt = pe + 24
    magic = struct.unpack_from("<H", data, opt)[0]
    want_machine, want_magic, format_name, extra_sections = MACHINES[machine]
    if file_machine != want_machine:
        problems.append("machine 0x%x is not %s" % (file_machine, machine))
    if magic != want_magic:
        problems.append("not %s (magic 0x%x)" % (format_name, magic))
        return problems, None
    directories = opt + (96 if magic == 0x10B else 112)
    subsystem = struct.unpack_from("<H", data, opt + 68)[0]
    if subsystem != IMAGE_SUBSYSTEM_NATIVE:
        problems.append("subsystem %d is not native" % subsystem)
    symbol_table, symbol_count = struct.unpack_from("<II", data, pe + 12)
    if symbol_table or symbol_count:
        problems.append("a COFF symbol table of %d symbols" % symbol_count)
    file_alignment = struct.unpack_from("<I", data, opt + 36)[0]
    if file_alignment != FILE_ALIGNMENT:
        problems.append("file alignment 0x%x, not 0x%x" % (file_alignment, FILE_ALIGNMENT))
    reloc_rva, reloc_size = struct.unpack_from("<II", data, directories + 8 * BASE_RELOCATION_DIRECTORY)
    if not reloc_rva or not reloc_size:
        problems.append("no base relocations: the image could load only at its preferred base")
    sections = []
    named = []
    sec = opt + opt_size
    for i in range(nsections):
        name = data[sec + 40 * i:sec + 40 * i + 8].rstrip(b"\0").decode("ascii", "replace")
        vsize, va, rawsize, raw = struct.unpack_from("<IIII", data, sec + 40 * i + 8)
        characteristics = struct.unpack_from("<I", data, sec + 40 * i + 36)[0]
        sections.append((va, vsize, raw, rawsize))
        named.append((name, va, vsize, (va, vsize, raw, rawsize), bool(characteristics & IMAGE_SCN_MEM_EXECUTE)))
        layout.append((name, vsize))
        if name not in ALLOWED_SECTIONS | extra_sections:
            problems.append("section %s, which a driver does not use" % name)
    if extra_sections:
        entry = struct.unpack_from("<I", data, opt + 16)[0]
        exceptions = struct.unpack_from("<II", data, directories + 8 * EXCEPTION_DIRECTORY)
        problems += unwind_problems(data, named, exceptions, entry)
    import_rva = struct.unpack_from("<I", data, directories + 8)[0]
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


def signature_problems(path, data, directories, root):
    """The embedded signature, verified by osslsigncode against |root|."""
    rva, size = struct.unpack_from("<II", data, directories + 8 * SECURITY_DIRECTORY)
    if not rva or not size:
        return ["not signed (no certificate table)"]
    done = subprocess.run(["osslsigncode", "verify", "-CAfile", root, "-in", path],
                          stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    lines = [line.strip() for line in done.stdout.splitlines()]
    digests = {line.split(":", 1)[1].strip() for line in lines if line.startswith("Message digest algorithm")}
    if done.returncode != 0 or "Signature verification: ok" not in lines:
        failed = [line for line in lines if "fail" in line.lower() or "error" in line.lower()]
        return ["signature not verified against %s (%s)" % (root, "; ".join(failed[:3]) or "exit status %d"
                                                             % done.returncode)]
    if digests != {"SHA256"}:
        return ["signed with digest %s, not SHA256" % (", ".join(sorted(digests)) or "unknown")]
    return []


def main(argv):
    parser = argparse.ArgumentParser(description="Checks a kernel image.")
    parser.add_argument("image")
    parser.add_argument("--machine", choices=sorted(MACHINES), default="i386")
    parser.add_argument("--verify-only", action="store_true")
    parser.add_argument("--expect-failure", action="store_true")
    parser.add_argument("--kernel-only", action="store_true")
    parser.add_argument("--signed-by", metavar="ROOT")
    args = parser.parse_args(argv)
    path = args.image
    with open(path, "rb") as f:
        data = bytearray(f.read())
    allowed = {"ntoskrnl.exe"} if args.kernel_only else ALLOWED_IMPORTS
    layout = []
    problems, checksum_offset = inspect(bytes(data), allowed, layout, args.machine)
    print("%s: %d bytes; %s" % (path, len(data), ", ".join("%s %d" % section for section in layout)))
    if not problems:
        wanted = pe_checksum(bytes(data), checksum_offset)
        stored = struct.unpack_from("<I", data, checksum_offset)[0]
        if args.verify_only:
            if stored != wanted:
                problems.append("checksum 0x%08x, should be 0x%08x" % (stored, wanted))
        elif stored != wanted:
            struct.pack_into("<I", data, checksum_offset, wanted)
            with open(path, "wb") as f:
                f.write(data)
        if args.signed_by:
            # The checksum field lies outside what the signature covers.
            directories = checksum_offset - 64 + (96 if args.machine == "i386" else 112)
            problems += signature_problems(path, bytes(data), directories, args.signed_by)
    if args.expect_failure:
        if problems:
            print("%s: refused as expected (%s)" % (path, "; ".join(problems)))
            return 0
        print("%s: accepted, but it should have been refused" % path)
        return 1
    if problems:
        for p in problems:
            print("%s: %s" % (path, p), file=sys.stderr)
        return 1
    if args.signed_by:
        print("%s: signed (SHA-256), verified against %s" % (path, args.signed_by))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
