#include "ScriptedRemote.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>

namespace {

constexpr std::uint16_t VendorId = 0x1209;
constexpr std::uint16_t ProductId = 0x0001;

// A harness that cannot keep its own promise of determinism is broken, not
// the code under test: say so loudly.
[[noreturn]] void HarnessFault(const char* what)
{
    std::fprintf(stderr, "scripted remote: %s\n", what);
    std::abort();
}

// The data packets a healthy remote sends for a flash read: 62, 30, 14 and 6
// to 1 data bytes, the sizes a length code can carry exactly.
std::uint32_t FlashDataSize(std::uint32_t left)
{
    for (std::uint32_t size : {62u, 30u, 14u, 6u, 5u, 4u, 3u, 2u, 1u})
        if (size <= left)
            return size;
    return 0;
}

std::uint8_t LengthCode(std::size_t length)
{
    if (length < 8)
        return static_cast<std::uint8_t>(length);
    return length < 16 ? 8 : length < 32 ? 9 : 10;
}

}  // namespace

// ---------------------------------------------------------------------------
// The loop

void TFuzzLoop::Post(std::function<void()> fn)
{
    std::lock_guard lock(FMutex);
    FQueue.push_back(std::move(fn));
}

void TFuzzLoop::DispatchMessages(bool)
{
    if (OnDispatch) {
        auto hook = OnDispatch;
        hook();
    }
    std::deque<std::function<void()>> calls;
    {
        std::lock_guard lock(FMutex);
        calls.swap(FQueue);
    }
    for (auto& call : calls)
        call();
}

// ---------------------------------------------------------------------------
// Handles and watches

// One open handle's unread reports. The reader thread takes them; the GUI
// thread delivers them and waits until they are taken.
struct TScriptedRemote::THandleState {
    std::mutex Mutex;
    std::condition_variable Changed;
    std::deque<TByteArray> Queue;
    int Device = 0;
    bool Idle = false;     // the reader waits in Read with nothing left
    bool Gone = false;     // the device was removed
    bool Closing = false;  // the link that opened it is being destroyed
};

// One link's watch, and the handles opened under it.
struct TScriptedRemote::TWatchState {
    std::function<void(const THotplugEvent&)> Callback;
    bool Alive = true;
    std::vector<std::shared_ptr<THandleState>> Handles;
};

class TScriptedRemote::THandle : public IHidHandle {
public:
    THandle(TScriptedRemote& remote, std::shared_ptr<THandleState> state)
        : FRemote(remote), FState(std::move(state))
    {
    }

    bool GetAttributes(std::uint16_t& vendorId, std::uint16_t& productId) override
    {
        vendorId = VendorId;
        productId = ProductId;
        return true;
    }

    bool GetReportLengths(int& inputLength, int& outputLength) override
    {
        inputLength = outputLength = ReportLength;
        return true;
    }

    long Write(const std::uint8_t* data, std::size_t length) override
    {
        {
            std::lock_guard lock(FState->Mutex);
            if (FState->Gone)
                return -1;
        }
        if (length == 0)
            return -1;
        FRemote.HostWrite(data + 1, length - 1);
        return static_cast<long>(length);
    }

    THidReadStatus Read(std::uint8_t* buffer, std::size_t length, std::chrono::milliseconds wait) override
    {
        std::unique_lock lock(FState->Mutex);
        if (FState->Gone)
            return THidReadStatus::Error;
        // Back in Read: whatever the last call returned is in the ring now.
        if (FState->Queue.empty()) {
            FState->Idle = true;
            FState->Changed.notify_all();
            // A link being destroyed must get its reader back at once, not
            // after a read wait per execution.
            if (!FState->Closing)
                FState->Changed.wait_for(lock, wait, [this] {
                    return !FState->Queue.empty() || FState->Closing || FState->Gone;
                });
        }
        if (FState->Gone)
            return THidReadStatus::Error;
        if (FState->Queue.empty())
            return THidReadStatus::Timeout;
        const TByteArray& report = FState->Queue.front();
        std::fill(buffer, buffer + length, 0);
        std::copy_n(report.begin(), std::min(length, report.size()), buffer);
        FState->Queue.pop_front();
        FState->Idle = false;
        return THidReadStatus::Ok;
    }

private:
    TScriptedRemote& FRemote;
    std::shared_ptr<THandleState> FState;
};

