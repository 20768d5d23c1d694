#!/usr/bin/env python3
"""Checks a staged driver package (and its zip) before it leaves the build
machine:

- every file its INF files name is there: the INF files themselves (as in
  the source folder), and each architecture's SourceDisksFiles entries in
  their folders, every CopyFiles file among them; the catalogs the INF files
  name (CatalogFile) are the one exception, made and signed on Windows
  (README.txt), and the check names them;
- each architecture's folder also holds the installer, and the package the
  test root's certificate (DER, what certutil takes) and README.txt (CRLF);
- every .sys and .exe is signed (SHA-256 Authenticode) by a certificate the
  test root issued, as osslsigncode verifies it, and is an image of its
  folder's machine;
- no private key: no file named as one (.key, .pfx, .p12, .pvk) and none
  holding "PRIVATE KEY", in the folder or the zip; the zip holds exactly the
  folder's files, under the same relative paths.

  check.py PACKAGE --root ROOT.crt [--zip ZIP] [--source DIR]
"""
import argparse
import base64
import os
import struct
import sys
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "..", "cmake"))
import pe_image  # noqa: E402
from inf_files import InfProblem, architectures, named_files, sections  # noqa: E402

# Each architecture folder's PE machine.
MACHINES = {"x86": 0x14C, "amd64": 0x8664}
INSTALLER = "mpsinst.exe"
ROOT_CERTIFICATE = "test-root.cer"
README = "README.txt"
SIGNED = (".sys", ".exe")
KEY_NAMES = (".key", ".pfx", ".p12", ".pvk")
KEY_TEXT = b"PRIVATE KEY"


def der_of(pem_path):
    """The DER bytes of the first certificate of a PEM file."""
    text = open(pem_path).read()
    begin, end = "-----BEGIN CERTIFICATE-----", "-----END CERTIFICATE-----"
    body = text[text.index(begin) + len(begin):text.index(end)]
    return base64.b64decode("".join(body.split()))


def pe_machine(data):
    if data[:2] != b"MZ" or len(data) < 0x40:
        return None
    at = struct.unpack_from("<I", data, 0x3C)[0]
    if data[at:at + 4] != b"PE\0\0":
        return None
    return struct.unpack_from("<H", data, at + 4)[0]


def signature_problem(path, root):
    """None when osslsigncode verifies a SHA-256 signature chaining to root."""
    verdict = pe_image.osslsigncode_verdict(path, root)
    if verdict is None:
        return None
    why, lines = verdict
    if why == "not verified":
        return "not signed by the test root (%s)" % "; ".join(lines[:2])
    return why
    return None


def key_problems(where, name, data):
    if name.lower().endswith(KEY_NAMES):
        return [f"{where}{name}: a private key's file has no place in the package"]
    if KEY_TEXT in data:
        return [f"{where}{name}: holds a private key ({KEY_TEXT.decode()})"]
    return []


def folder_files(package):
    found = {}
    for top, _, names in os.walk(package):
        for name in names:
            path = os.path.join(top, name)
            found[os.path.relpath(path, package).replace(os.sep, "/")] = path
    return found


