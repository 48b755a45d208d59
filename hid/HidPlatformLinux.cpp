// The HID platform of Linux: hidraw nodes found and watched through libudev.
//
// Every ioctl, every libudev call and every file descriptor of the link lives
// in this file. What it needs of the kernel and of udev:
// - enumeration scans sysfs (subsystem "hidraw") and needs no udev daemon;
// - the vendor and product ID come from the parent "hid" device's HID_ID
//   property, which every HID device has, whether it hangs off a real USB
//   device or was created through uhid (which has no USB parent and so no
//   idVendor attribute);
// - the hotplug watch is a udev monitor read on a thread of its own, whose
//   events reach the GUI thread through IGuiEventLoop::Post.

#include "EventLoop.h"
#include "HidDescriptor.h"
#include "FileDescriptor.h"
#include "HidPlatform.h"
#include "HotplugDelivery.h"
#include "Timing.h"

#include <libudev.h>
#include <linux/hidraw.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <optional>
#include <string_view>
#include <thread>
#include <utility>

namespace {

// ---------------------------------------------------------------------------
// Owners of file descriptors and udev objects


struct TUdevUnref {
    void operator()(udev* p) const { udev_unref(p); }
    void operator()(udev_enumerate* p) const { udev_enumerate_unref(p); }
    void operator()(udev_device* p) const { udev_device_unref(p); }
    void operator()(udev_monitor* p) const { udev_monitor_unref(p); }
};

using TUdev = std::unique_ptr<udev, TUdevUnref>;
using TUdevEnumerate = std::unique_ptr<udev_enumerate, TUdevUnref>;
using TUdevDevice = std::unique_ptr<udev_device, TUdevUnref>;
using TUdevMonitor = std::unique_ptr<udev_monitor, TUdevUnref>;

// ---------------------------------------------------------------------------
// Device identity

// Parses the "hid" device's HID_ID, "BBBB:VVVVVVVV:PPPPPPPP" in hex (bus,
// vendor, product; the kernel prints the 16-bit IDs in 8 digits).
bool ParseHidId(const char* text, std::uint16_t& vendorId, std::uint16_t& productId)
{
    if (text == nullptr)
        return false;
    unsigned long fields[3] = {};
    const char* p = text;
    for (int i = 0; i < 3; ++i) {
        char* end = nullptr;
        errno = 0;
        fields[i] = std::strtoul(p, &end, 16);
        if (end == p || errno != 0 || (i < 2 && *end != ':') || (i == 2 && *end != '\0'))
            return false;
        p = end + 1;
    }
    if (fields[1] > 0xFFFF || fields[2] > 0xFFFF)
        return false;
    vendorId = static_cast<std::uint16_t>(fields[1]);
    productId = static_cast<std::uint16_t>(fields[2]);
    return true;
}

// Path and, where the parent "hid" device can still be read, the IDs of a
// hidraw device. Nothing for a device without a node.
std::optional<THidInterfaceInfo> InterfaceOf(udev_device* hidraw)
{
    const char* node = udev_device_get_devnode(hidraw);
    if (node == nullptr)
        return std::nullopt;

    THidInterfaceInfo info;
    info.Path = node;
    // The parent belongs to the child: not unreferenced here. On a removal the
    // parent's sysfs directory may already be gone; the IDs stay unknown then.
    udev_device* hid = udev_device_get_parent_with_subsystem_devtype(hidraw, "hid", nullptr);
    if (hid != nullptr) {
        info.IdsKnown = ParseHidId(udev_device_get_property_value(hid, "HID_ID"), info.VendorId,
                                   info.ProductId);
    }
    return info;
}

// The number of "/dev/hidrawN", so that hidraw10 sorts after hidraw9.
std::optional<unsigned long> NodeNumber(std::string_view path)
{
    const std::size_t slash = path.rfind('/');
    std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
    constexpr std::string_view prefix = "hidraw";
    if (!name.starts_with(prefix) || name.size() == prefix.size())
        return std::nullopt;
    unsigned long number = 0;
    for (const char c : name.substr(prefix.size())) {
        if (c < '0' || c > '9' || number > 100000000)
            return std::nullopt;
        number = number * 10 + static_cast<unsigned long>(c - '0');
    }
    return number;
}

bool EnumerationOrder(const THidInterfaceInfo& a, const THidInterfaceInfo& b)
{
    const auto na = NodeNumber(a.Path);
    const auto nb = NodeNumber(b.Path);
    if (na && nb && *na != *nb)
        return *na < *nb;
    if (na.has_value() != nb.has_value())
        return na.has_value();
    return a.Path < b.Path;
}

// ---------------------------------------------------------------------------
// An open hidraw node

class THidrawHandle : public IHidHandle {
public:
    explicit THidrawHandle(TFileDescriptor fd) : FFd(std::move(fd))
    {
        // Whether reads carry a report-ID byte depends on the descriptor, so
        // learn it now. A node whose descriptor cannot be read also fails
        // GetReportLengths, and the link never reads from it.
        THidReportInfo info;
        if (ReadDescriptor(info))
            FNumberedReports = info.NumberedReports;
    }

