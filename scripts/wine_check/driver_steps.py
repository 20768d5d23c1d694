"""Steps both images go through: loading with DriverEntry, and unloading."""
from ledger import Ledger
from session import CheckFailure

STATUS_SUCCESS = 0


def is_event(kind, image_name=None, image=None, **fields):
    def match(e):
        if e.kind != kind:
            return False
        if image is not None and e.image is not image:
            return False
        if image_name is not None and (e.image is None or e.image.name != image_name):
            return False
        return all(e.fields.get(k) == v for k, v in fields.items())
    return match


def load(session, pe, name, after, results):
    """Waits for the image to load and its DriverEntry to return; checks where
    it was loaded, that every import was found, and DriverEntry's status.
    Returns (index of the DriverEntry return, its event, the image load)."""
    i, loaded = session.wait_for(f"{name} to be loaded", is_event("loaded", image_name=name), after)
    image = loaded.image
    if image.base == image.preferred:
        raise CheckFailure(f"{name} was loaded at its preferred base {image.base:08x}: its relocations "
                           f"were not exercised", loaded.record)
    if not pe.has_relocations:
        raise CheckFailure(f"{name} has no relocations but was loaded at {image.base:08x}", loaded.record)
    # Without a DriverEntry the loader gave up; its complaint is the line.
    end, entry = session.wait_for(f"DriverEntry of {name} to be called", is_event("init", image=image), i)
    complaints = [e for e in session.trace.events[after:end]
                  if e.kind in ("missing_import", "loader_error") and e.image in (None, image)]
    if complaints:
        raise CheckFailure(f"Wine's kernel does not resolve every import of {name}", complaints[0].record)
    if entry["routine"] != image.entry:
        raise CheckFailure(f"DriverEntry called at {entry['routine']:08x}, the image's entry point is "
                           f"{image.entry:08x}", entry.record)
    count = sum(len(names) for names in pe.imports.values())
    results.ok(f"{name} loaded away from its preferred base, every import resolved",
               f"at {image.base:08x} (preferred {image.preferred:08x}); {count} imports from "
               + ", ".join(sorted(pe.imports)))
    j, returned = session.wait_for(f"DriverEntry of {name} to return", is_event("init_ret", image=image), end)
    if returned["status"] != STATUS_SUCCESS:
        raise CheckFailure(f"DriverEntry of {name} returned {returned['status']:08x}, expected 00000000",
                           returned.record)
    results.ok(f"DriverEntry of {name} succeeds", f"service key {entry['key']}")
    return j, entry, image


def unload(session, name, image, after, results):
    """Waits for the unload routine and the image to leave; checks that
    everything the image took from the kernel was given back."""
    i, called = session.wait_for(f"the unload routine of {name}", is_event("unload", image=image), after)
    j, _ = session.wait_for(f"the unload routine of {name} to return", is_event("unload_ret", image=image), i)
    session.wait_for(f"{name} to be unloaded", is_event("unloaded", image=image), j)
    ledger = Ledger().over(session.trace.events, image)
    leftovers = ledger.leftovers()
    if leftovers:
        raise CheckFailure(f"{name} unloaded without giving everything back: {leftovers[0]}")
    allocations = sum(1 for e in session.trace.events
                      if e.image is image and e.kind == "ret" and e["func"].startswith("ExAllocatePool"))
    results.ok(f"{name} unloads with its pool given back", f"{allocations} pool block(s) allocated, all freed")
    return i, j


def debugger_view(prints, prefix):
    """What a kernel debugger shows for a routine's DbgPrint calls: the
    prefix, written by a call of its own, then the message.

    Wine prints each DbgPrint call on a line of its own and ends a text that
    has no newline with one; the prefix alone is such a text."""
    lines = []
    calls = iter(prints)
    for first in calls:
        if first["text"] != prefix + "\n":
            raise CheckFailure(f"a trace that is not preceded by the prefix {prefix!r} written on its own",
                               first.record)
        message = next(calls, None)
        if message is None:
            raise CheckFailure(f"the prefix {prefix!r} with no message after it", first.record)
        lines.append((prefix + message["text"], message.record))
    return lines


def compare_traces(what, got, want):
    for index in range(max(len(got), len(want))):
        have = got[index][0] if index < len(got) else None
        need = want[index] if index < len(want) else None
        if have != need:
            record = got[index][1] if index < len(got) else None
            raise CheckFailure(f"{what}, trace {index + 1}: got {have!r}, expected {need!r}", record)
