#include "SimHidBus.h"

#include "../hid/EventLoop.h"

#include <algorithm>
#include <atomic>
#include <cstring>

// One open handle's queue of unread input reports. Like a hidraw open file it
// keeps at most 64 reports and drops newer ones while it is full.
//
// A real remote cannot send faster than one report per millisecond; a
// simulated one may send as fast as it can. So that such a device does not
// lose reports to a reader that is merely a little behind, a sender waits a
// while for room in a queue that somebody reads; only a reader stalled longer
// than that loses reports, as on hidraw. (The link's write handle is never
// read: its queue just fills up and drops, as on hidraw.)
//
// The handle opened for reading counts as read from the moment it is open,
// not from its first read: the link's reader thread may start well after the
// open (a new thread under wine on a busy machine takes milliseconds), and a
// fast remote would meanwhile fill the queue with the rest of a stream that
// broke off and drop what follows it, the reply to the reconnection's version
// request included. A real remote at one report a millisecond leaves a reader
// 64 ms before hidraw's queue is full.
struct TSimHidDevice::THandleQueue {
    static constexpr std::size_t Capacity = 64;
    static constexpr std::chrono::milliseconds RoomWait{500};

    std::mutex Mutex;
    std::condition_variable Arrived;
    std::condition_variable Taken;
    std::deque<TByteArray> Reports;
    bool Read = false;  // somebody reads this handle (or is about to)
    bool Gone = false;  // the device was unplugged
};

TSimHidDevice::TSimHidDevice(std::uint16_t vendorId, std::uint16_t productId, int inputReportLength,
                             int outputReportLength)
    : FVendorId(vendorId),
      FProductId(productId),
      FInputReportLength(inputReportLength),
      FOutputReportLength(outputReportLength)
{
}

TSimHidDevice::~TSimHidDevice() = default;

void TSimHidDevice::SendInput(const TByteArray& report)
{
    std::vector<std::shared_ptr<THandleQueue>> queues;
    {
        std::lock_guard lock(FMutex);
        if (!FPlugged)
            return;
        for (auto& weak : FQueues)
            if (auto queue = weak.lock())
                queues.push_back(std::move(queue));
    }
    for (auto& queue : queues) {
        std::unique_lock lock(queue->Mutex);
        if (queue->Read)
            queue->Taken.wait_for(lock, THandleQueue::RoomWait, [&] {
                return queue->Gone || queue->Reports.size() < THandleQueue::Capacity;
            });
        if (queue->Gone || queue->Reports.size() >= THandleQueue::Capacity)
            continue;
        queue->Reports.push_back(report);
        queue->Arrived.notify_one();
    }
}

void TSimHidDevice::SetOpenError(std::error_code error, bool queryOnly)
{
    std::lock_guard lock(FMutex);
    FOpenError = error;
    FQueryOnly = queryOnly;
}

void TSimHidDevice::SetReportDescriptor(TByteArray descriptor)
{
    std::lock_guard lock(FMutex);
    FDescriptor = std::move(descriptor);
}

TByteArray TSimHidDevice::ReportDescriptor() const
{
    std::lock_guard lock(FMutex);
    return FDescriptor;
}

bool TSimHidDevice::Plugged() const
{
    std::lock_guard lock(FMutex);
    return FPlugged;
}

namespace {

// A handle on a simulated device: reads come from its own queue, writes go to
// the device on the writing thread.
class TSimHandle : public IHidHandle {
public:
    TSimHandle(std::shared_ptr<TSimHidDevice> device, std::shared_ptr<TSimHidDevice::THandleQueue> queue)
        : FDevice(std::move(device)), FQueue(std::move(queue))
    {
    }

    // A closed handle is read by nobody: a sender waiting for room in its
    // queue must not wait out RoomWait (it would hold up the device's next
    // replies, e.g. to the link that replaced this one).
    ~TSimHandle() override
    {
        {
            std::lock_guard lock(FQueue->Mutex);
            FQueue->Gone = true;
        }
        FQueue->Taken.notify_all();
    }

    bool GetAttributes(std::uint16_t& vendorId, std::uint16_t& productId) override
    {
        vendorId = FDevice->VendorId();
        productId = FDevice->ProductId();
        return true;
    }

    bool GetReportLengths(int& inputLength, int& outputLength) override
    {
        inputLength = FDevice->InputReportLength();
        outputLength = FDevice->OutputReportLength();
        return true;
    }

    bool GetReportDescriptor(std::vector<std::uint8_t>& descriptor) override
    {
        descriptor = FDevice->ReportDescriptor();
        return !descriptor.empty();
    }

