// Infrared capture on the wire: the start and stop requests, the capture
// reports with their sequence byte and trailing length byte, the end marker,
// and how a capture ends when the remote is silent, chatty, out of step or
// gone, or when a handler runs inside it.

#include "ConnectedFixture.h"

#include <gtest/gtest.h>

#include <cctype>
#include <mutex>
#include <string>
#include <string_view>

namespace {

using namespace std::chrono_literals;

// A capture report: header, sequence byte, the data field from byte 2, and
// the field's length plus 2 in the report's last byte.
TByteArray IrReport(std::uint8_t sequence, std::string_view data)
{
    TByteArray report = Report("90");
    report[1] = sequence;
    const TByteArray field = Hex(data);
    std::copy(field.begin(), field.end(), report.begin() + 2);
    report.back() = static_cast<std::uint8_t>(field.size() + 2);
    return report;
}

TByteArray Concat(TByteArray a, const TByteArray& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

const TByteArray Start = Report("70");
const TByteArray Stop = Report("80");
const TByteArray StopAck = Report("F0 80");
const TByteArray EndMarker = Hex("80 00");
const TByteArray Signal = Hex("01 10 02 20 03 30 04 40 05 50 06 60 07 70");

struct TIrFixture : TConnectedFixture<TStreamingRemote> {
    void SetUp() override
    {
        Loop.TimerInterval = 0ms;  // every turn of the capture loop reads at once
        Sim->SetIrCapture(Signal, 0ms);
        Sim->SetIrChunk(4);
        TConnectedFixture::SetUp();
    }

    // Turns of the capture loop taken by one capture.
    int Capture(TByteArray& data, bool& result)
    {
        const int before = Loop.DispatchCount();
        result = Corvane->IrCapture(data);
        return Loop.DispatchCount() - before;
    }
};

// --- Requests and the capture stream --------------------------------------------

TEST_F(TIrFixture, StartAndStopAreSingleHeaderBytes)
{
    TByteArray data;
    ASSERT_TRUE(Corvane->IrCapture(data));
    EXPECT_EQ(data, Concat(Signal, EndMarker));
    EXPECT_EQ(Received(), (TReports{Start, Stop}));
    // One message taken per turn, waiting for it when none is pending; the
    // signal's 14 bytes come in 4-byte fields, then the end marker.
    EXPECT_EQ(Loop.Waits, std::vector<bool>(5, true));
    EXPECT_FALSE(Corvane->Busy());
}

TEST_F(TIrFixture, EighteenReportsAcrossTheWrapOfTheSequenceByte)
{
    Sim->StreamNext({IrReport(0x00, "A0 00"), IrReport(0x10, "A1 01"), IrReport(0x20, "A2 02"),
                     IrReport(0x30, "A3 03"), IrReport(0x40, "A4 04"), IrReport(0x50, "A5 05"),
                     IrReport(0x60, "A6 06"), IrReport(0x70, "A7 07"), IrReport(0x80, "A8 08"),
                     IrReport(0x90, "A9 09"), IrReport(0xA0, "AA 0A"), IrReport(0xB0, "AB 0B"),
                     IrReport(0xC0, "AC 0C"), IrReport(0xD0, "AD 0D"), IrReport(0xE0, "AE 0E"),
                     IrReport(0xF0, "AF 0F"), IrReport(0x00, "B0 10"), IrReport(0x10, "B1 11"), Report("F0")},
                    {StopAck});
    TByteArray data;
    ASSERT_TRUE(Corvane->IrCapture(data));
    EXPECT_EQ(data, Hex("A0 00 A1 01 A2 02 A3 03 A4 04 A5 05 A6 06 A7 07 A8 08 A9 09 AA 0A AB 0B "
                        "AC 0C AD 0D AE 0E AF 0F B0 10 B1 11"));
    EXPECT_EQ(Received(), (TReports{Start, Stop}));
}

TEST_F(TIrFixture, DataFieldLengthComesFromTheLastByteAndTheEndMarkerOnlyCountsFirst)
{
    struct TCase {
        const char* What;
        TReports Stream;
        const char* Captured;
    };
    const TCase cases[] = {
        {"length byte 6: bytes 2 to 5",
         {IrReport(0x00, "01 02 03 04"), IrReport(0x10, "80 00")},
         "01 02 03 04 80 00"},
        {"end marker ends its long field and the capture",
         {IrReport(0x00, "01 02 03 04 05 06 07 08"), IrReport(0x10, "80 00 AA BB CC DD"), IrReport(0x20, "EE EE")},
         "01 02 03 04 05 06 07 08 80 00"},
        {"80 00 further into a field is data",
         {IrReport(0x00, "11 22 80 00 33 44"), IrReport(0x10, "80 00")},
         "11 22 80 00 33 44 80 00"},
        {"acknowledgement before any data", {Report("F0")}, ""},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.What);
        Sim->StreamNext(c.Stream, {StopAck});
        TByteArray data;
        ASSERT_TRUE(Corvane->IrCapture(data));
        EXPECT_EQ(data, Hex(c.Captured));
        EXPECT_EQ(Received(), (TReports{Start, Stop}));
    }
}

TEST_F(TIrFixture, ReportOutOfStepEndsTheCaptureEmptyAndStillStopsIt)
{
    for (std::uint8_t first : {0x01, 0x10}) {
        SCOPED_TRACE(static_cast<int>(first));
        Sim->StreamNext({IrReport(first, "12 34"), IrReport(0x10, "56 78"), IrReport(0x20, "80 00")}, {StopAck});
        TByteArray data;
        EXPECT_FALSE(Corvane->IrCapture(data));
        EXPECT_TRUE(data.empty());
        EXPECT_EQ(Received(), (TReports{Start, Stop}));
    }

    TSimFaults sequence;
    sequence.IrSequenceErrorAt = 2;
    TSimFaults type;
    type.IrWrongTypeAt = 1;
    for (const TSimFaults& faults : {sequence, type}) {
        Sim->SetFaults(faults);
        TByteArray data;
        EXPECT_FALSE(Corvane->IrCapture(data));
        EXPECT_TRUE(data.empty());
        EXPECT_EQ(Received(), (TReports{Start, Stop}));
    }
}

TEST_F(TIrFixture, OddOrEmptyLengthRaisesWithoutStopping)
{
    struct TCase {
        int LengthByte;
        const char* Message;
    };
    for (TCase c : {TCase{0, "IrCapture invalid length"}, TCase{2, "IrCapture invalid length"},
                    TCase{1, "IrCapture expected even length"}, TCase{5, "IrCapture expected even length"}}) {
        SCOPED_TRACE(c.LengthByte);
        TSimFaults faults;
        faults.IrLengthByteAt = 1;
        faults.IrLengthByte = c.LengthByte;
        Sim->SetFaults(faults);
        TByteArray data;
        try {
            Corvane->IrCapture(data);
            ADD_FAILURE() << "no assertion failure";
        } catch (const ECorvaneAssertion& e) {
            EXPECT_EQ(e.Message(), c.Message);
            EXPECT_EQ(std::string(e.what()).rfind(std::string(c.Message) + " (CorvaneInterface, line ", 0), 0u)
                << e.what();
        }
        EXPECT_EQ(Received(), TReports{Start});
        EXPECT_TRUE(Corvane->Connected());
        EXPECT_FALSE(Corvane->Busy());
    }
}

TEST_F(TIrFixture, LengthBytePastTheEndOfTheReportFailsTheCapture)
{
    for (int lengthByte : {66, 0xFE}) {
        SCOPED_TRACE(lengthByte);
        TSimFaults faults;
        faults.IrLengthByteAt = 1;
        faults.IrLengthByte = lengthByte;
        Sim->SetFaults(faults);
        TByteArray data;
        EXPECT_FALSE(Corvane->IrCapture(data));
        EXPECT_TRUE(data.empty());
        EXPECT_EQ(Received(), (TReports{Start, Stop}));
    }
}

TEST_F(TIrFixture, ReportThatWouldPassTheCapacityIsDroppedAndEndsTheCapture)
{
    // 64 bytes per report times 1000: 64,000 bytes. Reports of 60 data bytes
    // reach 63,960; the next would pass the limit.
    TByteArray stream(64020);
    for (std::size_t i = 0; i < stream.size(); ++i)
        stream[i] = static_cast<std::uint8_t>(i % 0x7F);  // never the end marker
    Sim->SetIrCapture(stream, 0ms);
    Sim->SetIrChunk(60);
    Sim->SetPaced(true);  // at the pace of the endpoint, as a ring of 1000 reports expects
    TByteArray data;
    ASSERT_TRUE(Corvane->IrCapture(data));
    EXPECT_EQ(data, TByteArray(stream.begin(), stream.begin() + 63960));
    EXPECT_EQ(Received(), (TReports{Start, Stop}));
}

// --- The stop ---------------------------------------------------------------------

TEST_F(TIrFixture, LateDataAfterTheStopIsSkippedButNotForEver)
{
    TSimFaults few;
    few.IrLateAfterStop = 3;
    Sim->SetFaults(few);
    TByteArray data;
    EXPECT_TRUE(Corvane->IrCapture(data));
    EXPECT_EQ(data, Concat(Signal, EndMarker));

    TSimFaults endless;
    endless.IrEndlessAfterStop = true;
    Sim->SetFaults(endless);
    data.clear();
    EXPECT_FALSE(Corvane->IrCapture(data));
    EXPECT_EQ(data, Concat(Signal, EndMarker));  // the stream is kept; only the stop failed
    // The remote is still streaming, so it never falls idle: what it received
    // is taken as it stands.
    EXPECT_EQ(Sim->Received(), (TReports{Start, Stop, Start, Stop}));
}

TEST_F(TIrFixture, StopSkipsAThousandLateReportsAndNoMore)
{
    Sim->SetPaced(true);  // a thousand reports at once would overrun the link's ring
    for (int late : {1000, 1001}) {
        SCOPED_TRACE(late);
        TSimFaults faults;
        faults.IrLateAfterStop = late;
        Sim->SetFaults(faults);
        TByteArray data;
        EXPECT_EQ(Corvane->IrCapture(data), late <= 1000);
        EXPECT_EQ(data, Concat(Signal, EndMarker));
    }
}

TEST_F(TIrFixture, UnansweredStopFailsAndKeepsTheStream)
{
    TSimFaults faults;
    faults.IrNoStopAck = true;
    Sim->SetFaults(faults);
    TByteArray data;
    EXPECT_FALSE(Corvane->IrCapture(data));
    EXPECT_EQ(data, Concat(Signal, EndMarker));
    EXPECT_EQ(Received(), (TReports{Start, Stop}));
}

// --- Silence, abort, removal --------------------------------------------------------

TEST_F(TIrFixture, SilenceUsesUpFiftyReadsBeforeTheFirstReportAndTwoAfter)
{
    TSimFaults before;
    before.IrSilentBeforeFirst = true;
    Sim->SetFaults(before);
    TByteArray data;
    bool result = true;
    EXPECT_EQ(Capture(data, result), 50);
    EXPECT_FALSE(result);
    EXPECT_TRUE(data.empty());
    EXPECT_EQ(Received(), (TReports{Start, Stop}));

    TSimFaults after;
    after.IrSilentFrom = 3;
    Sim->SetFaults(after);
    Sim->SetIrChunk(2);
    EXPECT_EQ(Capture(data, result), 3 + 2);
    EXPECT_FALSE(result);
    EXPECT_TRUE(data.empty());
    EXPECT_EQ(Received(), (TReports{Start, Stop}));
}

TEST_F(TIrFixture, AbortFromAHandlerKeepsTheStreamSoFar)
{
    Sim->StreamNext({IrReport(0x00, "01 01"), IrReport(0x10, "02 02"), IrReport(0x20, "03 03"),
                     IrReport(0x30, "04 04"), IrReport(0x40, "05 05"), IrReport(0x50, "06 06"),
                     IrReport(0x60, "80 00")},
                    {StopAck});
    const int start = Loop.DispatchCount();
    Loop.OnDispatch = [&] {
        if (Loop.DispatchCount() - start == 4)
            Corvane->Abort = true;  // the fourth turn still reads its report
    };
    Corvane->Abort = true;  // cleared when the capture begins
    TByteArray data;
    EXPECT_TRUE(Corvane->IrCapture(data));
    EXPECT_EQ(data, Hex("01 01 02 02 03 03 04 04"));
    EXPECT_EQ(Corvane->Progress, 6);  // published at the start of the last turn
    EXPECT_EQ(Received(), (TReports{Start, Stop}));
}

TEST_F(TIrFixture, AbortedCaptureSucceedsAfterOneReadWhenTheStopIsNeverAcknowledged)
{
    Sim->StreamNext({IrReport(0x00, "01 01"), IrReport(0x10, "02 02"), IrReport(0x20, "80 00")},
                    {TByteArray{}});  // the stop goes unanswered
    const int start = Loop.DispatchCount();
    Loop.OnDispatch = [&] {
        if (Loop.DispatchCount() - start == 1)
            Corvane->Abort = true;
    };
    TByteArray data;
    bool result = false;
    EXPECT_EQ(Capture(data, result), 1);
    // The abort still holds in the stop's loop: one read that finds nothing,
    // and the capture ends as the user asked, with what it had.
    EXPECT_TRUE(result);
    EXPECT_EQ(data, Hex("01 01"));
    EXPECT_EQ(Received(), (TReports{Start, Stop}));
}

TEST_F(TIrFixture, RemovalMidCaptureFailsWithoutHanging)
{
    Sim->SetIrChunk(2);
    TSimFaults faults;
    faults.UnplugAtPacket = 2;
    Sim->SetFaults(faults);
    TByteArray data;
    EXPECT_FALSE(Corvane->IrCapture(data));
    EXPECT_TRUE(data.empty());
    EXPECT_FALSE(Corvane->Connected());
    EXPECT_EQ(StatusChanges, 1);
    EXPECT_EQ(Received(), TReports{Start});  // the stop cannot be sent any more
}

TEST_F(TIrFixture, ReplugAtTheFirstTurnEndsTheCaptureAtOnce)
{
    // The reconnection on arrival resets the remote: nothing of this capture
    // will come over the fresh link, so the capture must not wait there.
    const int start = Loop.DispatchCount();
    Loop.OnDispatch = [&] {
        if (Loop.DispatchCount() - start == 1) {
            Bus.Unplug(Sim);
            Bus.Plug(Sim);
        }
    };
    TByteArray data{7};
    bool result = true;
    EXPECT_EQ(Capture(data, result), 1);
    EXPECT_FALSE(result);
    EXPECT_TRUE(data.empty());
    EXPECT_TRUE(Corvane->Connected());
    EXPECT_EQ(Received(), (TReports{Start, Report("E1 01"), Report("10")}));  // no stop on the fresh link
}

TEST_F(TIrFixture, OperationsStartedFromAHandlerDuringACaptureAreRefusedWithoutIo)
{
    int calls = 0;
    Loop.OnDispatch = [&] {
        if (calls++ > 0)
            return;
        EXPECT_TRUE(Corvane->Busy());
        TByteArray reply{7};
        EXPECT_FALSE(Corvane->GetVersion(reply));
        std::uint8_t value = 7;
        EXPECT_FALSE(Corvane->ReadMiscByte(value, 12, 0));
        EXPECT_FALSE(Corvane->WriteMiscWord(1, 2, 3));
        EXPECT_FALSE(Corvane->Reset(1));
        EXPECT_FALSE(Corvane->EraseFlashSector(0));
        TByteArray data{7};
        EXPECT_FALSE(Corvane->ReadFlash(data, 0, 16));
        EXPECT_FALSE(Corvane->WriteFlash(data, 0, 1));
        EXPECT_FALSE(Corvane->IrCapture(data));
        EXPECT_EQ(data, TByteArray{7});
    };
    TByteArray data;
    ASSERT_TRUE(Corvane->IrCapture(data));
    EXPECT_EQ(data, Concat(Signal, EndMarker));
    EXPECT_GT(calls, 1);
    EXPECT_EQ(Received(), (TReports{Start, Stop}));
}

TEST_F(TIrFixture, NothingIsSentWhileNotConnected)
{
    Bus.Unplug(Sim);
    Loop.DispatchMessages(false);
    ASSERT_FALSE(Corvane->Connected());
    TByteArray data{7};
    EXPECT_FALSE(Corvane->IrCapture(data));
    EXPECT_EQ(data, TByteArray{7});
    EXPECT_TRUE(Received().empty());
}

// At the production timing: a remote that falls silent mid-capture ends it
// within two empty reads (about half a second), not the first report's 13 s.
TEST(IrCaptureRealTiming, SilenceAfterTheFirstReportsFails)
{
    TTestEventLoop loop;
    loop.TimerInterval = 100ms;  // the console's capture timer
    TSimHidBus bus;
    auto sim = std::make_shared<TSimRemote>();
    sim->SetIrCapture(Signal, 0ms);
    sim->SetIrChunk(2);
    TSimFaults faults;
    faults.IrSilentFrom = 2;
    sim->SetFaults(faults);
    bus.Plug(sim);
    TCorvaneOne corvane(bus, loop);
    ASSERT_TRUE(corvane.Connected());
    TByteArray data;
    const int before = loop.DispatchCount();
    EXPECT_FALSE(corvane.IrCapture(data));
    EXPECT_EQ(loop.DispatchCount() - before, 2 + 2);
    EXPECT_TRUE(data.empty());
}

}  // namespace
