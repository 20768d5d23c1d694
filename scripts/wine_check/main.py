"""wine-check: the driver package and the images of each architecture on
Wine's loader, kernel, Plug and Play manager and SetupAPI: x64 on 64-bit
Wine in a win64 prefix, x86 on 32-bit Wine in a win32 prefix, through the
same steps. See README.md, "The Wine check"."""
import argparse
import json
import os
import shutil
import subprocess
import sys
import time
from dataclasses import dataclass

import pe as pe_file
from board_check import check_board
from filter_check import check_filter
from package_check import check_board_inf, check_package_files, check_port_inf, install_ports, models_name
from session import CheckFailure, Session

HERE = os.path.dirname(os.path.abspath(__file__))


@dataclass
class Architecture:
    name: str  # x64, x86
    folder: str  # the package's folder of its images (SourceDisksFiles.<folder>)
    machine: str  # what the images must be
    loader: str  # the Wine that runs it
    winearch: str
    bits: int


# x64 first: it needs nothing 32-bit from the kernel.
ARCHITECTURES = [
    Architecture("x64", "amd64", "AMD64", "/usr/lib/wine/wine64", "win64", 64),
    Architecture("x86", "x86", "i386", "/usr/lib/wine/wine", "win32", 32),
]


class Results:
    def __init__(self):
        self.passed = 0

    def ok(self, what, detail):
        self.passed += 1
        print(f"  ok  {what}: {detail}", flush=True)


def windows_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def fresh_package(inf_dir, workdir):
    """An empty package folder under workdir holding inf_dir's INF files."""
    target = os.path.join(workdir, "package")
    shutil.rmtree(target, ignore_errors=True)
    os.makedirs(target)
    for name in sorted(os.listdir(inf_dir)):
        if name.lower().endswith(".inf"):
            shutil.copy(os.path.join(inf_dir, name), target)
    return target


def wine_view(staged, arch, workdir):
    """The package as Wine's SetupAPI can install it: it copies from the
    undecorated [SourceDisksFiles] alone, and the package has none (only
    .x86 and .amd64, with their folders), so it looks for the images beside
    the INF files. There it finds this architecture's, copied from its folder."""
    target = fresh_package(staged, workdir)
    for name in sorted(os.listdir(os.path.join(staged, arch.folder))):
        shutil.copy(os.path.join(staged, arch.folder, name), target)
    return target


