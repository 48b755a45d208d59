// The Windows backend against the HID devices of the machine it runs on.
//
// Under wine these are wine's own virtual HID devices (vendor 0x845E, their
// number varies), which can be enumerated, opened and queried, and which
// send no input: a read on them stays outstanding until it is cancelled.
// Wine cannot plug or unplug a device, so arrival and removal are sent to
// the hidden window as the messages Windows would send.

#include "EventLoop.h"
#include "HidApiWindows.h"
#include "HidPlatform.h"
#include "TestEventLoop.h"
#include "TimerResolution.h"
#include "Timing.h"
#include "UsbHidInterface.h"

#include <dbt.h>
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr std::uint16_t WineVendorId = 0x845E;

std::string GuidText(const GUID& guid)
{
    char text[40];
    std::snprintf(text, sizeof text, "%08lX-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X",
                  static_cast<unsigned long>(guid.Data1), guid.Data2, guid.Data3, guid.Data4[0], guid.Data4[1],
                  guid.Data4[2], guid.Data4[3], guid.Data4[4], guid.Data4[5], guid.Data4[6], guid.Data4[7]);
    return text;
}

GUID HidGuid()
{
    THidApi api;
    EXPECT_TRUE(api.LoadHidApi());
    GUID guid{};
    if (api.HidApiComplete())
        api.HidD_GetHidGuid(&guid);
    return guid;
}

// A present HID device with its IDs, found through the platform.
struct TFoundDevice {
    std::string Path;
    std::uint16_t VendorId = 0;
    std::uint16_t ProductId = 0;
};

std::vector<TFoundDevice> PresentDevices(IHidPlatform& platform)
{
    std::vector<TFoundDevice> found;
    for (const THidInterfaceInfo& info : platform.Enumerate()) {
        std::error_code error;
        auto handle = platform.Open(info.Path, error);
        TFoundDevice device{info.Path};
        if (handle && handle->GetAttributes(device.VendorId, device.ProductId))
            found.push_back(device);
    }
    return found;
}

std::vector<TFoundDevice> WineDevices(IHidPlatform& platform)
{
    std::vector<TFoundDevice> wine;
    for (const TFoundDevice& device : PresentDevices(platform))
        if (device.VendorId == WineVendorId)
            wine.push_back(device);
    return wine;
}

// The hidden notification windows of this process (each on its watch's
// thread).
std::vector<HWND> NotifyWindows()
{
    std::vector<HWND> windows;
    ::EnumWindows(
        [](HWND window, LPARAM param) -> BOOL {
            char name[64] = {};
            DWORD process = 0;
            ::GetWindowThreadProcessId(window, &process);
            ::GetClassNameA(window, name, sizeof name);
            if (process == ::GetCurrentProcessId() && std::strcmp(name, HidNotifyWindowClass) == 0)
                reinterpret_cast<std::vector<HWND>*>(param)->push_back(window);
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&windows));
    return windows;
}

// A device-change broadcast record for a device interface: the header, the
// class and the zero-terminated path, as Windows sends it.
std::vector<std::uint8_t> InterfaceRecord(const GUID& classGuid, const std::string& path)
{
    const std::size_t nameOffset = offsetof(DEV_BROADCAST_DEVICEINTERFACE_A, dbcc_name);
    std::vector<std::uint8_t> bytes(std::max(sizeof(DEV_BROADCAST_DEVICEINTERFACE_A), nameOffset + path.size() + 1), 0);
    auto* record = reinterpret_cast<DEV_BROADCAST_DEVICEINTERFACE_A*>(bytes.data());
    record->dbcc_size = static_cast<DWORD>(bytes.size());
    record->dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    record->dbcc_classguid = classGuid;
    std::memcpy(bytes.data() + nameOffset, path.c_str(), path.size() + 1);
    return bytes;
}