class TScriptedRemote::TWatch : public IHotplugWatch {
public:
    explicit TWatch(std::shared_ptr<TWatchState> state) : FState(std::move(state)) {}
    ~TWatch() override
    {
        // The link destroys its watch first, then joins its reader.
        FState->Alive = false;
        for (auto& handle : FState->Handles) {
            std::lock_guard lock(handle->Mutex);
            handle->Closing = true;
            handle->Changed.notify_all();
        }
    }

private:
    std::shared_ptr<TWatchState> FState;
};

// ---------------------------------------------------------------------------
// The platform

TScriptedRemote::TScriptedRemote(TFuzzInput& input, IGuiEventLoop& loop) : FInput(input), FLoop(loop) {}

TScriptedRemote::~TScriptedRemote() = default;

std::vector<THidInterfaceInfo> TScriptedRemote::Enumerate()
{
    if (!FPresent)
        return {};
    return {THidInterfaceInfo{"fuzz:hidraw" + std::to_string(FDevice), true, VendorId, ProductId}};
}

std::unique_ptr<IHidHandle> TScriptedRemote::Open(const std::string& path, std::error_code& error)
{
    if (!FPresent || path != "fuzz:hidraw" + std::to_string(FDevice) || !FLastWatch) {
        error = std::make_error_code(std::errc::no_such_device);
        return nullptr;
    }
    auto state = std::make_shared<THandleState>();
    state->Device = FDevice;
    FLastWatch->Handles.push_back(state);
    // The link opens its writing handle first and its reading handle second.
    if (FLastWatch->Handles.size() == 2)
        FReaders.push_back(state);
    return std::make_unique<THandle>(*this, state);
}

std::unique_ptr<IHotplugWatch> TScriptedRemote::Watch(IGuiEventLoop&,
                                                      std::function<void(const THotplugEvent&)> callback)
{
    FLastWatch = std::make_shared<TWatchState>();
    FLastWatch->Callback = std::move(callback);
    FWatches.push_back(FLastWatch);
    return std::make_unique<TWatch>(FLastWatch);
}

void TScriptedRemote::Notify(THotplugKind kind, const std::string& path)
{
    THotplugEvent event;
    event.Kind = kind;
    event.Interface = THidInterfaceInfo{path, kind == THotplugKind::Arrival, VendorId, ProductId};
    for (auto& weak : FWatches) {
        if (auto watch = weak.lock())
            FLoop.Post([watch, event] {
                if (watch->Alive)
                    watch->Callback(event);
            });
    }
}

void TScriptedRemote::Remove(bool replug)
{
    if (!FPresent)
        return;
    for (auto& weak : FReaders) {
        if (auto handle = weak.lock()) {
            std::lock_guard lock(handle->Mutex);
            handle->Gone = true;
            handle->Changed.notify_all();
        }
    }
    for (auto& watch : FWatches)
        if (auto state = watch.lock())
            for (auto& handle : state->Handles) {
                std::lock_guard lock(handle->Mutex);
                handle->Gone = true;
            }
    FPresent = false;
    Notify(THotplugKind::Removal, "fuzz:hidraw" + std::to_string(FDevice));
    if (replug) {
        ++FDevice;
        FPresent = true;
        FExpect = TExpect::Nothing;
        Notify(THotplugKind::Arrival, "fuzz:hidraw" + std::to_string(FDevice));
    }
}

// ---------------------------------------------------------------------------
// The script

