#include "UsbHidInterface.h"

#include "EventLoop.h"
#include "Timing.h"

#include <algorithm>
#include <cstring>

// ---------------------------------------------------------------------------
// TFileInputThread
// ---------------------------------------------------------------------------

TFileInputThread::TFileInputThread(IHidHandle& handle, int reportSize)
    : FRing(static_cast<std::size_t>(reportSize) * RingReports, 0), FHandle(handle), FReportSize(reportSize)
{
    // Everything the body uses is in place before the thread starts.
    FThread = std::thread([this] { Execute(); });
}

TFileInputThread::~TFileInputThread()
{
    FStopRequest.store(true, std::memory_order_relaxed);
    if (FThread.joinable())
        FThread.join();
}

void TFileInputThread::Execute()
{
    // One report buffer for the thread's whole life: nothing is allocated per
    // report.
    TByteArray report(static_cast<std::size_t>(FReportSize), 0);
    while (!FStopRequest.load(std::memory_order_relaxed)) {
        // The wait bounds how long a stop request goes unnoticed without
        // polling the device.
        THidReadStatus status = FHandle.Read(report.data(), report.size(), Timing().ReaderWait);
        if (status == THidReadStatus::Ok) {
            Append(report.data(), FReportSize);
        } else if (status == THidReadStatus::Error) {
            // A node that has gone away fails every read at once; without this
            // pause the thread would spin at full speed until the link is
            // destroyed.
            SleepFor(Timing().ReaderWait);
        }
    }
    // A read still in progress is cancelled here, on the thread that issued
    // it, before the link closes the handle.
    FHandle.EndReads();
}