    long Write(const std::uint8_t* data, std::size_t length) override
    {
        {
            std::lock_guard lock(FQueue->Mutex);
            if (FQueue->Gone)
                return -1;
        }
        if (length == 0)
            return -1;
        FDevice->OnOutputReport(TByteArray(data, data + length));
        return static_cast<long>(length);
    }

    THidReadStatus Read(std::uint8_t* buffer, std::size_t length, std::chrono::milliseconds wait) override
    {
        std::unique_lock lock(FQueue->Mutex);
        FQueue->Read = true;
        FQueue->Arrived.wait_for(lock, wait, [&] { return FQueue->Gone || !FQueue->Reports.empty(); });
        // As on hidraw, reports that arrived before the device went away can
        // still be read; only then do reads fail.
        if (FQueue->Reports.empty())
            return FQueue->Gone ? THidReadStatus::Error : THidReadStatus::Timeout;
        TByteArray report = std::move(FQueue->Reports.front());
        FQueue->Reports.pop_front();
        lock.unlock();
        FQueue->Taken.notify_all();
        std::size_t n = std::min(length, report.size());
        std::memcpy(buffer, report.data(), n);
        std::memset(buffer + n, 0, length - n);
        return THidReadStatus::Ok;
    }

private:
    std::shared_ptr<TSimHidDevice> FDevice;
    std::shared_ptr<TSimHidDevice::THandleQueue> FQueue;
};

}  // namespace

// Shared between a watch and the calls it has posted. The posted calls run on
// the GUI thread, the thread that destroys the watch, so the flag read there
// drops calls that come after the destruction. Posting happens on whatever
// thread plugs or unplugs, so it holds the mutex that the watch's destructor
// takes: once that destructor has returned, nothing posts to the loop any
// more, and the loop may go too.
namespace {

struct TSimWatchState {
    std::mutex Mutex;
    IGuiEventLoop* Loop;
    std::function<void(const THotplugEvent&)> Callback;
    bool Alive = true;  // under Mutex on other threads; read plainly on the GUI thread
};

class TWatch : public IHotplugWatch {
public:
    explicit TWatch(std::shared_ptr<TSimWatchState> state) : FState(std::move(state)) {}
    ~TWatch() override
    {
        std::lock_guard lock(FState->Mutex);
        FState->Alive = false;
    }

private:
    std::shared_ptr<TSimWatchState> FState;
};

}  // namespace

// The bus's state. The bus owns it, and so does every call in progress on it:
// a device that unplugs itself from its own thread takes a reference first,
// so destroying the bus meanwhile cannot pull the state from under that call.
struct TSimBusCore {
    struct TSlot {
        std::string Path;
        std::shared_ptr<TSimHidDevice> Device;
    };

    std::mutex Mutex;
    std::vector<TSlot> Slots;
    std::vector<std::weak_ptr<TSimWatchState>> Watches;
    int NextNumber = 0;

    // Takes the device off the bus; reports the removal when told to.
    void Unplug(const std::string& path, bool report);
    void Notify(const THotplugEvent& event);
};

void TSimHidDevice::UnplugSelf()
{
    std::shared_ptr<TSimBusCore> bus;
    std::string path;
    {
        std::lock_guard lock(FMutex);
        bus = FBus.lock();
        path = FPath;
    }
    if (bus)
        bus->Unplug(path, true);
}

void TSimBusCore::Unplug(const std::string& path, bool report)
{
    std::shared_ptr<TSimHidDevice> device;
    {
        std::lock_guard lock(Mutex);
        auto it = std::find_if(Slots.begin(), Slots.end(), [&](const TSlot& s) { return s.Path == path; });
        if (it == Slots.end())
            return;
        device = it->Device;
        Slots.erase(it);
    }
    std::vector<std::shared_ptr<TSimHidDevice::THandleQueue>> queues;
    {
        std::lock_guard lock(device->FMutex);
        device->FPlugged = false;
        device->FBus.reset();
        for (auto& weak : device->FQueues)
            if (auto queue = weak.lock())
                queues.push_back(std::move(queue));
        device->FQueues.clear();
    }
    for (auto& queue : queues) {
        std::lock_guard lock(queue->Mutex);
        queue->Gone = true;
        queue->Arrived.notify_all();
        queue->Taken.notify_all();
    }
    device->OnUnplugged();
    if (!report)
        return;
    THidInterfaceInfo info;
    info.Path = path;
    info.IdsKnown = true;
    info.VendorId = device->VendorId();
    info.ProductId = device->ProductId();
    Notify({THotplugKind::Removal, info});
}

