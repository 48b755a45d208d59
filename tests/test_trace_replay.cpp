// A trace recorded on the simulated remote, played back as a remote: the
// real protocol runs on the replay and gets what it got in the recording;
// requests match whatever order they come in, a clock write matches whatever
// its time; what was never recorded gets silence and one message; a removal
// recorded inside a read happens there again; a bad trace is refused.

#include "CorvaneInterface.h"
#include "FastTiming.h"
#include "SimRemote.h"
#include "TestEventLoop.h"
#include "TracePlatform.h"
#include "TraceReplay.h"

#include <gtest/gtest.h>

#include <sstream>

namespace {

TTraceRecording Parsed(const std::string& trace)
{
    std::istringstream in(trace);
    TTraceRecording recording;
    std::string error;
    EXPECT_TRUE(TTraceRecording::Parse(in, "t", recording, error)) << error;
    return recording;
}

// Runs work once on the simulated remote, traced; returns the trace.
std::string Record(const std::function<void(TCorvaneOne&)>& work)
{
    TTestEventLoop loop;
    TSimHidBus bus;
    auto remote = std::make_shared<TSimRemote>();
    remote->FillFlashWithPattern();
    bus.Plug(remote);
    std::ostringstream out;
    {
        TTracePlatform trace(bus, out);
        TCorvaneOne corvane(trace, loop);
        EXPECT_TRUE(corvane.Connected());
        work(corvane);
    }
    return out.str();
}

struct TReplayFixture : ::testing::Test {
    TScopedTiming Fast{SteadyTiming()};
    TTestEventLoop Loop;
};

TEST_F(TReplayFixture, RequestsGetTheirRecordedAnswersInAnyOrder)
{
    TByteArray recordedFlash;
    std::uint16_t battery = 0;
    const std::string trace = Record([&](TCorvaneOne& corvane) {
        ASSERT_TRUE(corvane.ReadMiscWord(battery, 2, 0));
        // 150 bytes: the last packet holds only the rest of 62-byte packets.
        ASSERT_TRUE(corvane.ReadFlash(recordedFlash, 0x1000, 150));
        ASSERT_TRUE(corvane.WriteMiscWord(7, 1, 0));  // the clock's seconds
    });

    TTraceReplay replay(Parsed(trace), TReplayTiming::Paced);
    TCorvaneOne corvane(replay, Loop);
    ASSERT_TRUE(corvane.Connected());
    // Another time in the clock write, and the requests the other way round.
    EXPECT_TRUE(corvane.WriteMiscWord(42, 1, 0));
    TByteArray flash;
    EXPECT_TRUE(corvane.ReadFlash(flash, 0x1000, 150));
    EXPECT_EQ(flash, recordedFlash);
    std::uint16_t value = 0;
    EXPECT_TRUE(corvane.ReadMiscWord(value, 2, 0));
    EXPECT_EQ(value, battery);
    EXPECT_TRUE(replay.Messages().empty());

    // Each recorded answer serves once: the same read again was never
    // recorded. A register of another type is no clock write.
    EXPECT_FALSE(corvane.ReadMiscWord(value, 2, 0));
    EXPECT_FALSE(corvane.WriteMiscWord(42, 2, 0));
    const auto messages = replay.Messages();
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0].rfind("replay: no recorded answer for TX 00 B3 02 00 00 00", 0), 0u) << messages[0];
    // The nearest recorded request is the same read, on its line.
    EXPECT_NE(messages[0].find("; nearest is line "), std::string::npos) << messages[0];
    EXPECT_NE(messages[0].find(" TX 00 B3 02 00 00 00"), std::string::npos) << messages[0];
}

TEST_F(TReplayFixture, ARequestWithoutAnswerIsReportedOnce)
{
    const std::string trace = Record([](TCorvaneOne&) {});
    std::vector<std::string> told;
    TTraceReplay replay(Parsed(trace), TReplayTiming::Paced, [&](const std::string& m) { told.push_back(m); });
    TCorvaneOne corvane(replay, Loop);
    ASSERT_TRUE(corvane.Connected());
    std::uint8_t value = 0;
    EXPECT_FALSE(corvane.ReadMiscByte(value, 3, 1));
    EXPECT_FALSE(corvane.ReadMiscByte(value, 3, 1));
    EXPECT_EQ(told.size(), 1u);
    EXPECT_EQ(replay.Messages(), told);
}

