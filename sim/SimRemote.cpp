#include "SimRemote.h"

#include "RemoteDescriptor.h"

#include "Timing.h"

#include <condition_variable>
#include <ctime>
#include <deque>
#include <mutex>
#include <thread>

using namespace std::chrono_literals;

namespace {

using TClock = TRemoteFirmware::TClock;

// The state shared by the remote and its firmware thread.
struct TFirmwareState {
    TFirmwareState(int inputLength, bool paced) : Firmware(inputLength), Pacer(paced) {}

    std::mutex Mutex;
    std::condition_variable Wake;   // the firmware thread waits here
    std::condition_variable Quiet;  // WaitIdle waits here
    std::condition_variable Fed;    // a writer of flash data waits here

    TRemoteFirmware Firmware;
    std::deque<TByteArray> Inbox;          // output reports not yet taken
    std::uint64_t Queued = 0;              // output reports queued so far...
    std::uint64_t Taken = 0;               // ...and fed to the firmware
    bool Unplugging = false;               // the thread is unplugging the device
    std::vector<TByteArray> Received;
    TPacer Pacer;
    TWritePacer WritePacer;                // the host's writes, when Pacer is paced
    bool Idle = true;                      // nothing queued, due or being sent
    bool Changed = false;                  // a setting changed: look again
    bool Stop = false;

    void Run(TSimRemote* owner);
};

}  // namespace

// The thread holds the state by a shared_ptr of its own, so that the state
// outlives the remote when the remote is destroyed on that very thread (the
// bus dropping its last reference while the firmware unplugs itself).
struct TSimRemote::TImpl {
    std::shared_ptr<TFirmwareState> State;
    std::thread Thread;
};

// The firmware thread: feeds the model what the host wrote and sends what it
// answers when it is due.
void TFirmwareState::Run(TSimRemote* owner)
{
    std::unique_lock lock(Mutex);
    auto woken = [this] { return Stop || Changed || !Inbox.empty(); };
    while (!Stop) {
        TClock::time_point now = TClock::now();
        while (!Inbox.empty()) {
            Firmware.Receive(Inbox.front(), now);
            Inbox.pop_front();
            ++Taken;
        }
        Fed.notify_all();
        Changed = false;

        const std::optional<TClock::time_point> due = Firmware.NextDue();
        if (!due) {
            Idle = true;
            Quiet.notify_all();
            Wake.wait(lock, woken);
            continue;
        }
        const TClock::time_point when = Pacer.When(*due);
        if (when > now) {
            Wake.wait_until(lock, when, woken);
            continue;
        }

        TRemoteFirmware::TOutput output;
        if (!Firmware.Take(output, now))
            continue;
        Pacer.Sent(*due, now);

        // Never call into the bus with the lock held: it calls back
        // (OnUnplugged) and its writers call OnOutputReport.
        Unplugging = output.Unplug;
        lock.unlock();
        if (output.Unplug) {
            owner->UnplugSelf();
        } else {
            TByteArray report;
            report.reserve(output.Packet.size() + 1);
            report.push_back(0x00);  // report ID
            report.insert(report.end(), output.Packet.begin(), output.Packet.end());
            owner->SendInput(report);
        }
        lock.lock();
        if (Unplugging) {
            Unplugging = false;
            Fed.notify_all();
        }
    }
}

namespace {

// Runs fn on the model under the lock that the firmware thread also takes.
template <typename F>
auto UnderLock(TFirmwareState& state, F fn)
{
    std::lock_guard lock(state.Mutex);
    return fn(state.Firmware);
}

}  // namespace

TSimRemote::TSimRemote() : TSimRemote(TOptions{}) {}

TSimRemote::TSimRemote(const TOptions& options)
    : TSimHidDevice(options.VendorId, options.ProductId, options.InputReportLength, options.OutputReportLength),
      FImpl(std::make_unique<TImpl>())
{
    FImpl->State = std::make_shared<TFirmwareState>(options.InputReportLength - 1, options.Paced);
    // The kernel device's descriptor declares 64-byte reports: only a remote
    // of that shape can claim it.
    if (options.InputReportLength == 65 && options.OutputReportLength == 65)
        SetReportDescriptor(TByteArray(std::begin(SimRemoteDescriptor), std::end(SimRemoteDescriptor)));
    FImpl->Thread = std::thread([state = FImpl->State, this] { state->Run(this); });
}

TSimRemote::~TSimRemote()
{
    TFirmwareState& s = *FImpl->State;
    {
        std::lock_guard lock(s.Mutex);
        s.Stop = true;
    }
    s.Wake.notify_all();
    s.Fed.notify_all();
    if (FImpl->Thread.get_id() == std::this_thread::get_id())
        FImpl->Thread.detach();
    else
        FImpl->Thread.join();
}

