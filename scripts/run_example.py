#!/usr/bin/env python3
"""Runs a scenario file as a user does and judges it by what the file expects.

    run_example.py FILE -- MPSIM [ARGS...]

runs `MPSIM [ARGS...] --json FILE` (MPSIM may be an emulator and mpsim) and
compares its exit status with the file's "expect"."exit", and every key of
"expect"."summary" with the same key of the --json document's "summary"
(objects key by key, anything else as a whole). Prints one line when they
agree, and each difference otherwise.

Exit status: 0 the run gave what the file expects; 1 it did not; 2 the file
has no "expect" or cannot be read.
"""
import json
import subprocess
import sys
from pathlib import Path


def differences(expected, actual, path):
    """Each place where |actual| does not hold |expected|, as text."""
    if isinstance(expected, dict) and isinstance(actual, dict):
        found = []
        for key, value in expected.items():
            where = f"{path}.{key}"
            if key not in actual:
                found.append(f"{where}: not in the run's summary, expected {json.dumps(value)}")
            else:
                found += differences(value, actual[key], where)
        return found
    if expected != actual:
        return [f"{path}: {json.dumps(actual)}, expected {json.dumps(expected)}"]
    return []


def outcome(summary):
    """The run in a few words, for the line that says it went as expected."""
    if not summary:
        return "no summary"
    states = summary.get("board_states", [])
    started = sum(state == "started" for state in states)
    return (f"{started} of {len(states)} boards started, {summary.get('ports_passed_checks')} of "
            f"{summary.get('ports')} ports passed their checks, {summary.get('vetoes')} vetoes, "
            f"{summary.get('violations')} violations")


def main(argv):
    if len(argv) < 4 or argv[2] != "--":
        print(__doc__.strip().splitlines()[2], file=sys.stderr)
        return 2
    path = Path(argv[1])
    try:
        expect = json.loads(path.read_text()).get("expect")
    except (OSError, ValueError, AttributeError) as error:
        print(f"{path.name}: cannot read the file: {error}", file=sys.stderr)
        return 2
    if not isinstance(expect, dict) or "exit" not in expect:
        print(f'{path.name}: no "expect" with an "exit" to judge the run by', file=sys.stderr)
        return 2

    run = subprocess.run(argv[3:] + ["--json", str(path)], capture_output=True, text=True)
    sys.stderr.write(run.stderr)
    try:
        summary = json.loads(run.stdout).get("summary") if run.stdout.strip() else None
    except ValueError:
        summary = None

    found = []
    if run.returncode != expect["exit"]:
        found.append(f"exit status {run.returncode}, expected {expect['exit']}")
    if "summary" in expect:
        if summary is None:
            found.append("summary: the run printed none")
        else:
            found += differences(expect["summary"], summary, "summary")
    if found:
        for line in found:
            print(f"{path.name}: {line}")
        print(f"{path.name}: {len(found)} difference{'' if len(found) == 1 else 's'} from what the file expects")
        return 1
    print(f"{path.name}: exit {run.returncode}, {outcome(summary)}: as expected")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
