#pragma once
// The simulated remote as a real kernel HID device: the firmware model served
// through /dev/uhid, so that the Linux backend (hidraw, libudev, the udev
// monitor) can be driven end to end where the kernel has uhid (a test VM, a
// developer's machine with root).
//
// The device is a USB HID device with the remote's IDs and a vendor-defined
// report descriptor: one 64-byte input and one 64-byte output report, without
// report numbers. The kernel binds hid-generic to it, which gives it a
// /dev/hidrawN node; the node appears some milliseconds after the device was
// created, not at once (the kernel adds the device from a work queue).
//
// One thread per object owns every uhid file descriptor: it feeds the model
// what the host writes, sends what the model answers when it is due (paced to
// one report per millisecond like a full-speed interrupt endpoint, or as fast
// as it can), answers the kernel's requests, and creates and removes the
// devices. The public calls are safe from any thread; those that create or
// remove a device return once the thread has done it.
//
// Two limits of the kernel that a real remote never reaches, but an unpaced
// one can:
// - hidraw keeps at most 64 unread input reports per open node and drops
//   newer ones: an unpaced stream of more reports overruns a reader that is
//   slower than the sender. The remote's own pace is one per millisecond.
// - uhid queues at most 32 events from the host and drops newer ones
//   ("Output queue is full" in the kernel log) while the host's write() still
//   succeeds; a USB device paces the host's writes instead. The thread runs at
//   real-time priority where it may, to take the host's reports as they come.
//
// Linux only, and it needs read and write access to /dev/uhid (root, usually).

#include "RemoteFirmware.h"

#include "../protocol/UsbIds.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class TUhidRemote {
public:
    struct TOptions {
        std::uint16_t VendorId = CORVANE_USB_IDS.VendorId;
        std::uint16_t ProductId = CORVANE_USB_IDS.ProductId;
        std::string Name = "Corvane One (simulated)";
        bool Paced = false;    // one input report per millisecond
        bool Create = true;    // create the device in the constructor
    };

    // The IDs and the descriptor of the second device CreateMouse makes.
    static constexpr std::uint16_t MouseVendorId = 0x046d;
    static constexpr std::uint16_t MouseProductId = 0xc077;

    // Whether /dev/uhid can be opened for reading and writing here; if not,
    // why not, in a sentence for a skipped test or a failed start.
    static bool Available(std::string& reason);

    // Opens /dev/uhid and starts the thread; throws std::system_error when
    // /dev/uhid cannot be opened. With options.Create the remote exists when
    // the constructor returns (its node may not yet).
    explicit TUhidRemote(const TOptions& options);
    TUhidRemote();

    // Removes both devices and stops the thread.
    ~TUhidRemote();

    TUhidRemote(const TUhidRemote&) = delete;
    TUhidRemote& operator=(const TUhidRemote&) = delete;

    const TOptions& Options() const { return FOptions; }

    // --- The remote's device ---------------------------------------------------

    // Creates the device; true when it exists afterwards (also when it already
    // did). Cancels a pending return (SetReturnAfterUnplug).
    bool Create();
    // Removes the device: the host sees its node go; whatever the firmware had
    // in flight is dropped, flash, registers and clock are kept. Cancels a
    // pending return.
    void Destroy();
    // Destroy, then Create: the host sees a removal and an arrival.
    bool Recreate();

    bool Present() const;
    // Counts the creations of the remote's device so far (0 before the first).
    int Generation() const;
    // The /dev/hidrawN node of the device as it is now, once the kernel has
    // made it; empty when it does not appear within the limit or when there
    // is no device.
    std::string WaitForNode(std::chrono::milliseconds limit = std::chrono::seconds(5)) const;

    // After sending this many more input reports, the device is removed and
    // created again at once (once; a negative count cancels).
    void ReplugAfter(int packets);
    // When the firmware removes the device (the UnplugAtPacket fault), create
    // it again after this delay; nothing (the default): it stays away until
    // Create.
    void SetReturnAfterUnplug(std::optional<std::chrono::milliseconds> delay);

    // --- A second device: a boot mouse ------------------------------------------

    // A mouse with MouseVendorId/MouseProductId and a boot-mouse descriptor
    // (no output report); true when it exists afterwards.
    bool CreateMouse();
    void DestroyMouse();
    bool MousePresent() const;
    std::string WaitForMouseNode(std::chrono::milliseconds limit = std::chrono::seconds(5)) const;

    // --- The firmware ---------------------------------------------------------------

    // Runs fn on the model with the thread held off; fn may change anything
    // (flash, faults, capture, clock). `now` is the clock the thread uses.
    void WithFirmware(const std::function<void(TRemoteFirmware& firmware, TRemoteFirmware::TTime now)>& fn);
    void SetFaults(const TSimFaults& faults);
    TSimFaults Faults() const;
    void SetPaced(bool paced);

    // Every output payload received so far (without the report number).
    std::vector<TByteArray> Received() const;
    void ClearReceived();
    // Input reports sent so far.
    std::uint64_t PacketsSent() const;

private:
    struct TImpl;
    TOptions FOptions;
    std::unique_ptr<TImpl> FImpl;
};
