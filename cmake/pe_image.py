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
point, and with --map LINKMAP one covering every function in .text that the
link map names and that is not a leaf (it calls, pushes or moves the stack
pointer).

Memory integrity's image rules (hypervisor-protected code integrity; Driver
Verifier's code integrity checks 0x2003 to 0x2005, "Code integrity checking",
and "Implement memory integrity compatible code"): no section both writable
and executable, every section page-aligned, the import table and the import
address table outside executable sections, and, on x64, where alone memory
integrity runs, no base relocation whose target straddles a page (refused
before Windows 10 version 1703).

With --imports TABLE every imported routine must have a row for the
machine's architecture in TABLE (routine, dll, x86, amd64, source: the oldest
Windows that documents it); the image's floor, the latest of them, is
printed.

Without options the checksum is written after the checks pass; --verify-only
also requires the stored checksum to be right; --signed-by ROOT requires an
embedded SHA-256 Authenticode signature that osslsigncode verifies against
the root certificate ROOT; --expect-failure inverts the verdict (used to
prove the checker refuses); --kernel-only narrows the allowed imports to
ntoskrnl.exe; --plant KIND checks a copy with one slip planted (a writable
code section, a section off its page, the import section made executable, a
relocation across a page, an import no kernel exports, a non-leaf function's
unwind entry dropped), with --expect-failure, to show each check refusing.
"""
import argparse
import re
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
IMPORT_DIRECTORY = 1
EXCEPTION_DIRECTORY = 3
SECURITY_DIRECTORY = 4
BASE_RELOCATION_DIRECTORY = 5
IAT_DIRECTORY = 12
IMAGE_SCN_MEM_EXECUTE = 0x20000000
IMAGE_SCN_MEM_WRITE = 0x80000000
PAGE = 0x1000
# Base relocation types and the bytes each one rewrites.
RELOCATION_WIDTHS = {3: 4, 10: 8}  # IMAGE_REL_BASED_HIGHLOW, IMAGE_REL_BASED_DIR64
# Windows releases in order, by the names the import table uses.
RELEASES = [("2000", "Windows 2000"), ("xp", "Windows XP"), ("2003", "Windows Server 2003"),
            ("xp-x64", "Windows XP x64 and Server 2003 SP1 (the first x64 kernel)"), ("vista", "Windows Vista"),
            ("7", "Windows 7"), ("8", "Windows 8"), ("8.1", "Windows 8.1"), ("10", "Windows 10"),
            ("11", "Windows 11")]
RANK = {name: i for i, (name, _) in enumerate(RELEASES)}


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
        if not any(code and va <= begin and end <= va + vsize for _, va, vsize, _, code, _ in sections):
            return ["unwind entry %d (0x%x-0x%x) outside the code" % (i, begin, end)]
        if not xdata or not xdata[0] <= info < xdata[0] + xdata[1]:
            return ["unwind entry %d's unwind information at 0x%x, outside .xdata" % (i, info)]
        previous_end = end
        covers_entry = covers_entry or begin <= entry < end
    if not covers_entry:
        return ["no unwind data for the entry point 0x%x" % entry]
    return []


def memory_integrity_problems(data, named, directories, section_alignment, machine):
    """Memory integrity's rules over the section table, the import tables
    and, on x64, the base relocations. Memory integrity runs on 64-bit
    Windows only: the x86 image is held to the section rules, which its link
    meets anyway, but an x86 relocation lies wherever an instruction keeps
    its address, and no x86 loader refuses one across a page."""
    problems = []
    if section_alignment % PAGE:
        problems.append("section alignment 0x%x is not a multiple of a page (memory integrity: 0x2004)"
                        % section_alignment)
    for name, va, _, _, _, characteristics in named:
        if characteristics & IMAGE_SCN_MEM_EXECUTE and characteristics & IMAGE_SCN_MEM_WRITE:
            problems.append("section %s is writable and executable (memory integrity: 0x2003)" % name)
        if va % PAGE:
            problems.append("section %s at 0x%x is not page-aligned (memory integrity: 0x2004)" % (name, va))
    for directory, what in ((IMPORT_DIRECTORY, "import table"), (IAT_DIRECTORY, "import address table")):
        rva, size = struct.unpack_from("<II", data, directories + 8 * directory)
        for name, va, vsize, _, code, _ in named:
            if size and code and va <= rva < va + vsize:
                problems.append("%s in executable section %s (memory integrity: 0x2005)" % (what, name))
    rva, size = struct.unpack_from("<II", data, directories + 8 * BASE_RELOCATION_DIRECTORY)
    if rva and size and machine == "amd64":
        offset = rva_to_offset([n[3] for n in named], rva)
        end = offset + size
        while offset + 8 <= end:
            page, block = struct.unpack_from("<II", data, offset)
            if block < 8:
                problems.append("base relocation block of %d bytes at page 0x%x" % (block, page))
                break
            for i in range((block - 8) // 2):
                entry = struct.unpack_from("<H", data, offset + 8 + 2 * i)[0]
                width = RELOCATION_WIDTHS.get(entry >> 12, 0)
                if (entry & 0xFFF) + width > PAGE:
                    problems.append("relocation at 0x%x straddles a page (memory integrity refuses it before "
                                    "Windows 10 version 1703)" % (page + (entry & 0xFFF)))
            offset += block
    return problems


def imported_routines(data, sections, import_rva, pe32_plus):
    """(dll, routine) of every import by name; ordinals as '#n'."""
    routines = []
    thunk_size, ordinal_flag = (8, 1 << 63) if pe32_plus else (4, 1 << 31)
    off = rva_to_offset(sections, import_rva)
    while True:
        lookup, _, _, name_rva, iat = struct.unpack_from("<IIIII", data, off)
        if name_rva == 0:
            break
        dll = read_cstring(data, rva_to_offset(sections, name_rva))
        thunk = rva_to_offset(sections, lookup or iat)
        while True:
            value = struct.unpack_from("<Q" if pe32_plus else "<I", data, thunk)[0]
            if value == 0:
                break
            if value & ordinal_flag:
                routines.append((dll, "#%d" % (value & 0xFFFF)))
            else:
                routines.append((dll, read_cstring(data, rva_to_offset(sections, value & 0x7FFFFFFF) + 2)))
            thunk += thunk_size
        off += 20
    return routines


def read_import_table(path):
    """{(dll, routine): {"i386": release, "amd64": release}} from the CSV table."""
    table = {}
    with open(path) as f:
        for line in f:
            line = line.strip()
            if not line or line.startswith("#") or line.startswith("routine,"):
                continue
            routine, dll, x86, amd64 = line.split(",")[:4]
            for release in (x86, amd64):
                if release != "-" and release not in RANK:
                    raise ValueError("%s: %s names no release %s" % (path, routine, release))
            table[(dll.lower(), routine)] = {"i386": x86, "amd64": amd64}
    return table


def floor_of(routines, table, machine, problems):
    """The latest release among the imports' rows; a problem per import
    without a row for |machine|."""
    floor = None
    for dll, routine in routines:
        row = table.get((dll.lower(), routine))
        if row is None:
            problems.append("imports %s!%s, which no Windows kernel exports (no row in the import table)"
                            % (dll, routine))
        elif row[machine] == "-":
            problems.append("imports %s!%s, which the import table lists for no %s Windows" % (dll, routine, machine))
        elif floor is None or RANK[row[machine]] > RANK[floor]:
            floor = row[machine]
    return floor


def link_map_functions(path, text):
    """(address, name) of each function the GNU ld map places in |text|
    (start, end): the symbols it names, and each function's own input
    section (.text$name, -ffunction-sections), which static functions have
    too."""
    functions = {}
    symbol = re.compile(r"^\s+0x([0-9a-f]+)\s+([A-Za-z_.$@?][\w.$@?]*)\s*$")
    section = re.compile(r"^ \.text\$(\S+)(?:\s+0x([0-9a-f]+)\s+0x([0-9a-f]+)\s+\S.*)?$")
    placed = re.compile(r"^\s+0x([0-9a-f]+)\s+0x([0-9a-f]+)\s+\S")
    pending = None
    with open(path) as f:
        for line in f:
            line = line.rstrip("\n")
            m = section.match(line)
            if m:
                pending = m.group(1)
                if m.group(2):
                    if int(m.group(3), 16) and text[0] <= int(m.group(2), 16) < text[1]:
                        functions.setdefault(int(m.group(2), 16), pending)
                    pending = None
                continue
            m = placed.match(line)
            if pending and m:
                if int(m.group(2), 16) and text[0] <= int(m.group(1), 16) < text[1]:
                    functions.setdefault(int(m.group(1), 16), pending)
                pending = None
                continue
            pending = None
            m = symbol.match(line)
            if m and text[0] <= int(m.group(1), 16) < text[1]:
                functions[int(m.group(1), 16)] = m.group(2)
    return sorted(functions.items())


def leaf_problems(path, image_base, functions, covered, text_end, machine):
    """Each function of the link map that no unwind entry covers and that is
    not a leaf: it calls, pushes or moves the stack pointer."""
    uncovered = [(a, n) for a, n in functions if not any(b <= a - image_base < e for b, e in covered)]
    if not uncovered:
        return []
    done = subprocess.run(["x86_64-w64-mingw32-objdump", "-d", "--no-show-raw-insn", path],
                          stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    instructions = []
    for line in done.stdout.splitlines():
        m = re.match(r"^\s+([0-9a-f]+):\s+(.*)$", line)
        if m:
            instructions.append((int(m.group(1), 16), m.group(2)))
    starts = sorted(a for a, _ in functions) + [text_end]
    problems = []
    for address, name in uncovered:
        end = min(s for s in starts if s > address)
        body = [text for a, text in instructions if address <= a < end]
        if any(t.startswith(("call", "push")) or re.search(r"(sub|add|lea)\s+.*,%rsp$", t) for t in body):
            problems.append("function %s at 0x%x calls or uses the stack but has no unwind data" % (name, address))
    return problems


def inspect(data, allowed=ALLOWED_IMPORTS, layout=None, machine="i386", table=None, link_map=None, path=None,
            floor=None):
    """Problems found, and the offset of the checksum; |layout| receives
    (section name, size in memory) of each section."""
    problems = []
    layout = [] if layout is None else layout
    floor = {} if floor is None else floor
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
        named.append((name, va, vsize, (va, vsize, raw, rawsize), bool(characteristics & IMAGE_SCN_MEM_EXECUTE),
                      characteristics))
        layout.append((name, vsize))
        if name not in ALLOWED_SECTIONS | extra_sections:
            problems.append("section %s, which a driver does not use" % name)
    if extra_sections:
        entry = struct.unpack_from("<I", data, opt + 16)[0]
        exceptions = struct.unpack_from("<II", data, directories + 8 * EXCEPTION_DIRECTORY)
        problems += unwind_problems(data, named, exceptions, entry)
        text = [(va, va + vsize) for name, va, vsize, _, _, _ in named if name == ".text"]
        if link_map and text and exceptions[0]:
            image_base = struct.unpack_from("<Q", data, opt + 24)[0]
            offset = rva_to_offset(sections, exceptions[0])
            covered = [struct.unpack_from("<II", data, offset + 12 * i) for i in range(exceptions[1] // 12)]
            functions = link_map_functions(link_map, (image_base + text[0][0], image_base + text[0][1]))
            if not functions:
                problems.append("the link map %s names no function in .text" % link_map)
            problems += leaf_problems(path, image_base, functions, covered, image_base + text[0][1], machine)
    section_alignment = struct.unpack_from("<I", data, opt + 32)[0]
    problems += memory_integrity_problems(data, named, directories, section_alignment, machine)
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
    if table is not None and import_rva:
        floor["release"] = floor_of(imported_routines(data, sections, import_rva, magic == 0x20B), table, machine,
                                    problems)
    return problems, opt + 64


def section_headers(data):
    """(name, header offset, virtual address) of each section."""
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    count = struct.unpack_from("<H", data, pe + 6)[0]
    first = pe + 24 + struct.unpack_from("<H", data, pe + 20)[0]
    return [(data[first + 40 * i:first + 40 * i + 8].rstrip(b"\0").decode("ascii", "replace"), first + 40 * i,
             struct.unpack_from("<I", data, first + 40 * i + 12)[0]) for i in range(count)]


def plant(data, kind, link_map):
    """Puts one slip into |data| (a bytearray of the image), as a build gone
    wrong would, so that the check is seen to refuse it."""
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    opt = pe + 24
    directories = opt + (96 if struct.unpack_from("<H", data, opt)[0] == 0x10B else 112)
    headers = section_headers(data)
    named = {name: (header, va) for name, header, va in headers}
    sections = [(va, vsize, raw, rawsize) for vsize, va, rawsize, raw in
                (struct.unpack_from("<IIII", data, header + 8) for _, header, _ in headers)]
    if kind == "writable-code":  # writable data linked into .text
        header = named[".text"][0]
        struct.pack_into("<I", data, header + 36, struct.unpack_from("<I", data, header + 36)[0] | IMAGE_SCN_MEM_WRITE)
    elif kind == "unaligned-section":  # linked with a section alignment below a page
        header, va = named[".data"]
        struct.pack_into("<I", data, header + 12, va + 0x200)
    elif kind == "executable-imports":  # the import section merged into code
        rva = struct.unpack_from("<I", data, directories + 8 * IMPORT_DIRECTORY)[0]
        for _, header, va in headers:
            vsize = struct.unpack_from("<I", data, header + 8)[0]
            if va <= rva < va + vsize:
                characteristics = struct.unpack_from("<I", data, header + 36)[0]
                struct.pack_into("<I", data, header + 36, characteristics | IMAGE_SCN_MEM_EXECUTE)
    elif kind == "straddling-relocation":  # a pointer stored across a page boundary
        rva = struct.unpack_from("<I", data, directories + 8 * BASE_RELOCATION_DIRECTORY)[0]
        offset = rva_to_offset(sections, rva)
        entry = struct.unpack_from("<H", data, offset + 8)[0]
        struct.pack_into("<H", data, offset + 8, (entry & 0xF000) | 0xFFE)
    elif kind == "unknown-import":  # a routine no Windows kernel exports
        at = data.index(b"RtlGetVersion\0")
        data[at:at + 14] = b"NoSuchExport\0\0"
    elif kind == "missing-unwind":  # one non-leaf function compiled without unwind tables
        image_base = struct.unpack_from("<Q", data, opt + 24)[0]
        target = [a for a, name in link_map_functions(link_map, (0, 1 << 64)) if name == "GenericDispatchPnp"][0] - image_base
        rva, size = struct.unpack_from("<II", data, directories + 8 * EXCEPTION_DIRECTORY)
        offset = rva_to_offset(sections, rva)
        entries = [data[offset + 12 * i:offset + 12 * i + 12] for i in range(size // 12)]
        kept = [e for e in entries if not struct.unpack_from("<I", e)[0] <= target < struct.unpack_from("<I", e, 4)[0]]
        data[offset:offset + size] = b"".join(kept) + bytes(size - 12 * len(kept))
        struct.pack_into("<I", data, directories + 8 * EXCEPTION_DIRECTORY + 4, 12 * len(kept))
    else:
        raise ValueError("no plant %s" % kind)


PLANTS = ["writable-code", "unaligned-section", "executable-imports", "straddling-relocation", "unknown-import",
          "missing-unwind"]


def osslsigncode_verdict(path, root):
    """What osslsigncode says of |path|'s embedded signature against |root|:
    None when it verifies with SHA-256 alone, else (why, lines of its output
    that say what failed)."""
    done = subprocess.run(["osslsigncode", "verify", "-CAfile", root, "-in", path],
                          stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    lines = [line.strip() for line in done.stdout.splitlines()]
    digests = {line.split(":", 1)[1].strip() for line in lines if line.startswith("Message digest algorithm")}
    if done.returncode != 0 or "Signature verification: ok" not in lines:
        failed = [line for line in lines if any(w in line.lower() for w in ("fail", "error", "no signature"))]
        return "not verified", failed or ["exit status %d" % done.returncode]
    if digests != {"SHA256"}:
        return "signed with digest %s, not SHA256" % (", ".join(sorted(digests)) or "unknown"), []
    return None


def signature_problems(path, data, directories, root):
    """The embedded signature, verified by osslsigncode against |root|."""
    rva, size = struct.unpack_from("<II", data, directories + 8 * SECURITY_DIRECTORY)
    if not rva or not size:
        return ["not signed (no certificate table)"]
    verdict = osslsigncode_verdict(path, root)
    if verdict is None:
        return []
    why, lines = verdict
    if why == "not verified":
        return ["signature not verified against %s (%s)" % (root, "; ".join(lines[:3]))]
    return [why]


def main(argv):
    parser = argparse.ArgumentParser(description="Checks a kernel image.")
    parser.add_argument("image")
    parser.add_argument("--machine", choices=sorted(MACHINES), default="i386")
    parser.add_argument("--verify-only", action="store_true")
    parser.add_argument("--expect-failure", action="store_true")
    parser.add_argument("--kernel-only", action="store_true")
    parser.add_argument("--signed-by", metavar="ROOT")
    parser.add_argument("--imports", metavar="TABLE", help="the documented minimum Windows of each import")
    parser.add_argument("--map", metavar="LINKMAP", help="the link map naming the functions (x64 unwind check)")
    parser.add_argument("--plant", choices=PLANTS, help="check a copy with this slip planted (with --expect-failure)")
    args = parser.parse_args(argv)
    path = args.image
    with open(path, "rb") as f:
        data = bytearray(f.read())
    if args.plant:
        plant(data, args.plant, args.map)
    allowed = {"ntoskrnl.exe"} if args.kernel_only else ALLOWED_IMPORTS
    layout = []
    table = read_import_table(args.imports) if args.imports else None
    floor = {}
    problems, checksum_offset = inspect(bytes(data), allowed, layout, args.machine, table, args.map, path, floor)
    print("%s: %d bytes; %s" % (path, len(data), ", ".join("%s %d" % section for section in layout)))
    if floor.get("release"):
        print("%s: runs from %s on (the latest of its imports' documented minimums)"
              % (path, dict(RELEASES)[floor["release"]]))
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
