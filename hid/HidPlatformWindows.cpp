// The HID platform of Windows: the HID class driver and the device-setup
// functions, bound at run time, and device-change messages to a hidden window.
//
// Every Win32 call of the link lives in this file. What it relies on:
// - "hid.dll" and "setupapi.dll" are loaded from the system directory only
//   (never from the program's folder, where anyone could place a library of
//   that name) and their entry points looked up by name, so the program
//   needs no import library of either (see THidApi);
// - a device is opened twice for overlapped I/O: once for queries and
//   writes, which wait at most TTiming::WriteWait for the device to take the
//   report (then the write is cancelled and fails, as a write that the Linux
//   kernel gives up on), once for reads, which the reader thread issues with
//   ReadFileEx and completes in an alertable SleepEx;
// - a device that another program or the system holds (keyboards, mice)
//   cannot be opened for reading and writing, but opens with access 0 for
//   queries, which is enough to read its IDs and pass it by;
// - arrival and removal come as WM_DEVICECHANGE to a hidden top-level window
//   registered for the HID interface class, on a thread of its own that
//   takes the window's messages; the message carries the device's
//   path, whose case differs from what enumeration returns, so paths are kept
//   in lower case (Windows compares device paths without regard to case).

#include "EventLoop.h"
#include "HidApiWindows.h"
#include "HidPlatform.h"
#include "HotplugDelivery.h"
#include "Timing.h"

#include <dbt.h>

#include <algorithm>
#include <cctype>
#include <condition_variable>
#include <cstddef>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>

// ---------------------------------------------------------------------------
// THidApi
// ---------------------------------------------------------------------------

namespace {

// GetProcAddress returns a generic function pointer; going through void(*)()
// tells the compiler the cast to the real type is meant.
template <typename T>
void Bind(T& entry, HMODULE module, const char* name)
{
    entry = reinterpret_cast<T>(reinterpret_cast<void (*)()>(::GetProcAddress(module, name)));
}

}  // namespace