std::shared_ptr<TSimRemote> TSimRemote::Demo(const TSimSetup& setup)
{
    TOptions options;
    options.Paced = true;
    auto remote = std::make_shared<TSimRemote>(options);
    remote->FillFlashWithPattern();

    const std::tm local = LocalTime(std::time(nullptr));
    remote->SetClock(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_wday + 1, local.tm_hour,
                     local.tm_min, local.tm_sec);

    remote->SetRegister(12, 0, 0x0001);  // hardware flag set
    remote->SetRegister(12, 1, 3912);    // battery: 3.912 V, neither full nor empty
    // Two frames of a signal, about 270 bytes, a second after the start:
    // time enough to see the capture wait for it.
    remote->SetIrCapture(TRemoteFirmware::MakeIrSignal({0x08, 0x1B}), 1000ms);
    remote->WithFirmware([&](TRemoteFirmware& firmware, TClock::time_point now) {
        ApplySimSetup(firmware, setup, options.Paced, now);
    });
    return remote;
}

// --- Version -----------------------------------------------------------------

void TSimRemote::SetVersionPayload(const TByteArray& payload)
{
    UnderLock(*FImpl->State, [&](TRemoteFirmware& firmware) { return firmware.SetVersionPayload(payload); });
}

TByteArray TSimRemote::VersionPayload() const
{
    return UnderLock(*FImpl->State, [&](TRemoteFirmware& firmware) { return firmware.VersionPayload(); });
}

void TSimRemote::SetArchitecture(int architecture)
{
    UnderLock(*FImpl->State, [&](TRemoteFirmware& firmware) { return firmware.SetArchitecture(architecture); });
}

void TSimRemote::SetProtocol(int protocol)
{
    UnderLock(*FImpl->State, [&](TRemoteFirmware& firmware) { return firmware.SetProtocol(protocol); });
}

// --- Registers ---------------------------------------------------------------

std::uint16_t TSimRemote::Register(std::uint8_t miscType, std::uint16_t index) const
{
    return UnderLock(*FImpl->State, [&](TRemoteFirmware& firmware) { return firmware.Register(miscType, index, TClock::now()); });
}

void TSimRemote::SetRegister(std::uint8_t miscType, std::uint16_t index, std::uint16_t value)
{
    UnderLock(*FImpl->State, [&](TRemoteFirmware& firmware) { return firmware.SetRegister(miscType, index, value, TClock::now()); });
}

void TSimRemote::SetClock(int year, int month, int day, int dayOfWeek, int hours, int minutes, int seconds)
{
    UnderLock(*FImpl->State, [&](TRemoteFirmware& firmware) { return firmware.SetClock(year, month, day, dayOfWeek, hours, minutes, seconds, TClock::now()); });
}

int TSimRemote::ResetCount() const
{
    return UnderLock(*FImpl->State, [&](TRemoteFirmware& firmware) { return firmware.ResetCount(); });
}

std::uint8_t TSimRemote::LastResetType() const
{
    return UnderLock(*FImpl->State, [&](TRemoteFirmware& firmware) { return firmware.LastResetType(); });
}

// --- Flash -------------------------------------------------------------------

TByteArray TSimRemote::Flash(std::uint32_t address, std::uint32_t size) const
{
    return UnderLock(*FImpl->State, [&](TRemoteFirmware& firmware) { return firmware.ReadFlash(address, size); });
}

void TSimRemote::SetFlash(std::uint32_t address, const TByteArray& bytes)
{
    UnderLock(*FImpl->State, [&](TRemoteFirmware& firmware) { return firmware.SetFlash(address, bytes); });
}

void TSimRemote::FillFlashWithPattern()
{
    UnderLock(*FImpl->State, [&](TRemoteFirmware& firmware) { return firmware.FillFlashWithPattern(); });
}

// --- Infrared ----------------------------------------------------------------

void TSimRemote::SetIrCapture(const TByteArray& stream, std::chrono::milliseconds startDelay)
{
    UnderLock(*FImpl->State, [&](TRemoteFirmware& firmware) { return firmware.SetIrCapture(stream, startDelay); });
}

void TSimRemote::SetIrChunk(int bytesPerPacket)
{
    UnderLock(*FImpl->State, [&](TRemoteFirmware& firmware) { return firmware.SetIrChunk(bytesPerPacket); });
}

// --- Behaviour ---------------------------------------------------------------

void TSimRemote::SetPaced(bool paced)
{
    TFirmwareState& s = *FImpl->State;
    {
        std::lock_guard lock(s.Mutex);
        s.Pacer.SetPaced(paced);
        s.WritePacer.Restart();
        s.Changed = true;
    }
    s.Wake.notify_all();
}