std::string UpperCase(std::string text)
{
    for (char& c : text)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

// A file beside the test program, by its full name: the binding loads bare
// names from the system directory only.
std::string BesideProgram(const char* name)
{
    char program[MAX_PATH] = "";
    const std::string path(program, ::GetModuleFileNameA(nullptr, program, sizeof program));
    return path.substr(0, path.find_last_of("\\/") + 1) + name;
}

const std::string IncompleteHid = BesideProgram("hid_incomplete.dll");

using Clock = std::chrono::steady_clock;

double MillisecondsSince(Clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

}  // namespace

// ---------------------------------------------------------------------------
// Binding

struct TBindingCase {
    const char* Name;
    std::string HidName;
    std::string SetupApiName;
    bool Complete;
    bool HidLoadedAfter;
};

class TBindingTest : public ::testing::TestWithParam<TBindingCase> {};

TEST_P(TBindingTest, BindsAllElevenOrHoldsNothing)
{
    const TBindingCase& c = GetParam();
    THidApi api;
    EXPECT_EQ(api.LoadHidApi(c.HidName.c_str(), c.SetupApiName.c_str()), c.Complete);
    EXPECT_EQ(api.HidApiComplete(), c.Complete);
    EXPECT_EQ(api.HidModule() != nullptr, c.HidLoadedAfter);
    EXPECT_EQ(api.SetupApiModule() != nullptr, c.Complete);

    const void* entries[] = {
        reinterpret_cast<const void*>(api.HidD_GetHidGuid),
        reinterpret_cast<const void*>(api.HidD_GetAttributes),
        reinterpret_cast<const void*>(api.HidD_GetNumInputBuffers),
        reinterpret_cast<const void*>(api.HidD_SetNumInputBuffers),
        reinterpret_cast<const void*>(api.HidP_GetCaps),
        reinterpret_cast<const void*>(api.HidD_GetPreparsedData),
        reinterpret_cast<const void*>(api.HidD_FreePreparsedData),
        reinterpret_cast<const void*>(api.SetupDiGetClassDevsA),
        reinterpret_cast<const void*>(api.SetupDiEnumDeviceInterfaces),
        reinterpret_cast<const void*>(api.SetupDiGetDeviceInterfaceDetailA),
        reinterpret_cast<const void*>(api.SetupDiDestroyDeviceInfoList),
    };
    for (const void* entry : entries)
        EXPECT_EQ(entry != nullptr, c.Complete);
}

INSTANTIATE_TEST_SUITE_P(
    Libraries, TBindingTest,
    ::testing::Values(TBindingCase{"Present", "hid.dll", "setupapi.dll", true, true},
                      TBindingCase{"NoHidLibrary", "no-such-hid.dll", "setupapi.dll", false, false},
                      // Looked for in the system directory only.
                      TBindingCase{"NotInTheSystemDirectory", "hid_incomplete.dll", "setupapi.dll", false, false},
                      // The HID library stays until the object goes.
                      TBindingCase{"NoSetupLibrary", "hid.dll", "no-such-setupapi.dll", false, true},
                      // An entry point missing, although the link never calls it.
                      TBindingCase{"OneEntryPointMissing", IncompleteHid, "setupapi.dll", false, false},
                      TBindingCase{"SetupFunctionsMissing", "hid.dll", "hid.dll", false, false}),
    [](const auto& info) { return std::string(info.param.Name); });

TEST(TBinding, AnIncompleteBindingUnloadsItsLibrary)
{
    ASSERT_EQ(::GetModuleHandleA(IncompleteHid.c_str()), nullptr);
    THidApi api;
    EXPECT_FALSE(api.LoadHidApi(IncompleteHid.c_str(), "setupapi.dll"));
    // Loaded by nobody else: the binding's own reference is gone.
    EXPECT_EQ(::GetModuleHandleA(IncompleteHid.c_str()), nullptr);
}

TEST(TBinding, HidGuidIsTheHidInterfaceClass)
{
    THidApi api;
    ASSERT_TRUE(api.LoadHidApi());
    GUID first{};
    GUID second{};
    api.HidD_GetHidGuid(&first);
    api.HidD_GetHidGuid(&second);
    EXPECT_EQ(GuidText(first), "4D1E55B2-F16F-11CF-88CB-001111000030");
    EXPECT_TRUE(::IsEqualGUID(first, second));
}

// Two programs' worth: each asks for 1 ms ticks and gives them back.
TEST(TTimers, MillisecondTicksAreGranted)
{
    for (int i = 0; i < 2; ++i) {
        const TFineTimers fineTimers;
        EXPECT_TRUE(fineTimers.Granted());
    }
}

// ---------------------------------------------------------------------------
// Enumeration, opening, queries

TEST(TWinPlatform, EnumeratesPresentInterfacesAsLowerCasePaths)
{
    auto platform = CreateSystemHidPlatform();
    const std::vector<THidInterfaceInfo> interfaces = platform->Enumerate();
    std::printf("HID interfaces present: %zu\n", interfaces.size());
    if (interfaces.empty())
        GTEST_SKIP() << "no HID interface on this machine";
    for (const THidInterfaceInfo& info : interfaces) {
        std::printf("  %s\n", info.Path.c_str());
        EXPECT_EQ(info.Path, [&] {
            std::string lower = info.Path;
            for (char& c : lower)
                c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            return lower;
        }());
        EXPECT_EQ(info.Path.rfind("\\\\?\\hid#", 0), 0u) << info.Path;
    }
    // The same order every time.
    const std::vector<THidInterfaceInfo> again = platform->Enumerate();
    ASSERT_EQ(again.size(), interfaces.size());
    for (std::size_t i = 0; i < again.size(); ++i)
        EXPECT_EQ(again[i].Path, interfaces[i].Path);
}

TEST(TWinPlatform, OpensWineDevicesTwiceAndQueriesThem)
{
    auto platform = CreateSystemHidPlatform();
    const std::vector<TFoundDevice> devices = WineDevices(*platform);
    if (devices.empty())
        GTEST_SKIP() << "no wine virtual HID device (vendor 0x845E): not running under wine";

    for (const TFoundDevice& device : devices) {
        SCOPED_TRACE(device.Path);
        std::error_code writeError;
        std::error_code readError;
        auto writeHandle = platform->Open(device.Path, writeError);
        auto readHandle = platform->OpenForReading(device.Path, readError);
        ASSERT_TRUE(writeHandle);
        ASSERT_TRUE(readHandle);
        EXPECT_FALSE(writeError);
        EXPECT_FALSE(readError);

        for (IHidHandle* handle : {writeHandle.get(), readHandle.get()}) {
            std::uint16_t vendorId = 0;
            std::uint16_t productId = 0;
            ASSERT_TRUE(handle->GetAttributes(vendorId, productId));
            EXPECT_EQ(vendorId, WineVendorId);
            EXPECT_EQ(productId, device.ProductId);

            int inputLength = -1;
            int outputLength = -1;
            ASSERT_TRUE(handle->GetReportLengths(inputLength, outputLength));
            EXPECT_GT(inputLength, 1);  // report ID and at least one byte
            EXPECT_GE(outputLength, 0);
            std::printf("%04X:%04X input report %d bytes, output report %d bytes\n", vendorId, productId,
                        inputLength, outputLength);
        }
    }
}

TEST(TWinPlatform, AMissingDeviceIsNotOpened)
{
    auto platform = CreateSystemHidPlatform();
    std::error_code error;
    EXPECT_FALSE(platform->Open("\\\\?\\hid#vid_1209&pid_0001#0&0000&0&0#{4d1e55b2-f16f-11cf-88cb-001111000030}",
                                error));
    EXPECT_TRUE(error);
}

// ---------------------------------------------------------------------------
// Writing: the wait for the device to take a report is bounded
//
// Wine's devices have no output reports, and nothing makes a device stop
// taking them. A named pipe stands in: the backend opens it as it opens a
// device, and a pipe whose server reads nothing takes writes until its
// buffer is full, then leaves the next one pending.

namespace {

// The server end of a pipe with a small buffer, read only when asked.
struct TPipeServer {
    std::string Name = "\\\\.\\pipe\\corvane-write-" + std::to_string(::GetCurrentProcessId());
    HANDLE Pipe = ::CreateNamedPipeA(Name.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE | PIPE_WAIT, 1, 0, 256, 0,
                                     nullptr);
    ~TPipeServer() { ::CloseHandle(Pipe); }

    // Everything written so far.
    std::vector<std::uint8_t> Drain()
    {
        std::vector<std::uint8_t> bytes;
        DWORD available = 0;
        while (::PeekNamedPipe(Pipe, nullptr, 0, nullptr, &available, nullptr) && available > 0) {
            std::vector<std::uint8_t> chunk(available);
            DWORD got = 0;
            if (!::ReadFile(Pipe, chunk.data(), available, &got, nullptr))
                break;
            bytes.insert(bytes.end(), chunk.begin(), chunk.begin() + got);
        }
        return bytes;
    }
};

}  // namespace

TEST(TWinPlatform, AWriteNobodyTakesFailsAfterItsWait)
{
    TTiming timing;
    timing.WriteWait = std::chrono::milliseconds(200);
    TScopedTiming shortWait(timing);
    TPipeServer server;
    ASSERT_NE(server.Pipe, INVALID_HANDLE_VALUE);
    auto platform = CreateSystemHidPlatform();
    std::error_code error;
    auto handle = platform->Open(server.Name, error);
    ASSERT_TRUE(handle) << error.message();
    ASSERT_FALSE(error);
    ::ConnectNamedPipe(server.Pipe, nullptr);  // connected already: returns at once

    std::vector<std::uint8_t> report(65);
    for (std::size_t i = 0; i < report.size(); ++i)
        report[i] = static_cast<std::uint8_t>(i);
    // Taken at once.
    EXPECT_EQ(handle->Write(report.data(), report.size()), 65);
    EXPECT_EQ(server.Drain(), report);

    // Nobody reads: the buffer fills, then a write fails once its wait is
    // over instead of hanging.
    int taken = 0;
    const Clock::time_point start = Clock::now();
    while (taken < 10000 && handle->Write(report.data(), report.size()) == 65)
        ++taken;
    ASSERT_LT(taken, 10000) << "the pipe took every write";
    std::printf("%d reports taken, then the write failed after %.0f ms in all (wait 200 ms)\n", taken,
                MillisecondsSince(start));

    // The handle writes again once the other end reads.
    server.Drain();
    EXPECT_EQ(handle->Write(report.data(), report.size()), 65);
    const std::vector<std::uint8_t> last = server.Drain();
    ASSERT_GE(last.size(), report.size());
    EXPECT_TRUE(std::equal(report.begin(), report.end(), last.end() - 65));
}

// ---------------------------------------------------------------------------
// Reading: an outstanding read is cancelled at teardown

namespace {

// Passes every call through to a real handle and tells when the reader has
// entered its first read, so that a test stops it with a read outstanding.
class TReadStarted : public IHidHandle {
public:
    explicit TReadStarted(IHidHandle& inner) : FInner(inner) {}

    bool GetAttributes(std::uint16_t& vendorId, std::uint16_t& productId) override
    {
        return FInner.GetAttributes(vendorId, productId);
    }
    bool GetReportLengths(int& inputLength, int& outputLength) override
    {
        return FInner.GetReportLengths(inputLength, outputLength);
    }
    long Write(const std::uint8_t* data, std::size_t length) override { return FInner.Write(data, length); }
    THidReadStatus Read(std::uint8_t* buffer, std::size_t length, std::chrono::milliseconds wait) override
    {
        {
            std::lock_guard lock(FMutex);
            FReads++;
        }
        FStarted.notify_all();
        return FInner.Read(buffer, length, wait);
    }
    void EndReads() override { FInner.EndReads(); }

    bool WaitForRead()
    {
        std::unique_lock lock(FMutex);
        return FStarted.wait_for(lock, std::chrono::seconds(10), [this] { return FReads > 0; });
    }

private:
    IHidHandle& FInner;
    std::mutex FMutex;
    std::condition_variable FStarted;
    int FReads = 0;
};

// A wine device opened for reading, with its input report length.
struct TWineReadFixture : ::testing::Test {
    std::unique_ptr<IHidPlatform> Platform = CreateSystemHidPlatform();
    std::unique_ptr<IHidHandle> Handle;
    int InputLength = 0;

    void SetUp() override
    {
        const std::vector<TFoundDevice> devices = WineDevices(*Platform);
        if (devices.empty())
            GTEST_SKIP() << "no wine virtual HID device (vendor 0x845E): not running under wine";
        std::error_code error;
        Handle = Platform->OpenForReading(devices.front().Path, error);
        ASSERT_TRUE(Handle);
        int outputLength = 0;
        ASSERT_TRUE(Handle->GetReportLengths(InputLength, outputLength));
    }
};

}  // namespace

TEST_F(TWineReadFixture, AnOutstandingReadIsCancelledWhenReadsEnd)
{

    // Nothing moves wine's virtual devices: the read stays outstanding.
    std::vector<std::uint8_t> report(static_cast<std::size_t>(InputLength));
    EXPECT_EQ(Handle->Read(report.data(), report.size(), std::chrono::milliseconds(20)), THidReadStatus::Timeout);
    const Clock::time_point start = Clock::now();
    Handle->EndReads();
    std::printf("outstanding read cancelled in %.1f ms\n", MillisecondsSince(start));

    // The handle reads again afterwards.
    EXPECT_EQ(Handle->Read(report.data(), report.size(), std::chrono::milliseconds(1)), THidReadStatus::Timeout);
    Handle->EndReads();
}

TEST_F(TWineReadFixture, TheReaderStopsWithAReadOutstanding)
{

    TReadStarted watched(*Handle);
    auto reader = std::make_unique<TFileInputThread>(watched, InputLength);
    ASSERT_TRUE(watched.WaitForRead());
    const Clock::time_point start = Clock::now();
    reader.reset();  // joins: the body cancels its read on its own thread
    std::printf("reader stopped in %.1f ms (one read wait is 100 ms)\n", MillisecondsSince(start));
}

// ---------------------------------------------------------------------------
// The link on the Windows backend

TEST(TWinLink, ADeviceWithUnsafeReportSizesIsNotConnected)
{
    auto platform = CreateSystemHidPlatform();
    const std::vector<TFoundDevice> devices = WineDevices(*platform);
    if (devices.empty())
        GTEST_SKIP() << "no wine virtual HID device (vendor 0x845E): not running under wine";
    TTestEventLoop loop;
    // Wine's devices have short input reports and no output report: the link
    // could not carry the protocol's packets on them.
    TUsbDevice link(*platform, loop, devices.front().VendorId, devices.front().ProductId);
    EXPECT_FALSE(link.Connected());
    EXPECT_EQ(link.InputLength(), -1);
    EXPECT_EQ(link.OutputLength(), -1);
    EXPECT_EQ(link.Reader(), nullptr);
    EXPECT_TRUE(link.DevicePath().empty());
    EXPECT_FALSE(link.OpenFailure());
}

namespace {

// Wine's devices with the report lengths of the remote: their input reports
// are shorter, so the link would not take them. Everything else goes to the
// Windows backend unchanged.
class TProtocolSizedHandle : public IHidHandle {
public:
    explicit TProtocolSizedHandle(std::unique_ptr<IHidHandle> inner) : FInner(std::move(inner)) {}
    bool GetAttributes(std::uint16_t& vendorId, std::uint16_t& productId) override
    {
        return FInner->GetAttributes(vendorId, productId);
    }
    bool GetReportLengths(int& inputLength, int& outputLength) override
    {
        inputLength = outputLength = 65;
        int in = 0;
        int out = 0;
        return FInner->GetReportLengths(in, out);
    }
    long Write(const std::uint8_t* data, std::size_t length) override { return FInner->Write(data, length); }
    THidReadStatus Read(std::uint8_t* buffer, std::size_t length, std::chrono::milliseconds wait) override
    {
        return FInner->Read(buffer, length, wait);
    }
    void EndReads() override { FInner->EndReads(); }

private:
    std::unique_ptr<IHidHandle> FInner;
};

class TProtocolSizedPlatform : public IHidPlatform {
public:
    explicit TProtocolSizedPlatform(IHidPlatform& inner) : FInner(inner) {}
    std::vector<THidInterfaceInfo> Enumerate() override { return FInner.Enumerate(); }
    std::unique_ptr<IHidHandle> Open(const std::string& path, std::error_code& error) override
    {
        return Sized(FInner.Open(path, error));
    }
    std::unique_ptr<IHidHandle> OpenForReading(const std::string& path, std::error_code& error) override
    {
        return Sized(FInner.OpenForReading(path, error));
    }
    std::unique_ptr<IHotplugWatch> Watch(IGuiEventLoop& loop,
                                         std::function<void(const THotplugEvent&)> callback) override
    {
        return FInner.Watch(loop, std::move(callback));
    }

private:
    static std::unique_ptr<IHidHandle> Sized(std::unique_ptr<IHidHandle> handle)
    {
        return handle ? std::make_unique<TProtocolSizedHandle>(std::move(handle)) : nullptr;
    }
    IHidPlatform& FInner;
};

}  // namespace

// A path typed in upper case, as Windows spells it in device-change messages
// (enumeration spells it in lower case): the link uses the device, and hears
// of that device's removal and arrival.
TEST(TWinLink, ABoundPathInAnotherCaseIsTheSameDevice)
{
    auto system = CreateSystemHidPlatform();
    const std::vector<TFoundDevice> devices = WineDevices(*system);
    if (devices.empty())
        GTEST_SKIP() << "no wine virtual HID device (vendor 0x845E): not running under wine";
    const TFoundDevice& device = devices.front();
    TProtocolSizedPlatform platform(*system);
    TTestEventLoop loop;
    TUsbDevice link(platform, loop, device.VendorId, device.ProductId, UpperCase(device.Path));
    ASSERT_TRUE(link.Connected());
    EXPECT_EQ(link.DevicePath(), device.Path);  // as enumeration spells it
    int changes = 0;
    link.OnChange = [&] { ++changes; };
    const std::vector<HWND> windows = NotifyWindows();
    ASSERT_EQ(windows.size(), 1u);

    struct TStep {
        const char* Name;
        WPARAM Code;
        std::string Path;
        int Changes;  // after the step
        bool Connected;
    };
    const TStep steps[] = {
        {"another device removed", DBT_DEVICEREMOVECOMPLETE,
         "\\\\?\\HID#VID_046D&PID_C077#7&1&0&0000#{4d1e55b2-f16f-11cf-88cb-001111000030}", 0, true},
        {"removed", DBT_DEVICEREMOVECOMPLETE, UpperCase(device.Path), 1, false},
        {"arrived", DBT_DEVICEARRIVAL, UpperCase(device.Path), 2, true},
        {"removed, spelt as enumeration does", DBT_DEVICEREMOVECOMPLETE, device.Path, 3, false},
    };
    const GUID hid = HidGuid();
    for (const TStep& step : steps) {
        SCOPED_TRACE(step.Name);
        std::vector<std::uint8_t> record = InterfaceRecord(hid, step.Path);
        ::SendMessageA(windows[0], WM_DEVICECHANGE, step.Code, reinterpret_cast<LPARAM>(record.data()));
        loop.DispatchMessages(false);
        EXPECT_EQ(changes, step.Changes);
        EXPECT_EQ(link.Connected(), step.Connected);
    }
}

// ---------------------------------------------------------------------------
// The hidden window and device-change messages

TEST(TWinWatch, AHiddenWindowRegisteredForHidInterfaces)
{
    auto platform = CreateSystemHidPlatform();
    TTestEventLoop loop;
    auto watch = platform->Watch(loop, [](const THotplugEvent&) {});
    const TNotifyWindowInfo info = NotifyWindowOf(*watch);
    ASSERT_NE(info.Window, nullptr);
    EXPECT_TRUE(::IsWindow(info.Window));
    EXPECT_FALSE(::IsWindowVisible(info.Window));
    EXPECT_EQ(::GetParent(info.Window), nullptr);  // top-level
    EXPECT_TRUE(info.Registered);
    EXPECT_EQ(NotifyWindows(), std::vector<HWND>{info.Window});

    watch.reset();
    EXPECT_FALSE(::IsWindow(info.Window));
    EXPECT_TRUE(NotifyWindows().empty());
}

namespace {

struct TMessageCase {
    const char* Name;
    UINT Message;
    WPARAM Code;
    enum { HidInterface, OtherClass, Volume, NoRecord } Record;
    const char* Path;  // upper case, as Windows sends it
    bool Delivered;
    std::uint16_t VendorId;  // expected, when delivered
    std::uint16_t ProductId;
};

const char* const RemotePath = "\\\\?\\HID#VID_1209&PID_0001#7&2A3B4C5D&0&0000#{4d1e55b2-f16f-11cf-88cb-001111000030}";

class TMessageTest : public ::testing::TestWithParam<TMessageCase> {};

}  // namespace

TEST_P(TMessageTest, OnlyHidArrivalsAndRemovalsAreEvents)
{
    const TMessageCase& c = GetParam();
    auto platform = CreateSystemHidPlatform();
    TTestEventLoop loop;
    std::vector<THotplugEvent> events;
    auto watch = platform->Watch(loop, [&](const THotplugEvent& event) { events.push_back(event); });
    const HWND window = NotifyWindowOf(*watch).Window;
    ASSERT_NE(window, nullptr);

    GUID classGuid = HidGuid();
    if (c.Record == TMessageCase::OtherClass)
        classGuid.Data1 ^= 1;
    std::vector<std::uint8_t> record = InterfaceRecord(classGuid, c.Path);
    DEV_BROADCAST_VOLUME volume{};
    LPARAM lParam = reinterpret_cast<LPARAM>(record.data());
    if (c.Record == TMessageCase::Volume) {
        volume.dbcv_size = sizeof volume;
        volume.dbcv_devicetype = DBT_DEVTYP_VOLUME;
        volume.dbcv_unitmask = 1u << 4;
        lParam = reinterpret_cast<LPARAM>(&volume);
    } else if (c.Record == TMessageCase::NoRecord) {
        lParam = 0;
    }
    ::SendMessageA(window, c.Message, c.Code, lParam);
    loop.DispatchMessages(false);  // the window procedure posted what it found

    if (!c.Delivered) {
        EXPECT_TRUE(events.empty());
        return;
    }
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].Kind, c.Code == DBT_DEVICEARRIVAL ? THotplugKind::Arrival : THotplugKind::Removal);
    std::string lower = c.Path;
    for (char& ch : lower)
        ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    EXPECT_EQ(events[0].Interface.Path, lower);
    EXPECT_TRUE(events[0].Interface.IdsKnown);
    EXPECT_EQ(events[0].Interface.VendorId, c.VendorId);
    EXPECT_EQ(events[0].Interface.ProductId, c.ProductId);
}