void TFileInputThread::Append(const std::uint8_t* data, int count)
{
    const int length = RingLength();
    const int writePos = FWritePos.load(std::memory_order_relaxed);  // only this thread writes it
    // The acquire orders the GUI thread's copies out of the released bytes
    // before this thread writes over them.
    const int readPos = FReadPos.load(std::memory_order_acquire);
    const int unread = writePos >= readPos ? writePos - readPos : length - readPos + writePos;
    if (count > length - 1 - unread) {
        // The GUI thread is a whole ring behind. Overwriting unread bytes
        // would tear the report it may be copying right now; the newest
        // report is dropped instead.
        FDropped.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    int newPos;
    if (writePos + count < length) {
        std::memcpy(&FRing[writePos], data, count);
        newPos = writePos + count;
    } else {
        const int first = length - writePos;
        std::memcpy(&FRing[writePos], data, first);
        std::memcpy(&FRing[0], data + first, count - first);
        newPos = count - first;
    }
    // The bytes are in the ring before the GUI thread can see the new
    // position.
    FWritePos.store(static_cast<std::uint16_t>(newPos), std::memory_order_release);
}

void TFileInputThread::Flush()
{
    FReadPos.store(FWritePos.load(std::memory_order_acquire), std::memory_order_release);
}

int TFileInputThread::ReadData(TByteArray& data, std::uint16_t count)
{
    const int w = FWritePos.load(std::memory_order_acquire);
    const int r = FReadPos.load(std::memory_order_relaxed);  // only this thread writes it
    const int length = RingLength();
    const int unread = w >= r ? w - r : length - r + w;
    if (data.empty() || count == 0 || w == r)
        return unread;

    const int n = std::min<int>(unread, count);
    if (r + n < length) {
        std::memcpy(data.data(), &FRing[r], n);
        FReadPos.store(static_cast<std::uint16_t>(r + n), std::memory_order_release);
    } else {
        const int first = length - r;
        std::memcpy(data.data(), &FRing[r], first);
        std::memcpy(data.data() + first, &FRing[0], n - first);
        FReadPos.store(static_cast<std::uint16_t>(n - first), std::memory_order_release);
    }
    return n;
}

// ---------------------------------------------------------------------------
// TUsbDevice
// ---------------------------------------------------------------------------

namespace {
// A 16-bit ring position addresses at most 65,535 bytes, so 1000 reports of
// more than 65 bytes cannot be held; and a payload below 64 bytes cannot carry
// the protocol's longest packet. Such a device is treated as not found.
constexpr int MaxReportLength = 65;
constexpr int MinReportLength = 65;
}  // namespace

TUsbDevice::TUsbDevice(IHidPlatform& platform, IGuiEventLoop& loop, int vendorId, int productId,
                       std::string devicePath)
    : FVendorId(vendorId), FProductId(productId), FBoundPath(std::move(devicePath))
{
    // Watch before looking, so that a remote plugged in between is not missed.
    // The watch also runs when the remote is absent: its arrival then leads
    // the owner to reconnect.
    FWatch = platform.Watch(loop, [this](const THotplugEvent& event) { DeviceChange(event); });

    if (!FindDevice(platform))
        return;

    int inputReportLength = 0;
    int outputReportLength = 0;
    if (!FWriteHandle->GetReportLengths(inputReportLength, outputReportLength) ||
        inputReportLength < MinReportLength || inputReportLength > MaxReportLength ||
        outputReportLength < MinReportLength) {
        FWriteHandle.reset();
        FReadHandle.reset();
        FDevicePath.clear();
        return;
    }

    FInputLength = inputReportLength - 1;
    FOutputLength = outputReportLength - 1;
    FConnected = true;
    FWriteBuffer.assign(static_cast<std::size_t>(FOutputLength) + 1, 0);
    FReader = std::make_unique<TFileInputThread>(*FReadHandle, FInputLength + 1);
}

TUsbDevice::~TUsbDevice()
{
    // In this order: no event may reach a half-destroyed link, the reader
    // must be gone before its handle is closed.
    FWatch.reset();
    FReader.reset();
    FWriteHandle.reset();
    FReadHandle.reset();
}

bool TUsbDevice::FindDevice(IHidPlatform& platform)
{
    const std::vector<THidInterfaceInfo> interfaces = platform.Enumerate();
    if (!FBoundPath.empty()) {
        // Only the named interface. The enumeration tells its IDs when it
        // lists it; a path it does not list is still tried, the IDs read from
        // the open handle decide. A listed path is used as the platform spells
        // it (on Windows the user may have typed it in another case).
        const auto listed = std::find_if(interfaces.begin(), interfaces.end(),
                                         [this](const THidInterfaceInfo& info) { return SameDevicePath(info.Path, FBoundPath); });
        THidInterfaceInfo info;
        info.Path = FBoundPath;
        if (listed != interfaces.end())
            info = *listed;
        if (info.IdsKnown && (info.VendorId != FVendorId || info.ProductId != FProductId))
            return false;
        // The user named it as the remote: why it cannot be opened is worth
        // saying even when its IDs are unknown.
        return TryInterface(platform, info, true);
    }

    for (const THidInterfaceInfo& info : interfaces) {
        // Skip what is known not to be the remote without opening it: opening
        // other people's keyboards only fails with permission errors.
        if (info.IdsKnown && (info.VendorId != FVendorId || info.ProductId != FProductId))
            continue;
        if (TryInterface(platform, info, info.IdsKnown))
            return true;
    }
    return false;
}

bool TUsbDevice::TryInterface(IHidPlatform& platform, const THidInterfaceInfo& info, bool reportFailure)
{
    std::error_code error;
    auto writeHandle = platform.Open(info.Path, error);
    if (!writeHandle) {
        // A path where nothing exists (a remote not plugged in) is "not
        // found", not a failure to open.
        const bool absent = error == std::errc::no_such_file_or_directory || error == std::errc::no_such_device;
        if (reportFailure && !FOpenFailure && !(absent && !info.IdsKnown))
            FOpenFailure = TOpenFailure{info.Path, error};
        return false;
    }
    std::uint16_t vid = 0;
    std::uint16_t pid = 0;
    if (!writeHandle->GetAttributes(vid, pid) || vid != static_cast<std::uint16_t>(FVendorId) ||
        pid != static_cast<std::uint16_t>(FProductId))
        return false;
    // The remote, but open for queries only: a link on it would look
    // connected while every write and read fails. Keep the reason instead.
    if (error) {
        if (!FOpenFailure)
            FOpenFailure = TOpenFailure{info.Path, error};
        return false;
    }

    auto readHandle = platform.OpenForReading(info.Path, error);
    if (!readHandle || error) {
        if (!FOpenFailure)
            FOpenFailure = TOpenFailure{info.Path, error};
        return false;
    }
    FWriteHandle = std::move(writeHandle);
    FReadHandle = std::move(readHandle);
    FDevicePath = info.Path;
    FOpenFailure.reset();
    return true;
}

bool TUsbDevice::WriteReport(const TByteArray& data)
{
    if (!FWriteHandle || !FConnected)
        return false;
    if (data.empty() || data.size() > static_cast<std::size_t>(FOutputLength))
        return false;

    FWriteBuffer[0] = 0;  // report ID
    std::copy(data.begin(), data.end(), FWriteBuffer.begin() + 1);
    std::fill(FWriteBuffer.begin() + 1 + static_cast<long>(data.size()), FWriteBuffer.end(), 0);

    // Whatever is still unread is stale: the reply to this report must not be
    // confused with a late reply to an earlier one.
    FReader->Flush();

    const long written = FWriteHandle->Write(FWriteBuffer.data(), FWriteBuffer.size());
    return written == static_cast<long>(FWriteBuffer.size());
}

bool TUsbDevice::ReadReport(TByteArray& data)
{
    if (!FConnected || !FReader)
        return false;
    if (data.empty() || data.size() < static_cast<std::size_t>(FInputLength))
        return false;

    const TTiming& timing = Timing();
    TByteArray none;
    for (int attempt = 0; attempt < timing.ReplyTries; ++attempt) {
        // More than a payload's worth unread means the report ID and a whole
        // payload are there.
        if (FReader->ReadData(none, 0) > static_cast<int>(data.size())) {
            TByteArray reportId(1);
            FReader->ReadData(reportId, 1);  // dropped unseen
            FReader->ReadData(data, static_cast<std::uint16_t>(data.size()));
            return true;
        }
        SleepFor(timing.ReplyTryPause);
    }
    return false;
}

void TUsbDevice::DeviceChange(const THotplugEvent& event)
{
    // Only the remote's own comings and goings count: a mouse unplugged must
    // not hide the pages, a keyboard plugged in must not reset the remote in
    // the middle of a transfer.
    if (!FBoundPath.empty() && !SameDevicePath(event.Interface.Path, FBoundPath))
        return;
    if (event.Kind == THotplugKind::Removal) {
        if (FDevicePath.empty() || !SameDevicePath(event.Interface.Path, FDevicePath))
            return;
        FConnected = false;
    } else {
        if (!event.Interface.IdsKnown || event.Interface.VendorId != static_cast<std::uint16_t>(FVendorId) ||
            event.Interface.ProductId != static_cast<std::uint16_t>(FProductId))
            return;
        FConnected = true;
    }
    // Last: the callback may destroy this link.
    if (OnChange) {
        auto callback = OnChange;
        callback();
    }
}