void TSimRemote::SetFaults(const TSimFaults& faults)
{
    UnderLock(*FImpl->State, [&](TRemoteFirmware& firmware) { return firmware.SetFaults(faults); });
}

TSimFaults TSimRemote::Faults() const
{
    return UnderLock(*FImpl->State, [&](TRemoteFirmware& firmware) { return firmware.Faults(); });
}

void TSimRemote::ScriptReplies(std::vector<TByteArray> replies)
{
    UnderLock(*FImpl->State, [&](TRemoteFirmware& firmware) { return firmware.ScriptReplies(std::move(replies)); });
}

std::vector<TByteArray> TSimRemote::Received() const
{
    TFirmwareState& s = *FImpl->State;
    std::lock_guard lock(s.Mutex);
    return s.Received;
}

void TSimRemote::ClearReceived()
{
    TFirmwareState& s = *FImpl->State;
    std::lock_guard lock(s.Mutex);
    s.Received.clear();
}

bool TSimRemote::WaitIdle(std::chrono::milliseconds limit)
{
    TFirmwareState& s = *FImpl->State;
    std::unique_lock lock(s.Mutex);
    return s.Quiet.wait_for(lock, limit, [&s] { return s.Idle && s.Inbox.empty(); });
}

void TSimRemote::WithFirmware(const std::function<void(TRemoteFirmware& firmware, TRemoteFirmware::TTime now)>& fn)
{
    TFirmwareState& s = *FImpl->State;
    {
        std::lock_guard lock(s.Mutex);
        fn(s.Firmware, TClock::now());
        s.Changed = true;
    }
    s.Wake.notify_all();
}

// --- TSimHidDevice -------------------------------------------------------------

void TSimRemote::OnOutputReport(const TByteArray& report)
{
    if (report.size() < 2)
        return;
    TFirmwareState& s = *FImpl->State;
    std::unique_lock lock(s.Mutex);
    // Paced, the report reaches the firmware in its slot, and the write
    // returns no earlier (below, after a flash data packet was taken).
    const bool paced = s.Pacer.Paced();
    if (paced) {
        const TClock::time_point slot = s.WritePacer.Book(TClock::now());
        s.Fed.wait_until(lock, slot, [&s] { return s.Stop; });
    }
    TByteArray payload(report.begin() + 1, report.end());  // without the report ID
    const bool flashData = (payload[0] & 0xF0) == 0x40;
    s.Received.push_back(payload);
    s.Inbox.push_back(std::move(payload));
    const std::uint64_t ticket = ++s.Queued;
    s.Idle = false;
    s.Wake.notify_all();

    // A flash data packet returns once the firmware has taken it, and, when
    // it made the remote unplug itself, once the remote is gone: the next
    // packet of the write then fails, as it would on the wire. This costs
    // the writer one wake-up of the firmware thread.
    if (flashData)
        s.Fed.wait_for(lock, std::chrono::seconds(1), [&s, ticket] {
            return s.Stop || (s.Taken >= ticket && !s.Unplugging && !s.Firmware.UnplugPending());
        });
    if (paced)
        s.WritePacer.Returned(TClock::now());
}

void TSimRemote::OnUnplugged()
{
    TFirmwareState& s = *FImpl->State;
    {
        std::lock_guard lock(s.Mutex);
        s.Inbox.clear();
        s.Taken = s.Queued;  // dropped with the device
        s.Firmware.Disconnect();
        s.Changed = true;
    }
    s.Wake.notify_all();
    s.Fed.notify_all();
}

// --- TSimDemo --------------------------------------------------------------------

std::unique_ptr<TSimDemo> TSimDemo::Create(const TSimSetup& setup, std::string& error)
{
    std::unique_ptr<TSimDemo> demo(new TSimDemo);
    demo->FRemote = TSimRemote::Demo(setup);
    demo->FFlashFile = setup.FlashFile;
    bool loaded = true;
    if (!setup.FlashFile.empty())
        demo->FRemote->WithFirmware([&](TRemoteFirmware& firmware, TClock::time_point) {
            loaded = LoadFlashFile(firmware, setup.FlashFile, error);
        });
    if (!loaded)
        return nullptr;
    demo->FBus = std::make_unique<TSimHidBus>();
    demo->FBus->Plug(demo->FRemote);
    return demo;
}

bool TSimDemo::Save(std::string& error)
{
    if (FFlashFile.empty())
        return true;
    bool saved = false;
    FRemote->WithFirmware([&](TRemoteFirmware& firmware, TClock::time_point) {
        saved = SaveFlashFile(firmware, FFlashFile, error);
    });
    return saved;
}
