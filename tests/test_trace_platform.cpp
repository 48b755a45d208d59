// The packet trace around the simulated bus: the reports of a version request
// on the wire, the events of the link, lines whole while two threads trace,
// and the trace file.

#include "CorvaneInterface.h"
#include "FastTiming.h"
#include "SimDevices.h"
#include "SimRemote.h"
#include "TestEventLoop.h"
#include "TracePlatform.h"
#include "WireScript.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include <unistd.h>
#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <climits>
#endif

namespace {

using TLines = std::vector<std::string>;

// A report line: the direction, the given bytes, zeros up to 65 bytes.
std::string Line(const char* direction, std::string_view hex)
{
    std::string line = std::string(direction) + " " + std::string(hex);
    for (std::size_t n = Hex(hex).size(); n < 65; ++n)
        line += " 00";
    return line;
}

// The lines without their times, after checking each time's form (seconds,
// a point, six digits) and that the times never go back within a session.
// The first line, the start of the trace, is left out, and so are the
// header lines unless asked for.
TLines WithoutTimes(const std::string& trace, bool withHeader = false)
{
    TLines lines;
    std::istringstream in(trace);
    double last = -1;
    for (std::string line; std::getline(in, line);) {
        const std::size_t point = line.find('.');
        const std::size_t space = line.find(' ');
        const bool digits = point != std::string::npos && point > 0 &&
                            line.find_first_not_of("0123456789.") == space && space == point + 7;
        EXPECT_TRUE(digits) << line;
        if (!digits)
            continue;
        std::string rest = line.substr(space + 1);
        EXPECT_TRUE(rest.rfind("TX ", 0) == 0 || rest.rfind("RX ", 0) == 0 || rest.rfind("EV ", 0) == 0 ||
                    rest.rfind("HDR ", 0) == 0 || rest.rfind("LOG ", 0) == 0)
            << line;
        if (rest.rfind("EV trace started ", 0) == 0)
            last = -1;  // a new session appended to the same file
        const double time = std::stod(line.substr(0, space));
        EXPECT_GE(time, last) << line;
        last = time;
        if (withHeader || rest.rfind("HDR ", 0) != 0)
            lines.push_back(rest);
    }
    if (!lines.empty()) {
        EXPECT_EQ(lines[0].rfind("EV trace started ", 0), 0u) << lines[0];
        lines.erase(lines.begin());
    }
    return lines;
}

// The simulated bus seen through a trace into memory.
struct TTracedBus {
    TScopedTiming Fast{FastTiming()};
    TTestEventLoop Loop;
    TSimHidBus Bus;
    std::ostringstream Out;
    TTracePlatform Trace{Bus, Out};
};

struct TTraceFixture : TTracedBus, ::testing::Test {};

TEST_F(TTraceFixture, AVersionRequestOnTheWire)
{
    const std::string version = "28 35 02 01 20 C3 04 0C 12 34 56 78 9A BC DE 07";
    auto remote = std::make_shared<TSimRemote>();
    remote->ScriptReplies({Report(version), Report(version)});  // the connection's request, then ours
    Bus.Plug(remote);
    {
        TCorvaneOne corvane(Trace, Loop);
        TByteArray reply;
        ASSERT_TRUE(corvane.GetVersion(reply));
    }  // the reader thread is joined: the stream is ours to read
    EXPECT_EQ(WithoutTimes(Out.str()), (TLines{
                                           "EV open sim:hidraw0",
                                           "EV open sim:hidraw0",
                                           Line("TX", "00 E1 01"),  // the connection's reset...
                                           Line("TX", "00 10"),     // ...and version request
                                           Line("RX", "00 " + version),
                                           Line("TX", "00 10"),
                                           Line("RX", "00 " + version),
                                           "EV close sim:hidraw0",
                                           "EV close sim:hidraw0",
                                       }));
}

TEST_F(TTraceFixture, TheHeaderSaysWhatAReplayNeeds)
{
    Trace.WriteHeader("corvane-cli", "1.2", {"--trace", "my trace", "flash", "read", "0", "1"});
    auto remote = std::make_shared<TSimRemote>();
    Bus.Plug(remote);
    Bus.Plug(std::make_shared<TSimMouse>());  // no descriptor to tell
    {
        TCorvaneOne corvane(Trace, Loop);  // the link opens the remote twice
        std::error_code error;
        auto mouse = Trace.Open("sim:hidraw1", error);
        Trace.Log("first\nsecond");
        Trace.Log("");
    }
    TLines lines = WithoutTimes(Out.str(), true);
    lines.erase(std::remove_if(lines.begin(), lines.end(),
                               [](const std::string& l) { return l.rfind("TX ", 0) == 0 || l.rfind("RX ", 0) == 0; }),
                lines.end());
    EXPECT_EQ(lines, (TLines{
                         "HDR program corvane-cli 1.2",
                         "HDR command corvane-cli --trace 'my trace' flash read 0 1",
                         "EV open sim:hidraw0",
                         "HDR device sim:hidraw0 1209:0001 input 65 output 65",
                         "HDR descriptor sim:hidraw0 06 00 FF 09 01 A1 01 15 00 26 FF 00 75 08 95 40 09 01 81 02 95 40 "
                         "09 02 91 02 C0",
                         "EV open sim:hidraw0",
                         "EV open sim:hidraw1",
                         "HDR device sim:hidraw1 046d:c077 input 5 output 0",
                         "LOG first",
                         "LOG second",
                         "LOG ",
                         "EV close sim:hidraw1",
                         "EV close sim:hidraw0",
                         "EV close sim:hidraw0",
                     }));
}

TEST(TracePlatform, EventsOfTheLink)
{
    struct TCase {
        const char* Name;
        std::function<void(TTracedBus&)> Run;
        TLines Expected;
    };
    const TCase cases[] = {
        {"arrivals and a removal while the link watches",
         [](TTracedBus& f) {
             TUsbDevice link(f.Trace, f.Loop, 0x1209, 0x0001);
             auto mouse = std::make_shared<TSimMouse>();
             f.Bus.Plug(mouse);
             f.Bus.Plug(std::make_shared<TRecordingDevice>());
             f.Bus.Unplug(mouse);
             f.Loop.DispatchMessages(false);
         },
         {"EV arrival sim:hidraw0 046d:c077", "EV arrival sim:hidraw1 1209:0001", "EV removal sim:hidraw0 046d:c077"}},
        {"a remote that may not be opened",
         [](TTracedBus& f) {
             auto remote = std::make_shared<TRecordingDevice>();
             remote->SetOpenError(std::make_error_code(std::errc::permission_denied));
             f.Bus.Plug(remote);
             TUsbDevice link(f.Trace, f.Loop, 0x1209, 0x0001);
         },
         {"EV open sim:hidraw0 failed: Permission denied"}},
        {"a write after the remote went",
         [](TTracedBus& f) {
             auto remote = std::make_shared<TRecordingDevice>();
             f.Bus.Plug(remote);
             TUsbDevice link(f.Trace, f.Loop, 0x1209, 0x0001);
             f.Bus.Unplug(remote);
             EXPECT_FALSE(link.WriteReport(Report("10")));
         },
         {"EV open sim:hidraw0", "EV open sim:hidraw0", Line("TX", "00 10"), "EV write failed sim:hidraw0",
          "EV close sim:hidraw0", "EV close sim:hidraw0"}},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        TTracedBus f;  // a fresh bus, numbered from 0
        c.Run(f);
        EXPECT_EQ(WithoutTimes(f.Out.str()), c.Expected);
    }
}

namespace {

// Whether the open descriptors for the file at path would pass to a program
// started now: one answer per descriptor.
std::vector<bool> InheritedDescriptors(const std::string& path)
{
    std::vector<bool> inherited;
#ifdef _WIN32
    // The C runtime's descriptors whose handle is the same file.
    HANDLE probe = ::CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                 OPEN_EXISTING, 0, nullptr);
    BY_HANDLE_FILE_INFORMATION wanted{};
    const bool known = probe != INVALID_HANDLE_VALUE && ::GetFileInformationByHandle(probe, &wanted);
    if (probe != INVALID_HANDLE_VALUE)
        ::CloseHandle(probe);
    if (!known)
        return inherited;
    for (int fd = 0; fd < 2048; ++fd) {
        const auto handle = reinterpret_cast<HANDLE>(::_get_osfhandle(fd));
        BY_HANDLE_FILE_INFORMATION info{};
        DWORD flags = 0;
        if (handle == INVALID_HANDLE_VALUE || ::GetFileType(handle) != FILE_TYPE_DISK ||
            !::GetFileInformationByHandle(handle, &info) || !::GetHandleInformation(handle, &flags))
            continue;
        if (info.dwVolumeSerialNumber == wanted.dwVolumeSerialNumber &&
            info.nFileIndexHigh == wanted.nFileIndexHigh && info.nFileIndexLow == wanted.nFileIndexLow)
            inherited.push_back((flags & HANDLE_FLAG_INHERIT) != 0);
    }
#else
    char wanted[PATH_MAX];
    if (::realpath(path.c_str(), wanted) == nullptr)
        return inherited;
    for (int fd = 0; fd < 1024; ++fd) {
        char target[PATH_MAX];
        const ssize_t length = ::readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), target, sizeof target);
        if (length <= 0 || std::string(target, static_cast<std::size_t>(length)) != wanted)
            continue;
        inherited.push_back((::fcntl(fd, F_GETFD) & FD_CLOEXEC) == 0);
    }