void TScriptedRemote::HostWrite(const std::uint8_t* payload, std::size_t size)
{
    ++FWrites;
    auto at = [&](std::size_t i) -> std::uint8_t { return i < size ? payload[i] : 0; };
    switch (at(0) & 0xF0) {
    case 0x10:  // version request
        FExpect = TExpect::Version;
        break;
    case 0xB0:  // register read: byte form with 2 payload bytes, word form with 3
        FExpect = (at(0) & 0x0F) >= 3 ? TExpect::MiscWord : TExpect::MiscByte;
        FEcho = at(1);
        break;
    case 0xA0:  // register write
    case 0xD0:  // sector erase
        FExpect = TExpect::Ack;
        FEcho = at(0) & 0xF0;
        break;
    case 0xF0:  // closing of a flash write
        FExpect = TExpect::Ack;
        FEcho = at(1);
        break;
    case 0x50:  // flash read
        FExpect = TExpect::Flash;
        FEcho = 0x50;
        FFlashAddress = static_cast<std::uint32_t>(at(1) << 16 | at(2) << 8 | at(3));
        FFlashLeft = static_cast<std::uint32_t>(at(4) << 8 | at(5));
        FCounter = 0;
        FLow = 1;
        break;
    case 0x70:  // capture start
        FExpect = TExpect::Capture;
        FIrSequence = 0;
        break;
    case 0x80:  // capture stop
        FExpect = TExpect::Ack;
        FEcho = 0x80;
        break;
    case 0x40:  // flash data: no answer expected, but the script may give one
        ++FDataPackets;
        break;
    case 0x30:  // flash write request
        FDataPackets = 0;
        FExpect = TExpect::Nothing;
        break;
    default:  // reset
        FExpect = TExpect::Nothing;
        break;
    }
    Batch();
}

bool TScriptedRemote::RightAnswer(TByteArray& packet, bool early)
{
    packet.assign(ReportLength - 1, 0);
    switch (FExpect) {
    case TExpect::Nothing:
        return false;
    case TExpect::Version: {
        // Firmware 3.5, architecture 12, protocol 12; a shortened version
        // ("early") carries only what the host needs for the connection.
        static const std::uint8_t version[] = {0x35, 0x12, 0x17, 0xC2, 0xC4, 0x2A, 0x0C, 0x16,
                                               0x27, 0x89, 0xAB, 0xDE, 0xF1, 0x5D, 0x07};
        const std::size_t length = early ? 7 : sizeof version;
        packet[0] = static_cast<std::uint8_t>(0x20 | LengthCode(length));
        std::copy_n(version, length, packet.begin() + 1);
        return true;
    }
    case TExpect::MiscByte:
        packet[0] = 0xC2;
        packet[1] = FEcho;
        packet[2] = 0x5A;
        return true;
    case TExpect::MiscWord:
        packet[0] = 0xC3;
        packet[1] = FEcho;
        packet[2] = 0x0F;
        packet[3] = 0x48;
        return true;
    case TExpect::Ack:
        packet[0] = 0xF1;
        packet[1] = FEcho;
        return true;
    case TExpect::Flash: {
        // The next data packet, or the acknowledgement once all is sent (or,
        // "early", before).
        const std::uint32_t size = FlashDataSize(FFlashLeft);
        if (size == 0 || early) {
            packet[0] = 0xF1;
            packet[1] = 0x50;
            return true;
        }
        // Walk the low nibble so that the counter's skip rule is used.
        const std::uint8_t low = static_cast<std::uint8_t>((FLow + 7) & 0x0F);
        if (low < FLow)
            FCounter = (FCounter + 1) & 0x0F;
        packet[0] = static_cast<std::uint8_t>(0x60 | LengthCode(size + 1));
        packet[1] = static_cast<std::uint8_t>(FCounter << 4 | low);
        for (std::uint32_t i = 0; i < size; ++i)
            packet[2 + i] = static_cast<std::uint8_t>((FFlashAddress + i) * 7);
        FCounter = (FCounter + 1) & 0x0F;
        FLow = low;
        FFlashAddress += size;
        FFlashLeft -= size;
        return true;
    }
    case TExpect::Capture:
        // Four 2-byte items, or ("early") the end marker.
        packet[0] = 0x90;
        packet[1] = FIrSequence;
        FIrSequence = static_cast<std::uint8_t>(FIrSequence + 0x10);
        if (early) {
            packet[2] = 0x80;
            packet[3] = 0x00;
            packet[ReportLength - 2] = 4;
        } else {
            for (int i = 0; i < 8; i += 2) {
                packet[2 + i] = 0x02;
                packet[3 + i] = static_cast<std::uint8_t>(0x30 + i);
            }
            packet[ReportLength - 2] = 10;
        }
        return true;
    }
    return false;
}