    bool GetAttributes(std::uint16_t& vendorId, std::uint16_t& productId) override
    {
        hidraw_devinfo devinfo{};
        if (::ioctl(FFd.Get(), HIDIOCGRAWINFO, &devinfo) < 0)
            return false;
        // The kernel declares vendor and product as signed 16-bit fields.
        vendorId = static_cast<std::uint16_t>(devinfo.vendor);
        productId = static_cast<std::uint16_t>(devinfo.product);
        return true;
    }

    bool GetReportLengths(int& inputLength, int& outputLength) override
    {
        THidReportInfo info;
        if (!ReadDescriptor(info))
            return false;
        FNumberedReports = info.NumberedReports;
        inputLength = info.InputLength;
        outputLength = info.OutputLength;
        return true;
    }

    bool GetReportDescriptor(std::vector<std::uint8_t>& descriptor) override
    {
        hidraw_report_descriptor raw{};
        if (!ReadRawDescriptor(raw))
            return false;
        descriptor.assign(raw.value, raw.value + raw.size);
        return true;
    }

    long Write(const std::uint8_t* data, std::size_t length) override
    {
        if (data == nullptr || length == 0)
            return -1;
        // The remote takes one report per interval on its interrupt OUT
        // endpoint, and for a USB device hidraw's write() returns only once
        // the device has taken the report: the device paces the host. A
        // device made through uhid has no such pace: the kernel queues the
        // reports for its program and drops those beyond 32 queued while
        // write() still succeeds. So the host keeps the pace itself: one
        // report per interval on average, each due an interval after the
        // previous one was due. A sleep that overslept is made up for by
        // letting the next few go at once, never more than CatchUp behind:
        // a burst stays far below the 32. A USB remote's write() has taken
        // its interval already and waits no more.
        using Clock = std::chrono::steady_clock;
        constexpr int CatchUp = 4;  // intervals
        const Clock::duration interval = Timing().ReportInterval;
        if (FNextWrite)
            std::this_thread::sleep_until(*FNextWrite);
        // hidraw takes the report number as the first byte, 0 for a device
        // without numbered reports, and sends the report whole or not at all.
        for (;;) {
            const ssize_t written = ::write(FFd.Get(), data, length);
            if (written >= 0) {
                const Clock::time_point floor = Clock::now() - CatchUp * interval;
                FNextWrite = (FNextWrite && *FNextWrite > floor ? *FNextWrite : floor) + interval;
                return static_cast<long>(written);
            }
            if (errno != EINTR)
                return -1;
        }
    }