#endif
    return inherited;
}

}  // namespace

TEST(TracePlatformFile, TheFileIsNotInherited)
{
    TSimHidBus bus;
    const std::string path = ::testing::TempDir() + "corvane-inherit-" + std::to_string(::getpid()) + ".log";
    std::remove(path.c_str());
    std::string error;
    {
        auto trace = TTracePlatform::AppendToFile(bus, path, error);
        ASSERT_TRUE(trace) << error;
        EXPECT_EQ(InheritedDescriptors(path), std::vector<bool>{false});
    }
    EXPECT_EQ(InheritedDescriptors(path), std::vector<bool>{});  // closed with the trace
    std::remove(path.c_str());
}

TEST(TracePlatformFile, AppendsAndNamesTheFileItCannotOpen)
{
    TSimHidBus bus;
    const std::string path = ::testing::TempDir() + "corvane-trace-" + std::to_string(::getpid()) + ".log";
    std::remove(path.c_str());
    std::string error;
    for (int session = 0; session < 2; ++session) {
        auto trace = TTracePlatform::AppendToFile(bus, path, error);
        ASSERT_TRUE(trace) << error;
        EXPECT_EQ(error, "");
        std::error_code openError;
        EXPECT_FALSE(trace->Open("sim:hidraw7", openError));
        EXPECT_FALSE(trace->Failed());
    }
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    // Two sessions: the second start line is kept with the lines after it.
    const TLines lines = WithoutTimes(text.str());
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], "EV open sim:hidraw7 failed: No such device");
    EXPECT_EQ(lines[1].rfind("EV trace started ", 0), 0u);
    EXPECT_EQ(lines[2], lines[0]);
    std::remove(path.c_str());

    const std::string missing = ::testing::TempDir() + "no-such-dir/trace.log";
    EXPECT_FALSE(TTracePlatform::AppendToFile(bus, missing, error));
    EXPECT_EQ(error, "Cannot open trace file " + missing + ": No such file or directory");
}