def check(package, root, zip_path=None, source=None):
    """(problems, facts): what is wrong, and what was found."""
    source = source or os.path.join(HERE, "..", "..", "package")
    files = folder_files(package)
    problems, facts = [], {"named": [], "catalogs": [], "signed": []}
    infs = sorted(n for n in os.listdir(source) if n.lower().endswith(".inf"))
    for name in infs + [README, ROOT_CERTIFICATE]:
        if name not in files:
            problems.append(f"{name}: missing")
    for name in infs:
        if name in files and open(files[name], "rb").read() != open(os.path.join(source, name), "rb").read():
            problems.append(f"{name}: differs from {os.path.join(source, name)}")
        elif name in files:
            facts["named"].append(name)

    archs = set()
    for name in [n for n in infs if n in files]:
        found = architectures(sections(files[name]))
        unknown = sorted(set(found) - set(MACHINES))
        if unknown:
            problems.append(f"{name}: SourceDisksFiles for {', '.join(unknown)}, an architecture the package "
                            f"does not know")
        archs.update(a for a in found if a in MACHINES)
        try:
            named, catalogs = named_files(files[name], found)
        except InfProblem as e:
            problems.append(str(e))
            continue
        facts["catalogs"] += catalogs
        for arch in sorted(named):
            for relative in named[arch]:
                if relative in files:
                    facts["named"].append(relative)
                else:
                    problems.append(f"{name}: SourceDisksFiles.{arch} names {relative}, which the package lacks")
    for arch in sorted(archs):
        if f"{arch}/{INSTALLER}" not in files:
            problems.append(f"{arch}/{INSTALLER}: missing (the installer for ISA boards)")

    for relative, path in sorted(files.items()):
        data = open(path, "rb").read()
        problems += key_problems("", relative, data)
        if not relative.lower().endswith(SIGNED):
            continue
        folder = relative.split("/", 1)[0] if "/" in relative else ""
        machine = pe_machine(data)
        if folder not in MACHINES:
            problems.append(f"{relative}: an image outside the architecture folders ({', '.join(MACHINES)})")
        elif machine != MACHINES[folder]:
            problems.append(f"{relative}: machine {'none' if machine is None else hex(machine)}, "
                            f"not {folder}'s {hex(MACHINES[folder])}")
        why = signature_problem(path, root)
        if why:
            problems.append(f"{relative}: {why}")
        else:
            facts["signed"].append(relative)

    if ROOT_CERTIFICATE in files and open(files[ROOT_CERTIFICATE], "rb").read() != der_of(root):
        problems.append(f"{ROOT_CERTIFICATE}: not the DER form of {root}")
    if README in files and b"\n" in open(files[README], "rb").read().replace(b"\r\n", b""):
        problems.append(f"{README}: a line ends in LF alone, not CRLF")

    if zip_path:
        with zipfile.ZipFile(zip_path) as archive:
            members = {i.filename: i for i in archive.infolist() if not i.is_dir()}
            for name in sorted(members):
                data = archive.read(name)
                problems += key_problems(f"{os.path.basename(zip_path)}: ", name, data)
                if name not in files:
                    problems.append(f"{os.path.basename(zip_path)}: holds {name}, which the folder lacks")
                elif data != open(files[name], "rb").read():
                    problems.append(f"{os.path.basename(zip_path)}: {name} differs from the folder's")
            for name in sorted(set(files) - set(members)):
                problems.append(f"{os.path.basename(zip_path)}: lacks {name}")
    return problems, facts


def verdict(package, root, zip_path=None, source=None):
    """Prints what the check found; 0 when the package passes, else 1."""
    problems, facts = check(package, root, zip_path, source)
    if problems:
        for p in problems:
            print(f"package check: {package}: {p}")
        return 1
    print(f"package check: {package}: every file its INF files name is there "
          f"({', '.join(sorted(set(facts['named'])))}); the catalogs {', '.join(facts['catalogs'])} are the "
          f"exception, made and signed on Windows (README.txt)")
    print(f"package check: {package}: signed by the test root (SHA-256): {', '.join(facts['signed'])}; "
          f"no private key in the folder{' or ' + zip_path if zip_path else ''}")
    return 0


def main(argv):
    parser = argparse.ArgumentParser(description="Checks a staged driver package.")
    parser.add_argument("package")
    parser.add_argument("--root", required=True, help="the test root certificate (PEM)")
    parser.add_argument("--zip", help="the package's zip, which must hold exactly the folder")
    parser.add_argument("--source", help="the folder of the INF files (default: package/ of the source tree)")
    args = parser.parse_args(argv)
    return verdict(args.package, args.root, args.zip, args.source)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
