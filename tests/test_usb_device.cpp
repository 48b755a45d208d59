// The link: finding the remote, moving reports, following arrival and
// removal, and tearing down safely.

#include "FastTiming.h"
#include "SimDevices.h"
#include "TestEventLoop.h"
#include "UsbHidInterface.h"

#include <gtest/gtest.h>

#include <ctime>
#include <numeric>

namespace {

using namespace std::chrono_literals;

constexpr int RemoteVid = 0x1209;
constexpr int RemotePid = 0x0001;

struct TLinkFixture : ::testing::Test {
    TScopedTiming Fast{FastTiming()};
    TTestEventLoop Loop;
    TSimHidBus Bus;
    std::shared_ptr<TRecordingDevice> Remote = std::make_shared<TRecordingDevice>();

    std::unique_ptr<TUsbDevice> NewLink() { return std::make_unique<TUsbDevice>(Bus, Loop, RemoteVid, RemotePid); }

    // Waits until the link has at least `bytes` unread.
    static bool WaitUnread(TUsbDevice& link, int bytes)
    {
        TByteArray none;
        for (int i = 0; i < 1000; ++i) {
            if (link.Reader()->ReadData(none, 0) >= bytes)
                return true;
            std::this_thread::sleep_for(1ms);
        }
        return false;
    }
};

// --- Setup ------------------------------------------------------------------

TEST_F(TLinkFixture, RemoteAbsent)
{
    Bus.Plug(std::make_shared<TSimMouse>());
    auto link = NewLink();
    EXPECT_FALSE(link->Connected());
    EXPECT_EQ(link->InputLength(), -1);
    EXPECT_EQ(link->OutputLength(), -1);
    EXPECT_EQ(link->Reader(), nullptr);
    EXPECT_FALSE(link->OpenFailure());

    TByteArray packet(64, 0x10);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(link->WriteReport(packet));
    EXPECT_FALSE(link->ReadReport(packet));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 20ms);  // at once, no wait
}

TEST_F(TLinkFixture, RemoteWith64BytePayloads)
{
    Bus.Plug(Remote);
    auto link = NewLink();
    ASSERT_TRUE(link->Connected());
    EXPECT_EQ(link->InputLength(), 64);
    EXPECT_EQ(link->OutputLength(), 64);
    EXPECT_EQ(link->Reader()->RingLength(), 65000);
    EXPECT_EQ(link->DevicePath(), "sim:hidraw0");
}

TEST_F(TLinkFixture, FirstOfTwoRemotesWins)
{
    auto second = std::make_shared<TRecordingDevice>();
    Bus.Plug(std::make_shared<TSimMouse>());
    const std::string first = Bus.Plug(Remote);
    Bus.Plug(second);
    auto link = NewLink();
    ASSERT_TRUE(link->Connected());
    EXPECT_EQ(link->DevicePath(), first);
    EXPECT_TRUE(link->WriteReport(TByteArray(64, 1)));
    EXPECT_EQ(Remote->Reports().size(), 1u);
    EXPECT_TRUE(second->Reports().empty());
}

TEST_F(TLinkFixture, RemoteThatCannotBeOpenedIsNotUsedAndSaysWhy)
{
    // Refused outright (Linux), or opened for queries only (Windows, when
    // another program holds the remote): either way not connected, with the
    // reason.
    for (const bool queryOnly : {false, true}) {
        SCOPED_TRACE(queryOnly ? "query-only handle" : "no handle");
        Remote->SetOpenError(std::make_error_code(std::errc::permission_denied), queryOnly);
        const std::string path = Bus.Plug(Remote);
        auto link = NewLink();
        EXPECT_FALSE(link->Connected());
        EXPECT_EQ(link->Reader(), nullptr);
        ASSERT_TRUE(link->OpenFailure());
        EXPECT_EQ(link->OpenFailure()->Path, path);
        EXPECT_EQ(link->OpenFailure()->Error, std::errc::permission_denied);
        link.reset();
        Bus.Unplug(path);
    }
}

