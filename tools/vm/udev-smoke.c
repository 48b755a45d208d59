/*
 * Checks what libudev shows of a uhid device in a system without udevd:
 * enumeration of the hidraw subsystem, the "kernel" and "udev" monitor
 * sources, and the HID_ID of the hidraw node's hid parent.
 *
 * Build and run (it needs /dev/uhid, so usually in the test VM):
 *   cc -Wall -Wextra -O2 -o build-vm/udev-smoke tools/vm/udev-smoke.c -ludev
 *   tools/vm/run-in-vm.sh -- build-vm/udev-smoke
 * Exit status: 0 all checks passed, 1 a check failed, 77 no /dev/uhid.
 */
#include <errno.h>
#include <fcntl.h>
#include <libudev.h>
#include <linux/uhid.h>
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

static int failures;

static void check(int ok, const char *what)
{
    printf("%s  %s\n", ok ? "ok  " : "FAIL", what);
    if (!ok)
        failures++;
}

static double now_ms(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000.0 + ts.tv_nsec / 1e6;
}

static int count_hidraw(struct udev *udev, int initialized_only)
{
    struct udev_enumerate *e = udev_enumerate_new(udev);
    udev_enumerate_add_match_subsystem(e, "hidraw");
    if (initialized_only)
        udev_enumerate_add_match_is_initialized(e);
    udev_enumerate_scan_devices(e);
    int n = 0;
    struct udev_list_entry *entry;
    udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(e))
        n++;
    udev_enumerate_unref(e);
    return n;
}

static struct udev_monitor *open_monitor(struct udev *udev, const char *source)
{
    struct udev_monitor *m = udev_monitor_new_from_netlink(udev, source);
    if (!m)
        return NULL;
    udev_monitor_filter_add_match_subsystem_devtype(m, "hidraw", NULL);
    udev_monitor_enable_receiving(m);
    return m;
}

/* Waits up to timeout_ms for a hidraw event with this action; returns it. */
static struct udev_device *wait_event(struct udev_monitor *m, const char *action, int timeout_ms)
{
    double deadline = now_ms() + timeout_ms;
    for (;;) {
        int left = (int)(deadline - now_ms());
        if (left <= 0)
            return NULL;
        struct pollfd p = { udev_monitor_get_fd(m), POLLIN, 0 };
        if (poll(&p, 1, left) <= 0)
            return NULL;
        struct udev_device *d = udev_monitor_receive_device(m);
        if (d && strcmp(udev_device_get_action(d), action) == 0)
            return d;
        if (d)
            udev_device_unref(d);
    }
}

static int uhid_send(int fd, const struct uhid_event *ev)
{
    return write(fd, ev, sizeof *ev) == (ssize_t)sizeof *ev ? 0 : -1;
}

int main(void)
{
    static const unsigned char descriptor[] = {
        0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x15, 0x00, 0x26, 0xFF, 0x00,
        0x75, 0x08, 0x95, 0x40, 0x09, 0x01, 0x81, 0x02,
        0x95, 0x40, 0x09, 0x02, 0x91, 0x02, 0xC0,
    };
    int uhid = open("/dev/uhid", O_RDWR | O_CLOEXEC);
    if (uhid < 0) {
        printf("skipping: cannot open /dev/uhid: %s\n", strerror(errno));
        return 77;
    }

    struct udev *udev = udev_new();
    /* Monitors first, then enumeration: a device arriving in between is seen. */
    struct udev_monitor *kernel_source = open_monitor(udev, "kernel");
    struct udev_monitor *udev_source = open_monitor(udev, "udev");
    check(kernel_source && udev_source, "both monitor sources open");
    if (!kernel_source || !udev_source)
        return 1;
    int before = count_hidraw(udev, 0);

    struct uhid_event ev;
    memset(&ev, 0, sizeof ev);
    ev.type = UHID_CREATE2;
    snprintf((char *)ev.u.create2.name, sizeof ev.u.create2.name, "udev smoke");
    ev.u.create2.rd_size = sizeof descriptor;
    ev.u.create2.bus = 0x03;
    ev.u.create2.vendor = 0x1209;
    ev.u.create2.product = 0x0002;
    memcpy(ev.u.create2.rd_data, descriptor, sizeof descriptor);
    double t0 = now_ms();
    check(uhid_send(uhid, &ev) == 0, "UHID_CREATE2 accepted");

    struct udev_device *added = wait_event(kernel_source, "add", 3000);
    double t_added = now_ms();
    check(added != NULL, "the \"kernel\" source reports the hidraw add");
    if (added) {
        const char *node = udev_device_get_devnode(added);
        printf("      %s %.1f ms after UHID_CREATE2; node exists then: %s\n",
               node ? node : "(no devnode)", t_added - t0,
               node && access(node, F_OK) == 0 ? "yes" : "no");
        struct udev_device *hid = udev_device_get_parent_with_subsystem_devtype(added, "hid", NULL);
        const char *hid_id = hid ? udev_device_get_property_value(hid, "HID_ID") : NULL;
        printf("      hid parent HID_ID=%s, usb parent: %s\n", hid_id ? hid_id : "(none)",
               udev_device_get_parent_with_subsystem_devtype(added, "usb", "usb_device") ? "yes" : "none");
        check(hid_id && strcmp(hid_id, "0003:00001209:00000002") == 0,
              "the hid parent's HID_ID names bus, vendor and product");
    }
    check(count_hidraw(udev, 0) == before + 1, "enumeration finds the new hidraw device");
    printf("      enumeration with match_is_initialized finds %d hidraw devices\n", count_hidraw(udev, 1));

    memset(&ev, 0, sizeof ev);
    ev.type = UHID_DESTROY;
    t0 = now_ms();
    uhid_send(uhid, &ev);
    struct udev_device *removed = wait_event(kernel_source, "remove", 3000);
    check(removed != NULL, "the \"kernel\" source reports the hidraw remove");
    if (removed)
        printf("      remove %.1f ms after UHID_DESTROY\n", now_ms() - t0);

    struct udev_device *from_udevd = wait_event(udev_source, "add", 200);
    printf("      the \"udev\" source %s (it relays only what udevd has processed)\n",
           from_udevd ? "reported the add" : "reported nothing");

    if (added)
        udev_device_unref(added);
    if (removed)
        udev_device_unref(removed);
    if (from_udevd)
        udev_device_unref(from_udevd);
    udev_monitor_unref(kernel_source);
    udev_monitor_unref(udev_source);
    udev_unref(udev);
    close(uhid);
    printf(failures ? "%d checks failed\n" : "all checks passed\n", failures);
    return failures ? 1 : 0;
}
