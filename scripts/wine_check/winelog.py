"""Reading Wine's debug log: only the lines that belong to our images.

Wine writes one log for every process of the prefix. Each line starts with
the writing thread's id ("011c:"); a message that spans several lines (a
DbgPrint text with an embedded newline) continues on lines without it. This
module groups the lines into records and turns the records that concern our
images into events:

- the loader's "Loaded ... at BASE: native" and "Unloaded module" lines for
  our image files, and its complaints naming them;
- ntoskrnl's relay lines around DriverEntry, dispatch routines and unload
  ("Call driver init ADDR" ... "Ret  driver init ADDR ... retval=STATUS"),
  and the PnP manager's AddDevice lines, when the routine lies in our image;
- relay lines of the kernel calls our image makes ("Call ntoskrnl.exe.F(...)
  ret=ADDR" with ADDR inside our image);
- DbgPrint output (the debugstr channel) written while our image's routine is
  the innermost one running on that thread.

Everything else in the log is ignored.
"""
import re
from dataclasses import dataclass, field

THREAD = re.compile(r"^([0-9a-f]{4}):(.*)$", re.S)

LOADED = re.compile(r'^trace:loaddll:\w+ Loaded L"(?P<path>.*)" at (?P<base>[0-9A-Fa-f]+): native$')
UNLOADED = re.compile(r'^trace:loaddll:\w+ Unloaded module L"(?P<path>.*)" : native$')
NO_IMPORT = re.compile(r'^(?:warn|err):module:\w+ No implementation for (?P<what>\S+) imported from L"(?P<path>.*?)"')
LOADER_ERROR = re.compile(r"^err:module:")
DRIVER_CALL = re.compile(
    r"^(?P<dir>Call|Ret ) driver (?P<what>init|dispatch|unload) (?P<routine>[0-9A-F]+) \((?P<args>.*)\)"
    r"(?: retval=(?P<status>[0-9a-f]+))?$", re.S)
ADD_DEVICE_CALL = re.compile(r"^trace:plugplay:\w+ Calling AddDevice routine (?P<routine>[0-9A-F]+)\.$")
ADD_DEVICE_RET = re.compile(r"^trace:plugplay:\w+ AddDevice routine (?P<routine>[0-9A-F]+) returned (?P<status>\w+)\.$")
# Relay values are at least eight digits: 64-bit Wine prints wider ones whole.
RELAY_CALL = re.compile(r"^Call (?P<dll>[\w.]+?)\.(?P<func>\w+)\((?P<args>.*)\) ret=(?P<caller>[0-9a-f]{8,16})$", re.S)
RELAY_RET = re.compile(
    r"^Ret  (?P<dll>[\w.]+?)\.(?P<func>\w+)\(\) retval=(?P<retval>[0-9a-f]{8,16}) ret=(?P<caller>[0-9a-f]{8,16})$")
DEBUG_PRINT = re.compile(r"^warn:debugstr:\w+ [0-9a-f]{8}:[0-9a-f]{8}: (?P<text>.*)$", re.S)


@dataclass
class Record:
    thread: str
    text: str
    line: int  # 1-based line number of the record's first line in the log

    def show(self):
        return f"wine.log:{self.line}: {self.thread}:{self.text}"


@dataclass
class ImageLoad:
    name: str  # file name, lower case
    base: int
    size: int
    preferred: int
    entry: int

    def __contains__(self, address):
        return self.base <= address < self.base + self.size


@dataclass
class Event:
    kind: str
    image: ImageLoad
    record: Record
    fields: dict = field(default_factory=dict)

    def __getitem__(self, key):
        return self.fields[key]


def parse_args(text):
    """Relay arguments, split at top-level commas (strings may hold commas);
    each becomes its leading hex number, or None."""
    parts, current, quoted = [], "", False
    for ch in text:
        if ch == '"' and not current.endswith("\\"):
            quoted = not quoted
        if ch == "," and not quoted:
            parts.append(current)
            current = ""
            continue
        current += ch
    if current:
        parts.append(current)
    values = []
    for part in parts:
        m = re.match(r"([0-9a-fA-F]{8,16})", part.strip())
        values.append(int(m.group(1), 16) if m else None)
    return values


def status_value(text):
    """An NTSTATUS as Wine prints it: "c0000002", "0xc0000001" or "0"."""
    return int(text, 16)


