// The simulated remote as a kernel HID device: the firmware model served by
// one thread through /dev/uhid, and a second device, a boot mouse.
#include "UhidRemote.h"

#include "RemoteDescriptor.h"
#include "UhidDevice.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <deque>
#include <future>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

using namespace std::chrono_literals;

namespace {

using TClock = TRemoteFirmware::TClock;

constexpr int PayloadLength = 64;

// A standard boot-protocol mouse: three buttons, a relative X and Y.
constexpr std::uint8_t MouseDescriptor[] = {
    0x05, 0x01,  // Usage Page (Generic Desktop)
    0x09, 0x02,  // Usage (Mouse)
    0xA1, 0x01,  // Collection (Application)
    0x09, 0x01,  //   Usage (Pointer)
    0xA1, 0x00,  //   Collection (Physical)
    0x05, 0x09,  //     Usage Page (Buttons)
    0x19, 0x01,  //     Usage Minimum (1)
    0x29, 0x03,  //     Usage Maximum (3)
    0x15, 0x00,  //     Logical Minimum (0)
    0x25, 0x01,  //     Logical Maximum (1)
    0x95, 0x03,  //     Report Count (3)
    0x75, 0x01,  //     Report Size (1)
    0x81, 0x02,  //     Input (Data, Var, Abs)
    0x95, 0x01,  //     Report Count (1)
    0x75, 0x05,  //     Report Size (5)
    0x81, 0x01,  //     Input (Constant)
    0x05, 0x01,  //     Usage Page (Generic Desktop)
    0x09, 0x30,  //     Usage (X)
    0x09, 0x31,  //     Usage (Y)
    0x15, 0x81,  //     Logical Minimum (-127)
    0x25, 0x7F,  //     Logical Maximum (127)
    0x75, 0x08,  //     Report Size (8)
    0x95, 0x02,  //     Report Count (2)
    0x81, 0x06,  //     Input (Data, Var, Rel)
    0xC0,        //   End Collection
    0xC0,        // End Collection
};

enum class TCommandKind { Create, Destroy, Recreate, CreateMouse, DestroyMouse };

struct TCommand {
    TCommandKind Kind;
    std::promise<bool> Result;
};

}  // namespace

struct TUhidRemote::TImpl {
    explicit TImpl(const TOptions& options)
        : Identity{options.VendorId, options.ProductId, options.Name, SimRemoteDescriptor, sizeof SimRemoteDescriptor},
          Firmware(PayloadLength),
          Pacer(options.Paced),
          Instance(UhidInstanceCounter.fetch_add(1))
    {
    }

    const TDeviceIdentity Identity;
    const TDeviceIdentity MouseIdentity{MouseVendorId, MouseProductId, "Simulated boot mouse", MouseDescriptor,
                                sizeof MouseDescriptor};

    mutable std::mutex Mutex;
    TRemoteFirmware Firmware;
    std::vector<TByteArray> Received;
    std::uint64_t Sent = 0;
    TPacer Pacer;
    int Generation = 0;
    int MouseGeneration = 0;
    bool RemoteExists = false;  // mirrors Remote.Exists() for other threads
    bool MouseExists = false;
    std::string RemoteUniq;
    std::string MouseUniq;
    long ReplugCountdown = -1;
    std::optional<std::chrono::milliseconds> ReturnDelay;
    std::optional<TClock::time_point> ReturnAt;
    std::deque<TCommand> Commands;
    bool Stop = false;
    const unsigned Instance;

    // The thread's own.
    TUhidDevice Remote;
    TUhidDevice Mouse;
    TFileDescriptor Wake;
    std::unique_ptr<uhid_event> Event = std::make_unique<uhid_event>();  // 4 KiB: not on every call's stack
    std::thread Thread;

    // Any thread but the own: stops the thread, which removes both devices.
    void Halt()
    {
        if (!Thread.joinable())
            return;
        {
            std::lock_guard lock(Mutex);
            Stop = true;
        }
        Signal();
        Thread.join();
    }

