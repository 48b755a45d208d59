#pragma once
// What the HID link needs from the operating system, as one small interface.
//
// Three implementations: the Linux one (hidraw and libudev,
// HidPlatformLinux.cpp), the Windows one (the HID class driver and the
// device-setup functions, HidPlatformWindows.cpp) and the simulated bus of
// sim/ (virtual devices plugged and unplugged by tests and by
// `corvane-console --simulate`). Nothing else in the program touches a device.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

class IGuiEventLoop;

// One present HID interface, as enumeration finds it.
struct THidInterfaceInfo {
    std::string Path;            // what Open takes, e.g. "/dev/hidraw3"
    bool IdsKnown = false;       // the IDs below could be read without opening
    std::uint16_t VendorId = 0;
    std::uint16_t ProductId = 0;
};

// Whether two device paths name the same interface, compared as the system
// compares them: on Windows without regard to case (the system hands out a
// device's path in upper case in one place and lower case in another, and
// opens it in either), elsewhere byte for byte ("/dev/hidraw3").
inline bool SameDevicePath(const std::string& a, const std::string& b)
{
#ifdef _WIN32
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        const auto lower = [](char c) {
            return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
        };
        if (lower(a[i]) != lower(b[i]))
            return false;
    }
    return true;
#else
    return a == b;
#endif
}

enum class THidReadStatus {
    Ok,       // one whole report was read
    Timeout,  // nothing arrived within the wait
    Error,    // the read failed (device gone, not readable); the reader pauses
              // one read wait before it tries again
};

// An open HID interface. One handle is used by one thread at a time; the link
// opens the device twice so that its reader thread and the GUI thread each
// have their own.
class IHidHandle {
public:
    virtual ~IHidHandle() = default;

    // Vendor and product ID of the device.
    virtual bool GetAttributes(std::uint16_t& vendorId, std::uint16_t& productId) = 0;

    // Byte lengths of the largest input and output report, each including the
    // report-ID byte (a device without numbered reports still counts one), as
    // the capability query of the HID class driver reports them.
    virtual bool GetReportLengths(int& inputLength, int& outputLength) = 0;

    // The report descriptor as the device declares it, for the trace's
    // header. False where the platform does not hand it out (Windows).
    virtual bool GetReportDescriptor(std::vector<std::uint8_t>& descriptor)
    {
        (void)descriptor;
        return false;
    }

    // Writes one output report, report ID first, synchronously. Returns the
    // number of bytes written, or -1. A device that does not take the report
    // fails the write after a bounded wait (Linux: the kernel's; Windows:
    // TTiming::WriteWait, then the write is cancelled). Linux keeps the
    // remote's pace: one report per TTiming::ReportInterval on average, with
    // bursts of a few at most.
    virtual long Write(const std::uint8_t* data, std::size_t length) = 0;

    // Waits up to `wait` for one input report and stores it report ID first,
    // whether or not the device numbers its reports, in exactly `length` bytes
    // (a shorter report is padded with zeros, a longer one cut), so that every
    // report fills one slot of the reader's ring.
    virtual THidReadStatus Read(std::uint8_t* buffer, std::size_t length,
                                std::chrono::milliseconds wait) = 0;

    // The reading thread, after its last Read: abandons a read that is still
    // in progress and returns once the device no longer writes into the
    // handle's buffers. Nothing to do where Read leaves nothing in progress
    // (Linux waits in poll(); Windows leaves an overlapped read outstanding
    // between calls, and only its own thread can cancel that).
    virtual void EndReads() {}
};

enum class THotplugKind { Arrival, Removal };

struct THotplugEvent {
    THotplugKind Kind = THotplugKind::Arrival;
    THidInterfaceInfo Interface;  // for a removal the IDs may be unknown
};

// Keeps a hotplug watch alive; destroying it stops delivery at once: no
// callback runs after the destructor has returned, not even one already
// queued on the GUI thread.
class IHotplugWatch {
public:
    virtual ~IHotplugWatch() = default;
};

class IHidPlatform {
public:
    virtual ~IHidPlatform() = default;

    // The present HID interfaces, in a stable enumeration order.
    virtual std::vector<THidInterfaceInfo> Enumerate() = 0;

    // Opens an interface for reading and writing. On failure returns null and
    // sets error (std::errc::permission_denied for a node the user may not
    // open). A platform that can open a device for queries only (Windows does
    // so for a device that another program or the system holds) returns that
    // handle with error set to why reports cannot be transferred: its
    // attributes can be read, its reads and writes fail.
    virtual std::unique_ptr<IHidHandle> Open(const std::string& path, std::error_code& error) = 0;

    // Opens the handle that the link's reader thread uses, as Open does. Only
    // the link's reader reads, and only from this handle.
    virtual std::unique_ptr<IHidHandle> OpenForReading(const std::string& path, std::error_code& error)
    {
        return Open(path, error);
    }

    // Starts watching arrival and removal of HID interfaces. The callback runs
    // on the GUI thread, through loop.Post, once per interface that comes or
    // goes; it may destroy the watch from inside itself.
    virtual std::unique_ptr<IHotplugWatch> Watch(IGuiEventLoop& loop,
                                                 std::function<void(const THotplugEvent&)> callback) = 0;
};

// The platform of this machine (hidraw on Linux, the HID class driver on
// Windows).
std::unique_ptr<IHidPlatform> CreateSystemHidPlatform();
