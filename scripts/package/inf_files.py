"""What a package's INF files name: each architecture's SourceDisksFiles
entries, placed by their disk's path and folder, and the catalogs."""
import os


def sections(path):
    """{section name in lower case: [(key or None, [fields])]}, comments and
    line continuations as SetupAPI reads them (no quoted semicolons here)."""
    found, current, pending = {}, None, ""
    for raw in open(path, encoding="utf-8-sig", errors="replace"):
        line = pending + raw.split(";", 1)[0].strip()
        pending = ""
        if line.endswith("\\"):
            pending = line[:-1]
            continue
        if not line:
            continue
        if line.startswith("["):
            current = found.setdefault(line[1:line.index("]")].strip().lower(), [])
        elif current is not None:
            key, value = (line.split("=", 1) + [None])[:2] if "=" in line else (None, line)
            fields = [f.strip().strip('"') for f in value.split(",")]
            current.append((key.strip() if key is not None else None, fields))
    return found


def architectures(inf_sections):
    """The architectures a package's SourceDisksFiles sections are decorated for."""
    prefix = "sourcedisksfiles."
    return sorted({name[len(prefix):] for name in inf_sections if name.startswith(prefix)})


class InfProblem(Exception):
    pass


def named_files(path, archs):
    """(files, catalogs) of one INF: files maps each architecture to the
    package-relative paths ('amd64/mpsbus.sys') of its SourceDisksFiles
    entries; every file a CopyFiles list copies must be one of them."""
    name = os.path.basename(path)
    inf = sections(path)
    catalogs = [fields[0] for key, fields in inf.get("version", []) if key and key.lower().startswith("catalogfile")]
    copied = set()
    for lines in inf.values():
        for key, fields in lines:
            if key and key.lower() == "copyfiles":
                for item in fields:
                    if item.startswith("@"):
                        copied.add(item[1:].lower())
                    elif item:
                        copied.update(f[0].lower() for k, f in inf.get(item.lower(), []) if k is None)
    files = {}
    for arch in archs:
        disks = {k: f for k, f in inf.get(f"sourcedisksnames.{arch}", inf.get("sourcedisksnames", []))}
        listed = inf.get(f"sourcedisksfiles.{arch}", inf.get("sourcedisksfiles", []))
        placed = {}
        for key, fields in listed:
            disk = disks.get(fields[0])
            if disk is None:
                raise InfProblem(f"{name}: {key} is on disk {fields[0]}, which SourceDisksNames lacks")
            folder = os.path.join(disk[3] if len(disk) > 3 else "", fields[1] if len(fields) > 1 else "")
            placed[key.lower()] = os.path.join(folder.strip("\\").replace("\\", "/"), key)
        for copy in sorted(copied - set(placed)):
            raise InfProblem(f"{name}: CopyFiles names {copy}, which SourceDisksFiles.{arch} does not list")
        files[arch] = sorted(placed.values())
    return files, catalogs