    void Signal()
    {
        const std::uint64_t one = 1;
        while (::write(Wake.Get(), &one, sizeof one) < 0 && errno == EINTR) {
        }
    }

    bool Submit(TCommandKind kind)
    {
        std::future<bool> result;
        {
            std::lock_guard lock(Mutex);
            // After the stop the thread may already have answered its last
            // commands and gone: nobody would answer this one.
            if (Stop)
                return false;
            Commands.push_back(TCommand{kind, {}});
            result = Commands.back().Result.get_future();
        }
        Signal();
        return result.get();
    }

    std::string NextUniq(const char* what, int generation) const
    {
        return "corvane-sim-" + std::to_string(::getpid()) + "-" + std::to_string(Instance) + "-" + what + "-" +
               std::to_string(generation);
    }

    // --- Thread, with Mutex held ---

    bool CreateRemote()
    {
        ReturnAt.reset();
        if (Remote.Exists())
            return true;
        if (!Remote.Create(Identity, NextUniq("remote", Generation + 1)))
            return false;
        ++Generation;
        RemoteExists = true;
        RemoteUniq = Remote.Uniq();
        Pacer.Restart();
        return true;
    }

    void DestroyRemote()
    {
        if (!Remote.Exists())
            return;
        // What the host wrote before the removal is still for this device.
        ReadEvents(Remote, true);
        Remote.Destroy();
        // Whatever the host wrote since then belonged to the old device.
        ReadEvents(Remote, false);
        Firmware.Disconnect();
        RemoteExists = false;
        RemoteUniq.clear();
    }

    bool CreateMouse()
    {
        if (Mouse.Exists())
            return true;
        if (!Mouse.Create(MouseIdentity, NextUniq("mouse", MouseGeneration + 1)))
            return false;
        ++MouseGeneration;
        MouseExists = true;
        MouseUniq = Mouse.Uniq();
        return true;
    }

    void DestroyMouse()
    {
        Mouse.Destroy();
        ReadEvents(Mouse, false);
        MouseExists = false;
        MouseUniq.clear();
    }

    void RunCommands()
    {
        while (!Commands.empty()) {
            TCommand command = std::move(Commands.front());
            Commands.pop_front();
            bool ok = true;
            switch (command.Kind) {
            case TCommandKind::Create:
                ok = CreateRemote();
                break;
            case TCommandKind::Destroy:
                ReturnAt.reset();
                DestroyRemote();
                break;
            case TCommandKind::Recreate:
                DestroyRemote();
                ok = CreateRemote();
                break;
            case TCommandKind::CreateMouse:
                ok = CreateMouse();
                break;
            case TCommandKind::DestroyMouse:
                DestroyMouse();
                break;
            }
            command.Result.set_value(ok);
        }
    }

    // Takes every pending event of one device; with feed, the host's output
    // reports go to the firmware, otherwise they are dropped.
    void ReadEvents(TUhidDevice& device, bool feed)
    {
        uhid_event* const event = Event.get();
        while (device.Read(*event)) {
            switch (event->type) {
            case UHID_OUTPUT:
                if (feed && &device == &Remote && event->u.output.rtype == UHID_OUTPUT_REPORT &&
                    event->u.output.size >= 2) {
                    // hidraw hands the report on as the host wrote it, report
                    // number first (0x00: the device numbers none).
                    TByteArray payload(event->u.output.data + 1, event->u.output.data + event->u.output.size);
                    Received.push_back(payload);
                    Firmware.Receive(payload, TClock::now());
                }
                break;
            case UHID_GET_REPORT:
            case UHID_SET_REPORT:
                device.Refuse(*event);
                break;
            default:  // UHID_START, UHID_STOP, UHID_OPEN, UHID_CLOSE
                break;
            }
        }
    }

