"""wine-check: the driver package and both images on Wine's loader, kernel,
Plug and Play manager and SetupAPI. See README.md, "The Wine check"."""
import argparse
import json
import os
import shutil
import subprocess
import sys
import time

import pe as pe_file
from board_check import check_board
from filter_check import check_filter
from package_check import check_board_inf, check_port_inf, install_ports
from session import CheckFailure, Session

HERE = os.path.dirname(os.path.abspath(__file__))


class Results:
    def __init__(self):
        self.passed = 0

    def ok(self, what, detail):
        self.passed += 1
        print(f"  ok  {what}: {detail}", flush=True)


def windows_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def stage(package_dir, images_dir, images, workdir):
    """The package as a user gets it: the INF files beside the images."""
    target = os.path.join(workdir, "package")
    shutil.rmtree(target, ignore_errors=True)
    os.makedirs(target)
    for name in sorted(os.listdir(package_dir)):
        if name.lower().endswith(".inf"):
            shutil.copy(os.path.join(package_dir, name), target)
    for image in images:
        shutil.copy(os.path.join(images_dir, image), target)
    return target


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--images", required=True, help="folder holding mpsbus.sys and mpsfilt.sys")
    parser.add_argument("--package", required=True, help="folder holding the INF files")
    parser.add_argument("--mpsinst", required=True, help="the installer program, mpsinst.exe")
    parser.add_argument("--workdir", required=True, help="scratch folder: prefix, staged package, wine.log")
    parser.add_argument("--expectations", default=os.path.join(HERE, "expectations.json"))
    parser.add_argument("--timeout", type=float, default=60.0, help="seconds to wait for one step")
    args = parser.parse_args()

    exp = json.load(open(args.expectations))
    board_image, filter_on = exp["board"]["image"], exp["filter"]["enabled"]
    images = [board_image] + ([exp["filter"]["image"]] if filter_on else [])
    missing = [i for i in images if not os.path.exists(os.path.join(args.images, i))]
    if missing:
        print(f"wine-check: FAIL: {', '.join(missing)} not found in {args.images}")
        return 1
    pes = {name: pe_file.read(os.path.join(args.images, name)) for name in images}
    version = subprocess.run(["wine", "--version"], stdout=subprocess.PIPE, text=True).stdout.strip()
    print(f"wine-check: {version}, a fresh 32-bit prefix in {args.workdir}", flush=True)

    results = Results()
    staged = stage(args.package, args.images, images, args.workdir)
    session = Session(args.workdir, pes, [exp["board"]["image"], exp["filter"]["image"]], args.timeout)
    mpsinst = windows_path(args.mpsinst)
    board_inf = windows_path(os.path.join(staged, exp["board"]["inf"]))
    port_inf = windows_path(os.path.join(staged, exp["ports"]["inf"]))
    started = time.monotonic()
    failure = None
    try:
        session.create_prefix()
        results.ok("fresh prefix", f"made in {time.monotonic() - started:.1f}s")
        session.start()
        check_board_inf(session, mpsinst, board_inf, exp, results)
        check_port_inf(session, mpsinst, port_inf, exp, results)
        check_board(session, pes[board_image], board_inf, mpsinst, exp, results)
        if filter_on:
            install_ports(session, mpsinst, port_inf, exp, results)
            check_filter(session, pes[exp["filter"]["image"]], exp, results)
        else:
            print(f"  --  port devices and {exp['filter']['image']} not run: {exp['filter']['enabled_why']}")
    except CheckFailure as e:
        failure = e
    finally:
        session.stop()
    elapsed = time.monotonic() - started
    if failure:
        print(f"wine-check: FAIL: {failure}")
        if failure.record is not None:
            print(f"  the line: {failure.record.show()}")
        print(f"  Wine's whole log: {session.log_path}")
        print(f"wine-check: {results.passed} passed, 1 failed")
        return 1
    print(f"wine-check: {results.passed} passed, 0 failed ({elapsed:.1f}s)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
