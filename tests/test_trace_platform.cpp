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

#include <atomic>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>

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

// The lines without their times, after checking each time's form and that
// the times never go back within a session. The first line, the start of the
// trace, is left out once its form is checked.
TLines WithoutTimes(const std::string& trace)
{
    static const std::regex form(R"(^(\d+)\.(\d{6}) ((TX|RX|EV) .*)$)");
    TLines lines;
    std::istringstream in(trace);
    long long last = -1;
    for (std::string line; std::getline(in, line);) {
        std::smatch m;
        EXPECT_TRUE(std::regex_match(line, m, form)) << line;
        if (m.empty())
            continue;
        const long long micros = std::stoll(m[1]) * 1000000 + std::stoll(m[2]);
        if (m[3].str().rfind("EV trace started ", 0) == 0)
            last = -1;  // a new session appended to the same file
        EXPECT_GE(micros, last) << line;
        last = micros;
        lines.push_back(m[3]);
    }
    if (!lines.empty()) {
        EXPECT_TRUE(std::regex_match(lines[0], std::regex(R"(EV trace started \d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ)")))
            << lines[0];
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

TEST_F(TTraceFixture, LinesStayWholeWhileTwoThreadsTrace)
{
    auto device = std::make_shared<TRecordingDevice>();
    Bus.Plug(device);
    std::error_code error;
    auto writer = Trace.Open("sim:hidraw0", error);
    auto reader = Trace.Open("sim:hidraw0", error);
    ASSERT_TRUE(writer && reader);
    constexpr int Reports = 200;
    std::atomic<int> read{0};
    std::thread writing([&] {
        TByteArray report(65, 0);
        report[1] = 0x30;
        for (int i = 0; i < Reports; ++i) {
            report[2] = static_cast<std::uint8_t>(i);
            writer->Write(report.data(), report.size());
        }
    });
    std::thread reading([&] {
        TByteArray report(65);
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (read < Reports && std::chrono::steady_clock::now() < end)
            if (reader->Read(report.data(), report.size(), std::chrono::milliseconds(20)) == THidReadStatus::Ok)
                ++read;
    });
    // Sent as the reading handle makes room: it keeps at most 64 unread.
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    for (int i = 0; i < Reports && std::chrono::steady_clock::now() < end;) {
        if (i - read < 32)
            device->Send({0x60, static_cast<std::uint8_t>(i++)});
        else
            std::this_thread::yield();
    }
    writing.join();
    reading.join();
    writer.reset();
    reader.reset();

    int tx = 0, rx = 0;
    for (const std::string& line : WithoutTimes(Out.str())) {
        tx += line.rfind("TX 00 30 ", 0) == 0;
        rx += line.rfind("RX 00 60 ", 0) == 0;
    }
    EXPECT_EQ(tx, Reports);
    EXPECT_EQ(rx, Reports);
}

TEST(TracePlatformFile, AppendsAndNamesTheFileItCannotOpen)
{
    TSimHidBus bus;
    const std::string path = ::testing::TempDir() + "corvane-trace-test.log";
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

}  // namespace