HMODULE LoadSystemLibrary(const char* name)
{
    // A bare name is looked for in the system directory alone, and so are the
    // libraries it depends on: LoadLibraryA would look in the program's folder
    // first. A name with a folder is loaded from there.
    return ::LoadLibraryExA(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
}

THidApi::~THidApi() { FreeLibraries(); }

void THidApi::FreeLibraries()
{
    // Entry points into a freed module must not stay callable.
    ClearEntryPoints();
    if (FSetupApiModule != nullptr)
        ::FreeLibrary(FSetupApiModule);
    if (FHidModule != nullptr)
        ::FreeLibrary(FHidModule);
    FSetupApiModule = nullptr;
    FHidModule = nullptr;
}

void THidApi::ClearEntryPoints()
{
    HidD_GetHidGuid = nullptr;
    HidD_GetAttributes = nullptr;
    HidD_GetNumInputBuffers = nullptr;
    HidD_SetNumInputBuffers = nullptr;
    HidP_GetCaps = nullptr;
    HidD_GetPreparsedData = nullptr;
    HidD_FreePreparsedData = nullptr;
    SetupDiGetClassDevsA = nullptr;
    SetupDiEnumDeviceInterfaces = nullptr;
    SetupDiGetDeviceInterfaceDetailA = nullptr;
    SetupDiDestroyDeviceInfoList = nullptr;
}

bool THidApi::LoadHidApi(const char* hidName, const char* setupApiName)
{
    FreeLibraries();
    FHidModule = LoadSystemLibrary(hidName);
    if (FHidModule == nullptr)
        return false;
    FSetupApiModule = LoadSystemLibrary(setupApiName);
    if (FSetupApiModule == nullptr)
        return false;

    Bind(HidD_GetHidGuid, FHidModule, "HidD_GetHidGuid");
    Bind(HidD_GetAttributes, FHidModule, "HidD_GetAttributes");
    Bind(HidD_GetNumInputBuffers, FHidModule, "HidD_GetNumInputBuffers");
    Bind(HidD_SetNumInputBuffers, FHidModule, "HidD_SetNumInputBuffers");
    Bind(HidP_GetCaps, FHidModule, "HidP_GetCaps");
    Bind(HidD_GetPreparsedData, FHidModule, "HidD_GetPreparsedData");
    Bind(HidD_FreePreparsedData, FHidModule, "HidD_FreePreparsedData");
    Bind(SetupDiGetClassDevsA, FSetupApiModule, "SetupDiGetClassDevsA");
    Bind(SetupDiEnumDeviceInterfaces, FSetupApiModule, "SetupDiEnumDeviceInterfaces");
    Bind(SetupDiGetDeviceInterfaceDetailA, FSetupApiModule, "SetupDiGetDeviceInterfaceDetailA");
    Bind(SetupDiDestroyDeviceInfoList, FSetupApiModule, "SetupDiDestroyDeviceInfoList");

    if (!HidApiComplete()) {
        FreeLibraries();
        return false;
    }
    return true;
}

bool THidApi::HidApiComplete() const
{
    return HidD_GetHidGuid != nullptr && HidD_GetAttributes != nullptr && HidD_GetNumInputBuffers != nullptr &&
           HidD_SetNumInputBuffers != nullptr && HidP_GetCaps != nullptr && HidD_GetPreparsedData != nullptr &&
           HidD_FreePreparsedData != nullptr && SetupDiGetClassDevsA != nullptr &&
           SetupDiEnumDeviceInterfaces != nullptr && SetupDiGetDeviceInterfaceDetailA != nullptr &&
           SetupDiDestroyDeviceInfoList != nullptr;
}

bool IdsFromDevicePath(const std::string& path, std::uint16_t& vendorId, std::uint16_t& productId)
{
    std::string lower(path.size(), '\0');
    std::transform(path.begin(), path.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    const auto hex4 = [&lower](std::size_t at, std::uint16_t& value) {
        if (at + 4 > lower.size())
            return false;
        unsigned v = 0;
        for (std::size_t i = at; i < at + 4; ++i) {
            const char c = lower[i];
            if (c >= '0' && c <= '9')
                v = v * 16 + static_cast<unsigned>(c - '0');
            else if (c >= 'a' && c <= 'f')
                v = v * 16 + static_cast<unsigned>(c - 'a' + 10);
            else
                return false;
        }
        value = static_cast<std::uint16_t>(v);
        return true;
    };
    const std::size_t vid = lower.find("vid_");
    const std::size_t pid = lower.find("pid_");
    return vid != std::string::npos && pid != std::string::npos && hex4(vid + 4, vendorId) &&
           hex4(pid + 4, productId);
}

namespace {

// ---------------------------------------------------------------------------
// Small owners

// A device handle, closed with its owner.
class TWinHandle {
public:
    TWinHandle() = default;
    explicit TWinHandle(HANDLE handle) : FHandle(handle) {}
    ~TWinHandle() { Reset(); }
    TWinHandle(TWinHandle&& other) noexcept : FHandle(std::exchange(other.FHandle, INVALID_HANDLE_VALUE)) {}
    TWinHandle& operator=(TWinHandle&& other) noexcept
    {
        if (this != &other) {
            Reset();
            FHandle = std::exchange(other.FHandle, INVALID_HANDLE_VALUE);
        }
        return *this;
    }
    TWinHandle(const TWinHandle&) = delete;
    TWinHandle& operator=(const TWinHandle&) = delete;

    HANDLE Get() const { return FHandle; }
    bool Valid() const { return FHandle != INVALID_HANDLE_VALUE && FHandle != nullptr; }
    void Reset()
    {
        if (Valid())
            ::CloseHandle(FHandle);
        FHandle = INVALID_HANDLE_VALUE;
    }

private:
    HANDLE FHandle = INVALID_HANDLE_VALUE;
};

std::string LowerCase(std::string result)
{
    std::transform(result.begin(), result.end(), result.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return result;
}

// Why a device could not be opened, in the terms the link reports: a device
// that is held elsewhere or refused reads as permission_denied, as on Linux.
std::error_code OpenError(DWORD code)
{
    switch (code) {
    case ERROR_ACCESS_DENIED:
        return std::make_error_code(std::errc::permission_denied);
    case ERROR_SHARING_VIOLATION:
        return std::make_error_code(std::errc::device_or_resource_busy);
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_DEVICE_NOT_CONNECTED:
        return std::make_error_code(std::errc::no_such_device);
    default:
        return std::error_code(static_cast<int>(code), std::system_category());
    }
}

constexpr DWORD ReadWriteAccess = GENERIC_READ | GENERIC_WRITE;
constexpr DWORD ShareReadWrite = FILE_SHARE_READ | FILE_SHARE_WRITE;

// Opens a device path for reading and writing; where that is refused, once
// more with access 0, which can only query. firstError is why the first open
// failed, 0 when it did not.
TWinHandle OpenDevice(const std::string& path, DWORD flags, DWORD& firstError)
{
    firstError = 0;
    TWinHandle handle(::CreateFileA(path.c_str(), ReadWriteAccess, ShareReadWrite, nullptr, OPEN_EXISTING,
                                    flags, nullptr));
    if (handle.Valid())
        return handle;
    firstError = ::GetLastError();
    return TWinHandle(::CreateFileA(path.c_str(), 0, ShareReadWrite, nullptr, OPEN_EXISTING, flags, nullptr));
}

bool QueryAttributes(const THidApi& api, HANDLE handle, std::uint16_t& vendorId, std::uint16_t& productId)
{
    THiddAttributes attributes{};
    attributes.Size = sizeof attributes;
    if (!api.HidD_GetAttributes(handle, &attributes))
        return false;
    vendorId = attributes.VendorID;
    productId = attributes.ProductID;
    return true;
}

// ---------------------------------------------------------------------------
// An open HID device

// One overlapped read of one report: its record and its buffer. Owned by the
// handle, and deliberately leaked if a cancelled read never completes, since
// the driver would still write into both.
struct TPendingRead {
    OVERLAPPED Overlapped{};
    std::vector<std::uint8_t> Buffer;
    bool Outstanding = false;
    bool Completed = false;  // set by the completion routine
    DWORD Error = 0;
    DWORD Count = 0;
};

// One overlapped write: its record, its event and the report, which the
// driver reads until the write completes. Owned by the handle and reused;
// leaked, as a read is, if a cancelled write never completes.
struct TPendingWrite {
    OVERLAPPED Overlapped{};
    TWinHandle Event{::CreateEventA(nullptr, TRUE, FALSE, nullptr)};
    std::vector<std::uint8_t> Buffer;
};

// How long a cancelled write may take to complete before its record is
// given up for lost.
constexpr DWORD CancelledWriteWait = 1000;

class TWinHidHandle : public IHidHandle {
public:
    TWinHidHandle(std::shared_ptr<const THidApi> api, TWinHandle handle, bool queryOnly)
        : FApi(std::move(api)), FHandle(std::move(handle)), FQueryOnly(queryOnly),
          FRead(std::make_unique<TPendingRead>()), FWrite(std::make_unique<TPendingWrite>())
    {
    }

    ~TWinHidHandle() override
    {
        if (FRead->Outstanding) {
            // The reader did not end its reads on its own thread (CancelIo
            // reaches only the calling thread's I/O): closing the handle ends
            // the read, but its completion may still come, so the buffers stay.
            FHandle.Reset();
            (void)FRead.release();
        }
    }

    bool GetAttributes(std::uint16_t& vendorId, std::uint16_t& productId) override
    {
        return QueryAttributes(*FApi, FHandle.Get(), vendorId, productId);
    }

    bool GetReportLengths(int& inputLength, int& outputLength) override
    {
        void* preparsed = nullptr;
        if (!FApi->HidD_GetPreparsedData(FHandle.Get(), &preparsed))
            return false;
        THidpCaps caps{};
        const LONG status = FApi->HidP_GetCaps(preparsed, &caps);
        FApi->HidD_FreePreparsedData(preparsed);
        if (status != HidpStatusSuccess)
            return false;
        inputLength = caps.InputReportByteLength;
        outputLength = caps.OutputReportByteLength;
        return true;
    }

    long Write(const std::uint8_t* data, std::size_t length) override
    {
        // No record: an earlier write was given up and never completed.
        if (data == nullptr || length == 0 || length > MAXDWORD || FQueryOnly || !FWrite || !FWrite->Event.Valid())
            return -1;
        TPendingWrite& write = *FWrite;
        write.Buffer.assign(data, data + length);
        write.Overlapped = OVERLAPPED{};
        write.Overlapped.hEvent = write.Event.Get();
        if (!::WriteFile(FHandle.Get(), write.Buffer.data(), static_cast<DWORD>(length), nullptr,
                         &write.Overlapped)) {
            if (::GetLastError() != ERROR_IO_PENDING)
                return -1;
            const auto ms = std::clamp<long long>(Timing().WriteWait.count(), 0, INFINITE - 1);
            if (::WaitForSingleObject(write.Event.Get(), static_cast<DWORD>(ms)) != WAIT_OBJECT_0) {
                // The device takes no report: give up, so that a remote that
                // stops taking them cannot hold the program. The write was
                // issued on this thread, where CancelIo reaches it.
                ::CancelIo(FHandle.Get());
                if (::WaitForSingleObject(write.Event.Get(), CancelledWriteWait) != WAIT_OBJECT_0) {
                    (void)FWrite.release();
                    return -1;
                }
                // It may have gone out after all, just before the cancel.
                DWORD written = 0;
                if (::GetOverlappedResult(FHandle.Get(), &write.Overlapped, &written, FALSE) &&
                    written == length)
                    return static_cast<long>(written);
                ::SetLastError(ERROR_TIMEOUT);
                return -1;
            }
        }
        DWORD written = 0;
        if (!::GetOverlappedResult(FHandle.Get(), &write.Overlapped, &written, FALSE))
            return -1;
        return static_cast<long>(written);
    }

    THidReadStatus Read(std::uint8_t* buffer, std::size_t length, std::chrono::milliseconds wait) override
    {
        if (buffer == nullptr || length == 0 || length > MAXDWORD)
            return THidReadStatus::Error;
        TPendingRead& read = *FRead;

        if (!read.Outstanding) {
            if (read.Buffer.size() != length)
                read.Buffer.assign(length, 0);  // once: every read asks for the same size
            read.Overlapped = OVERLAPPED{};
            // ReadFileEx leaves hEvent to the caller: it carries the record
            // to the completion routine.
            read.Overlapped.hEvent = &read;
            read.Completed = false;
            if (!::ReadFileEx(FHandle.Get(), read.Buffer.data(), static_cast<DWORD>(length), &read.Overlapped,
                              &ReadCompletion)) {
                // Refused (a query-only handle, an unplugged device): the
                // reader pauses before it asks again.
                return THidReadStatus::Error;
            }
            read.Outstanding = true;
        }

        // The completion routine runs inside this wait when the read ends.
        const auto ms = std::clamp<long long>(wait.count(), 0, INFINITE - 1);
        const DWORD waited = ::SleepEx(static_cast<DWORD>(ms), TRUE);
        if (waited != WAIT_IO_COMPLETION || !read.Completed)
            return THidReadStatus::Timeout;  // still outstanding: the next call waits again

        read.Outstanding = false;
        DWORD count = 0;
        if (read.Error != ERROR_SUCCESS ||
            !::GetOverlappedResult(FHandle.Get(), &read.Overlapped, &count, FALSE) || count == 0)
            return THidReadStatus::Error;  // adds nothing; the reader pauses
        // Windows delivers the report ID first, also for a device without
        // numbered reports (as 0), and never more than the report length.
        const std::size_t taken = std::min<std::size_t>(count, length);
        std::memcpy(buffer, read.Buffer.data(), taken);
        std::memset(buffer + taken, 0, length - taken);
        return THidReadStatus::Ok;
    }

    void EndReads() override
    {
        TPendingRead& read = *FRead;
        if (!read.Outstanding)
            return;
        ::CancelIo(FHandle.Get());
        // CancelIo does not wait: the read completes (with
        // ERROR_OPERATION_ABORTED) and its routine runs in a later alertable
        // wait. Until then the driver may still write into the record.
        for (int i = 0; i < 50 && !read.Completed; ++i)
            ::SleepEx(100, TRUE);
        if (read.Completed)
            read.Outstanding = false;
    }

private:
    static VOID CALLBACK ReadCompletion(DWORD error, DWORD count, OVERLAPPED* overlapped)
    {
        auto* read = static_cast<TPendingRead*>(overlapped->hEvent);
        read->Error = error;
        read->Count = count;
        read->Completed = true;
    }

    std::shared_ptr<const THidApi> FApi;  // the entry points outlive the handle
    TWinHandle FHandle;
    bool FQueryOnly;
    std::unique_ptr<TPendingRead> FRead;
    std::unique_ptr<TPendingWrite> FWrite;
};

// ---------------------------------------------------------------------------
// The hotplug watch
//
// A hidden top-level window registered for arrival and removal of HID
// interfaces, on a thread of the watch's own that does nothing but take its
// messages. The window must answer at once, whatever the GUI thread is
// doing (a dump of the whole flash does not dispatch for minutes): a program
// that broadcasts a message to every top-level window waits for each one.
// Its window procedure posts one THotplugEvent per message to the GUI thread
// through PostHotplugEvent, as the Linux watch does.

// Ends the window's thread; posted by the watch's destructor.
constexpr UINT QuitWatchMessage = WM_APP + 1;

class TWinHotplugWatch : public IHotplugWatch {
public:
    TWinHotplugWatch(std::shared_ptr<const THidApi> api, IGuiEventLoop& loop,
                     std::function<void(const THotplugEvent&)> callback)
        : FApi(std::move(api)), FLoop(loop), FState(std::make_shared<THotplugDelivery>())
    {
        FState->Callback = std::move(callback);
        if (!FApi || !FApi->HidApiComplete() || !RegisterWindowClass())
            return;  // a watch that never reports
        FApi->HidD_GetHidGuid(&FHidGuid);
        // The window and its registration exist before the constructor
        // returns, so that nothing plugged in after it is missed.
        FThread = std::thread([this] { Execute(); });
        std::unique_lock lock(FMutex);
        FStarted.wait(lock, [this] { return FReady; });
    }

    ~TWinHotplugWatch() override
    {
        // No posted call reaches the callback from here on; then the thread
        // unregisters and destroys the window, and no message reaches this
        // object after the join.
        FState->Alive = false;
        if (!FThread.joinable())
            return;
        if (FWindow != nullptr)
            ::PostMessageA(FWindow, QuitWatchMessage, 0, 0);
        FThread.join();
    }

    TWinHotplugWatch(const TWinHotplugWatch&) = delete;
    TWinHotplugWatch& operator=(const TWinHotplugWatch&) = delete;

    TNotifyWindowInfo Info() const { return {FWindow, FNotification != nullptr}; }

private:
    // The window's thread: creates and registers the window, takes its
    // messages until the destructor asks it to end, then undoes both.
    void Execute()
    {
        HWND window = ::CreateWindowExA(0, HidNotifyWindowClass, "", WS_OVERLAPPED, 0, 0, 0, 0, nullptr, nullptr,
                                        ::GetModuleHandleA(nullptr), nullptr);
        HDEVNOTIFY notification = nullptr;
        if (window != nullptr) {
            ::SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
            DEV_BROADCAST_DEVICEINTERFACE_A filter{};
            static_assert(sizeof filter == 32);
            filter.dbcc_size = sizeof filter;
            filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
            filter.dbcc_classguid = FHidGuid;
            notification = ::RegisterDeviceNotificationA(window, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
        }
        {
            std::lock_guard lock(FMutex);
            FWindow = window;
            FNotification = notification;
            FReady = true;
        }
        FStarted.notify_one();
        if (window == nullptr)
            return;

        MSG message;
        while (::GetMessageA(&message, nullptr, 0, 0) > 0) {
            if (message.hwnd == window && message.message == QuitWatchMessage)
                break;
            ::TranslateMessage(&message);
            ::DispatchMessageA(&message);
        }
        if (notification != nullptr)
            ::UnregisterDeviceNotification(notification);
        ::SetWindowLongPtrA(window, GWLP_USERDATA, 0);
        ::DestroyWindow(window);
    }

    static bool RegisterWindowClass()
    {
        // Once per process; the class outlives every window of it.
        static const bool registered = [] {
            WNDCLASSA windowClass{};
            windowClass.lpfnWndProc = &DeviceChangeWndProc;
            windowClass.hInstance = ::GetModuleHandleA(nullptr);
            windowClass.lpszClassName = HidNotifyWindowClass;
            return ::RegisterClassA(&windowClass) != 0 || ::GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
        }();
        return registered;
    }

    // On the window's thread.
    static LRESULT CALLBACK DeviceChangeWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
    {
        const LRESULT result = ::DefWindowProcA(window, message, wParam, lParam);
        // Volume and port arrivals are broadcast to every top-level window
        // without a registration; only device-interface records of the HID
        // class count.
        if (message != WM_DEVICECHANGE || (wParam != DBT_DEVICEARRIVAL && wParam != DBT_DEVICEREMOVECOMPLETE))
            return result;
        auto* watch = reinterpret_cast<TWinHotplugWatch*>(::GetWindowLongPtrA(window, GWLP_USERDATA));
        if (watch != nullptr)
            watch->Deliver(wParam == DBT_DEVICEARRIVAL ? THotplugKind::Arrival : THotplugKind::Removal,
                           reinterpret_cast<const DEV_BROADCAST_HDR*>(lParam));
        return result;
    }

    // On the window's thread; FApi and FHidGuid do not change once it runs.
    void Deliver(THotplugKind kind, const DEV_BROADCAST_HDR* header)
    {
        constexpr std::size_t nameOffset = offsetof(DEV_BROADCAST_DEVICEINTERFACE_A, dbcc_name);
        if (header == nullptr || header->dbch_devicetype != DBT_DEVTYP_DEVICEINTERFACE ||
            header->dbch_size <= nameOffset)
            return;
        const auto* record = reinterpret_cast<const DEV_BROADCAST_DEVICEINTERFACE_A*>(header);
        if (!::IsEqualGUID(record->dbcc_classguid, FHidGuid))
            return;
        // The name runs to its terminator, within the record's size.
        const std::size_t room = header->dbch_size - nameOffset;
        const char* name = record->dbcc_name;
        const std::size_t length = ::strnlen(name, room);

        THotplugEvent event;
        event.Kind = kind;
        event.Interface.Path = LowerCase(std::string(name, length));
        if (kind == THotplugKind::Arrival) {
            // The device is there: ask it, as enumeration's caller would.
            DWORD firstError = 0;
            TWinHandle handle = OpenDevice(event.Interface.Path, 0, firstError);
            event.Interface.IdsKnown = handle.Valid() && QueryAttributes(*FApi, handle.Get(),
                                                                         event.Interface.VendorId,
                                                                         event.Interface.ProductId);
        }
        // A removed device cannot be asked any more; its path may still say.
        if (!event.Interface.IdsKnown)
            event.Interface.IdsKnown =
                IdsFromDevicePath(event.Interface.Path, event.Interface.VendorId, event.Interface.ProductId);

        PostHotplugEvent(FLoop, FState, std::move(event));
    }

    std::shared_ptr<const THidApi> FApi;
    IGuiEventLoop& FLoop;
    std::shared_ptr<THotplugDelivery> FState;
    GUID FHidGuid{};
    // Set by the window's thread before the constructor returns, then fixed.
    HWND FWindow = nullptr;
    HDEVNOTIFY FNotification = nullptr;
    std::mutex FMutex;
    std::condition_variable FStarted;
    bool FReady = false;
    std::thread FThread;
};

// ---------------------------------------------------------------------------
// The platform

// A device-information list, destroyed with its owner.
class TDeviceInfoList {
public:
    TDeviceInfoList(const THidApi& api, HANDLE list) : FApi(api), FList(list) {}
    ~TDeviceInfoList()
    {
        if (Valid())
            FApi.SetupDiDestroyDeviceInfoList(FList);
    }
    TDeviceInfoList(const TDeviceInfoList&) = delete;
    TDeviceInfoList& operator=(const TDeviceInfoList&) = delete;

    HANDLE Get() const { return FList; }
    bool Valid() const { return FList != INVALID_HANDLE_VALUE && FList != nullptr; }

private:
    const THidApi& FApi;
    HANDLE FList;
};

class TWinHidPlatform : public IHidPlatform {
public:
    std::vector<THidInterfaceInfo> Enumerate() override
    {
        std::vector<THidInterfaceInfo> result;
        const std::shared_ptr<const THidApi> api = Api();
        if (!api)
            return result;

        GUID hidGuid{};
        api->HidD_GetHidGuid(&hidGuid);
        TDeviceInfoList list(*api, api->SetupDiGetClassDevsA(&hidGuid, nullptr, nullptr, DigcfPresentInterfaces));
        if (!list.Valid())
            return result;

        for (DWORD index = 0;; ++index) {
            TSpDeviceInterfaceData interfaceData{};
            interfaceData.cbSize = sizeof interfaceData;
            if (!api->SetupDiEnumDeviceInterfaces(list.Get(), nullptr, &hidGuid, index, &interfaceData))
                break;

            TSpDevinfoData deviceData{};
            deviceData.cbSize = sizeof deviceData;
            DWORD size = 0;
            if (api->SetupDiGetDeviceInterfaceDetailA(list.Get(), &interfaceData, nullptr, 0, &size,
                                                      &deviceData) ||
                ::GetLastError() != ERROR_INSUFFICIENT_BUFFER || size <= sizeof(DWORD))
                continue;

            // Room for the record as the first call sized it; the size field
            // is that of the record for this process's width.
            std::vector<DWORD> storage((size + sizeof(DWORD) - 1) / sizeof(DWORD) + 1, 0);
            auto* detail = reinterpret_cast<TSpDeviceInterfaceDetailDataA*>(storage.data());
            detail->cbSize = sizeof(TSpDeviceInterfaceDetailDataA);
            if (!api->SetupDiGetDeviceInterfaceDetailA(list.Get(), &interfaceData, detail, size, nullptr,
                                                       &deviceData))
                continue;
            // The zero-filled slack behind the record ends the path even if
            // the call did not.
            THidInterfaceInfo info;
            info.Path = LowerCase(detail->DevicePath);
            result.push_back(std::move(info));
        }
        return result;
    }

    // Both handles are opened for overlapped I/O: the reader's for reads
    // that it can wait on and cancel, the other for writes with a bounded
    // wait.
    std::unique_ptr<IHidHandle> Open(const std::string& path, std::error_code& error) override
    {
        return OpenWith(path, error);
    }

    std::unique_ptr<IHotplugWatch> Watch(IGuiEventLoop& loop,
                                         std::function<void(const THotplugEvent&)> callback) override
    {
        return std::make_unique<TWinHotplugWatch>(Api(), loop, std::move(callback));
    }

private:
    // The binding, made on first use and again after a failure, so that a
    // reconnection retries it. Handles and watches keep the libraries loaded
    // for as long as they live.
    std::shared_ptr<const THidApi> Api()
    {
        if (!FApi) {
            auto api = std::make_shared<THidApi>();
            if (api->LoadHidApi())
                FApi = std::move(api);
        }
        return FApi;
    }

    std::unique_ptr<IHidHandle> OpenWith(const std::string& path, std::error_code& error)
    {
        const std::shared_ptr<const THidApi> api = Api();
        if (!api) {
            error = std::make_error_code(std::errc::no_such_device);
            return nullptr;
        }
        DWORD firstError = 0;
        TWinHandle handle = OpenDevice(path, FILE_FLAG_OVERLAPPED, firstError);
        if (!handle.Valid()) {
            error = OpenError(firstError);
            return nullptr;
        }
        const bool queryOnly = firstError != 0;
        if (queryOnly)
            error = OpenError(firstError);
        else
            error.clear();
        return std::make_unique<TWinHidHandle>(api, std::move(handle), queryOnly);
    }

    std::shared_ptr<const THidApi> FApi;
};

}  // namespace

const char* const HidNotifyWindowClass = "CorvaneHidNotifyWindow";

TNotifyWindowInfo NotifyWindowOf(const IHotplugWatch& watch)
{
    const auto* windows = dynamic_cast<const TWinHotplugWatch*>(&watch);
    return windows != nullptr ? windows->Info() : TNotifyWindowInfo{};
}

std::unique_ptr<IHidPlatform> CreateSystemHidPlatform()
{
    return std::make_unique<TWinHidPlatform>();
}