TEST_F(TLinkFixture, ReportsTheRingCannotHoldOrThatCannotCarryAPacket)
{
    struct TCase {
        int Input, Output;
    };
    // 66-byte input reports overflow 16-bit ring positions; 64-byte reports
    // carry a 63-byte payload, one short of the longest packet.
    for (TCase c : {TCase{66, 65}, TCase{64, 65}, TCase{65, 64}}) {
        TSimHidBus bus;
        bus.Plug(std::make_shared<TRecordingDevice>(RemoteVid, RemotePid, c.Input, c.Output));
        TUsbDevice link(bus, Loop, RemoteVid, RemotePid);
        EXPECT_FALSE(link.Connected()) << c.Input << "/" << c.Output;
        EXPECT_EQ(link.InputLength(), -1);
    }
}

// --- Writing and reading reports ------------------------------------------

TEST_F(TLinkFixture, WriteSendsReportIdZeroAndThePayload)
{
    Bus.Plug(Remote);
    auto link = NewLink();
    TByteArray packet(64);
    std::iota(packet.begin(), packet.end(), 1);
    ASSERT_TRUE(link->WriteReport(packet));
    auto reports = Remote->Reports();
    ASSERT_EQ(reports.size(), 1u);
    ASSERT_EQ(reports[0].size(), 65u);
    EXPECT_EQ(reports[0][0], 0);
    EXPECT_TRUE(std::equal(packet.begin(), packet.end(), reports[0].begin() + 1));
}

TEST_F(TLinkFixture, WriteOfBadLengthIsRefusedAndKeepsUnreadInput)
{
    Bus.Plug(Remote);
    auto link = NewLink();
    Remote->Send({0x20});
    ASSERT_TRUE(WaitUnread(*link, 65));
    EXPECT_FALSE(link->WriteReport(TByteArray{}));
    EXPECT_FALSE(link->WriteReport(TByteArray(65)));
    EXPECT_TRUE(Remote->Reports().empty());
    TByteArray none;
    EXPECT_EQ(link->Reader()->ReadData(none, 0), 65);
}

TEST_F(TLinkFixture, WriteDiscardsUnreadInputEvenWhenItFails)
{
    Bus.Plug(Remote);
    auto link = NewLink();
    Remote->Send({0x20});
    ASSERT_TRUE(WaitUnread(*link, 65));
    ASSERT_TRUE(link->WriteReport(TByteArray(64)));
    TByteArray none;
    EXPECT_EQ(link->Reader()->ReadData(none, 0), 0);

    Remote->Send({0x20});
    ASSERT_TRUE(WaitUnread(*link, 65));
    Bus.Unplug(Remote);  // the write fails now, the flush still happens
    EXPECT_FALSE(link->WriteReport(TByteArray(64)));
    EXPECT_EQ(link->Reader()->ReadData(none, 0), 0);
}

TEST_F(TLinkFixture, ReadReturnsReportsOldestFirst)
{
    Bus.Plug(Remote);
    auto link = NewLink();
    Remote->Send({0x21, 1});
    Remote->Send({0x22, 2});
    ASSERT_TRUE(WaitUnread(*link, 130));
    TByteArray data(64);
    ASSERT_TRUE(link->ReadReport(data));
    EXPECT_EQ(data[0], 0x21);
    EXPECT_EQ(data[1], 1);
    ASSERT_TRUE(link->ReadReport(data));
    EXPECT_EQ(data[0], 0x22);
}

TEST_F(TLinkFixture, ReadIntoAShortBufferFailsAtOnce)
{
    Bus.Plug(Remote);
    auto link = NewLink();
    Remote->Send({0x20});
    ASSERT_TRUE(WaitUnread(*link, 65));
    TByteArray data(63, 0xEE);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(link->ReadReport(data));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 10ms);
    EXPECT_EQ(data, TByteArray(63, 0xEE));
}