INSTANTIATE_TEST_SUITE_P(
    Messages, TMessageTest,
    ::testing::Values(
        TMessageCase{"RemoteArrives", WM_DEVICECHANGE, DBT_DEVICEARRIVAL, TMessageCase::HidInterface, RemotePath,
                     true, 0x1209, 0x0001},
        TMessageCase{"RemoteRemoved", WM_DEVICECHANGE, DBT_DEVICEREMOVECOMPLETE, TMessageCase::HidInterface,
                     RemotePath, true, 0x1209, 0x0001},
        TMessageCase{"OtherInterfaceClass", WM_DEVICECHANGE, DBT_DEVICEARRIVAL, TMessageCase::OtherClass,
                     RemotePath, false, 0, 0},
        TMessageCase{"VolumeArrives", WM_DEVICECHANGE, DBT_DEVICEARRIVAL, TMessageCase::Volume, "", false, 0, 0},
        TMessageCase{"NoRecord", WM_DEVICECHANGE, DBT_DEVICEREMOVECOMPLETE, TMessageCase::NoRecord, "", false, 0,
                     0},
        TMessageCase{"RemovalQueried", WM_DEVICECHANGE, DBT_DEVICEQUERYREMOVE, TMessageCase::HidInterface,
                     RemotePath, false, 0, 0},
        TMessageCase{"NodesChanged", WM_DEVICECHANGE, DBT_DEVNODES_CHANGED, TMessageCase::NoRecord, "", false, 0,
                     0},
        TMessageCase{"OtherMessageSameCode", WM_USER, DBT_DEVICEARRIVAL, TMessageCase::HidInterface, RemotePath,
                     false, 0, 0}),
    [](const auto& info) { return std::string(info.param.Name); });