def check_architecture(arch, pes, staged, mpsinst, exp, workdir, timeout):
    """One architecture's whole run in a fresh prefix; returns (passed, failure, seconds)."""
    board_image, filter_on = exp["board"]["image"], exp["filter"]["enabled"]
    decoration = exp["package"]["decorations"][arch.folder]
    try:
        version = subprocess.run([arch.loader, "--version"], stdout=subprocess.PIPE, text=True,
                                 timeout=timeout).stdout.strip()
    except (subprocess.TimeoutExpired, OSError) as e:
        print(f"wine-check: {arch.name}: FAIL in step \"Wine's version\": {arch.loader} --version: {e}")
        return 0, CheckFailure(str(e)), 0.0
    shown = ", ".join(p.path for p in pes.values())
    kind = {p.format for p in pes.values()}
    print(f"wine-check: {arch.name}: {shown} ({'/'.join(sorted(kind))}, {arch.machine}, signed), installed by "
          f"{mpsinst}, on {version}, {arch.bits}-bit ({arch.loader}), a fresh {arch.winearch} prefix in {workdir}",
          flush=True)
    staged = wine_view(staged, arch, workdir)
    print(f"  --  Wine's SetupAPI reads no SourceDisksFiles.{arch.folder}: it installs from {staged}, "
          f"the INF files beside the {arch.folder} folder's images", flush=True)
    print(f"  --  Wine 8 reports Windows 7 and knows neither DIRID 13 nor Include/Needs: it installs the "
          f"{models_name(decoration)} sections (DIRID 12); the NT{arch.folder}{exp['package']['store_decoration']} ones are held to "
          f"InfVerif's rules by tests/package", flush=True)
    results = Results()
    session = Session(workdir, pes, [exp["board"]["image"], exp["filter"]["image"]], timeout, arch.loader,
                      arch.winearch)
    mpsinst_path = windows_path(mpsinst)
    board_inf = windows_path(os.path.join(staged, exp["board"]["inf"]))
    port_inf = windows_path(os.path.join(staged, exp["ports"]["inf"]))
    started = time.monotonic()

    def fresh_prefix():
        session.create_prefix()
        made = session.prefix_arch()
        if made != arch.winearch:
            raise CheckFailure(f"the prefix is {made}, not {arch.winearch}")
        results.ok("fresh prefix", f"{made}, made in {time.monotonic() - started:.1f}s")

    def filter_not_run():
        print(f"  --  port devices and {exp['filter']['image']} not run: {exp['filter']['enabled_why']}")

    # Each step by the name a failure reports it under, with the log that
    # shows what it did: the commands' own output until the session's
    # services run, Wine's debug log from then on.
    steps = [
        ("fresh prefix", session.commands_log, fresh_prefix),
        ("the prefix's services", session.log_path, session.start),
        ("the board INF", session.log_path,
         lambda: check_board_inf(session, mpsinst_path, board_inf, exp, decoration, results)),
        ("the port INF", session.log_path,
         lambda: check_port_inf(session, mpsinst_path, port_inf, exp, decoration, results)),
        ("the board driver", session.log_path,
         lambda: check_board(session, pes[board_image], board_inf, mpsinst_path, exp, results)),
    ]
    if filter_on:
        steps += [("the port devices", session.log_path,
                   lambda: install_ports(session, mpsinst_path, port_inf, exp, results)),
                  ("the port filter", session.log_path,
                   lambda: check_filter(session, pes[exp["filter"]["image"]], exp, results))]
    else:
        steps.append(("the port filter", session.log_path, filter_not_run))
    failure = None
    try:
        for step, log, run in steps:
            run()
    except CheckFailure as e:
        failure = e
    finally:
        session.stop()
    if failure:
        print(f"wine-check: {arch.name}: FAIL in step \"{step}\": {failure} (log: {log})")
        if failure.record is not None:
            print(f"  the line: {failure.record.show()}")
        print(f"  Wine's whole log: {session.log_path}")
    return results.passed, failure, time.monotonic() - started


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--package", required=True,
                        help="the staged package (make package): the INF files, and each architecture's "
                             "mpsbus.sys, mpsfilt.sys and mpsinst.exe in its folder")
    parser.add_argument("--x86-not-run", metavar="WHY", help="check the x86 images' place but run no 32-bit Wine")
    parser.add_argument("--workdir", required=True, help="scratch folder: a folder per prefix")
    parser.add_argument("--expectations", default=os.path.join(HERE, "expectations.json"))
    parser.add_argument("--timeout", type=float, default=60.0, help="seconds to wait for one step")
    args = parser.parse_args()

    exp = json.load(open(args.expectations))
    images = [exp["board"]["image"]] + ([exp["filter"]["image"]] if exp["filter"]["enabled"] else [])
    dirs = {arch.name: os.path.join(args.package, arch.folder) for arch in ARCHITECTURES}
    pes = {}
    for arch in ARCHITECTURES:
        missing = [i for i in images + ["mpsinst.exe"] if not os.path.exists(os.path.join(dirs[arch.name], i))]
        if missing:
            print(f"wine-check: FAIL: {', '.join(missing)} not found in {dirs[arch.name]}")
            return 1
        pes[arch.name] = {name: pe_file.read(os.path.join(dirs[arch.name], name)) for name in images}
        for image in pes[arch.name].values():
            if image.machine != arch.machine or not image.signed:
                print(f"wine-check: FAIL: {image.path} is {image.format} for {image.machine}"
                      f"{'' if image.signed else ', unsigned'}: not a signed {arch.name} image")
                return 1

    os.makedirs(args.workdir, exist_ok=True)
    staged = args.package
    print(f"wine-check: installs from the package for both architectures in {staged}", flush=True)
    results = Results()
    try:
        check_package_files(staged, exp, results)
    except CheckFailure as e:
        print(f"wine-check: FAIL: {e}")
        return 1

    passed, failed, summary = results.passed, 0, []
    for arch in ARCHITECTURES:
        if arch.name == "x86" and args.x86_not_run:
            print(f"wine-check: x86: NOT RUN: {args.x86_not_run}")
            summary.append("x86 NOT RUN")
            continue
        count, failure, seconds = check_architecture(arch, pes[arch.name], staged,
                                                     os.path.join(dirs[arch.name], "mpsinst.exe"), exp,
                                                     os.path.join(args.workdir, arch.name), args.timeout)
        passed += count
        failed += 1 if failure else 0
        summary.append(f"{arch.name} on {arch.bits}-bit Wine {'FAILED' if failure else 'passed'} ({seconds:.1f}s)")
    print(f"wine-check: {passed} passed, {failed} failed; {', '.join(summary)}")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
