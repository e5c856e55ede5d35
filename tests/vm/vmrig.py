"""A small virtual machine with real serial drivers, for tests: QEMU's emulated 16550A UART
(ttyS1, the guest's 8250 driver) and its emulated FTDI USB adapter (ttyUSB0, ftdi_sio), each wired
to a Unix socket where the test plays the far end. The guest runs the host's own root file system
read-only under a writable layer, so the program built on the host runs there unchanged.

The guest runs one shell script, written by the test, from a folder shared with the host (/rig in
the guest). The script tells the host where it is with lines "@@ WORDS" on its console; the host
answers with a word typed on the console."""

import os
import socket
import subprocess
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(os.path.dirname(HERE))

GUEST_HELPERS = r"""
mark() { echo "@@ $*"; }
# Waits for the host's answer, a word typed on the console.
await() { while read -r word; do [ "$word" = "$1" ] && break; done; }
# Waits until the program holds the device (its lock file is there).
held() { n=0; while [ ! -e "/run/lock/LCK..$1" ] && [ $n -lt 600 ]; do sleep 0.05; n=$((n+1)); done; }
# Waits until the program has set the device up: raw, at the speed given (the lock comes before).
configured() { held "$(basename "$1")"; n=0
    until stty -F "$1" 2>/dev/null | grep -q "speed $2 baud" && stty -F "$1" | grep -q -- -icanon
    do [ $n -lt 600 ] || break; sleep 0.05; n=$((n+1)); done; }
# Waits for a device node to appear, up to 60 s.
appears() { n=0; while [ ! -e "$1" ] && [ $n -lt 600 ]; do sleep 0.1; n=$((n+1)); done; }
export HOME=/root XDG_CONFIG_HOME=/tmp/config QT_QPA_PLATFORM=offscreen
mkdir -p /tmp/config
"""


def tools_missing():
    """What the rig needs and this machine lacks: empty when it can run."""
    missing = []
    for tool in ("qemu-system-x86_64", "busybox", "cpio", "apt-get", "dpkg-deb"):
        if not any(os.access(os.path.join(d, tool), os.X_OK)
                   for d in os.environ.get("PATH", "/usr/bin:/bin").split(":")):
            missing.append(tool)
    return missing


class FarEnd:
    """The host's end of one line: everything the guest sends is collected, at the pace asked
    for (None: as fast as it comes; 0: not read at all)."""

    def __init__(self, path):
        self.path = path
        self.sock = None
        self.received = bytearray()
        self.pace = None
        self.lock = threading.Lock()
        self.closed = False
        self.thread = None

    def connect(self, timeout=30):
        deadline = time.monotonic() + timeout
        while True:
            try:
                self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
                self.sock.connect(self.path)
                break
            except OSError:
                self.sock.close()
                if time.monotonic() > deadline:
                    raise
                time.sleep(0.05)
        self.thread = threading.Thread(target=self._read, daemon=True)
        self.thread.start()

    def _read(self):
        self.sock.settimeout(0.05)
        started = time.monotonic()
        taken_at_start = 0
        last_pace = self.pace
        while not self.closed:
            pace = self.pace
            if pace != last_pace:
                started, taken_at_start, last_pace = time.monotonic(), len(self.received), pace
            if pace == 0:
                time.sleep(0.02)
                continue
            want = 65536
            if pace is not None:
                due = taken_at_start + int((time.monotonic() - started) * pace)
                want = min(want, due - len(self.received))
                if want <= 0:
                    time.sleep(0.01)
                    continue
            try:
                chunk = self.sock.recv(want)
            except socket.timeout:
                continue
            except OSError:
                break
            if not chunk:
                break
            with self.lock:
                self.received += chunk

    def count(self):
        with self.lock:
            return len(self.received)

    def take(self):
        with self.lock:
            data = bytes(self.received)
            self.received.clear()
            return data

    def wait_for(self, count, timeout):
        deadline = time.monotonic() + timeout
        while self.count() < count and time.monotonic() < deadline:
            time.sleep(0.02)
        return self.count() >= count

    def send(self, data):
        self.sock.sendall(data)

    def close(self):
        self.closed = True
        if self.sock:
            self.sock.close()