    // Sends what is due; returns when the next output is due, if anything is.
    std::optional<TClock::time_point> Serve()
    {
        while (Remote.Exists()) {
            // The kernel keeps only 32 events for the device and drops newer
            // ones without telling the writer: a long stream must not keep the
            // host's requests (a stop, the next flash packet) waiting.
            ReadEvents(Remote, true);
            const TClock::time_point now = TClock::now();
            const std::optional<TClock::time_point> due = Firmware.NextDue();
            if (!due)
                return std::nullopt;
            const TClock::time_point when = Pacer.When(*due);
            if (when > now)
                return when;

            TRemoteFirmware::TOutput output;
            if (!Firmware.Take(output, now))
                return now + 1ms;
            Pacer.Sent(*due, now);
            if (output.Unplug) {
                DestroyRemote();
                if (ReturnDelay)
                    ReturnAt = now + *ReturnDelay;
                return std::nullopt;
            }
            Remote.Input(output.Packet);
            ++Sent;
            if (ReplugCountdown > 0 && --ReplugCountdown == 0) {
                ReplugCountdown = -1;
                DestroyRemote();
                CreateRemote();
                return std::nullopt;
            }
        }
        return std::nullopt;
    }

    void Run()
    {
        // uhid drops the host's reports beyond 32 unread ones without telling
        // the writer, and a flash write sends them back to back: this thread
        // must run as soon as one arrives. The lowest real-time priority where
        // that is allowed (root); a normal thread otherwise. It never spins.
        sched_param param{};
        param.sched_priority = 1;
        pthread_setschedparam(pthread_self(), SCHED_FIFO, &param);

        std::unique_lock lock(Mutex);
        for (;;) {
            ReadEvents(Remote, true);
            ReadEvents(Mouse, false);
            RunCommands();
            if (Stop)
                break;
            if (ReturnAt && TClock::now() >= *ReturnAt)
                CreateRemote();

            std::optional<TClock::time_point> wake = Serve();
            if (ReturnAt && (!wake || *ReturnAt < *wake))
                wake = ReturnAt;
            int timeout = -1;
            if (wake) {
                const auto left = std::chrono::ceil<std::chrono::milliseconds>(*wake - TClock::now());
                timeout = static_cast<int>(std::clamp<std::int64_t>(left.count(), 0, 60000));
            }

            pollfd fds[3] = {
                {Wake.Get(), POLLIN, 0},
                {Remote.Fd(), POLLIN, 0},
                {Mouse.Fd(), POLLIN, 0},  // -1 until there is a mouse: ignored
            };
            lock.unlock();
            const int ready = ::poll(fds, 3, timeout);
            lock.lock();
            if (ready > 0 && (fds[0].revents & POLLIN) != 0) {
                std::uint64_t count = 0;
                while (::read(Wake.Get(), &count, sizeof count) < 0 && errno == EINTR) {
                }
            }
        }
        DestroyRemote();
        DestroyMouse();
        // A command queued after the stop is answered too.
        for (TCommand& command : Commands)
            command.Result.set_value(false);
        Commands.clear();
    }
};

bool TUhidRemote::Available(std::string& reason)
{
    const int fd = ::open(UhidPath, O_RDWR | O_CLOEXEC);
    if (fd >= 0) {
        ::close(fd);
        reason.clear();
        return true;
    }
    const int error = errno;
    if (error == ENOENT)
        reason = std::string(UhidPath) + " does not exist: this kernel has no uhid (modprobe uhid, or run in the test VM)";
    else
        reason = std::string("cannot open ") + UhidPath + ": " + std::strerror(error);
    return false;
}

TUhidRemote::TUhidRemote() : TUhidRemote(TOptions{}) {}