// One batch of the script. Each operation is one byte; its low three bits:
//   0      end of the batch (silence from here on)
//   1, 2   the right answer
//   3      the right answer cut short (a short version, an early
//          acknowledgement, a capture's end marker)
//   4      raw report: a length byte, then that many payload bytes
//   5      the right answer with one byte changed: a position, then an XOR
//   6      removal, and with bit 3 set a new arrival; ends the batch
//   7      the last report again
void TScriptedRemote::Batch()
{
    std::vector<TByteArray> reports;
    const int room = MaxBatch - (UnreadReports ? UnreadReports() : 0);
    bool removal = false;
    bool replug = false;
    while (static_cast<int>(reports.size()) < room) {
        const std::uint8_t op = FInput.Byte();
        TByteArray packet;
        bool any = true;
        switch (op & 7) {
        case 0:
            any = false;
            break;
        case 1:
        case 2:
        case 3:
            any = RightAnswer(packet, (op & 7) == 3);
            break;
        case 4: {
            packet.assign(ReportLength - 1, 0);
            const std::size_t length = std::min<std::size_t>(FInput.Byte(), packet.size());
            for (std::size_t i = 0; i < length; ++i)
                packet[i] = FInput.Byte();
            break;
        }
        case 5: {
            if (!RightAnswer(packet, false))
                packet.assign(ReportLength - 1, 0);
            const std::uint8_t position = FInput.Byte();
            packet[position % packet.size()] ^= FInput.Byte();
            break;
        }
        case 6:
            removal = true;
            replug = (op & 8) != 0;
            any = false;
            break;
        case 7:
            any = !FLastReport.empty();
            packet = FLastReport;
            break;
        }
        if ((op & 7) == 0 || removal)
            break;
        if (any) {
            FLastReport = packet;
            reports.push_back(std::move(packet));
        }
    }
    Deliver(reports);
    if (removal)
        Remove(replug);
}

int TScriptedRemote::DispatchTurn()
{
    const std::uint8_t op = FInput.Byte();
    switch (op & 3) {
    case 1:
        Batch();
        break;
    case 2:
        Remove((op & 4) != 0);
        break;
    default:
        break;
    }
    return op & 3;
}

void TScriptedRemote::Deliver(std::vector<TByteArray>& reports)
{
    if (reports.empty() || !FPresent)
        return;
    std::vector<std::shared_ptr<THandleState>> readers;
    for (auto& weak : FReaders) {
        auto handle = weak.lock();
        if (!handle)
            continue;
        std::lock_guard lock(handle->Mutex);
        if (handle->Device != FDevice || handle->Gone || handle->Closing)
            continue;
        for (const TByteArray& payload : reports) {
            TByteArray report(ReportLength, 0);  // report ID 0
            std::copy(payload.begin(), payload.end(), report.begin() + 1);
            handle->Queue.push_back(std::move(report));
        }
        handle->Idle = false;
        handle->Changed.notify_all();
        readers.push_back(handle);
    }
    // Back to the host only once every report is in its ring.
    for (auto& handle : readers) {
        std::unique_lock lock(handle->Mutex);
        if (!handle->Changed.wait_for(lock, std::chrono::seconds(20), [&] {
                return (handle->Queue.empty() && handle->Idle) || handle->Closing || handle->Gone;
            }))
            HarnessFault("the link's reader did not take the reports within 20 s");
    }
    FReaders.erase(std::remove_if(FReaders.begin(), FReaders.end(), [](auto& weak) { return weak.expired(); }),
                   FReaders.end());
}