class Guest:
    """One boot of the virtual machine running `script`; `shared` is the folder seen as /rig."""

    def __init__(self, image_dir, shared, script, memory_mb=1024):
        self.shared = shared
        self.lines = []
        self.cond = threading.Condition()
        with open(os.path.join(shared, "guest.sh"), "w") as f:
            f.write(GUEST_HELPERS + script)
        for name in ("uart.sock", "usb.sock", "monitor.sock"):
            try:
                os.unlink(os.path.join(shared, name))
            except FileNotFoundError:
                pass
        self.uart = FarEnd(os.path.join(shared, "uart.sock"))
        self.usb = FarEnd(os.path.join(shared, "usb.sock"))
        command = [
            "qemu-system-x86_64", "-accel", "tcg", "-m", str(memory_mb), "-smp", "1",
            "-display", "none", "-no-reboot", "-nic", "none",
            "-kernel", os.path.join(image_dir, "vmlinuz"),
            "-initrd", os.path.join(image_dir, "initramfs.cpio.gz"),
            "-append", "console=ttyS0 quiet panic=-1",
            "-virtfs", "local,path=/,mount_tag=hostroot,security_model=none,readonly=on,"
                       "multidevs=remap",
            "-virtfs", f"local,path={shared},mount_tag=rig,security_model=none,multidevs=remap",
            "-serial", "mon:stdio",
            "-chardev", f"socket,id=s1,path={self.uart.path},server=on,wait=off",
            "-serial", "chardev:s1",
            "-device", "qemu-xhci",
            "-chardev", f"socket,id=u1,path={self.usb.path},server=on,wait=off",
            "-device", "usb-serial,chardev=u1,id=ftdi1",
            "-monitor", f"unix:{os.path.join(shared, 'monitor.sock')},server,nowait",
        ]
        self.started = time.monotonic()
        self.process = subprocess.Popen(command, stdin=subprocess.PIPE,
                                        stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        self.reader = threading.Thread(target=self._console, daemon=True)
        self.reader.start()
        self.uart.connect()
        self.usb.connect()

    def _console(self):
        for raw in self.process.stdout:
            line = raw.decode("utf-8", "replace").rstrip("\r\n")
            with self.cond:
                self.lines.append(line)
                self.cond.notify_all()
        with self.cond:
            self.lines.append(None)
            self.cond.notify_all()

    def console(self):
        with self.cond:
            return "\n".join(l for l in self.lines if l is not None)

    def wait_mark(self, words, timeout=120):
        """Waits for the line "@@ words" and returns what follows it up to the next mark."""
        deadline = time.monotonic() + timeout
        wanted = "@@ " + words
        with self.cond:
            while True:
                if wanted in self.lines:
                    return
                if None in self.lines:
                    raise AssertionError(f"the guest ended before {wanted!r}:\n" + self.console())
                left = deadline - time.monotonic()
                if left <= 0:
                    raise AssertionError(f"no {wanted!r} within {timeout} s:\n" + self.console())
                self.cond.wait(left)

    def after_mark(self, words, timeout=120):
        """The console lines after "@@ words", up to the next mark (waited for)."""
        deadline = time.monotonic() + timeout
        wanted = "@@ " + words
        with self.cond:
            while True:
                lines = [l for l in self.lines if l is not None]
                start = lines.index(wanted) + 1 if wanted in lines else len(lines) + 1
                rest = lines[start:]
                end = next((i for i, l in enumerate(rest) if l.startswith("@@ ")), None)
                if end is not None:
                    return rest[:end]
                if None in self.lines or time.monotonic() > deadline:
                    return rest
                self.cond.wait(max(0.01, deadline - time.monotonic()))

    def answer(self, word):
        self.process.stdin.write(word.encode() + b"\n")
        self.process.stdin.flush()

    def unplug(self):
        return self.monitor("device_del ftdi1")

    def replug(self, timeout=60):
        """Plugs the adapter in again once QEMU has let go of the old one."""
        deadline = time.monotonic() + timeout
        while True:
            reply = self.monitor("device_add usb-serial,chardev=u1,id=ftdi1")
            if "Duplicate" not in reply and "in use" not in reply:
                return reply
            if time.monotonic() > deadline:
                raise AssertionError("QEMU did not take the adapter back: " + reply)
            time.sleep(0.5)

    def monitor(self, command):
        with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as s:
            s.connect(os.path.join(self.shared, "monitor.sock"))
            s.settimeout(10)
            s.sendall(command.encode() + b"\n")
            # The monitor greets, echoes the command and answers; its prompt ends the answer.
            reply = b""
            deadline = time.monotonic() + 10
            while reply.count(b"(qemu)") < 2 and time.monotonic() < deadline:
                try:
                    chunk = s.recv(65536)
                except socket.timeout:
                    break
                if not chunk:
                    break
                reply += chunk
            return reply.decode("utf-8", "replace")

    def finish(self, timeout=600):
        try:
            self.process.wait(timeout)
        finally:
            if self.process.poll() is None:
                self.process.kill()
                self.process.wait()
            self.uart.close()
            self.usb.close()
        return time.monotonic() - self.started


def build_image(out_dir):
    subprocess.run(["bash", os.path.join(REPO, "scripts", "vm", "build-rig.sh"), out_dir],
                   check=True, stdout=subprocess.DEVNULL)
    return out_dir
