#!/usr/bin/env python3
"""Clang's static analyzer over the driver sources, compiled exactly as a host
build compiles its driver images (its compile_commands.json: the same
defines, headers and target flags, -m64 or -m32 -fshort-wchar).

    scripts/analyze_drivers.py BUILD_DIR

Prints every finding with the path that leads to it and exits 1 when there
is one, or when a source does not compile under clang; exits 0 on none.
"""
import concurrent.futures
import json
import os
import shlex
import subprocess
import sys
import time

ANALYZER = "clang++-14"
# The folders of kernel code; the images are built from them alone.
DRIVER_FOLDERS = ("include", "PciParent", "PciChild", "gendev")
# The images link one object library per driver source (cmake/host.cmake).
IMAGE_OBJECTS = ("CMakeFiles/driver_object_",)
ANALYZE = ["--analyze", "-Xclang", "-analyzer-output=text", "-Xclang", "-analyzer-werror"]


def driver_commands(build_dir, source_dir):
    with open(os.path.join(build_dir, "compile_commands.json")) as f:
        entries = json.load(f)
    roots = tuple(os.path.join(source_dir, folder) + os.sep for folder in DRIVER_FOLDERS)
    chosen = []
    for entry in entries:
        command = entry.get("command")
        args = shlex.split(command) if command else list(entry["arguments"])
        # Only the images' own objects: the ones the kernel build stands for.
        if not entry["file"].startswith(roots) or not any(o in " ".join(args) for o in IMAGE_OBJECTS):
            continue
        flags = []
        skip = False
        for arg in args[1:]:
            if skip:
                skip = False
            elif arg in ("-o", "-MF", "-MT", "-MQ"):
                skip = True
            elif arg not in ("-c", "-MD", "-MMD", entry["file"]):
                flags.append(arg)
        chosen.append((entry["file"], entry["directory"], [ANALYZER] + ANALYZE + flags + ["-o", os.devnull, entry["file"]]))
    return sorted(chosen)


def analyze(job):
    source, directory, argv = job
    result = subprocess.run(argv, cwd=directory, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    return source, result.returncode, result.stdout


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    build_dir = os.path.abspath(sys.argv[1])
    source_dir = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    try:
        subprocess.run([ANALYZER, "--version"], stdout=subprocess.DEVNULL, check=True)
    except (OSError, subprocess.CalledProcessError):
        sys.exit(f"static analysis: {ANALYZER} does not run (scripts/bootstrap.sh installs clang-14)")
    jobs = driver_commands(build_dir, source_dir)
    if not jobs:
        sys.exit(f"static analysis: no driver source in {build_dir}/compile_commands.json")

    started = time.monotonic()
    failed = []
    with concurrent.futures.ThreadPoolExecutor(max_workers=os.cpu_count() or 1) as pool:
        for source, status, output in pool.map(analyze, jobs):
            if status != 0:
                failed.append(source)
                sys.stdout.write(output)
            elif output.strip():
                sys.stdout.write(output)  # a compiler warning of clang's own: shown, not fatal
    seconds = time.monotonic() - started
    where = os.path.relpath(build_dir, source_dir)
    if failed:
        print(f"static analysis ({where}): findings or errors in {len(failed)} of {len(jobs)} driver sources: "
              + ", ".join(os.path.relpath(s, source_dir) for s in failed))
        return 1
    print(f"static analysis ({where}): {len(jobs)} driver sources, no findings, {seconds:.1f} s")
    return 0


if __name__ == "__main__":
    sys.exit(main())
