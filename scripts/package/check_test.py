#!/usr/bin/env python3
"""The package check against packages with one fault planted each: staged
from the two Windows trees into a scratch folder, copied per case, planted,
zipped, checked. The unplanted package must pass; each plant must be
refused for what it is.

  check_test.py --x86 DIR --x64 DIR --signing DIR --scratch DIR
"""
import argparse
import os
import re
import shutil
import subprocess
import sys
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
from check import check  # noqa: E402
from stage import stage, zip_folder  # noqa: E402


def remove(name):
    return lambda pkg, ctx: os.remove(os.path.join(pkg, name))


def copy_in(source_key, name):
    return lambda pkg, ctx: shutil.copyfile(ctx[source_key], os.path.join(pkg, name))


def write(name, data):
    def plant(pkg, ctx):
        with open(os.path.join(pkg, name), "wb") as f:
            f.write(data(ctx) if callable(data) else data)
    return plant


def osslsigncode(*args):
    subprocess.run(["osslsigncode", *args], check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def unsign(name):
    def plant(pkg, ctx):
        path = os.path.join(pkg, name)
        osslsigncode("remove-signature", "-in", path, "-out", path + ".bare")
        os.replace(path + ".bare", path)
    return plant


def sign_elsewhere(name):
    """Signed as the build signs, by a certificate of a root the package does not ship."""
    def plant(pkg, ctx):
        path = os.path.join(pkg, name)
        bare = path + ".bare"
        osslsigncode("remove-signature", "-in", path, "-out", bare)
        os.remove(path)
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "1", "-subj",
                        "/CN=another root", "-keyout", ctx["scratch"] + "/other.key", "-out",
                        ctx["scratch"] + "/other.crt"], check=True, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
        osslsigncode("sign", "-certs", ctx["scratch"] + "/other.crt", "-key", ctx["scratch"] + "/other.key",
                     "-h", "sha256", "-in", bare, "-out", path)
        os.remove(bare)
    return plant


def into_zip(name, source_key):
    return lambda zip_path, ctx: zipfile.ZipFile(zip_path, "a").write(ctx[source_key], name)


# name, what is planted into the folder (before zipping) or into the zip, and
# what the check must say: every pattern matches one of its lines, and every
# line one of the patterns.
ZIP = r"^mps-package\.zip: "
CASES = [
    ("nothing planted", None, None, []),
    ("missing image", remove("amd64/mpsfilt.sys"), None,
     [r"^mpsport\.inf: SourceDisksFiles\.amd64 names amd64/mpsfilt\.sys, which the package lacks"]),
    ("missing INF", remove("mpsport.inf"), None, [r"^mpsport\.inf: missing"]),
    ("missing installer", remove("x86/mpsinst.exe"), None, [r"^x86/mpsinst\.exe: missing"]),
    ("signing key", copy_in("leaf_key", "leaf.key"), None,
     [r"^leaf\.key: a private key's file", ZIP + r"leaf\.key: a private key's file"]),
    ("key under another name", copy_in("root_key", "notes.txt"), None,
     [r"^notes\.txt: holds a private key", ZIP + r"notes\.txt: holds a private key"]),
    ("pfx", copy_in("pfx", "amd64/leaf.pfx"), None,
     [r"^amd64/leaf\.pfx: a private key's file", ZIP + r"amd64/leaf\.pfx: a private key's file"]),
    ("key in the zip alone", None, into_zip("root.key", "root_key"),
     [ZIP + r"root\.key: a private key's file", ZIP + r"holds root\.key, which the folder lacks"]),
    ("unsigned installer", unsign("x86/mpsinst.exe"), None, [r"^x86/mpsinst\.exe: not signed by the test root"]),
    ("image signed by another root", sign_elsewhere("amd64/mpsbus.sys"), None,
     [r"^amd64/mpsbus\.sys: not signed by the test root"]),
    ("image in the other folder", copy_in("x64_bus", "x86/mpsbus.sys"), None,
     [r"^x86/mpsbus\.sys: machine 0x8664, not x86's 0x14c"]),
    ("root certificate as PEM", copy_in("root_pem", "test-root.cer"), None,
     [r"^test-root\.cer: not the DER form"]),
    ("README with LF line ends", write("README.txt", b"one\r\ntwo\n"), None,
     [r"^README\.txt: a line ends in LF alone"]),
]


def main(argv):
    parser = argparse.ArgumentParser()
    for option in ("--x86", "--x64", "--signing", "--scratch"):
        parser.add_argument(option, required=True)
    args = parser.parse_args(argv)
    shutil.rmtree(args.scratch, ignore_errors=True)
    os.makedirs(args.scratch)
    staged = os.path.join(args.scratch, "staged")
    stage({"x86": args.x86, "amd64": args.x64}, args.signing, os.path.join(HERE, "..", "..", "package"), staged)
    root = os.path.join(args.signing, "root.crt")
    ctx = {"scratch": args.scratch, "leaf_key": os.path.join(args.signing, "leaf.key"),
           "root_key": os.path.join(args.signing, "root.key"), "pfx": os.path.join(args.signing, "leaf.pfx"),
           "x64_bus": os.path.join(args.x64, "mpsbus.sys"), "root_pem": root}
    wrong = 0
    for i, (name, plant, zip_plant, expected) in enumerate(CASES):
        package = os.path.join(args.scratch, f"case{i}", "package")
        zip_path = os.path.join(args.scratch, f"case{i}", "mps-package.zip")
        shutil.copytree(staged, package)
        if plant:
            plant(package, ctx)
        zip_folder(package, zip_path)
        if zip_plant:
            zip_plant(zip_path, ctx)
        problems, _ = check(package, root, zip_path)
        ok = all(any(re.search(e, p) for p in problems) for e in expected) and \
            all(any(re.search(e, p) for e in expected) for p in problems)
        wrong += not ok
        print(f"{'ok  ' if ok else 'FAIL'} {name}: {'; '.join(problems) or 'passes'}"
              f"{'' if ok else ' (expected ' + (' and '.join(expected) or 'no problem') + ')'}")
    print(f"package check: {len(CASES) - wrong} of {len(CASES)} cases as expected")
    return 1 if wrong else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
