#pragma once
// The HID link: finds the remote among the present HID interfaces, sends its
// output reports and collects its input reports.
//
// TUsbDevice stands for one connection attempt; the protocol layer destroys it
// and builds a new one on every reconnection. All its operations run on the
// GUI thread. TFileInputThread, owned by the link, only moves input reports
// from the device into a ring buffer that the GUI thread drains without a lock.

#include "HidPlatform.h"
#include "Types.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <system_error>
#include <thread>

class IGuiEventLoop;

// The reader: a thread that reads one input report at a time and appends it to
// a ring of 1000 report slots.
//
// The ring has exactly two positions, each with a single writer: WritePos is
// written only by the reader thread, ReadPos only by the GUI thread, each
// with release so that the other side sees the bytes (or the copies out of
// them) that came before.
// Both are 16 bits wide, so the ring holds at most 65,535 bytes: reports of at
// most 65 bytes. The reader writes only into space the GUI thread has
// released, and one byte always stays free so that a full ring is not taken
// for an empty one: at most 999 reports wait unread. When the GUI thread
// leaves that many untaken, newer reports are dropped whole and counted; what
// comes out is always whole reports in the order they arrived, and the
// protocol sees the gap in its packet counters.
class TFileInputThread {
public:
    static constexpr int RingReports = 1000;

    // Starts the thread at once. The handle is not owned and must outlive the
    // thread. reportSize counts the report-ID byte; at most 65.
    TFileInputThread(IHidHandle& handle, int reportSize);

    // Sets the stop request and joins; returns within one read wait.
    ~TFileInputThread();

    TFileInputThread(const TFileInputThread&) = delete;
    TFileInputThread& operator=(const TFileInputThread&) = delete;

    // GUI thread: discards every unread byte.
    void Flush();

    // GUI thread. With count 0 or empty data, only returns the number of
    // unread bytes. Otherwise moves up to count unread bytes to the front of
    // data (which holds at least count bytes) and returns how many it moved.
    int ReadData(TByteArray& data, std::uint16_t count);

    int ReportSize() const { return FReportSize; }
    int RingLength() const { return static_cast<int>(FRing.size()); }

    // Any thread: reports dropped so far because the ring was full.
    std::uint64_t Dropped() const { return FDropped.load(std::memory_order_relaxed); }

    // For tests: appends bytes as the reader thread does when a read
    // completes. Call only while the thread cannot append (its handle is idle).
    void AppendForTest(const std::uint8_t* data, int count) { Append(data, count); }

private:
    void Execute();
    void Append(const std::uint8_t* data, int count);

    TByteArray FRing;
    IHidHandle& FHandle;
    int FReportSize;
    std::atomic<std::uint16_t> FWritePos{0};
    std::atomic<std::uint16_t> FReadPos{0};
    std::atomic<std::uint64_t> FDropped{0};
    std::atomic<bool> FStopRequest{false};
    std::thread FThread;
};

// Why the remote could not be used although it is present.
struct TOpenFailure {
    std::string Path;
    std::error_code Error;
};

class TUsbDevice {
public:
    // Runs the whole setup: finds the first interface with the given IDs,
    // opens it twice, reads its report lengths, starts the reader and watches
    // for arrival and removal. Raises nothing for a missing or unusable
    // device: Connected() tells whether the link can be used.
    //
    // With a devicePath the link is bound to that interface and tries no
    // other: the path as Open takes it and as the platform reports it in
    // arrival and removal events ("/dev/hidraw3", "sim:hidraw1"). Its IDs are
    // still checked; an interface with other IDs counts as not found, as does
    // a path where no interface exists. Arrivals and removals at other paths
    // are ignored. Paths are compared with SameDevicePath: on Windows
    // without regard to case.
    TUsbDevice(IHidPlatform& platform, IGuiEventLoop& loop, int vendorId, int productId,
               std::string devicePath = {});

    // Stops the watch, then the reader (joined within one read wait), then
    // closes both handles.
    ~TUsbDevice();

    TUsbDevice(const TUsbDevice&) = delete;
    TUsbDevice& operator=(const TUsbDevice&) = delete;

    // Sends one output report (report ID 0, then data) after discarding all
    // unread input. False when not connected, when data is empty or longer
    // than OutputLength, or when the report is not written whole; the unread
    // input is gone in the last case too.
    bool WriteReport(const TByteArray& data);

    // Takes the payload of the oldest unread input report into data, which the
    // caller sizes to InputLength. Looks up to 25 times, 10 ms apart. False at
    // once when not connected or data is shorter than InputLength; false after
    // the full wait when no whole report arrives. Data is untouched on failure.
    bool ReadReport(TByteArray& data);

    bool Connected() const { return FConnected; }
    int InputLength() const { return FInputLength; }
    int OutputLength() const { return FOutputLength; }

    // The interface in use, empty when none was found.
    const std::string& DevicePath() const { return FDevicePath; }

    // The interface this link is bound to; empty when any remote will do.
    const std::string& BoundPath() const { return FBoundPath; }

    // Set when an interface with the right IDs exists but could not be opened
    // for reading and writing (typically: permission denied). For a bound
    // link: when the bound interface exists but could not be opened, unless
    // its IDs are known to be another device's.
    const std::optional<TOpenFailure>& OpenFailure() const { return FOpenFailure; }

    // Called on the GUI thread after Connected has been updated, on the arrival
    // of the remote (also while not connected; for a bound link only at its
    // path) and on the removal of this link's own interface. The callback may
    // destroy the link.
    std::function<void()> OnChange;

    // For tests: the reader, or null when not connected.
    TFileInputThread* Reader() const { return FReader.get(); }

private:
    bool FindDevice(IHidPlatform& platform);
    // Opens one interface twice and checks its IDs; true when the link now
    // uses it. Keeps the first open failure when reportFailure says that the
    // interface may be the remote.
    bool TryInterface(IHidPlatform& platform, const THidInterfaceInfo& info, bool reportFailure);
    void DeviceChange(const THotplugEvent& event);

    std::unique_ptr<IHidHandle> FWriteHandle;
    std::unique_ptr<IHidHandle> FReadHandle;
    std::unique_ptr<TFileInputThread> FReader;
    std::unique_ptr<IHotplugWatch> FWatch;
    bool FConnected = false;
    int FInputLength = -1;
    int FOutputLength = -1;
    int FVendorId;
    int FProductId;
    std::string FBoundPath;
    std::string FDevicePath;
    std::optional<TOpenFailure> FOpenFailure;
    TByteArray FWriteBuffer;
};
