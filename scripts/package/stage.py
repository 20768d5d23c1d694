#!/usr/bin/env python3
"""Stages the driver package from the two Windows trees, zips it, and checks
both (check.py). The folder is made afresh each time, so nothing of an
earlier package survives:

  OUT/mpsbus.inf, OUT/mpsport.inf          the INF files (package/)
  OUT/x86/, OUT/amd64/                     each tree's signed images and installer
  OUT/test-root.cer                        the test root's certificate (DER)
  OUT/test-signing.cer                     the signing certificate (DER), for TrustedPublisher
  OUT/README.txt                           package/README.txt with CRLF line ends

  stage.py --x86 DIR --x64 DIR --signing DIR --out DIR [--zip FILE] [--source DIR]

No key leaves --signing: only root.crt and leaf.crt are read from it.
"""
import argparse
import os
import shutil
import sys
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
from check import README, ROOT_CERTIFICATE, der_of, verdict  # noqa: E402

IMAGES = ("mpsbus.sys", "mpsfilt.sys", "mpsinst.exe")
SIGNING_CERTIFICATE = "test-signing.cer"


def stage(trees, signing, source, out):
    """trees: {architecture folder: Windows build tree}."""
    shutil.rmtree(out, ignore_errors=True)
    os.makedirs(out)
    for name in sorted(os.listdir(source)):
        if name.lower().endswith(".inf"):
            shutil.copyfile(os.path.join(source, name), os.path.join(out, name))
    text = open(os.path.join(source, README), newline="").read().replace("\r\n", "\n")
    with open(os.path.join(out, README), "w", newline="\r\n") as f:
        f.write(text)
    for name, pem in ((ROOT_CERTIFICATE, "root.crt"), (SIGNING_CERTIFICATE, "leaf.crt")):
        with open(os.path.join(out, name), "wb") as f:
            f.write(der_of(os.path.join(signing, pem)))
    for folder, tree in trees.items():
        os.makedirs(os.path.join(out, folder))
        for image in IMAGES:
            shutil.copyfile(os.path.join(tree, image), os.path.join(out, folder, image))


def zip_folder(folder, zip_path):
    """The folder's files under their relative paths; written beside and
    renamed, so that a failed run leaves no half zip."""
    partial = zip_path + ".partial"
    with zipfile.ZipFile(partial, "w", zipfile.ZIP_DEFLATED) as archive:
        for top, dirs, names in os.walk(folder):
            dirs.sort()
            for name in sorted(names):
                path = os.path.join(top, name)
                archive.write(path, os.path.relpath(path, folder).replace(os.sep, "/"))
    os.replace(partial, zip_path)


def main(argv):
    parser = argparse.ArgumentParser(description="Stages, zips and checks the driver package.")
    parser.add_argument("--x86", required=True, help="the x86 Windows build tree")
    parser.add_argument("--x64", required=True, help="the x64 Windows build tree")
    parser.add_argument("--signing", required=True, help="the test signing folder (root.crt, leaf.crt)")
    parser.add_argument("--out", required=True, help="the package folder to make")
    parser.add_argument("--zip", help="the zip to make of it")
    parser.add_argument("--source", default=os.path.normpath(os.path.join(HERE, "..", "..", "package")),
                        help="the INF files and README.txt")
    args = parser.parse_args(argv)
    trees = {"x86": args.x86, "amd64": args.x64}
    missing = [os.path.join(tree, i) for tree in trees.values() for i in IMAGES
               if not os.path.isfile(os.path.join(tree, i))]
    if missing:
        print(f"package: not built: {', '.join(missing)}")
        return 1
    stage(trees, args.signing, args.source, args.out)
    if args.zip:
        if os.path.exists(args.zip):
            os.remove(args.zip)
        zip_folder(args.out, args.zip)
    for top, dirs, names in os.walk(args.out):
        dirs.sort()
        for name in sorted(names):
            path = os.path.join(top, name)
            print(f"package: {os.path.relpath(path, args.out):20} {os.path.getsize(path):7} bytes")
    if args.zip:
        print(f"package: {args.zip} {os.path.getsize(args.zip)} bytes")
    return verdict(args.out, os.path.join(args.signing, "root.crt"), args.zip, args.source)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
