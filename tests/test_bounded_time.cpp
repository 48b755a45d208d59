// A remote that trickles its streams, each packet just inside the link's read
// wait, cannot hold a streamed read (which dispatches no window messages) for
// longer than four times what a healthy remote needs plus a second: the
// stream counts as broken, the call fails and the remote is reconnected.

#include "CorvaneInterface.h"
#include "SimRemote.h"
#include "TestEventLoop.h"
#include "Timing.h"
#include "WireScript.h"

#include <gtest/gtest.h>

#include <memory>

namespace {

using namespace std::chrono_literals;

// A link that waits half a second for a report, so that a packet every
// 100 ms never looks like silence, even on a busy machine.
TTiming PatientTiming()
{
    TTiming timing;
    timing.ReplyPause = 1ms;
    timing.ReplyTries = 25;
    timing.ReplyTryPause = 20ms;
    timing.ReaderWait = 20ms;
    timing.ReconnectPause = 1ms;
    return timing;
}

struct TTrickleFixture : ::testing::Test {
    TScopedTiming Patient{PatientTiming()};
    TTestEventLoop Loop;
    TSimHidBus Bus;
    std::shared_ptr<TSimRemote> Sim = std::make_shared<TSimRemote>();
    std::unique_ptr<TCorvaneOne> Corvane;

    void SetUp() override
    {
        Bus.Plug(Sim);
        Corvane = std::make_unique<TCorvaneOne>(Bus, Loop);
        ASSERT_TRUE(Corvane->Connected());
        Sim->WaitIdle();
    }

    void Trickle(std::chrono::milliseconds interval, TSimFaults faults = {})
    {
        faults.TrickleInterval = interval;
        Sim->SetFaults(faults);
    }
};

// 40 bytes, one per packet every 100 ms, would take 4 s; the bound is 1 s and
// a few milliseconds.
TEST_F(TTrickleFixture, FlashReadOfATricklingRemoteFailsAndReconnects)
{
    Sim->FillFlashWithPattern();
    Trickle(100ms);
    const int resets = Sim->ResetCount();
    TByteArray data;
    EXPECT_FALSE(Corvane->ReadFlash(data, 0x1000, 40));
    EXPECT_EQ(Sim->ResetCount(), resets + 1);  // the reconnection's reset

    // The fresh link serves a healthy remote as ever.
    Sim->SetFaults({});
    ASSERT_TRUE(Corvane->ReadFlash(data, 0x1000, 40));
    EXPECT_EQ(data, Sim->Flash(0x1000, 40));
}

// A thousand late reports after the stop, one every 20 ms, would hold the
// capture 20 s; the bound is about 5 s.
TEST_F(TTrickleFixture, StopPhaseOfAStreamingRemoteFailsAndReconnects)
{
    TSimFaults faults;
    faults.IrEndlessAfterStop = true;
    Trickle(20ms, faults);
    const int resets = Sim->ResetCount();
    TByteArray data;
    EXPECT_FALSE(Corvane->IrCapture(data));
    EXPECT_EQ(Sim->ResetCount(), resets + 1);
    EXPECT_FALSE(Corvane->Busy());
    // The capture itself went well: what it captured stays.
    TByteArray captured = TRemoteFirmware::MakeIrSignal({0x08});
    captured.insert(captured.end(), {0x80, 0x00});
    EXPECT_EQ(data, captured);

    Sim->SetFaults({});
    TByteArray version;
    EXPECT_TRUE(Corvane->GetVersion(version));
}

}  // namespace