TEST(TracePlatformFile, WriteErrorsAreKeptAndCloseReportsThem)
{
    TSimHidBus bus;
    auto remote = std::make_shared<TSimRemote>();
    bus.Plug(remote);
    struct TCase {
        std::string Path;
        std::error_code Expected;  // of Error() and Close()
    };
    const std::string good = ::testing::TempDir() + "corvane-trace-ok-" + std::to_string(::getpid()) + ".log";
    std::vector<TCase> cases{{good, {}}};
#ifdef __linux__
    cases.push_back({"/dev/full", std::make_error_code(std::errc::no_space_on_device)});
#endif
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Path);
        std::string error;
        auto trace = TTracePlatform::AppendToFile(bus, c.Path, error);
        ASSERT_TRUE(trace) << error;
        // The device calls go on whatever the trace's fate.
        std::error_code openError;
        auto handle = trace->Open("sim:hidraw0", openError);
        ASSERT_TRUE(handle);
        // The report number, then the 64 bytes of the version request.
        TByteArray request{0x00};
        const TByteArray payload = Report("10");
        request.insert(request.end(), payload.begin(), payload.end());
        EXPECT_EQ(handle->Write(request.data(), request.size()), 65);
        handle.reset();
        EXPECT_EQ(trace->Failed(), static_cast<bool>(c.Expected));
        EXPECT_EQ(trace->Error(), c.Expected);
        EXPECT_EQ(trace->Close(), c.Expected);
        // A line after the close is not written, and says so.
        trace->WriteLine("EV late");
        EXPECT_TRUE(trace->Failed());
    }
    std::remove(good.c_str());

    // A stream that fails.
    std::ostringstream closed;
    closed.setstate(std::ios::badbit);
    TTracePlatform onStream(bus, closed);
    EXPECT_EQ(onStream.Error(), std::make_error_code(std::errc::io_error));
    EXPECT_EQ(onStream.Close(), std::make_error_code(std::errc::io_error));
}

}  // namespace
