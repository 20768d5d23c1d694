"""mpsbus on Wine: a root-enumerated ISA board installed from mpsbus.inf,
started without resources, removed, and its service stopped."""
import driver_steps
from driver_steps import is_event
from ledger import Ledger
from session import CheckFailure


def _status(text):
    return int(text, 16)


def check_board(session, pe, inf, mpsinst, exp, results):
    board = exp["board"]
    name, hardware_id = board["image"], board["hardware_id"]
    mark = len(session.trace.events)

    _, out = session.wine(mpsinst, "install", inf, hardware_id)
    line = next((l for l in out.splitlines() if l.startswith("install ")), "")
    instance = line.split(" ")[1] if line else ""
    if not instance.startswith(board["instance_prefix"]):
        raise CheckFailure(f"mpsinst installed no root-enumerated board: {out.strip()!r}")
    results.ok("SetupAPI installs mpsbus.inf on a root-enumerated board", f"{instance} {hardware_id}")

    i, entry, image = driver_steps.load(session, pe, name, mark, results)

    # Wine's PnP manager calls AddDevice, then sends START at once.
    i, added = session.wait_for(f"AddDevice of {name}", is_event("add_device", image=image), i)
    j, returned = session.wait_for(f"AddDevice of {name} to return", is_event("add_device_ret", image=image), i)
    if returned["status"] != 0:
        raise CheckFailure(f"AddDevice returned {returned['status']:08x}, expected 00000000", returned.record)
    bracket = Ledger().over(session.trace.events[i:j], image)
    if len(bracket.devices) != 1 or bracket.attached != 1:
        raise CheckFailure(f"AddDevice left {len(bracket.devices)} device(s) and {bracket.attached} "
                           f"attachment(s), expected one of each", returned.record)
    results.ok("AddDevice succeeds", "one device created and attached over the root PDO")

    i, start = session.wait_for(f"the START request to {name}",
                                lambda e: e.kind == "dispatch" and e.image is image
                                and e.record.thread == returned.record.thread, j)
    j, done = session.wait_for(f"the START request to {name} to return",
                               is_event("dispatch_ret", image=image, irp=start["irp"], routine=start["routine"]), i)
    want = _status(board["start_status"])
    if done["status"] != want:
        raise CheckFailure(f"START without resources returned {done['status']:08x}, expected {want:08x}",
                           done.record)
    inside = [e for e in session.trace.events[i:j] if e.image is image]
    if any(e.kind == "call" and e["func"] in ("IofCallDriver", "IoCallDriver") for e in inside):
        raise CheckFailure("the failed START was passed down the stack",
                           next(e.record for e in inside if e.kind == "call" and "CallDriver" in e["func"]))
    if not any(e.kind == "call" and e["func"] == "IofCompleteRequest" and e["args"][0] == start["irp"]
               for e in inside):
        raise CheckFailure("the failed START was not completed by mpsbus", done.record)
    leftovers = Ledger().over(inside, image).leftovers()
    if leftovers:
        raise CheckFailure(f"the failed START left something behind: {leftovers[0]}", done.record)
    results.ok("START without resources fails and leaves nothing",
               f"{want:08x}, completed by mpsbus, not passed down, no pool or device left")

    mark = len(session.trace.events)
    _, out = session.wine(mpsinst, "remove", hardware_id)
    i, deleted = session.wait_for(f"{name} to delete its board device",
                                  lambda e: e.kind == "call" and e.image is image and e["func"] == "IoDeleteDevice",
                                  mark)
    j, done = session.wait_for(f"the removal request to {name} to return",
                               lambda e: e.kind == "dispatch_ret" and e.image is image
                               and e.record.thread == deleted.record.thread, i)
    if done["status"] != 0:
        raise CheckFailure(f"the removal returned {done['status']:08x}, expected 00000000", done.record)
    results.ok("removing the board deletes its device", out.strip())

    mark = len(session.trace.events)
    session.wine("sc", "stop", board["service"])
    driver_steps.unload(session, name, image, mark, results)