// The window answers while the GUI thread is busy and dispatches nothing (a
// whole-flash dump takes minutes): a message sent to it from elsewhere, as
// a program broadcasting to every top-level window sends one, is answered,
// and an arrival it carries reaches the GUI thread at its next dispatch.
TEST(TWinWatch, TheWindowAnswersWhileTheGuiThreadIsBusy)
{
    auto platform = CreateSystemHidPlatform();
    TTestEventLoop loop;
    std::vector<THotplugEvent> events;
    auto watch = platform->Watch(loop, [&](const THotplugEvent& event) { events.push_back(event); });
    const HWND window = NotifyWindowOf(*watch).Window;
    ASSERT_NE(window, nullptr);
    EXPECT_NE(::GetWindowThreadProcessId(window, nullptr), ::GetCurrentThreadId());

    // The sender gives up after 5 s; this thread only waits for it,
    // without dispatching, as the GUI thread does in a long transfer.
    std::vector<std::uint8_t> record = InterfaceRecord(HidGuid(), RemotePath);
    struct TSent {
        LRESULT Answered = 0;
        DWORD_PTR Result = 1;
    };
    const auto send = [&](UINT message, WPARAM wParam, LPARAM lParam) {
        TSent sent;
        std::thread sender([&] {
            sent.Answered = ::SendMessageTimeoutA(window, message, wParam, lParam, SMTO_BLOCK, 5000, &sent.Result);
        });
        sender.join();
        return sent;
    };
    // What a broadcast of a changed setting looks like, then an arrival.
    const TSent setting = send(WM_SETTINGCHANGE, 0, 0);
    EXPECT_NE(setting.Answered, 0);
    const TSent arrival = send(WM_DEVICECHANGE, DBT_DEVICEARRIVAL, reinterpret_cast<LPARAM>(record.data()));
    EXPECT_NE(arrival.Answered, 0);

    EXPECT_TRUE(events.empty());  // the GUI thread has not dispatched yet
    loop.DispatchMessages(false);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].Kind, THotplugKind::Arrival);
}