TEST_F(TLinkFixture, ReadWithoutAWholeReportWaitsTheFullTimeAndLeavesDataAlone)
{
    Bus.Plug(Remote);
    auto link = NewLink();
    // Exactly one payload's worth unread is not a whole report: the report
    // ID is part of it.
    const std::uint8_t partial[64] = {0x20};
    link->Reader()->AppendForTest(partial, 64);
    TByteArray data(64, 0xEE);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(link->ReadReport(data));
    // 25 pauses of 2 ms (shortened timing): never less.
    EXPECT_GE(std::chrono::steady_clock::now() - start, 50ms);
    EXPECT_EQ(data, TByteArray(64, 0xEE));
}

// --- Arrival and removal ----------------------------------------------------

TEST_F(TLinkFixture, RemovalOfTheRemoteMarksTheLinkNotConnected)
{
    Bus.Plug(Remote);
    auto link = NewLink();
    int changes = 0;
    link->OnChange = [&] { ++changes; };
    Bus.Unplug(Remote);
    Loop.DispatchMessages(false);
    EXPECT_FALSE(link->Connected());
    EXPECT_EQ(changes, 1);
}

TEST_F(TLinkFixture, OtherDevicesComingAndGoingChangeNothing)
{
    Bus.Plug(Remote);
    auto link = NewLink();
    int changes = 0;
    link->OnChange = [&] { ++changes; };
    auto mouse = std::make_shared<TSimMouse>();
    Bus.Plug(mouse);
    Bus.Unplug(mouse);
    Loop.DispatchMessages(false);
    EXPECT_TRUE(link->Connected());
    EXPECT_EQ(changes, 0);
}

TEST_F(TLinkFixture, ArrivalOfTheRemoteIsReportedAlsoWhenItWasAbsent)
{
    auto link = NewLink();
    ASSERT_FALSE(link->Connected());
    int changes = 0;
    link->OnChange = [&] { ++changes; };
    Bus.Plug(std::make_shared<TSimMouse>());
    Loop.DispatchMessages(false);
    EXPECT_EQ(changes, 0);
    Bus.Plug(Remote);
    Loop.DispatchMessages(false);
    EXPECT_EQ(changes, 1);
    EXPECT_TRUE(link->Connected());
}

TEST_F(TLinkFixture, CallbackMayDestroyTheLink)
{
    Bus.Plug(Remote);
    auto link = NewLink();
    link->OnChange = [&] { link.reset(); };
    Bus.Unplug(Remote);
    Loop.DispatchMessages(false);
    EXPECT_EQ(link, nullptr);
}

TEST_F(TLinkFixture, EventQueuedForADestroyedLinkTouchesNothing)
{
    Bus.Plug(Remote);
    auto link = NewLink();
    int changes = 0;
    link->OnChange = [&] { ++changes; };
    Bus.Unplug(Remote);  // the event is queued...
    link.reset();        // ...and the link goes before it is dispatched
    Loop.DispatchMessages(false);
    EXPECT_EQ(changes, 0);
}

// --- Teardown and the reader -----------------------------------------------

TEST_F(TLinkFixture, TeardownWithAReadOutstandingReturnsPromptly)
{
    TScopedTiming realWait(TTiming{});  // the reader waits its real 100 ms
    Bus.Plug(Remote);
    auto link = NewLink();
    std::this_thread::sleep_for(20ms);  // the reader is inside its wait now
    const auto start = std::chrono::steady_clock::now();
    link.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
}

TEST_F(TLinkFixture, ReaderDoesNotSpinOnADeadNode)
{
    Bus.Plug(Remote);
    auto link = NewLink();
    Bus.Unplug(Remote);  // every read fails at once from now on
    timespec before{}, after{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &before);
    std::this_thread::sleep_for(300ms);
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &after);
    const double cpu = (after.tv_sec - before.tv_sec) + (after.tv_nsec - before.tv_nsec) / 1e9;
    // A spinning reader would burn the whole 0.3 s.
    EXPECT_LT(cpu, 0.1);
}

}  // namespace