class Trace:
    """Grows as log text arrives; keeps the events of our images in order."""

    def __init__(self, images):
        self.images = {name.lower(): info for name, info in images.items()}  # name -> PeImage
        self.current = {}  # name -> ImageLoad of the image now loaded
        self.events = []
        self._partial = ""
        self._pending = None  # last record: a continuation line may still follow
        self._line = 0
        self._brackets = {}  # thread -> stack of (kind, routine, ours ImageLoad or None)
        self._relay = {}  # thread -> stack of (func, args, record) for our image's pending calls

    # -- feeding -------------------------------------------------------------
    def feed(self, text):
        text = self._partial + text
        lines = text.split("\n")
        self._partial = lines.pop()
        for line in lines:
            self._line += 1
            m = THREAD.match(line)
            if m:
                self._flush()
                self._pending = Record(m.group(1), m.group(2), self._line)
            elif self._pending is not None:
                self._pending.text += "\n" + line

    def _flush(self):
        if self._pending is not None:
            record, self._pending = self._pending, None
            self._interpret(record)

    # -- attribution ---------------------------------------------------------
    def image_at(self, address):
        for load in self.current.values():
            if address in load:
                return load
        return None

    def _image_named(self, path):
        name = path.replace("\\\\", "\\").rsplit("\\", 1)[-1].lower()
        return name if name in self.images else None

    def _emit(self, kind, image, record, **fields):
        self.events.append(Event(kind, image, record, fields))

    def _interpret(self, r):
        t = r.text
        m = LOADED.match(t)
        if m:
            name = self._image_named(m["path"])
            if name:
                pe = self.images[name]
                base = int(m["base"], 16)
                load = ImageLoad(name, base, pe.size, pe.preferred_base, base + pe.entry_rva)
                self.current[name] = load
                self._emit("loaded", load, r, path=m["path"])
            return
        m = UNLOADED.match(t)
        if m:
            name = self._image_named(m["path"])
            if name and name in self.current:
                self._emit("unloaded", self.current.pop(name), r)
            return
        m = NO_IMPORT.match(t)
        if m:
            name = self._image_named(m["path"])
            if name:
                self._emit("missing_import", self.current.get(name), r, what=m["what"])
            return
        if LOADER_ERROR.match(t):
            for name in self.images:
                if name in t.lower():
                    self._emit("loader_error", self.current.get(name), r)
            return
        m = DRIVER_CALL.match(t)
        if m:
            self._bracket(r, m["what"], int(m["routine"], 16), m["dir"] == "Call", m["status"], m["args"])
            return
        m = ADD_DEVICE_CALL.match(t)
        if m:
            self._bracket(r, "add_device", int(m["routine"], 16), True, None, "")
            return
        m = ADD_DEVICE_RET.match(t)
        if m:
            self._bracket(r, "add_device", int(m["routine"], 16), False, m["status"], "")
            return
        m = RELAY_CALL.match(t)
        if m:
            image = self.image_at(int(m["caller"], 16))
            if image:
                args = parse_args(m["args"])
                self._relay.setdefault(r.thread, []).append((m["func"], args, r))
                self._emit("call", image, r, func=m["func"], args=args)
            return
        m = RELAY_RET.match(t)
        if m:
            image = self.image_at(int(m["caller"], 16))
            if image:
                args = self._pop_relay(r.thread, m["func"])
                self._emit("ret", image, r, func=m["func"], args=args, retval=int(m["retval"], 16))
            return
        m = DEBUG_PRINT.match(t)
        if m:
            stack = self._brackets.get(r.thread)
            if stack and stack[-1][2] is not None:
                # One record per DbgPrint call; the record's last line ends
                # where the printed text ended.
                self._emit("print", stack[-1][2], r, text=m["text"] + "\n", within=stack[-1][0])

    def _pop_relay(self, thread, func):
        stack = self._relay.get(thread, [])
        for i in range(len(stack) - 1, -1, -1):
            if stack[i][0] == func:
                return stack.pop(i)[1]
        return []

    def _bracket(self, r, kind, routine, entering, status, args):
        stack = self._brackets.setdefault(r.thread, [])
        image = self.image_at(routine)
        if entering:
            stack.append((kind, routine, image))
        else:
            for i in range(len(stack) - 1, -1, -1):
                if stack[i][0] == kind and stack[i][1] == routine:
                    del stack[i:]
                    break
        if image is None:
            return
        fields = {"routine": routine}
        if kind == "dispatch":
            device, irp = re.match(r"device=([0-9A-F]+),irp=([0-9A-F]+)", args).groups()
            fields.update(device=int(device, 16), irp=int(irp, 16))
        if kind == "init":
            key = re.search(r'str=L"(.*)"$', args, re.S)
            fields["key"] = key.group(1).replace("\\\\", "\\") if key else None
        if status is not None:
            fields["status"] = status_value(status)
        self._emit(kind if entering else kind + "_ret", image, r, **fields)
