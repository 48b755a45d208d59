// Connecting to the remote, following its arrival and removal, and the
// version request that ends every connection attempt.

#include "CorvaneInterface.h"
#include "FastTiming.h"
#include "SimDevices.h"
#include "SimRemote.h"
#include "TestEventLoop.h"
#include "WireScript.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

namespace {

using namespace std::chrono_literals;

// Every case checks whether a reply was taken, so a reply gets 250 ms: a
// reply merely slow on a loaded machine (under a sanitizer) is no silence.
struct TConnectionFixture : ::testing::Test {
    TScopedTiming Steady{SteadyTiming()};
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
    std::vector<const char*> Stale;  // payloads sent just before the version reply

    void OnOutputReport(const TByteArray& report) override
    {
        if (report.size() > 1 && report[1] == PKT_GET_VERSION)
            for (const char* payload : Stale) {
                TByteArray stale = Report(payload);
                stale.insert(stale.begin(), 0x00);  // report ID
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

    const char* flashData = "6B 10 FF FF FF";  // mid-stream
    const char* irData = "90 20 02 30";
    const char* flashEnd = "F1 50";            // the acknowledgement that ends a flash read
    const char* captureEnd = "F1 80";
    const std::vector<const char*> streams[] = {
        {flashData, flashData, flashData},
        {flashData, flashData, flashEnd},
        {flashEnd},
        {irData, irData, captureEnd},
    };
    for (const auto& stale : streams) {
        SCOPED_TRACE(stale.back());
        remote->Stale = stale;
        EXPECT_TRUE(corvane.Reconnect());
        EXPECT_EQ(corvane.Protocol(), 12);
    }

    // What is stale is passed over, not what is not: a register value in
    // front of the version reply fails the reconnection.
    remote->Stale = {flashData, "C2 34 12"};
    EXPECT_FALSE(corvane.Reconnect());
    EXPECT_EQ(corvane.Protocol(), -1);

    // A version request of the user's takes one report, the stale one. Each
    // on a link of its own: the reply a case leaves unread may still wait in
    // the handle's queue, past the next request's flush.
    for (const char* one : {flashData, flashEnd}) {
        SCOPED_TRACE(one);
        remote->Stale = {};
        TCorvaneOne fresh(bus, loop);
        remote->Stale = {one};
        TByteArray reply{1, 2, 3};
        EXPECT_FALSE(fresh.GetVersion(reply));
        EXPECT_EQ(reply, (TByteArray{1, 2, 3}));
    }
}

// A platform whose reader handles, once armed, read nothing until the remote
// has received a version request: the link's reader thread starting late, as
// a new thread can under wine on a busy machine.
class TLateReaderPlatform : public IHidPlatform {
public:
    TLateReaderPlatform(TSimHidBus& bus, TSimRemote& remote) : FBus(bus), FRemote(remote) {}

    bool Armed = false;

    std::vector<THidInterfaceInfo> Enumerate() override { return FBus.Enumerate(); }
    std::unique_ptr<IHidHandle> Open(const std::string& path, std::error_code& error) override
    {
        return FBus.Open(path, error);
    }
    std::unique_ptr<IHidHandle> OpenForReading(const std::string& path, std::error_code& error) override
    {
        auto handle = FBus.OpenForReading(path, error);
        if (!handle || !Armed)
            return handle;
        return std::make_unique<TLateHandle>(std::move(handle), FRemote);
    }
    std::unique_ptr<IHotplugWatch> Watch(IGuiEventLoop& loop,
                                         std::function<void(const THotplugEvent&)> callback) override
    {
        return FBus.Watch(loop, std::move(callback));
    }

private:
    class TLateHandle : public IHidHandle {
    public:
        TLateHandle(std::unique_ptr<IHidHandle> inner, TSimRemote& remote) : FInner(std::move(inner)), FRemote(remote)
        {
        }
        bool GetAttributes(std::uint16_t& vendorId, std::uint16_t& productId) override
        {
            return FInner->GetAttributes(vendorId, productId);
        }
        bool GetReportLengths(int& inputLength, int& outputLength) override
        {
            return FInner->GetReportLengths(inputLength, outputLength);
        }
        long Write(const std::uint8_t* data, std::size_t length) override { return FInner->Write(data, length); }
        THidReadStatus Read(std::uint8_t* buffer, std::size_t length, std::chrono::milliseconds wait) override
        {
            // A hang fails in seconds: the gate gives up after five.
            const auto limit = std::chrono::steady_clock::now() + 5s;
            while (!FStarted && !VersionRequested() && std::chrono::steady_clock::now() < limit)
                std::this_thread::sleep_for(1ms);
            FStarted = true;
            return FInner->Read(buffer, length, wait);
        }
        void EndReads() override { FInner->EndReads(); }

    private:
        bool VersionRequested() const
        {
            for (const TByteArray& report : FRemote.Received())
                if (!report.empty() && report[0] == PKT_GET_VERSION)
                    return true;
            return false;
        }

        std::unique_ptr<IHidHandle> FInner;
        TSimRemote& FRemote;
        bool FStarted = false;
    };

    TSimHidBus& FBus;
    TSimRemote& FRemote;
};

// A flash read broken at its first packet leaves the remote streaming the
// rest of it while the link is replaced (here a stream that would not end
// before the reset). When the new link's reader starts only after the
// reconnection has asked for the version, what the remote sent meanwhile must
// not have pushed the version reply out of the new handle's queue.
TEST_F(TConnectionFixture, ReconnectionWithAReaderThatStartsLate)
{
    TLateReaderPlatform platform(Bus, *Remote);
    Remote->FillFlashWithPattern();
    Bus.Plug(Remote);
    TCorvaneOne corvane(platform, Loop);
    ASSERT_EQ(corvane.Protocol(), 12);

    TSimFaults broken;
    broken.FlashWrongTypeAt = 0;
    broken.FlashEndless = true;
    Remote->SetFaults(broken);
    Remote->WaitIdle();
    Remote->ClearReceived();
    platform.Armed = true;
    TByteArray data;
    EXPECT_FALSE(corvane.ReadFlash(data, 0xFF0000, 0x4000));
    EXPECT_TRUE(corvane.Connected());
    EXPECT_EQ(corvane.Protocol(), 12);
    EXPECT_EQ(corvane.Architecture(), 12);
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
