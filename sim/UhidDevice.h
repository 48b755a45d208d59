#pragma once
// The kernel side of the uhid devices, shared by TUhidRemote and TUhidReplay
// and used nowhere else: one /dev/uhid file holding one kernel HID device,
// the identity the device is created with, and finding its /dev/hidrawN node
// by the device's unique string. Linux only.

#include "../hid/FileDescriptor.h"
#include "../hid/Types.h"

#include <linux/uhid.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <system_error>

constexpr const char* UhidPath = "/dev/uhid";

struct TDeviceIdentity {
    std::uint16_t VendorId;
    std::uint16_t ProductId;
    std::string Name;
    const std::uint8_t* Descriptor;
    std::size_t DescriptorSize;
};

// One /dev/uhid file: it holds at most one kernel device at a time, removed
// by UHID_DESTROY or by closing the file. Used by the thread only.
class TUhidDevice {
public:
    bool Open(std::error_code& error);

    int Fd() const { return FFd.Get(); }
    bool Exists() const { return FExists; }
    const std::string& Uniq() const { return FUniq; }

    bool Create(const TDeviceIdentity& device, const std::string& uniq);
    void Destroy();

    // Sends one input report; dropped when there is no device.
    void Input(const TByteArray& report);

    // Takes the next pending event; false when there is none.
    bool Read(uhid_event& event);

    // The kernel waits (up to seconds) for an answer to these; this device
    // has no feature reports, so each is refused at once.
    void Refuse(const uhid_event& request);

private:
    TFileDescriptor FFd;
    bool FExists = false;
    std::string FUniq;
};

// Numbers the uhid objects of this process, for their devices' unique strings.
extern std::atomic<unsigned> UhidInstanceCounter;

// The hidraw node whose "hid" parent carries the given unique string, once
// both the sysfs entry and the /dev node exist.
std::string FindHidrawNode(const std::string& uniq);

// The hidraw node of the device whose unique string uniqNow gives, once it
// appears; empty when it does not within the limit or when uniqNow gives an
// empty string (no device).
std::string WaitForUniq(const std::function<std::string()>& uniqNow, std::chrono::milliseconds limit);
