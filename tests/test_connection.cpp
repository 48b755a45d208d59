// Connecting to the remote, following its arrival and removal, and the
// version request that ends every connection attempt.

#include "CorvaneInterface.h"
#include "FastTiming.h"
#include "SimDevices.h"
#include "SimRemote.h"
#include "TestEventLoop.h"
#include "WireScript.h"

#include <gtest/gtest.h>

namespace {

using namespace std::chrono_literals;

struct TConnectionFixture : ::testing::Test {
    TScopedTiming Fast{FastTiming()};
    TTestEventLoop Loop;
    TSimHidBus Bus;
    std::shared_ptr<TSimRemote> Remote = std::make_shared<TSimRemote>();

    // What the remote received, and nothing more, once it is idle.
    std::vector<TByteArray> Received()
    {
        Remote->WaitIdle();
        return Remote->Received();
    }
};

TEST_F(TConnectionFixture, ReconnectSendsAUsbResetAndAVersionRequest)
{
    Bus.Plug(Remote);
    TCorvaneOne remote(Bus, Loop);
    int statusChanges = 0;
    remote.OnStatusChange = [&] { ++statusChanges; };
    Remote->ClearReceived();

    EXPECT_TRUE(remote.Reconnect());
    EXPECT_TRUE(remote.Connected());
    EXPECT_EQ(remote.Architecture(), 12);
    EXPECT_EQ(remote.Protocol(), 12);
    EXPECT_EQ(Received(), (TReports{Report({0xE1, 0x01}), Report({0x10})}));
    EXPECT_EQ(statusChanges, 0);
}

// The last reports of a stream that broke off, arriving after the version
// request's write has flushed the unread input: the reconnection looks past
// them for the version reply, where a version request of the user's does not.
class TStaleStreamRemote : public TSimRemote {
public:
    int StaleReports = 0;