TUhidRemote::TUhidRemote(const TOptions& options) : FOptions(options), FImpl(std::make_unique<TImpl>(options))
{
    std::error_code error;
    if (!FImpl->Remote.Open(error))
        throw std::system_error(error, std::string("cannot open ") + UhidPath);
    FImpl->Wake = TFileDescriptor(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!FImpl->Wake.Valid())
        throw std::system_error(errno, std::generic_category(), "eventfd");
    FImpl->Thread = std::thread([impl = FImpl.get()] { impl->Run(); });
    if (options.Create && !Create()) {
        // The destructor does not run for an object whose constructor throws.
        FImpl->Halt();
        throw std::system_error(EIO, std::generic_category(), "cannot create the uhid device");
    }
}

TUhidRemote::~TUhidRemote()
{
    FImpl->Halt();
}

bool TUhidRemote::Create()
{
    return FImpl->Submit(TCommandKind::Create);
}

void TUhidRemote::Destroy()
{
    FImpl->Submit(TCommandKind::Destroy);
}

bool TUhidRemote::Recreate()
{
    return FImpl->Submit(TCommandKind::Recreate);
}

bool TUhidRemote::Present() const
{
    std::lock_guard lock(FImpl->Mutex);
    return FImpl->RemoteExists;
}

int TUhidRemote::Generation() const
{
    std::lock_guard lock(FImpl->Mutex);
    return FImpl->Generation;
}

std::string TUhidRemote::WaitForNode(std::chrono::milliseconds limit) const
{
    return WaitForUniq(
        [this] {
            std::lock_guard lock(FImpl->Mutex);
            return FImpl->RemoteUniq;
        },
        limit);
}

void TUhidRemote::ReplugAfter(int packets)
{
    std::lock_guard lock(FImpl->Mutex);
    FImpl->ReplugCountdown = packets > 0 ? packets : -1;
}

void TUhidRemote::SetReturnAfterUnplug(std::optional<std::chrono::milliseconds> delay)
{
    std::lock_guard lock(FImpl->Mutex);
    FImpl->ReturnDelay = delay;
}

bool TUhidRemote::CreateMouse()
{
    return FImpl->Submit(TCommandKind::CreateMouse);
}

void TUhidRemote::DestroyMouse()
{
    FImpl->Submit(TCommandKind::DestroyMouse);
}

bool TUhidRemote::MousePresent() const
{
    std::lock_guard lock(FImpl->Mutex);
    return FImpl->MouseExists;
}

std::string TUhidRemote::WaitForMouseNode(std::chrono::milliseconds limit) const
{
    return WaitForUniq(
        [this] {
            std::lock_guard lock(FImpl->Mutex);
            return FImpl->MouseUniq;
        },
        limit);
}

void TUhidRemote::WithFirmware(const std::function<void(TRemoteFirmware&, TRemoteFirmware::TTime)>& fn)
{
    {
        std::lock_guard lock(FImpl->Mutex);
        fn(FImpl->Firmware, TClock::now());
    }
    FImpl->Signal();  // something may be due now
}

void TUhidRemote::SetFaults(const TSimFaults& faults)
{
    WithFirmware([&faults](TRemoteFirmware& firmware, TRemoteFirmware::TTime) { firmware.SetFaults(faults); });
}

TSimFaults TUhidRemote::Faults() const
{
    std::lock_guard lock(FImpl->Mutex);
    return FImpl->Firmware.Faults();
}

void TUhidRemote::SetPaced(bool paced)
{
    {
        std::lock_guard lock(FImpl->Mutex);
        FImpl->Pacer.SetPaced(paced);
    }
    FImpl->Signal();
}

std::vector<TByteArray> TUhidRemote::Received() const
{
    std::lock_guard lock(FImpl->Mutex);
    return FImpl->Received;
}

void TUhidRemote::ClearReceived()
{
    std::lock_guard lock(FImpl->Mutex);
    FImpl->Received.clear();
}

std::uint64_t TUhidRemote::PacketsSent() const
{
    std::lock_guard lock(FImpl->Mutex);
    return FImpl->Sent;
}
