// A replayed trace as a kernel HID device, served by one thread through
// /dev/uhid.
#include "UhidReplay.h"

#include "TraceReplay.h"
#include "UhidDevice.h"
#include "../hid/HidDescriptor.h"

#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

using namespace std::chrono_literals;

struct TUhidReplay::TImpl {
    TTraceReplay& Replay;
    TByteArray Descriptor;
    TDeviceIdentity Identity;
    bool Numbered = false;  // the descriptor numbers its reports
    int InputLength = 0;
    std::unique_ptr<IHidHandle> Handle;  // on the replayed remote

    mutable std::mutex Mutex;
    std::string Uniq;  // empty once the device has gone

    std::atomic<bool> Stop{false};
    TUhidDevice Device;  // the thread's own once it runs
    std::unique_ptr<uhid_event> Event = std::make_unique<uhid_event>();
    std::thread Thread;

    TImpl(TTraceReplay& replay, std::string name)
        : Replay(replay),
          Descriptor(replay.Recording().Descriptor),
          Identity{replay.Recording().VendorId, replay.Recording().ProductId, std::move(name), Descriptor.data(),
                   Descriptor.size()}
    {
        THidReportInfo info;
        if (ParseHidReportDescriptor(Descriptor.data(), Descriptor.size(), info))
            Numbered = info.NumberedReports;
    }

    void Run()
    {
        while (!Stop.load()) {
            // A millisecond at most between looks at the replayed remote's
            // answers, which come on its own thread.
            pollfd ready{Device.Fd(), POLLIN, 0};
            ::poll(&ready, 1, 1);
            if (!Device.Exists())
                continue;
            while (Device.Read(*Event)) {
                if (Event->type == UHID_OUTPUT && Event->u.output.rtype == UHID_OUTPUT_REPORT &&
                    Event->u.output.size >= 1) {
                    // As the host wrote it, report number first: as the
                    // trace recorded it.
                    Handle->Write(Event->u.output.data, Event->u.output.size);
                } else if (Event->type == UHID_GET_REPORT || Event->type == UHID_SET_REPORT) {
                    Device.Refuse(*Event);
                }
            }
            TByteArray report(static_cast<std::size_t>(InputLength), 0);
            for (;;) {
                const THidReadStatus status = Handle->Read(report.data(), report.size(), 0ms);
                if (status == THidReadStatus::Ok) {
                    // The platform puts a report number in front of every
                    // report; the kernel wants it only when there are numbers.
                    Device.Input(Numbered ? report : TByteArray(report.begin() + 1, report.end()));
                    continue;
                }
                if (status == THidReadStatus::Error) {
                    // The replayed remote went: so does the device.
                    Device.Destroy();
                    std::lock_guard lock(Mutex);
                    Uniq.clear();
                }
                break;
            }
        }
        Device.Destroy();
    }
};

TUhidReplay::TUhidReplay(TTraceReplay& replay, std::string name)
    : FImpl(std::make_unique<TImpl>(replay, std::move(name)))
{
    const std::vector<THidInterfaceInfo> interfaces = replay.Enumerate();
    if (interfaces.empty())
        throw std::system_error(std::make_error_code(std::errc::no_such_device), "the replayed remote is gone");
    std::error_code error;
    FImpl->Handle = replay.Open(interfaces.front().Path, error);
    if (!FImpl->Handle)
        throw std::system_error(error, "cannot open the replayed remote");
    int outputLength = 0;
    FImpl->Handle->GetReportLengths(FImpl->InputLength, outputLength);
    if (!FImpl->Device.Open(error))
        throw std::system_error(error, UhidPath);
    const std::string uniq = "corvane-sim-" + std::to_string(::getpid()) + "-" +
                             std::to_string(UhidInstanceCounter.fetch_add(1)) + "-replay";
    if (!FImpl->Device.Create(FImpl->Identity, uniq))
        throw std::system_error(std::error_code(errno, std::generic_category()), "cannot create the uhid device");
    FImpl->Uniq = uniq;
    FImpl->Thread = std::thread([impl = FImpl.get()] { impl->Run(); });
}

TUhidReplay::~TUhidReplay()
{
    FImpl->Stop = true;
    if (FImpl->Thread.joinable())
        FImpl->Thread.join();
}

bool TUhidReplay::Present() const
{
    std::lock_guard lock(FImpl->Mutex);
    return !FImpl->Uniq.empty();
}

std::string TUhidReplay::WaitForNode(std::chrono::milliseconds limit) const
{
    return WaitForUniq(
        [this] {
            std::lock_guard lock(FImpl->Mutex);
            return FImpl->Uniq;
        },
        limit);
}