    void OnOutputReport(const TByteArray& report) override
    {
        if (report.size() > 1 && report[1] == PKT_GET_VERSION)
            for (int n = 0; n < StaleReports; ++n) {
                TByteArray stale = Report("6B 10 FF FF FF");  // flash data, mid-stream
                stale.insert(stale.begin(), 0x00);              // report ID
                SendInput(stale);
            }
        TSimRemote::OnOutputReport(report);
    }
};

TEST(ConnectionAfterABrokenStream, ReconnectionLooksPastStaleStreamReports)
{
    TScopedTiming fast{FastTiming()};
    TTestEventLoop loop;
    TSimHidBus bus;
    auto remote = std::make_shared<TStaleStreamRemote>();
    bus.Plug(remote);
    TCorvaneOne corvane(bus, loop);

    remote->StaleReports = 3;
    EXPECT_TRUE(corvane.Reconnect());
    EXPECT_EQ(corvane.Protocol(), 12);

    remote->StaleReports = 1;
    TByteArray reply{1, 2, 3};
    EXPECT_FALSE(corvane.GetVersion(reply));  // one request, one reply: the stale one
    EXPECT_EQ(reply, (TByteArray{1, 2, 3}));
}

TEST_F(TConnectionFixture, ReconnectWithoutTheRemote)
{
    TTiming timing = FastTiming();
    timing.ReconnectPause = 30ms;
    TScopedTiming slowerPause(timing);
    TCorvaneOne remote(Bus, Loop);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(remote.Reconnect());
    EXPECT_GE(std::chrono::steady_clock::now() - start, 30ms);  // the pause is still taken
    EXPECT_FALSE(remote.Connected());
    EXPECT_EQ(remote.Architecture(), -1);
    EXPECT_EQ(remote.Protocol(), -1);
    TByteArray reply{1, 2, 3};
    EXPECT_FALSE(remote.GetVersion(reply));
    EXPECT_EQ(reply, (TByteArray{1, 2, 3}));
}

TEST_F(TConnectionFixture, VersionReplyIsTrimmedAndSetsArchitectureAndProtocol)
{
    Bus.Plug(Remote);
    TCorvaneOne remote(Bus, Loop);
    Remote->ScriptReplies({Report({0x28, 0x35, 0x02, 0x01, 0x20, 0xC3, 0x04, 0x0C, 0x12, 0x34, 0x56, 0x78, 0x9A,
                                   0xBC, 0xDE, 0x07, 0x99})});
    TByteArray reply;
    ASSERT_TRUE(remote.GetVersion(reply));
    EXPECT_EQ(reply.size(), 16u);
    EXPECT_EQ(reply[15], 0x07);
    EXPECT_EQ(remote.Architecture(), 12);
    EXPECT_EQ(remote.Protocol(), 12);
}

TEST_F(TConnectionFixture, VersionFailuresLeaveArchitectureAndProtocol)
{
    Remote->SetArchitecture(9);
    Remote->SetProtocol(33);
    Bus.Plug(Remote);
    TCorvaneOne remote(Bus, Loop);
    ASSERT_EQ(remote.Architecture(), 9);

    const TByteArray replies[] = {
        Report({0x6A, 0x01, 0xC3, 0x00, 0x0C}),          // another type
        Report({0x26, 0x35, 0x02, 0x01, 0x20, 0xC3, 0x04}),  // six payload bytes: no protocol byte
        TByteArray{},                                     // no reply at all
    };
    for (const TByteArray& scripted : replies) {
        Remote->ScriptReplies({scripted});
        TByteArray reply;
        EXPECT_FALSE(remote.GetVersion(reply));
        EXPECT_EQ(remote.Architecture(), 9);
        EXPECT_EQ(remote.Protocol(), 33);
    }
}

TEST_F(TConnectionFixture, RemovalMarksNotConnectedAndKeepsTheVersion)
{
    Bus.Plug(Remote);
    TCorvaneOne remote(Bus, Loop);
    int statusChanges = 0;
    remote.OnStatusChange = [&] { ++statusChanges; };
    Remote->ClearReceived();

    Bus.Unplug(Remote);
    Loop.DispatchMessages(false);
    EXPECT_FALSE(remote.Connected());
    EXPECT_EQ(remote.Architecture(), 12);
    EXPECT_EQ(statusChanges, 1);
    EXPECT_TRUE(Received().empty());
}

TEST_F(TConnectionFixture, ArrivalReconnectsAndNotifiesOnce)
{
    Bus.Plug(Remote);
    TCorvaneOne remote(Bus, Loop);
    int statusChanges = 0;
    remote.OnStatusChange = [&] { ++statusChanges; };
    Bus.Unplug(Remote);
    Loop.DispatchMessages(false);
    Remote->ClearReceived();

    Bus.Plug(Remote);  // the old link, still watching, sees it come back
    Loop.DispatchMessages(false);
    EXPECT_TRUE(remote.Connected());
    EXPECT_EQ(statusChanges, 2);
    EXPECT_EQ(Received(), (TReports{Report({0xE1, 0x01}), Report({0x10})}));
}

TEST_F(TConnectionFixture, RemotePluggedInAfterAStartWithoutIt)
{
    TCorvaneOne remote(Bus, Loop);
    ASSERT_FALSE(remote.Connected());
    Bus.Plug(Remote);  // no handler assigned: the reconnection still runs
    Loop.DispatchMessages(false);
    EXPECT_TRUE(remote.Connected());
    EXPECT_EQ(remote.Protocol(), 12);
}

TEST_F(TConnectionFixture, OtherHidDevicesChangeNothing)
{
    Bus.Plug(Remote);
    TCorvaneOne remote(Bus, Loop);
    int statusChanges = 0;
    remote.OnStatusChange = [&] { ++statusChanges; };
    Remote->ClearReceived();
    auto mouse = std::make_shared<TSimMouse>();
    Bus.Plug(mouse);
    Bus.Unplug(mouse);
    Loop.DispatchMessages(false);
    EXPECT_TRUE(remote.Connected());
    EXPECT_EQ(statusChanges, 0);
    EXPECT_TRUE(Received().empty());  // no reset of the remote for a mouse
}

TEST_F(TConnectionFixture, BrokenVersionReplyOnArrivalStillUpdatesTheDisplay)
{
    TCorvaneOne remote(Bus, Loop);
    int statusChanges = 0;
    remote.OnStatusChange = [&] { ++statusChanges; };
    TSimFaults faults;
    faults.LengthCode = 11;
    Remote->SetFaults(faults);
    Bus.Plug(Remote);
    EXPECT_THROW(Loop.DispatchMessages(false), ECorvaneAssertion);
    EXPECT_EQ(statusChanges, 1);
    EXPECT_TRUE(remote.Connected());
    EXPECT_EQ(remote.Architecture(), -1);
}

TEST_F(TConnectionFixture, ResetWritesOneRequestAndReadsNothing)
{
    Bus.Plug(Remote);
    TCorvaneOne remote(Bus, Loop);
    Remote->ClearReceived();
    EXPECT_TRUE(remote.Reset(3));
    EXPECT_EQ(Received(), (TReports{Report({0xE1, 0x03})}));

    Bus.Unplug(Remote);
    Loop.DispatchMessages(false);
    EXPECT_FALSE(remote.Reset(3));
}

}  // namespace
