"""The INF files, read and resolved by Wine's SetupAPI through mpsinst."""
from session import CheckFailure


def _hex_value(text):
    """The value of the leading hexadecimal digits, as the driver's
    conversion reads them (none gives 0)."""
    digits = ""
    for ch in text:
        if ch not in "0123456789ABCDEF":
            break
        digits += ch
    return int(digits, 16) if digits else 0


def board_id_verdict(hardware_id, accepted):
    """Whether identification accepts a board hardware ID, and under which
    code: ('pci', value), ('pcmcia', value), ('isa', token), or None."""
    upper = hardware_id.upper()
    pci, pcmcia, isa = accepted["pci"], accepted["pcmcia"], accepted["isa"]
    for bus, table, width in (("pci", pci, 3), ("pcmcia", pcmcia, 4)):
        at = upper.find(table["search"])
        if at >= 0:
            code = _hex_value(upper[at + len(table["search"]):][:width])
            return (bus, code) if code in {int(c, 16) for c in table["codes"]} else None
    at = upper.find(isa["search"])
    if at >= 0:
        token = upper[at + len(isa["search"]):]
        return ("isa", token) if token in isa["tokens"] else None
    return None


def expected_board_ids(accepted):
    """Every PCI and ISA ID the driver accepts; PC Card IDs carry the card's
    own strings, so for them only the codes are known."""
    pci = accepted["pci"]
    ids = [f"{pci['search']}{code}{digit:X}" for code in pci["codes"] for digit in range(16)]
    ids += [accepted["isa"]["search"] + token for token in accepted["isa"]["tokens"]]
    return ids


def inf_ids(session, mpsinst, inf):
    _, out = session.wine(mpsinst, "ids", inf)
    return [line.split(" ")[1] for line in out.splitlines() if line.startswith("ids ")]


def resolve(session, mpsinst, inf, ids):
    """The binding SetupAPI picks for each ID: {id: 'service=... upperfilters=...'}."""
    _, out = session.wine(mpsinst, "resolve", inf, *ids)
    answers = {}
    for line in out.splitlines():
        if line.startswith("resolve "):
            parts = line.split(" ")
            answers[parts[1]] = dict(p.split("=", 1) for p in parts[2:] if "=" in p) if parts[2] != "none" else None
    return answers


def check_board_inf(session, mpsinst, inf, exp, results):
    accepted = exp["accepted_board_ids"]
    listed = inf_ids(session, mpsinst, inf)
    for hardware_id in listed:
        if board_id_verdict(hardware_id, accepted) is None:
            raise CheckFailure(f"mpsbus.inf lists {hardware_id}, which the driver refuses")
    listed_upper = {i.upper() for i in listed}
    for hardware_id in expected_board_ids(accepted):
        if hardware_id.upper() not in listed_upper:
            raise CheckFailure(f"mpsbus.inf lacks {hardware_id}, which the driver accepts")
    card_codes = {board_id_verdict(i, accepted)[1] for i in listed if board_id_verdict(i, accepted)[0] == "pcmcia"}
    for code in accepted["pcmcia"]["codes"]:
        if int(code, 16) not in card_codes:
            raise CheckFailure(f"mpsbus.inf lists no PC Card with code {code}, which the driver accepts")
    results.ok("mpsbus.inf lists exactly the board IDs identification accepts",
               f"{len(listed)} IDs (PCI {len(accepted['pci']['codes'])} codes x 16, "
               f"PCMCIA {len(accepted['pcmcia']['codes'])} codes, ISA {len(accepted['isa']['tokens'])} tokens)")
    answers = resolve(session, mpsinst, inf, listed)
    for hardware_id in listed:
        binding = answers.get(hardware_id)
        if binding is None or binding.get("service") != exp["board"]["service"]:
            raise CheckFailure(f"SetupAPI does not bind {hardware_id} to {exp['board']['service']}: {binding}")
    results.ok("SetupAPI binds every one of them to the mpsbus service", f"{len(listed)} IDs resolved")


def check_port_inf(session, mpsinst, inf, exp, results):
    ports = exp["ports"]
    listed = inf_ids(session, mpsinst, inf)
    if sorted(listed) != sorted(ports["hardware_ids"]):
        missing = sorted(set(ports["hardware_ids"]) - set(listed))
        extra = sorted(set(listed) - set(ports["hardware_ids"]))
        raise CheckFailure(f"mpsport.inf lists {listed}; missing {missing}, not a port ID {extra}")
    answers = resolve(session, mpsinst, inf, listed)
    for hardware_id in listed:
        binding = answers.get(hardware_id) or {}
        if binding.get("service") != ports["function_service"] or binding.get("upperfilters") != ports["upper_filter"]:
            raise CheckFailure(f"SetupAPI resolves {hardware_id} to {binding}, expected service="
                               f"{ports['function_service']} upperfilters={ports['upper_filter']}")
    results.ok("mpsport.inf binds the port IDs to Serial with mpsfilt above it",
               ", ".join(listed))


def _service(session, mpsinst, name):
    _, out = session.wine(mpsinst, "service", name)
    line = next(l for l in out.splitlines() if l.startswith("service "))
    return dict(p.split("=", 1) for p in line.split(" ")[2:])


def install_ports(session, mpsinst, inf, exp, results):
    """Installs the port INF on a root device per port ID and reads back
    what SetupAPI wrote to the registry; removes the devices again."""
    ports = exp["ports"]
    for hardware_id in ports["hardware_ids"]:
        session.wine(mpsinst, "install", inf, hardware_id)
        _, out = session.wine(mpsinst, "device", hardware_id)
        line = next(l for l in out.splitlines() if l.startswith("device "))
        fields = dict(p.split("=", 1) for p in line.split(" ")[2:])
        # Wine's SetupAPI writes a .HW section's HKR values to the device's
        # hardware key (Device Parameters), so that is where the filter is.
        if fields["service"] != ports["function_service"] or \
                fields["hardwarekey.upperfilters"] != ports["upper_filter"]:
            raise CheckFailure(f"port device for {hardware_id} has {fields}, expected service="
                               f"{ports['function_service']} and UpperFilters={ports['upper_filter']}")
        session.wine(mpsinst, "remove", hardware_id)
    for name, binary in ((ports["function_service"], ports["function_binary"]),
                         (ports["upper_filter"], ports["filter_binary"])):
        config = _service(session, mpsinst, name)
        if config["type"] != "1" or config["start"] != "3" or config["binary"].lower() != binary.lower():
            raise CheckFailure(f"service {name} is {config}, expected a demand-start kernel driver {binary}")
    results.ok("installed port devices carry Service=Serial and UpperFilters=mpsfilt in the registry",
               f"{len(ports['hardware_ids'])} devices; services Serial and mpsfilt are demand-start kernel drivers")
