#pragma once
// An in-process HID bus: the platform of the link when no real device is
// wanted. It holds virtual HID devices (the simulated remote, a mouse, ...)
// that tests and `corvane-console --simulate` plug and unplug at run time, with
// the same arrival and removal events as the real platform.
//
// Like hidraw, every open handle of a device receives every input report, and
// keeps at most 64 of them unread: newer reports are dropped while a handle's
// queue is full.

#include "../hid/HidPlatform.h"
#include "../hid/Types.h"

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <vector>

class TSimHidBus;
struct TSimBusCore;

// A virtual HID device. Subclasses answer output reports; they send input
// reports with SendInput from any thread.
class TSimHidDevice {
public:
    struct THandleQueue;  // one open handle's unread input reports

    TSimHidDevice(std::uint16_t vendorId, std::uint16_t productId, int inputReportLength,
                  int outputReportLength);
    virtual ~TSimHidDevice();

    TSimHidDevice(const TSimHidDevice&) = delete;
    TSimHidDevice& operator=(const TSimHidDevice&) = delete;

    std::uint16_t VendorId() const { return FVendorId; }
    std::uint16_t ProductId() const { return FProductId; }
    // Report byte lengths including the report-ID byte.
    int InputReportLength() const { return FInputReportLength; }
    int OutputReportLength() const { return FOutputReportLength; }

    // The report descriptor handles hand out; empty (none) unless set.
    void SetReportDescriptor(TByteArray descriptor);
    TByteArray ReportDescriptor() const;

    // Called on the writing thread for every output report written to any
    // handle of the device, report ID first.
    virtual void OnOutputReport(const TByteArray& report) { (void)report; }

    // Called when the device is plugged into or unplugged from a bus.
    virtual void OnPlugged() {}
    virtual void OnUnplugged() {}

    // Any thread: delivers one input report (report ID first) to every open
    // handle. Dropped when the device is not plugged in.
    void SendInput(const TByteArray& report);

    // Makes Open fail with this error (e.g. permission_denied); a default
    // error_code opens normally. With queryOnly, Open returns a handle all the
    // same, with the error set, that answers queries and fails every read and
    // write: what Windows gives for a device that another program holds.
    void SetOpenError(std::error_code error, bool queryOnly = false);

    // Any thread: unplugs this device from the bus it is plugged into (the
    // removal is reported as for TSimHidBus::Unplug). Nothing when unplugged,
    // or when the bus is being destroyed or already gone.
    void UnplugSelf();

    bool Plugged() const;

private:
    friend class TSimHidBus;
    friend struct TSimBusCore;

    std::uint16_t FVendorId;
    std::uint16_t FProductId;
    int FInputReportLength;
    int FOutputReportLength;

    mutable std::mutex FMutex;
    std::vector<std::weak_ptr<THandleQueue>> FQueues;
    bool FPlugged = false;
    // The bus's state, not the bus: a device's own thread may unplug it while
    // another thread destroys the bus, and the state stays alive for that call.
    std::weak_ptr<TSimBusCore> FBus;
    std::string FPath;
    std::error_code FOpenError;
    TByteArray FDescriptor;
    bool FQueryOnly = false;
};

class TSimHidBus : public IHidPlatform {
public:
    TSimHidBus();
    // Unplugs every device without reporting it. A device that is unplugging
    // itself on its own thread at that moment finishes on the bus's state,
    // which outlives the bus for as long as such a call needs it; its removal
    // still reaches watches that have not been destroyed yet.
    ~TSimHidBus() override;

    // Any thread. Adds the device under a new path ("sim:hidrawN") and reports
    // its arrival. Returns the path.
    std::string Plug(std::shared_ptr<TSimHidDevice> device);

    // Any thread. Removes the device: its open handles fail every read and
    // write from now on, and its removal is reported.
    void Unplug(const std::string& path);
    void Unplug(const std::shared_ptr<TSimHidDevice>& device);

    // IHidPlatform
    std::vector<THidInterfaceInfo> Enumerate() override;
    std::unique_ptr<IHidHandle> Open(const std::string& path, std::error_code& error) override;
    // The reader's handle: a sender waits for room in its queue from the
    // open on, as it does for any handle once somebody has read from it.
    std::unique_ptr<IHidHandle> OpenForReading(const std::string& path, std::error_code& error) override;
    std::unique_ptr<IHotplugWatch> Watch(IGuiEventLoop& loop,
                                         std::function<void(const THotplugEvent&)> callback) override;

private:
    std::unique_ptr<IHidHandle> OpenHandle(const std::string& path, std::error_code& error, bool forReading);

    std::shared_ptr<TSimBusCore> FCore;
};