    THidReadStatus Read(std::uint8_t* buffer, std::size_t length,
                        std::chrono::milliseconds wait) override
    {
        using Clock = std::chrono::steady_clock;
        if (buffer == nullptr || length == 0)
            return THidReadStatus::Error;
        const Clock::time_point deadline = Clock::now() + wait;

        for (;;) {
            // Rounded up, so that the last poll() does not return just short of
            // the deadline and leave a run of 0 ms polls behind it.
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
            const int timeout = static_cast<int>(
                std::clamp<std::int64_t>(left.count(), 0, std::numeric_limits<int>::max()));
            pollfd pfd{FFd.Get(), POLLIN, 0};
            const int ready = ::poll(&pfd, 1, timeout);
            if (ready < 0) {
                if (errno == EINTR)
                    continue;  // a signal: wait out the rest of the time
                // Fails at once: the reader pauses after every failed read, so
                // a node that stays "ready with an error" cannot make it spin.
                return THidReadStatus::Error;
            }
            if (ready == 0)
                return THidReadStatus::Timeout;

            // After the device has gone, poll() reports POLLERR|POLLHUP, but the
            // reports queued before that can still be read: take them first
            // (the last reply may be among them), fail once the queue is empty.
            // The hang-up is taken from poll() rather than left to read(),
            // which has not failed on a vanished device on every kernel.
            if ((pfd.revents & POLLIN) == 0)
                return THidReadStatus::Error;

            // Without numbered reports hidraw's read() returns the payload
            // alone, without the report-ID byte that the link expects first:
            // put a 0 there and read behind it. With numbered reports the
            // number comes first from the kernel. A report longer than the room
            // given is cut by read() itself and the rest of it discarded, so
            // reports never run into each other.
            std::uint8_t* target = buffer;
            std::size_t room = length;
            std::uint8_t discard = 0;
            if (!FNumberedReports) {
                buffer[0] = 0;
                target = buffer + 1;
                room = length - 1;
                if (room == 0) {
                    // read() of 0 bytes would look like end of file; take the
                    // report into a scratch byte and keep only its ID.
                    target = &discard;
                    room = 1;
                }
            }

            const ssize_t got = ::read(FFd.Get(), target, room);
            if (got < 0) {
                if (errno == EINTR || errno == EAGAIN)
                    continue;  // nothing taken: wait on within the time left
                // EIO: the device is gone (ENODEV on some drivers); anything
                // else is as fatal for this handle.
                return THidReadStatus::Error;
            }
            // No report is empty (even a numbered one has its number), so 0
            // bytes can only mean end of file: the node is no longer usable.
            if (got == 0)
                return THidReadStatus::Error;
            if (target != &discard) {
                const std::size_t taken = static_cast<std::size_t>(got);
                std::memset(target + taken, 0, room - taken);
            }
            return THidReadStatus::Ok;
        }
    }

private:
    bool ReadRawDescriptor(hidraw_report_descriptor& descriptor)
    {
        int size = 0;
        if (::ioctl(FFd.Get(), HIDIOCGRDESCSIZE, &size) < 0 || size <= 0 ||
            size > HID_MAX_DESCRIPTOR_SIZE)
            return false;
        descriptor.size = static_cast<__u32>(size);
        return ::ioctl(FFd.Get(), HIDIOCGRDESC, &descriptor) >= 0;
    }

    bool ReadDescriptor(THidReportInfo& info)
    {
        hidraw_report_descriptor descriptor{};
        if (!ReadRawDescriptor(descriptor))
            return false;
        return ParseHidReportDescriptor(descriptor.value, descriptor.size, info);
    }

    TFileDescriptor FFd;
    bool FNumberedReports = false;
    std::optional<std::chrono::steady_clock::time_point> FNextWrite;  // when the next report may go
};

// ---------------------------------------------------------------------------
// The hotplug watch
//
// Threads: a monitor thread blocks in poll() on the udev monitor and on an
// eventfd that the destructor signals. Each add or remove of a hidraw device
// becomes one THotplugEvent, posted to the GUI thread through
// PostHotplugEvent: a call queued before the watch was destroyed does
// nothing afterwards.

class TUdevWatch : public IHotplugWatch {
public:
    TUdevWatch(IGuiEventLoop& loop, std::function<void(const THotplugEvent&)> callback)
        : FLoop(loop), FState(std::make_shared<THotplugDelivery>())
    {
        FState->Callback = std::move(callback);
        if (!OpenMonitor())
            return;  // no netlink here: a watch that never reports
        FThread = std::thread([this] { Run(); });
    }

    ~TUdevWatch() override
    {
        // From here on no posted call reaches the callback, even one already
        // queued, and the callback may be the one destroying us: its state is
        // kept alive by the posted call that is running it.
        FState->Alive = false;
        if (FThread.joinable()) {
            FStopping.store(true, std::memory_order_relaxed);
            const std::uint64_t one = 1;
            while (::write(FStopEvent.Get(), &one, sizeof one) < 0 && errno == EINTR) {
            }
            FThread.join();
        }
        // The monitor and the udev context go after the thread that used them.
    }