TEST_F(TReplayFixture, ARemovalInsideAReadHappensThereAgain)
{
    std::string trace = Record([](TCorvaneOne& corvane) {
        TByteArray flash;
        ASSERT_TRUE(corvane.ReadFlash(flash, 0, 620));
    });
    // The remote goes after the fourth data report of the read, at the time
    // of that report.
    std::istringstream in(trace);
    std::string cut;
    int dataReports = 0;
    for (std::string line; std::getline(in, line);) {
        cut += line + '\n';
        if (line.find(" RX 00 6") != std::string::npos && ++dataReports == 4) {
            cut += line.substr(0, line.find(' ')) + " EV removal sim:hidraw0 1209:0001\n";
            break;
        }
    }
    ASSERT_EQ(dataReports, 4);
    TTraceReplay replay(Parsed(cut), TReplayTiming::Recorded);
    TCorvaneOne corvane(replay, Loop);
    ASSERT_TRUE(corvane.Connected());
    TByteArray flash;
    EXPECT_FALSE(corvane.ReadFlash(flash, 0, 620));
    ASSERT_TRUE(replay.WaitIdle());
    EXPECT_TRUE(replay.Enumerate().empty());
    // What arrived before the removal is kept.
    ASSERT_EQ(flash.size(), 620u);
    TSimRemote recorded;
    recorded.FillFlashWithPattern();
    const TByteArray expected = recorded.Flash(0, 4 * 62);
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), flash.begin()));
}

TEST(TraceReplay, ABadTraceIsRefusedNamingTheLine)
{
    std::string report = "00";
    for (int i = 1; i < 65; ++i)
        report += " 00";
    struct TCase {
        const char* Name;
        std::string Trace;
        std::string Error;  // the start of the message; empty: accepted
    };
    const TCase cases[] = {
        {"empty", "", "Bad trace t: no trace lines in it"},
        {"some other file", "hello world\n", "Bad trace t, line 1: not a trace line: hello world"},
        {"an unknown kind", "0.000000 EV trace started\n0.1 XX 00\n", "Bad trace t, line 2: not a trace line"},
        {"a report one byte short", "0.0 EV trace started\n\n0.1 TX " + report.substr(3) + "\n",
         "Bad trace t, line 3: report of 64 bytes, expected 65"},
        {"a report one byte long", "0.1 RX " + report + " 00\n", "Bad trace t, line 1: report of 66 bytes, expected 65"},
        {"not hex", "0.1 RX 0G" + report.substr(2) + "\n", "Bad trace t, line 1: malformed report"},
        {"a header's lengths", "0.0 HDR device p 1209:0001 input 9 output 9\n0.1 TX " + report + "\n",
         "Bad trace t, line 2: report of 65 bytes, expected 9"},
        {"a malformed header", "0.0 HDR device p 1209 input 9\n", "Bad trace t, line 1: malformed device header"},
        {"exactly 65 bytes, today's trace without a header", "0.1 TX " + report + "\n0.2 RX " + report + "\n", ""},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        std::istringstream in(c.Trace);
        TTraceRecording recording;
        std::string error;
        const bool ok = TTraceRecording::Parse(in, "t", recording, error);
        EXPECT_EQ(ok, c.Error.empty());
        EXPECT_EQ(error.substr(0, c.Error.size()), c.Error);
        if (ok) {
            EXPECT_EQ(recording.VendorId, 0x1209);
            EXPECT_EQ(recording.InputLength, 65);
            ASSERT_EQ(recording.Exchanges.size(), 1u);
            EXPECT_EQ(recording.Exchanges[0].Answers.size(), 1u);
        }
    }
    std::string error;
    EXPECT_EQ(TTraceReplay::Open("/nonexistent/t.trace", TReplayTiming::Paced, {}, error), nullptr);
    EXPECT_EQ(error.rfind("Cannot open trace file /nonexistent/t.trace: ", 0), 0u) << error;
}

TEST(TraceReplay, CommandLinesSplitAsTheyWereJoined)
{
    const std::vector<std::vector<std::string>> cases{
        {"corvane-cli", "version"},
        {"corvane-cli", "flash", "read", "0", "10", "-o", "my file.bin"},
        {"a'b", "", "\\", "\"q\""},
    };
    for (const auto& words : cases)
        EXPECT_EQ(TTracePlatform::SplitCommandLine(TTracePlatform::JoinCommandLine(words)), words)
            << TTracePlatform::JoinCommandLine(words);
}

}  // namespace
