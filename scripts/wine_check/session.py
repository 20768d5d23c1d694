"""A fresh Wine prefix of one architecture (32-bit Wine and a win32 prefix
for x86, 64-bit Wine and a win64 prefix for x64), its processes, and
waiting on its log.

The first process of the session writes Wine's debug log, and so do the
services it starts (services.exe, and winedevice.exe, which hosts kernel
drivers): they inherit its standard error. Commands run later log nothing of
their own. The wineserver stays up between commands and is stopped with the
processes of this prefix, and no others, when the session ends.
"""
import codecs
import os
import shutil
import subprocess
import time

from winelog import Trace

# relay: kernel calls of our images, and ntoskrnl's DriverEntry, dispatch
# and unload lines; loaddll: where each image is loaded; plugplay: AddDevice;
# debugstr: DbgPrint output; warn+module, err: the loader's complaints.
CHANNELS = "-all,+relay,+loaddll,+plugplay,warn+debugstr,warn+module,err+all"
PERSIST_SECONDS = 60
RUNAWAY_EVENTS = 20000
POLL_BYTES = 1 << 20


class CheckFailure(Exception):
    def __init__(self, message, record=None):
        super().__init__(message)
        self.record = record


class Session:
    def __init__(self, workdir, images, our_images, timeout, loader, winearch):
        """|loader| is the Wine of the architecture (/usr/lib/wine/wine or
        wine64), |winearch| its prefix kind (win32 or win64)."""
        self.workdir = os.path.abspath(workdir)
        self.loader = loader
        self.prefix = os.path.join(self.workdir, "prefix")
        self.log_path = os.path.join(self.workdir, "wine.log")
        self.commands_log = os.path.join(self.workdir, "commands.log")
        self.timeout = timeout
        self.trace = Trace(images)
        self.our_images = our_images
        self._log = None
        self._offset = 0
        # A piece of the log may end inside a character.
        self._decoder = codecs.getincrementaldecoder("utf-8")(errors="replace")
        self.env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY", "WINEDEBUG")}
        self.env.update(WINEPREFIX=self.prefix, WINEARCH=winearch, WINELOADER=loader,
                        # No Mono or Gecko: nothing here needs them, and
                        # their installers would look for a download.
                        WINEDLLOVERRIDES="mscoree,mshtml,winemenubuilder.exe=")

    # -- processes -----------------------------------------------------------
    def _process(self, args, env, stdout, stderr):
        """Every command of the session goes through here: one that passes
        its time limit is stopped and fails the check by name, as does one
        that cannot be started, instead of ending the run in a traceback."""
        try:
            return subprocess.run(args, env=env, stdout=stdout, stderr=stderr, stdin=subprocess.DEVNULL,
                                  timeout=self.timeout)
        except subprocess.TimeoutExpired:
            raise CheckFailure(f"{' '.join(args)} passed its time limit of {self.timeout:g}s and was stopped") from None
        except OSError as e:
            raise CheckFailure(f"{' '.join(args)} could not be started: {e}") from None

    def _run(self, args, debug="-all", stderr=None, check=True):
        env = dict(self.env, WINEDEBUG=debug)
        # What a command says on its standard error goes to the commands' log.
        os.makedirs(self.workdir, exist_ok=True)
        with open(self.commands_log, "ab") as log:
            done = self._process(args, env, subprocess.PIPE, stderr if stderr is not None else log)
        out = done.stdout.decode("utf-8", "replace").replace("\r\n", "\n")
        if check and done.returncode != 0:
            raise CheckFailure(f"{' '.join(args)} failed with exit status {done.returncode}: {out.strip()}")
        return done.returncode, out

    def wine(self, *args, check=True):
        """A Windows program of the prefix (ours or Wine's own: sc, reg)."""
        return self._run([self.loader, *args], check=check)

    def create_prefix(self):
        if os.path.isdir(self.prefix):
            # A run that was interrupted may have left its server behind.
            self._stop_server()
        shutil.rmtree(self.prefix, ignore_errors=True)
        os.makedirs(self.workdir, exist_ok=True)
        self._run([self.loader, "wineboot", "-i"])
        self._run(["wineserver", "-w"])
        # Relay only the calls our images make: the default list names the
        # modules to leave out instead, which would take precedence.
        key = r"HKCU\Software\Wine\Debug"
        self.wine("reg", "delete", key, "/v", "RelayFromExclude", "/f", check=False)
        self.wine("reg", "add", key, "/v", "RelayFromInclude", "/t", "REG_SZ", "/d", ";".join(self.our_images), "/f")
        self._run(["wineserver", "-w"])

    def start(self):
        # Persistent across the short gaps between our commands, when only
        # the services run; gone a minute after an interrupted run.
        self._run(["wineserver", f"-p{PERSIST_SECONDS}"])
        self._log = open(self.log_path, "ab")
        self._offset = self._log.tell()
        env = dict(self.env, WINEDEBUG=CHANNELS)
        # Starting the session's first process brings up services.exe, which
        # keeps this standard error for every driver host it starts.
        done = self._process([self.loader, "cmd", "/c", "exit"], env, subprocess.DEVNULL, self._log)
        if done.returncode != 0:
            raise CheckFailure(f"the session's first process failed with exit status {done.returncode}")

    def prefix_arch(self):
        """What the prefix says it is: "win32" or "win64"."""
        with open(os.path.join(self.prefix, "system.reg"), errors="replace") as f:
            for line in f:
                if line.startswith("#arch="):
                    return line.strip().split("=", 1)[1]
        return "unknown"

    def _stop_server(self):
        """Stops this prefix's processes; a server that will not stop, or
        none to stop, is left to its own persistence limit."""
        try:
            subprocess.run(["wineserver", "-k"], env=self.env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                           stdin=subprocess.DEVNULL, timeout=max(self.timeout, 10))
        except (subprocess.TimeoutExpired, OSError):
            pass

    def stop(self):
        self._stop_server()
        if self._log:
            self._log.close()
            self._log = None

    # -- the log -------------------------------------------------------------
    def poll(self):
        """Reads what the log gained, a bounded piece at a time; False when
        there was nothing new."""
        with open(self.log_path, "rb") as f:
            f.seek(self._offset)
            data = f.read(POLL_BYTES)
        self._offset += len(data)
        self.trace.feed(self._decoder.decode(data))
        return bool(data)

    def wait_for(self, what, match, after=0):
        """The first event from index |after| on that |match| accepts: waits
        until it is in the log. Returns (index, event)."""
        deadline = time.monotonic() + self.timeout
        while True:
            more = self.poll()
            events = self.trace.events
            for i in range(after, len(events)):
                if match(events[i]):
                    return i, events[i]
            if len(events) - after > RUNAWAY_EVENTS:
                # A loop that never ends writes the log as fast as it can:
                # stop before the log fills the disk.
                raise CheckFailure(f"our images wrote more than {RUNAWAY_EVENTS} lines while waiting for {what}: "
                                   f"a loop that does not end" + self.tail(after), events[-1].record)
            if time.monotonic() > deadline:
                raise CheckFailure(f"timed out after {self.timeout}s waiting for {what}"
                                   + self.tail(after))
            if not more:
                time.sleep(0.05)

    def tail(self, after, count=8):
        lines = [e.record.show() for e in self.trace.events[after:]][-count:]
        if not lines:
            return "; no line of our images since the previous step"
        return "; the last lines of our images:\n    " + "\n    ".join(lines)
