#pragma once
// A replayed trace as a real kernel HID device, served through /dev/uhid.
// Linux only, and it needs read and write access to /dev/uhid (root, usually).

#include <chrono>
#include <memory>
#include <string>

class TTraceReplay;

// A replayed trace (TraceReplay.h) as a kernel HID device, the way corvane-sim
// --replay serves it: the device has the recorded remote's IDs and report
// descriptor; what the host writes goes to the replayed remote, what it
// answers goes to the host, and when the replayed remote goes (a removal in
// the trace) the device is removed. One thread owns the uhid file.
class TUhidReplay {
public:
    // Creates the device. Throws std::system_error when /dev/uhid cannot be
    // opened or the device cannot be made. The replay must outlive this.
    explicit TUhidReplay(TTraceReplay& replay, std::string name = "Corvane One (replayed)");
    // Removes the device and stops the thread.
    ~TUhidReplay();

    TUhidReplay(const TUhidReplay&) = delete;
    TUhidReplay& operator=(const TUhidReplay&) = delete;

    // False once the replayed remote has gone.
    bool Present() const;
    // The device's /dev/hidrawN node once the kernel has made it; empty when
    // it does not appear within the limit or the device has gone.
    std::string WaitForNode(std::chrono::milliseconds limit = std::chrono::seconds(5)) const;

private:
    struct TImpl;
    std::unique_ptr<TImpl> FImpl;
};