    TUdevWatch(const TUdevWatch&) = delete;
    TUdevWatch& operator=(const TUdevWatch&) = delete;

private:
    bool OpenMonitor()
    {
        FUdev.reset(udev_new());
        if (!FUdev)
            return false;
        // The "udev" source sends an event after udevd has applied its rules,
        // so the node already has the permissions the rules give it; but it
        // sends nothing at all while udevd is not running (containers, test
        // VMs), where only the kernel's own events arrive. /run/udev/control
        // is udevd's control socket: its presence tells whether it runs.
        const char* source = ::access("/run/udev/control", F_OK) == 0 ? "udev" : "kernel";
        FMonitor.reset(udev_monitor_new_from_netlink(FUdev.get(), source));
        if (!FMonitor)
            return false;
        if (udev_monitor_filter_add_match_subsystem_devtype(FMonitor.get(), "hidraw", nullptr) < 0 ||
            udev_monitor_enable_receiving(FMonitor.get()) < 0)
            return false;
        // The thread drains the monitor until it has nothing more; that needs
        // a non-blocking socket, which not every libudev makes by default.
        const int monitorFd = udev_monitor_get_fd(FMonitor.get());
        if (monitorFd < 0)
            return false;
        const int flags = ::fcntl(monitorFd, F_GETFL);
        if (flags < 0 || ::fcntl(monitorFd, F_SETFL, flags | O_NONBLOCK) < 0)
            return false;
        FStopEvent = TFileDescriptor(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
        return FStopEvent.Valid();
    }

    // Monitor thread.
    void Run()
    {
        pollfd fds[2] = {
            {udev_monitor_get_fd(FMonitor.get()), POLLIN, 0},
            {FStopEvent.Get(), POLLIN, 0},
        };
        for (;;) {
            if (::poll(fds, 2, -1) < 0) {
                if (errno == EINTR)
                    continue;
                return;
            }
            if (fds[1].revents != 0 || (fds[0].revents & POLLNVAL) != 0)
                return;
            // POLLERR on a netlink socket means events were lost to a full
            // receive buffer (ENOBUFS); the next receive clears it, and the
            // events that still arrive are delivered as usual.
            if ((fds[0].revents & (POLLIN | POLLERR)) != 0)
                Drain();
        }
    }

    // Monitor thread: posts every pending add and remove.
    void Drain()
    {
        while (!FStopping.load(std::memory_order_relaxed)) {
            TUdevDevice device(udev_monitor_receive_device(FMonitor.get()));
            if (!device)
                return;
            const char* action = udev_device_get_action(device.get());
            if (action == nullptr)
                continue;
            THotplugEvent event;
            if (std::strcmp(action, "add") == 0)
                event.Kind = THotplugKind::Arrival;
            else if (std::strcmp(action, "remove") == 0)
                event.Kind = THotplugKind::Removal;
            else
                continue;  // change, bind, unbind: the node neither came nor went
            std::optional<THidInterfaceInfo> info = InterfaceOf(device.get());
            if (!info)
                continue;
            event.Interface = std::move(*info);
            PostHotplugEvent(FLoop, FState, std::move(event));
        }
    }

    IGuiEventLoop& FLoop;
    std::shared_ptr<THotplugDelivery> FState;
    TUdev FUdev;
    TUdevMonitor FMonitor;
    TFileDescriptor FStopEvent;
    std::atomic<bool> FStopping{false};
    std::thread FThread;
};

// ---------------------------------------------------------------------------
// The platform

class THidrawPlatform : public IHidPlatform {
public:
    std::vector<THidInterfaceInfo> Enumerate() override
    {
        std::vector<THidInterfaceInfo> result;
        TUdev context(udev_new());
        if (!context)
            return result;
        TUdevEnumerate enumerate(udev_enumerate_new(context.get()));
        // No udev_enumerate_add_match_is_initialized: without a running udevd
        // no device counts as initialised and it would match nothing.
        if (!enumerate || udev_enumerate_add_match_subsystem(enumerate.get(), "hidraw") < 0 ||
            udev_enumerate_scan_devices(enumerate.get()) < 0)
            return result;

        udev_list_entry* entry = nullptr;
        udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(enumerate.get()))
        {
            TUdevDevice device(
                udev_device_new_from_syspath(context.get(), udev_list_entry_get_name(entry)));
            if (!device)
                continue;  // gone since the scan
            if (std::optional<THidInterfaceInfo> info = InterfaceOf(device.get()))
                result.push_back(std::move(*info));
        }
        // The scan lists sysfs in directory order; sort by node number so the
        // first matching interface is the same one every time.
        std::sort(result.begin(), result.end(), EnumerationOrder);
        return result;
    }

    std::unique_ptr<IHidHandle> Open(const std::string& path, std::error_code& error) override
    {
        // Blocking reads: Read waits in poll(), and read() only runs once poll()
        // has reported a report, so it never blocks.
        TFileDescriptor fd(::open(path.c_str(), O_RDWR | O_CLOEXEC));
        if (!fd.Valid()) {
            // EACCES when the udev rule that grants the logged-in user access
            // is not installed.
            error = std::error_code(errno, std::generic_category());
            return nullptr;
        }
        error.clear();
        return std::make_unique<THidrawHandle>(std::move(fd));
    }

    std::unique_ptr<IHotplugWatch> Watch(IGuiEventLoop& loop,
                                         std::function<void(const THotplugEvent&)> callback) override
    {
        return std::make_unique<TUdevWatch>(loop, std::move(callback));
    }
};

}  // namespace

std::unique_ptr<IHidPlatform> CreateSystemHidPlatform()
{
    return std::make_unique<THidrawPlatform>();
}