void TSimBusCore::Notify(const THotplugEvent& event)
{
    std::vector<std::shared_ptr<TSimWatchState>> watches;
    {
        std::lock_guard lock(Mutex);
        for (auto& weak : Watches)
            if (auto state = weak.lock())
                watches.push_back(std::move(state));
    }
    for (auto& state : watches) {
        std::lock_guard lock(state->Mutex);
        if (!state->Alive)
            continue;
        state->Loop->Post([state, event] {
            if (state->Alive)
                state->Callback(event);
        });
    }
}

TSimHidBus::TSimHidBus() : FCore(std::make_shared<TSimBusCore>()) {}

TSimHidBus::~TSimHidBus()
{
    std::vector<std::string> paths;
    {
        std::lock_guard lock(FCore->Mutex);
        for (auto& slot : FCore->Slots)
            paths.push_back(slot.Path);
    }
    for (auto& path : paths)
        FCore->Unplug(path, false);
}

std::string TSimHidBus::Plug(std::shared_ptr<TSimHidDevice> device)
{
    THidInterfaceInfo info;
    {
        std::lock_guard lock(FCore->Mutex);
        info.Path = "sim:hidraw" + std::to_string(FCore->NextNumber++);
        FCore->Slots.push_back({info.Path, device});
    }
    {
        std::lock_guard lock(device->FMutex);
        device->FBus = FCore;
        device->FPath = info.Path;
        device->FPlugged = true;
    }
    device->OnPlugged();
    info.IdsKnown = true;
    info.VendorId = device->VendorId();
    info.ProductId = device->ProductId();
    FCore->Notify({THotplugKind::Arrival, info});
    return info.Path;
}

void TSimHidBus::Unplug(const std::string& path)
{
    FCore->Unplug(path, true);
}

void TSimHidBus::Unplug(const std::shared_ptr<TSimHidDevice>& device)
{
    std::string path;
    {
        std::lock_guard lock(FCore->Mutex);
        for (auto& slot : FCore->Slots)
            if (slot.Device == device)
                path = slot.Path;
    }
    if (!path.empty())
        Unplug(path);
}

std::vector<THidInterfaceInfo> TSimHidBus::Enumerate()
{
    std::lock_guard lock(FCore->Mutex);
    std::vector<THidInterfaceInfo> result;
    for (auto& slot : FCore->Slots)
        result.push_back({slot.Path, true, slot.Device->VendorId(), slot.Device->ProductId()});
    return result;
}

std::unique_ptr<IHidHandle> TSimHidBus::Open(const std::string& path, std::error_code& error)
{
    return OpenHandle(path, error, false);
}

std::unique_ptr<IHidHandle> TSimHidBus::OpenForReading(const std::string& path, std::error_code& error)
{
    return OpenHandle(path, error, true);
}

std::unique_ptr<IHidHandle> TSimHidBus::OpenHandle(const std::string& path, std::error_code& error, bool forReading)
{
    std::shared_ptr<TSimHidDevice> device;
    {
        std::lock_guard lock(FCore->Mutex);
        for (auto& slot : FCore->Slots)
            if (slot.Path == path)
                device = slot.Device;
    }
    if (!device) {
        error = std::make_error_code(std::errc::no_such_device);
        return nullptr;
    }
    auto queue = std::make_shared<TSimHidDevice::THandleQueue>();
    queue->Read = forReading;
    {
        std::lock_guard lock(device->FMutex);
        if (device->FOpenError) {
            error = device->FOpenError;
            if (!device->FQueryOnly)
                return nullptr;
            // Never registered with the device: it receives no report, and
            // reads and writes fail as on a handle whose device has gone.
            queue->Gone = true;
            return std::make_unique<TSimHandle>(device, queue);
        }
        device->FQueues.erase(std::remove_if(device->FQueues.begin(), device->FQueues.end(),
                                             [](const auto& weak) { return weak.expired(); }),
                              device->FQueues.end());
        device->FQueues.push_back(queue);
    }
    error.clear();
    return std::make_unique<TSimHandle>(device, queue);
}

std::unique_ptr<IHotplugWatch> TSimHidBus::Watch(IGuiEventLoop& loop,
                                                 std::function<void(const THotplugEvent&)> callback)
{
    auto state = std::make_shared<TSimWatchState>();
    state->Loop = &loop;
    state->Callback = std::move(callback);
    {
        std::lock_guard lock(FCore->Mutex);
        auto& watches = FCore->Watches;
        watches.erase(std::remove_if(watches.begin(), watches.end(), [](const auto& w) { return w.expired(); }),
                      watches.end());
        watches.push_back(state);
    }
    return std::make_unique<TWatch>(state);
}