TEST(TWinWatch, AnArrivingDeviceIsAskedForItsIds)
{
    auto platform = CreateSystemHidPlatform();
    const std::vector<TFoundDevice> devices = WineDevices(*platform);
    if (devices.empty())
        GTEST_SKIP() << "no wine virtual HID device (vendor 0x845E): not running under wine";
    TTestEventLoop loop;
    std::vector<THotplugEvent> events;
    auto watch = platform->Watch(loop, [&](const THotplugEvent& event) { events.push_back(event); });

    // The message spells the path in upper case; the event has it as
    // enumeration does.
    std::vector<std::uint8_t> record = InterfaceRecord(HidGuid(), UpperCase(devices.front().Path));
    ::SendMessageA(NotifyWindowOf(*watch).Window, WM_DEVICECHANGE, DBT_DEVICEARRIVAL,
                   reinterpret_cast<LPARAM>(record.data()));
    loop.DispatchMessages(false);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].Interface.Path, devices.front().Path);
    EXPECT_TRUE(events[0].Interface.IdsKnown);
    EXPECT_EQ(events[0].Interface.VendorId, WineVendorId);
    EXPECT_EQ(events[0].Interface.ProductId, devices.front().ProductId);
}

TEST(TWinWatch, NothingArrivesAfterTheWatchIsGone)
{
    auto platform = CreateSystemHidPlatform();
    TTestEventLoop loop;
    int calls = 0;
    auto watch = platform->Watch(loop, [&](const THotplugEvent&) { ++calls; });
    std::vector<std::uint8_t> record = InterfaceRecord(HidGuid(), RemotePath);
    ::SendMessageA(NotifyWindowOf(*watch).Window, WM_DEVICECHANGE, DBT_DEVICEARRIVAL,
                   reinterpret_cast<LPARAM>(record.data()));
    watch.reset();                  // the event is queued already
    loop.DispatchMessages(false);
    EXPECT_EQ(calls, 0);
}

