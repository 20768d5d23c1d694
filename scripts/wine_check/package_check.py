"""The package: every file its INF files name is in it; and the INF files,
read and resolved by Wine's SetupAPI through mpsinst, for the models of
each architecture."""
import os
import sys

from session import CheckFailure

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "package"))
from inf_files import InfProblem, named_files  # noqa: E402


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


def models_name(decoration):
    """How a report names the models of a decoration ("" is x86's undecorated one)."""
    return decoration or "undecorated x86"


def inf_ids(session, mpsinst, inf, decoration):
    _, out = session.wine(mpsinst, "ids", inf, decoration)
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


def check_board_inf(session, mpsinst, inf, exp, decoration, results):
    """Each decoration's models are exactly the accepted IDs; SetupAPI binds
    those of |decoration|, the one it picks on this architecture."""
    accepted = exp["accepted_board_ids"]
    for models in exp["package"]["decorations"].values():
        listed = inf_ids(session, mpsinst, inf, models)
        for hardware_id in listed:
            if board_id_verdict(hardware_id, accepted) is None:
                raise CheckFailure(f"mpsbus.inf's {models_name(models)} models list {hardware_id}, which the driver refuses")
        listed_upper = {i.upper() for i in listed}
        for hardware_id in expected_board_ids(accepted):
            if hardware_id.upper() not in listed_upper:
                raise CheckFailure(f"mpsbus.inf's {models_name(models)} models lack {hardware_id}, which the driver accepts")
        card_codes = {board_id_verdict(i, accepted)[1] for i in listed
                      if board_id_verdict(i, accepted)[0] == "pcmcia"}
        for code in accepted["pcmcia"]["codes"]:
            if int(code, 16) not in card_codes:
                raise CheckFailure(f"mpsbus.inf's {models_name(models)} models list no PC Card with code {code}, "
                                   f"which the driver accepts")
        results.ok(f"mpsbus.inf's {models_name(models)} models are exactly the board IDs identification accepts",
                   f"{len(listed)} IDs (PCI {len(accepted['pci']['codes'])} codes x 16, "
                   f"PCMCIA {len(accepted['pcmcia']['codes'])} codes, ISA {len(accepted['isa']['tokens'])} tokens)")
    listed = inf_ids(session, mpsinst, inf, decoration)
    answers = resolve(session, mpsinst, inf, listed)
    for hardware_id in listed:
        binding = answers.get(hardware_id)
        if binding is None or binding.get("service") != exp["board"]["service"]:
            raise CheckFailure(f"SetupAPI does not bind {hardware_id} to {exp['board']['service']}: {binding}")
    results.ok(f"SetupAPI binds every {models_name(decoration)} one of them to the mpsbus service", f"{len(listed)} IDs resolved")


def check_port_inf(session, mpsinst, inf, exp, decoration, results):
    ports = exp["ports"]
    for models in exp["package"]["decorations"].values():
        listed = inf_ids(session, mpsinst, inf, models)
        if sorted(listed) != sorted(ports["hardware_ids"]):
            missing = sorted(set(ports["hardware_ids"]) - set(listed))
            extra = sorted(set(listed) - set(ports["hardware_ids"]))
            raise CheckFailure(f"mpsport.inf's {models_name(models)} models list {listed}; missing {missing}, "
                               f"not a port ID {extra}")
    listed = inf_ids(session, mpsinst, inf, decoration)
    answers = resolve(session, mpsinst, inf, listed)
    for hardware_id in listed:
        binding = answers.get(hardware_id) or {}
        if binding.get("service") != ports["function_service"] or binding.get("upperfilters") != ports["upper_filter"]:
            raise CheckFailure(f"SetupAPI resolves {hardware_id} to {binding}, expected service="
                               f"{ports['function_service']} upperfilters={ports['upper_filter']}")
    results.ok(f"mpsport.inf lists the port IDs for {' and '.join(map(models_name, exp['package']['decorations'].values()))}; "
               f"SetupAPI binds the {models_name(decoration)} ones to Serial with mpsfilt above it", ", ".join(listed))


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


# -- the package's files, read from the INF files themselves ----------------
def check_package_files(package_dir, exp, results):
    """Every file the INF files name is where they say: each architecture's
    SourceDisksFiles entries under their disk's path and folder, and every
    file of a CopyFiles list named in each architecture's SourceDisksFiles.
    The catalogs are made and signed on Windows (README.txt), so they are
    named but not looked for."""
    found, catalogs = [], []
    for name in sorted(n for n in os.listdir(package_dir) if n.lower().endswith(".inf")):
        try:
            files, named_catalogs = named_files(os.path.join(package_dir, name), exp["package"]["decorations"])
        except InfProblem as e:
            raise CheckFailure(str(e)) from None
        catalogs += named_catalogs
        for arch, relatives in sorted(files.items()):
            for relative in relatives:
                if not os.path.isfile(os.path.join(package_dir, relative)):
                    raise CheckFailure(f"{name}: SourceDisksFiles.{arch} names {relative}, which the package lacks")
                found.append(relative)
    results.ok("the package holds every file its INF files name",
               f"{', '.join(found)}; catalogs {', '.join(catalogs)} are made on Windows (README.txt)")
