#!/usr/bin/python3
"""Checks that this kernel's uhid and hidraw behave as the console expects.

Creates a vendor-defined HID device with 64-byte input and output reports
through /dev/uhid, then checks and times:
  - the /dev/hidraw* node that appears after UHID_CREATE2,
  - which uevent netlink source ("kernel" or "udev") announces it,
  - HIDIOCGRAWINFO and the HID_ID of the hid parent,
  - a hidraw write arriving as UHID_OUTPUT, a UHID_INPUT2 arriving on read(),
  - what a reader sees after UHID_DESTROY, and that the node goes away.

Run as root where /dev/uhid exists, for example in the test VM:
    tools/vm/run-in-vm.sh -- python3 tools/vm/uhid-smoke.py
Exit status: 0 all checks passed, 1 a check failed, 77 no /dev/uhid.
"""

import errno
import fcntl
import glob
import os
import select
import socket
import struct
import sys
import time

# <linux/uhid.h>
UHID_DESTROY = 1
UHID_START = 2
UHID_OPEN = 4
UHID_CLOSE = 5
UHID_OUTPUT = 6
UHID_CREATE2 = 11
UHID_INPUT2 = 12
UHID_DATA_MAX = 4096
# struct uhid_event is packed: a u32 type and a union whose largest member is
# struct uhid_create2_req (128 + 64 + 64 + 2 + 2 + 4 * 4 + 4096 bytes).
UHID_EVENT_SIZE = 4 + 128 + 64 + 64 + 2 + 2 + 4 * 4 + UHID_DATA_MAX

BUS_USB = 0x03
VENDOR = 0x1209
PRODUCT = 0x0001

# HIDIOCGRAWINFO = _IOR('H', 0x03, struct hidraw_devinfo), 8 bytes.
HIDIOCGRAWINFO = 0x80084803

NETLINK_KOBJECT_UEVENT = 15
GROUP_KERNEL = 1  # what the kernel broadcasts
GROUP_UDEV = 2    # what udevd re-broadcasts once its rules have run

# Vendor page 0xFF00: one 64-byte input report and one 64-byte output report,
# without report numbers.
REPORT_DESCRIPTOR = bytes([
    0x06, 0x00, 0xFF,  # Usage Page (Vendor 0xFF00)
    0x09, 0x01,        # Usage (1)
    0xA1, 0x01,        # Collection (Application)
    0x15, 0x00,        #   Logical Minimum (0)
    0x26, 0xFF, 0x00,  #   Logical Maximum (255)
    0x75, 0x08,        #   Report Size (8)
    0x95, 0x40,        #   Report Count (64)
    0x09, 0x01,        #   Usage (1)
    0x81, 0x02,        #   Input (Data, Var, Abs)
    0x95, 0x40,        #   Report Count (64)
    0x09, 0x02,        #   Usage (2)
    0x91, 0x02,        #   Output (Data, Var, Abs)
    0xC0,              # End Collection
])

failures = []


def check(ok, what):
    print(("ok    " if ok else "FAIL  ") + what, flush=True)
    if not ok:
        failures.append(what)


def ms(seconds):
    return "%.1f ms" % (seconds * 1000.0)


def uhid_write(fd, event_type, payload):
    event = struct.pack("<I", event_type) + payload
    os.write(fd, event.ljust(UHID_EVENT_SIZE, b"\0"))


def uhid_create2(fd):
    payload = struct.pack(
        "<128s64s64sHHIIII",
        b"run-in-vm uhid smoke", b"uhid-smoke/0", b"",
        len(REPORT_DESCRIPTOR), BUS_USB, VENDOR, PRODUCT, 0x0100, 0)
    uhid_write(fd, UHID_CREATE2, payload + REPORT_DESCRIPTOR)


def uhid_read_until(fd, wanted, timeout):
    """Reads uhid events until one of type `wanted`; returns its raw bytes."""
    deadline = time.monotonic() + timeout
    while True:
        left = deadline - time.monotonic()
        if left <= 0 or not select.select([fd], [], [], left)[0]:
            return None
        event = os.read(fd, UHID_EVENT_SIZE)
        if struct.unpack_from("<I", event)[0] == wanted:
            return event


def uevent_socket(group):
    sock = socket.socket(socket.AF_NETLINK, socket.SOCK_DGRAM, NETLINK_KOBJECT_UEVENT)
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 1 << 20)
    sock.bind((0, group))
    sock.setblocking(False)
    return sock


def drain_uevents(sock):
    """Returns the messages waiting on `sock` as lists of strings."""
    messages = []
    while True:
        try:
            data = sock.recv(65536)
        except BlockingIOError:
            return messages
        messages.append([f.decode(errors="replace") for f in data.split(b"\0") if f])


def wait_for_new_node(before, timeout):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        new = set(glob.glob("/dev/hidraw*")) - before
        if new:
            return sorted(new)[0]
        time.sleep(0.0005)
    return None


