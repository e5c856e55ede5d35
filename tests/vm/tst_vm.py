#!/usr/bin/env python3
"""The program on real serial drivers, in a virtual machine: the 8250 driver on an emulated
16550A UART (/dev/ttyS1) and ftdi_sio on an emulated FTDI USB adapter (/dev/ttyUSB0), with this
test at the far end of both lines and QEMU's monitor unplugging and re-plugging the adapter.

    tst_vm.py BUILD_DIR

Exit status 0 when every scenario passed, 1 when one failed, 77 (a skip for ctest) when this
machine cannot run the virtual machine."""

import hashlib
import os
import random
import re
import shutil
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import vmrig  # noqa: E402

UART, USB = "/dev/ttyS1", "/dev/ttyUSB0"
# The 16550A's clock tops out at 115200; the FTDI adapter QEMU emulates takes 3 Mbaud.
TOP_SPEED = {UART: 115200, USB: 3000000}


def every_byte_value(copies, seed):
    data = bytearray()
    rng = random.Random(seed)
    for _ in range(copies):
        values = list(range(256))
        rng.shuffle(values)
        data += bytes(values)
    return bytes(data)


class Scenarios:
    def __init__(self, build_dir, shared):
        self.marlune = os.path.join(build_dir, "src", "app", "marlune")
        self.bench = os.path.join(build_dir, "bench", "marlune_bench")
        self.shared = shared
        self.failures = []
        self.failed = []
        self.steps = []  # (name, guest script, host side)

    def check(self, ok, what):
        if not ok:
            self.failures.append(what)
            print(f"FAIL: {what}", flush=True)
        return ok

    def file(self, name, data):
        with open(os.path.join(self.shared, name), "wb") as f:
            f.write(data)
        return "/rig/" + name

    def read(self, name):
        try:
            with open(os.path.join(self.shared, name), "rb") as f:
                return f.read()
        except FileNotFoundError:
            return None

    def step(self, name, script, host):
        self.steps.append((name, script, host))

    # -- the scenarios ------------------------------------------------------------------------

    def ports(self):
        def host(guest):
            guest.wait_mark("ports listed")
            listing = self.read("ports.txt").decode()
            print(listing, flush=True)
            for device in (UART, USB):
                self.check(device in listing, f"marlune ports lists {device}: {listing!r}")
            usb_line = next((l for l in listing.splitlines() if l.startswith(USB)), "")
            self.check(re.search("ftdi|FTDI|0403", usb_line) is not None,
                       f"marlune ports tells the adapter's driver or maker: {usb_line!r}")
        self.step("ports", f"""
appears {USB}
{self.marlune} ports > /rig/ports.txt 2>&1
mark ports listed
""", host)

    def every_byte_both_ways(self, device, speed):
        data = every_byte_value(64, speed)
        path = self.file(f"every-{speed}.bin", data)
        tag = f"{os.path.basename(device)} {speed}"
        out = f"back-{os.path.basename(device)}-{speed}.bin"

        def host(guest):
            end = guest.uart if device == UART else guest.usb
            end.pace = None
            end.take()
            guest.wait_mark(f"send {tag}")
            end.wait_for(len(data), 120)
            guest.wait_mark(f"sent {tag}")
            got = end.take()
            rc = guest.after_mark(f"sent {tag}")
            self.check(got == data, f"send {tag}: the far end got {len(got)} bytes, "
                                    f"{'equal' if got == data else 'not equal'} to the file")
            self.check(rc[:1] == ["0"], f"send {tag} exit status {rc}")
            guest.wait_mark(f"receiving {tag}")
            end.send(data)
            guest.wait_mark(f"received {tag}")
            rc = guest.after_mark(f"received {tag}")
            stored = self.read(out)
            self.check(stored == data, f"receive {tag}: the file holds "
                                       f"{len(stored or b'')} bytes, not the {len(data)} sent")
            self.check(rc[:1] == ["0"], f"receive {tag} exit status {rc}")
            self.check(hashlib.sha256(data).hexdigest() in "\n".join(rc),
                       f"receive {tag}: the summary gives the SHA-256 of the bytes: {rc}")
        # At the top speed with RTS/CTS: the drivers take it, and QEMU holds CTS up (its
        # socket line has no modem wires), so every byte must still pass.
        flow = "--flow rtscts" if speed == TOP_SPEED[device] else ""
        self.step(f"every byte {tag}", f"""
mark send {tag}
{self.marlune} send {path} --device {device} --baud {speed} {flow} 2>/tmp/err; rc=$?
mark sent {tag}
echo $rc; cat /tmp/err
{self.marlune} receive /rig/{out} --device {device} --baud {speed} {flow} --idle 3 --force 2>/tmp/err &
pid=$!; configured {device} {speed}
mark receiving {tag}
wait $pid; rc=$?
mark received {tag}
echo $rc; cat /tmp/err
""", host)

    def interrupted_send_is_exact(self, device):
        data = every_byte_value(4096, 7)
        path = self.file("slow.bin", data)
        name = os.path.basename(device)

        def host(guest):
            end = guest.uart if device == UART else guest.usb
            end.take()
            # A far end that reads slowly holds the line back: the progress the program prints
            # follows what it has, not what the driver swallowed.
            end.pace = 2000
            guest.wait_mark(f"slow send running {name}")
            far_end = end.count()
            lines = guest.after_mark(f"slow send running {name}")
            shown = [int(m.group(1)) for m in
                     (re.match(r"sent (\d+) of", line) for line in lines) if m]
            self.check(shown and all(count <= far_end + 64 for count in shown),
                       f"the progress shown {shown} never runs ahead of the far end {far_end}")
            # Then it reads as fast as the line goes, and the send is interrupted.
            end.pace = None
            guest.answer(f"fast-{name}")
            guest.wait_mark(f"slow send stopped {name}")
            time.sleep(2)
            got = end.take()
            lines = guest.after_mark(f"slow send stopped {name}")
            text = "\n".join(lines)
            match = re.search(r"after (at most )?(\d+) of (\d+) bytes were sent", text)
            if not self.check(match is not None, f"interrupted send says how far it got: {text}"):
                return
            self.check(match.group(1) is None, f"{name}'s driver tells its queue: exact, {text}")
            self.check(int(match.group(2)) == len(got),
                       f"interrupted send reports {match.group(2)} bytes, far end has {len(got)}")
            self.check(data.startswith(got), "what arrived is the file's beginning")
            self.check(lines[:1] == ["1"], f"interrupted send exit status {lines[:1]}")
        self.step(f"interrupted send {name}", f"""
{self.marlune} send {path} --device {device} --baud 115200 2>/tmp/err &
pid=$!; held {name}
sleep 5
mark slow send running {name}
cat /tmp/err
mark slow send shown {name}
await fast-{name}
sleep 2
kill -INT $pid; wait $pid; rc=$?
mark slow send stopped {name}
echo $rc; cat /tmp/err
""", host)

    def low_latency(self):
        test = os.path.join(os.path.dirname(self.marlune), "..", "..", "tests", "tst_serialport")

        def host(guest):
            for device in (UART, USB):
                name = os.path.basename(device)
                guest.wait_mark(f"latency {name}")
                lines = guest.after_mark(f"latency {name}")
                text = "\n".join(lines)
                print(text, flush=True)
                self.check(lines[:1] == ["0"] and
                           "PASS   : SerialPortTest::lowLatencyOnARealDriverIsPutBack()" in text,
                           f"low latency asked of {name}'s driver and put back: {text}")
        self.step("low latency", f"""
appears {USB}
MARLUNE_REAL_DEVICE={UART} {test} lowLatencyOnARealDriverIsPutBack > /tmp/out 2>&1; rc=$?
mark latency ttyS1
echo $rc; grep -E "PASS|FAIL|QINFO|Loc" /tmp/out
MARLUNE_REAL_DEVICE={USB} {test} lowLatencyOnARealDriverIsPutBack > /tmp/out 2>&1; rc=$?
mark latency ttyUSB0
echo $rc; grep -E "PASS|FAIL|QINFO|Loc" /tmp/out
""", host)

    def unplugged_mid_reception(self):
        data = every_byte_value(400, 11)  # 102,400 bytes

        def host(guest):
            guest.wait_mark("unplug receiving")
            guest.usb.send(data)
            # The bytes have crossed the emulated adapter (a loaded machine runs the guest
            # slowly), then a second passes before the adapter goes.
            target = os.path.join(self.shared, "unplugged.bin")
            deadline = time.monotonic() + 60
            while time.monotonic() < deadline and (
                    not os.path.exists(target) or os.path.getsize(target) < len(data)):
                time.sleep(0.1)
            time.sleep(1)
            guest.unplug()
            guest.wait_mark("unplug received")
            lines = guest.after_mark("unplug received")
            stored = self.read("unplugged.bin")
            self.check(stored == data, f"unplugged mid-reception: the file holds "
                                       f"{len(stored or b'')} of {len(data)} bytes")
            self.check(lines[:1] == ["1"], f"unplugged reception exit status {lines[:1]}")
            messages = [l for l in lines[1:] if l.startswith("marlune:")]
            self.check(len(messages) == 1, f"one message for the unplugged device: {lines[1:]}")
            guest.replug()
            guest.wait_mark("replugged")
            self.check(guest.after_mark("replugged")[:1] == ["yes"],
                       f"{USB} is back after the re-plug: {guest.after_mark('replugged')}")
        self.step("unplug mid-reception", f"""
{self.marlune} receive /rig/unplugged.bin --device {USB} --force 2>/tmp/err &
pid=$!; configured {USB} 9600
mark unplug receiving
wait $pid; rc=$?
mark unplug received
echo $rc; cat /tmp/err
mark unplug reported
appears {USB}
mark replugged
[ -e {USB} ] && echo yes || echo no
""", host)

    def reception_reconnects(self):
        before = every_byte_value(200, 19)  # 51,200 bytes
        after = every_byte_value(120, 23)
        target = os.path.join(self.shared, "reconnect.bin")

        def size():
            return os.path.getsize(target) if os.path.exists(target) else 0

        def wait_size(count):
            deadline = time.monotonic() + 60
            while time.monotonic() < deadline and size() < count:
                time.sleep(0.1)

        def host(guest):
            guest.wait_mark("reconnect receiving")
            guest.usb.send(before)
            wait_size(len(before))
            time.sleep(1)
            guest.unplug()
            time.sleep(2)
            guest.replug()
            guest.answer("reconnect-replugged")
            guest.wait_mark("reconnect back", 180)
            guest.usb.send(after)
            wait_size(len(before) + len(after))
            guest.answer("reconnect-stop")
            guest.wait_mark("reconnect done")
            lines = guest.after_mark("reconnect done")
            text = "\n".join(lines)
            stored = self.read("reconnect.bin") or b""
            self.check(stored == before + after,
                       f"reconnecting reception: the file holds {len(stored)} bytes, "
                       f"{'equal' if stored == before + after else 'not equal'} to the "
                       f"{len(before)} sent before the unplug and {len(after)} after")
            self.check(lines[:1] == ["0"], f"reconnecting reception exit status {lines[:1]}")
            self.check("waiting for the device to come back" in text and "is back after" in text
                       and "with 1 gap of" in text,
                       f"reconnecting reception tells the gap: {text}")
        self.step("reconnect after unplug", f"""
appears {USB}
{self.marlune} receive /rig/reconnect.bin --device {USB} --force --reconnect 2>/tmp/err &
pid=$!; configured {USB} 9600
mark reconnect receiving
await reconnect-replugged
appears {USB}
configured {USB} 9600
sleep 1
mark reconnect back
await reconnect-stop
kill -INT $pid; wait $pid; rc=$?
mark reconnect done
echo $rc; cat /tmp/err
""", host)

    def unplugged_mid_send(self):
        data = every_byte_value(2048, 13)
        path = self.file("unplug-send.bin", data)

        def host(guest):
            guest.usb.take()
            guest.usb.pace = 20000
            guest.wait_mark("unplug sending")
            guest.usb.wait_for(40000, 120)
            guest.unplug()
            guest.wait_mark("unplug sent")
            guest.usb.pace = None
            got = guest.usb.take()
            lines = guest.after_mark("unplug sent")
            text = "\n".join(lines)
            self.check(lines[:1] == ["1"], f"unplugged send exit status {lines[:1]}")
            messages = [l for l in lines[1:] if l.startswith("marlune:")]
            self.check(len(messages) == 1, f"one message for the unplugged send: {lines[1:]}")
            match = re.search(r"after at most (\d+) of", text)
            self.check(match is not None and int(match.group(1)) >= len(got),
                       f"unplugged send: at most its count arrived ({len(got)}): {text}")
            self.check(data.startswith(got), "what arrived before the unplug is the beginning")
            guest.replug()
        self.step("unplug mid-send", f"""
{self.marlune} send {path} --device {USB} --baud 115200 2>/tmp/err &
pid=$!; held ttyUSB0
mark unplug sending
wait $pid; rc=$?
mark unplug sent
echo $rc; cat /tmp/err
mark unplug send reported
appears {USB}
""", host)

    def window_both_ways(self):
        data = every_byte_value(64, 17)
        path = self.file("window.bin", data)

        def host(guest):
            guest.usb.pace = None
            guest.usb.take()
            guest.wait_mark("window send")
            guest.usb.wait_for(len(data), 120)
            guest.wait_mark("window sent")
            got = guest.usb.take()
            self.check(got == data, f"window send: far end got {len(got)} of {len(data)} bytes")
            self.check(guest.after_mark("window sent")[:1] == ["0"],
                       f"window send: {guest.after_mark('window sent')}")
            guest.wait_mark("window receiving")
            guest.usb.send(data)
            guest.wait_mark("window received")
            self.check(self.read("window-back.bin") == data, "window receive: the file holds "
                       "every byte")
            self.check(guest.after_mark("window received")[:1] == ["0"],
                       f"window receive: {guest.after_mark('window received')}")
        self.step("window", f"""
mark window send
{self.bench} --window send {USB} {path} 115200 {len(data)} 2>/tmp/err; rc=$?
mark window sent
echo $rc; cat /tmp/err
{self.bench} --window receive {USB} /rig/window-back.bin 115200 {len(data)} 2>/tmp/err &
pid=$!; configured {USB} 115200
mark window receiving
wait $pid; rc=$?
mark window received
echo $rc; cat /tmp/err
""", host)

    def run(self, image_dir):
        script = "\n".join(f'mark begin {name}\n{body}' for name, body, _ in self.steps)
        # The guest sees the program where the host built it; without it, nothing can pass.
        seen = f'[ -x {self.marlune} ] && [ -x {self.bench} ] && mark program seen || exit 1\n'
        guest = vmrig.Guest(image_dir, self.shared, seen + script + "\nmark all done\n")
        try:
            guest.wait_mark("program seen", 300)
            for name, _, host in self.steps:
                guest.wait_mark(f"begin {name}", 300)
                began = time.monotonic()
                before = len(self.failures)
                try:
                    host(guest)
                except AssertionError as e:
                    self.check(False, f"{name}: {e}")
                    self.failed.append(name)
                    break
                if len(self.failures) > before:
                    self.failed.append(name)
                print(f"{name}: {'FAIL' if name in self.failed else 'PASS'} "
                      f"in {time.monotonic() - began:.1f} s", flush=True)
            else:
                guest.wait_mark("all done", 300)
        finally:
            seconds = guest.finish(120)
            with open(os.path.join(self.shared, "console.log"), "w") as f:
                f.write(guest.console())
        print(f"guest ran {seconds:.0f} s", flush=True)