TEST(TWinLink, WatchesForTheRemoteWhileNotConnected)
{
    auto platform = CreateSystemHidPlatform();
    TTestEventLoop loop;
    auto link = std::make_unique<TUsbDevice>(*platform, loop, 0x1209, 0x0001);
    ASSERT_FALSE(link->Connected());  // no remote here
    int changes = 0;
    link->OnChange = [&] {
        ++changes;
        link.reset();  // as the protocol layer does when it reconnects
    };
    const std::vector<HWND> windows = NotifyWindows();
    ASSERT_EQ(windows.size(), 1u);

    const GUID hid = HidGuid();
    // Another device comes and goes: not the remote, no change.
    std::vector<std::uint8_t> mouse =
        InterfaceRecord(hid, "\\\\?\\HID#VID_046D&PID_C077#7&1&0&0000#{4d1e55b2-f16f-11cf-88cb-001111000030}");
    ::SendMessageA(windows[0], WM_DEVICECHANGE, DBT_DEVICEARRIVAL, reinterpret_cast<LPARAM>(mouse.data()));
    ::SendMessageA(windows[0], WM_DEVICECHANGE, DBT_DEVICEREMOVECOMPLETE, reinterpret_cast<LPARAM>(mouse.data()));
    loop.DispatchMessages(false);
    EXPECT_EQ(changes, 0);

    // The remote arrives: the owner hears of it and may drop the link from
    // inside the callback.
    std::vector<std::uint8_t> remote = InterfaceRecord(hid, RemotePath);
    ::SendMessageA(windows[0], WM_DEVICECHANGE, DBT_DEVICEARRIVAL, reinterpret_cast<LPARAM>(remote.data()));
    loop.DispatchMessages(false);
    EXPECT_EQ(changes, 1);
    EXPECT_FALSE(link);
    EXPECT_TRUE(NotifyWindows().empty());
}
