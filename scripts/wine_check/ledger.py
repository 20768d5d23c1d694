"""What an image took from the kernel and what it gave back, from the relay
lines of its own calls."""

ALLOCATE = ("ExAllocatePoolWithTag", "ExAllocatePool", "ExAllocatePoolWithQuotaTag")
FREE = ("ExFreePool", "ExFreePoolWithTag")


class Ledger:
    def __init__(self):
        self.blocks = {}  # address -> the "ret" event that obtained it
        self.foreign_frees = []  # frees of blocks this image never obtained
        self.devices = []  # IoCreateDevice successes not yet deleted (events)
        self.attached = 0

    def account(self, event):
        if event.kind == "ret" and event["func"] in ALLOCATE and event["retval"]:
            self.blocks[event["retval"]] = event
        elif event.kind == "call" and event["func"] in FREE:
            if self.blocks.pop(event["args"][0], None) is None:
                self.foreign_frees.append(event)
        elif event.kind == "ret" and event["func"] == "IoCreateDevice" and event["retval"] == 0:
            self.devices.append(event)
        elif event.kind == "call" and event["func"] == "IoDeleteDevice" and self.devices:
            self.devices.pop()
        elif event.kind == "ret" and event["func"] == "IoAttachDeviceToDeviceStack" and event["retval"]:
            self.attached += 1
        elif event.kind == "call" and event["func"] == "IoDetachDevice":
            self.attached -= 1

    def over(self, events, image):
        for event in events:
            if event.image is image:
                self.account(event)
        return self

    def leftovers(self):
        """One line for each thing still held, naming the call that took it."""
        lines = [f"pool block {addr:08x} of {e['args'][1]} bytes still allocated ({e.record.show()})"
                 for addr, e in self.blocks.items()]
        lines += [f"device object still exists ({e.record.show()})" for e in self.devices]
        if self.attached:
            lines.append(f"{self.attached} attachment(s) to a device stack never detached")
        lines += [f"freed a block it never allocated ({e.record.show()})" for e in self.foreign_frees]
        return lines