def main():
    if len(sys.argv) != 2:
        print(__doc__, file=sys.stderr)
        return 2
    build_dir = os.path.abspath(sys.argv[1])
    missing = vmrig.tools_missing()
    if missing:
        print(f"SKIP: the virtual machine rig needs {', '.join(missing)} "
              "(scripts/install-deps.sh installs them)", flush=True)
        return 77
    image_dir = vmrig.build_image(os.path.join(build_dir, "vm"))
    shared = tempfile.mkdtemp(prefix="marlune-vm-")
    try:
        scenarios = Scenarios(build_dir, shared)
        scenarios.ports()
        for device in (UART, USB):
            for speed in sorted({115200, TOP_SPEED[device]}):
                scenarios.every_byte_both_ways(device, speed)
        # On the UART only: QEMU's emulated FTDI adapter takes a large send at once whether or
        # not its far end reads, so it cannot be held back as a real adapter would be.
        scenarios.interrupted_send_is_exact(UART)
        scenarios.low_latency()
        scenarios.unplugged_mid_reception()
        scenarios.reception_reconnects()
        scenarios.unplugged_mid_send()
        scenarios.window_both_ways()
        scenarios.run(image_dir)
        failed = len(scenarios.failed)
        print(f"{len(scenarios.steps) - failed} passed, {failed} failed", flush=True)
        if scenarios.failures:
            print(open(os.path.join(shared, "console.log")).read()[-6000:], flush=True)
        return 1 if scenarios.failures else 0
    finally:
        shutil.rmtree(shared, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