def main():
    if not os.path.exists("/dev/uhid"):
        print("skipping: /dev/uhid does not exist (no uhid in this kernel)")
        return 77

    kernel_source = uevent_socket(GROUP_KERNEL)
    udev_source = uevent_socket(GROUP_UDEV)
    before = set(glob.glob("/dev/hidraw*"))

    uhid = os.open("/dev/uhid", os.O_RDWR | os.O_CLOEXEC)
    t0 = time.monotonic()
    uhid_create2(uhid)
    t_written = time.monotonic()
    node = wait_for_new_node(before, 5.0)
    t_node = time.monotonic()
    check(node is not None, "a hidraw node appears after UHID_CREATE2")
    if node is None:
        return 1
    print("      %s after %s (the write itself took %s)" % (node, ms(t_node - t0), ms(t_written - t0)))
    check(uhid_read_until(uhid, UHID_START, 1.0) is not None, "uhid reports UHID_START")

    # The kernel announces the node once it exists.
    time.sleep(0.2)
    kernel_events = drain_uevents(kernel_source)
    name = os.path.basename(node)
    adds = [m for m in kernel_events if m[0].startswith("add@") and m[0].endswith("/hidraw/" + name)]
    check(bool(adds), "the \"kernel\" uevent source announces add of " + name)
    hid_id = ""
    for m in kernel_events:
        for field in m:
            if field.startswith("HID_ID="):
                hid_id = field[len("HID_ID="):]
    want_id = "0003:%08X:%08X" % (VENDOR, PRODUCT)
    check(hid_id == want_id, "the hid parent's HID_ID is %s (got %s)" % (want_id, hid_id or "none"))
    print("      \"kernel\" source: %d messages: %s" % (
        len(kernel_events), ", ".join(m[0].split("@")[0] + " " + m[0].rsplit("/", 1)[-1] for m in kernel_events)))

    hidraw = os.open(node, os.O_RDWR | os.O_CLOEXEC)
    info = fcntl.ioctl(hidraw, HIDIOCGRAWINFO, bytes(8))
    bus, vendor, product = struct.unpack("<Ihh", info)
    check((bus, vendor & 0xFFFF, product & 0xFFFF) == (BUS_USB, VENDOR, PRODUCT),
          "HIDIOCGRAWINFO gives bus %d, %04x:%04x" % (bus, vendor & 0xFFFF, product & 0xFFFF))
    check(uhid_read_until(uhid, UHID_OPEN, 1.0) is not None, "opening the node sends UHID_OPEN")

    # Output: hidraw takes the report number first; uhid passes it on.
    payload = bytes(range(1, 65))
    os.write(hidraw, b"\0" + payload)
    event = uhid_read_until(uhid, UHID_OUTPUT, 1.0)
    check(event is not None, "a 65-byte hidraw write arrives as UHID_OUTPUT")
    if event is not None:
        size = struct.unpack_from("<H", event, 4 + UHID_DATA_MAX)[0]
        data = event[4:4 + size]
        check(size == 65 and data == b"\0" + payload,
              "UHID_OUTPUT holds 65 bytes, the report number 0x00 first (got %d bytes)" % size)

    # Input: 64 bytes in, the same 64 bytes out of read(), no report number.
    report = bytes((0xA0 + i) & 0xFF for i in range(64))
    t_in = time.monotonic()
    uhid_write(uhid, UHID_INPUT2, struct.pack("<H", len(report)) + report)
    ready = select.select([hidraw], [], [], 1.0)[0]
    got = os.read(hidraw, 4096) if ready else b""
    t_got = time.monotonic()
    check(got == report, "UHID_INPUT2 of 64 bytes reads back as those 64 bytes (got %d) in %s"
          % (len(got), ms(t_got - t_in)))

    # Unplug: the open reader sees POLLERR|POLLHUP and read() fails with EIO.
    t_destroy = time.monotonic()
    uhid_write(uhid, UHID_DESTROY, b"")
    poller = select.poll()
    poller.register(hidraw, select.POLLIN)
    revents = poller.poll(1000)
    flags = revents[0][1] if revents else 0
    check(flags & (select.POLLERR | select.POLLHUP) == (select.POLLERR | select.POLLHUP),
          "after UHID_DESTROY poll() reports POLLERR|POLLHUP (revents 0x%x)" % flags)
    try:
        os.read(hidraw, 4096)
        read_error = 0
    except OSError as e:
        read_error = e.errno
    check(read_error == errno.EIO, "after UHID_DESTROY read() fails with EIO (%s)"
          % (errno.errorcode.get(read_error, read_error)))
    deadline = time.monotonic() + 2.0
    while os.path.exists(node) and time.monotonic() < deadline:
        time.sleep(0.0005)
    check(not os.path.exists(node), "%s disappears after UHID_DESTROY (%s)"
          % (node, ms(time.monotonic() - t_destroy)))
    os.close(hidraw)

    time.sleep(0.2)
    removes = [m for m in drain_uevents(kernel_source)
               if m[0].startswith("remove@") and m[0].endswith("/hidraw/" + name)]
    check(bool(removes), "the \"kernel\" uevent source announces remove of " + name)
    udev_events = drain_uevents(udev_source)
    udevd_runs = any(os.path.exists(p) for p in ("/run/udev/control", "/run/udev/queue"))
    print("      \"udev\" source: %d messages (udevd %s)"
          % (len(udev_events), "running" if udevd_runs else "not running"))
    os.close(uhid)

    if failures:
        print("%d checks failed" % len(failures))
        return 1
    print("all checks passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
