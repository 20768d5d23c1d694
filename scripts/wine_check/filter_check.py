"""mpsfilt on Wine: loaded and unloaded as a service, once per DebugLevel
setting, with its traces compared with what a debugger shows."""
import driver_steps
from driver_steps import is_event
from session import CheckFailure


def _set_debug_level(session, key, level):
    if level is None:
        session.wine("reg", "delete", key, "/v", "DebugLevel", "/f", check=False)
    else:
        session.wine("reg", "add", key, "/v", "DebugLevel", "/t", "REG_DWORD", "/d", str(level), "/f")


def _prints(session, image, within, start, end):
    return [e for e in session.trace.events[start:end]
            if e.kind == "print" and e.image is image and e["within"] == within]


def check_filter(session, pe, exp, results):
    f = exp["filter"]
    name = f["image"]
    for run in f["runs"]:
        level = run["debug_level"]
        setting = "no DebugLevel value" if level is None else f"DebugLevel {level}"
        _set_debug_level(session, f["parameters_key"], level)
        mark = len(session.trace.events)
        session.wine("sc", "start", f["service"])
        end, entry, image = driver_steps.load(session, pe, name, mark, results)
        begin = session.trace.events.index(entry)
        copies = [e for e in session.trace.events[begin:end]
                  if e.image is image and e.kind == "ret" and e["func"] == "ExAllocatePoolWithTag"]
        if not copies:
            raise CheckFailure(f"DriverEntry of {name} kept no copy of its service key",
                               session.trace.events[end].record)
        # The filter prints a block's address with a pointer's worth of digits.
        values = {"service_key": entry["key"], "path_copy": f"{copies[0]['retval']:0{pe.bits // 4}x}",
                  "path_copy_size": copies[0]["args"][1]}
        got = driver_steps.debugger_view(_prints(session, image, "init", begin, end), f["prefix"])
        driver_steps.compare_traces(f"DriverEntry with {setting}", got,
                                    [f["prefix"] + line.format(**values) for line in run["load"]])
        results.ok(f"DriverEntry traces of {name} with {setting}", f"{len(got)} trace(s) as a debugger shows them")

        mark = len(session.trace.events)
        session.wine("sc", "stop", f["service"])
        i, j = driver_steps.unload(session, name, image, mark, results)
        got = driver_steps.debugger_view(_prints(session, image, "unload", i, j), f["prefix"])
        driver_steps.compare_traces(f"unload with {setting}", got,
                                    [f["prefix"] + line.format(**values) for line in run["unload"]])
        results.ok(f"unload traces of {name} with {setting}", f"{len(got)} trace(s)")
