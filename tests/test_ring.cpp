// The reader's ring: positions that wrap, copies split at the end, and what
// happens when the GUI thread leaves the ring full: newer reports are dropped
// whole and counted, never written over unread ones.

#include "SimDevices.h"
#include "UsbHidInterface.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <numeric>
#include <thread>

namespace {

constexpr int ReportSize = 65;

// A reader on an idle simulated device: nothing arrives unless the test
// appends it, so the positions are the test's to steer.
struct TRingFixture : ::testing::Test {
    TSimHidBus Bus;
    std::shared_ptr<TRecordingDevice> Device = std::make_shared<TRecordingDevice>();
    std::unique_ptr<IHidHandle> Handle;
    std::unique_ptr<TFileInputThread> Reader;

    void SetUp() override
    {
        const std::string path = Bus.Plug(Device);
        std::error_code error;
        Handle = Bus.Open(path, error);
        ASSERT_TRUE(Handle);
        Reader = std::make_unique<TFileInputThread>(*Handle, ReportSize);
    }

    // Appends reports whose bytes all hold the report's number.
    void AppendReports(int count, int firstNumber = 0)
    {
        TByteArray report(ReportSize);
        for (int i = 0; i < count; ++i) {
            std::fill(report.begin(), report.end(), static_cast<std::uint8_t>(firstNumber + i));
            Reader->AppendForTest(report.data(), ReportSize);
        }
    }

    int Unread()
    {
        TByteArray none;
        return Reader->ReadData(none, 0);
    }

    // Takes count bytes and checks them.
    TByteArray Take(int count)
    {
        TByteArray data(static_cast<std::size_t>(count), 0xEE);
        EXPECT_EQ(Reader->ReadData(data, static_cast<std::uint16_t>(count)), count);
        return data;
    }
};

TEST_F(TRingFixture, HoldsAThousandReports)
{
    EXPECT_EQ(Reader->RingLength(), 65000);
    EXPECT_EQ(Unread(), 0);
}

TEST_F(TRingFixture, CountZeroOrEmptyDataOnlyCounts)
{
    AppendReports(2);
    TByteArray data(10);
    EXPECT_EQ(Reader->ReadData(data, 0), 130);
    TByteArray empty;
    EXPECT_EQ(Reader->ReadData(empty, 10), 130);
    EXPECT_EQ(Unread(), 130);
}

TEST_F(TRingFixture, MovesNoMoreThanIsUnread)
{
    AppendReports(1, 7);
    TByteArray data(200, 0xEE);
    EXPECT_EQ(Reader->ReadData(data, 200), 65);
    EXPECT_EQ(data[64], 7);
    EXPECT_EQ(data[65], 0xEE);
    EXPECT_EQ(Unread(), 0);
}

TEST_F(TRingFixture, CopiesAcrossTheEndInBothDirections)
{
    AppendReports(999);
    Take(999 * ReportSize);           // the read position is one report short of the end
    AppendReports(2, 100);            // the second report lands at the start of the ring
    EXPECT_EQ(Unread(), 130);
    TByteArray data = Take(130);      // and comes out split in two
    EXPECT_TRUE(std::all_of(data.begin(), data.begin() + 65, [](auto b) { return b == 100; }));
    EXPECT_TRUE(std::all_of(data.begin() + 65, data.end(), [](auto b) { return b == 101; }));
    EXPECT_EQ(Unread(), 0);
}

TEST_F(TRingFixture, CopyEndingExactlyAtTheEndWrapsToZero)
{
    AppendReports(500);
    Take(500 * ReportSize);
    AppendReports(500, 10);  // this write ends exactly at the ring's end
    EXPECT_EQ(Unread(), 500 * ReportSize);
    TByteArray data = Take(500 * ReportSize);  // and so does this read
    EXPECT_EQ(data.back(), static_cast<std::uint8_t>(509));
    // Both positions are at 0 now: the next report starts the ring again.
    AppendReports(1, 42);
    EXPECT_EQ(Unread(), 65);
    EXPECT_EQ(Take(65)[0], 42);
}

TEST_F(TRingFixture, FullRingDropsNewReportsWholeAndCountsThem)
{
    // One byte stays free, so 999 reports fill the ring.
    AppendReports(999);
    EXPECT_EQ(Unread(), 999 * ReportSize);
    EXPECT_EQ(Reader->Dropped(), 0u);
    AppendReports(3, 200);
    EXPECT_EQ(Unread(), 999 * ReportSize);
    EXPECT_EQ(Reader->Dropped(), 3u);

    EXPECT_EQ(Take(ReportSize)[0], 0);  // the oldest is still there, whole
    AppendReports(1, 77);               // room for one again
    EXPECT_EQ(Reader->Dropped(), 3u);
    TByteArray rest = Take(999 * ReportSize);
    EXPECT_EQ(rest[0], 1);
    EXPECT_EQ(rest[998 * ReportSize - 1], static_cast<std::uint8_t>(998));
    EXPECT_TRUE(std::all_of(rest.end() - ReportSize, rest.end(), [](auto b) { return b == 77; }));
}

TEST_F(TRingFixture, FlushDiscardsEverythingUnread)
{
    AppendReports(5);
    Reader->Flush();
    EXPECT_EQ(Unread(), 0);
    AppendReports(1, 9);
    EXPECT_EQ(Take(65)[0], 9);
}

TEST_F(TRingFixture, ReaderThreadDeliversReportsInOrder)
{
    // The real thread, fed through the handle: 60 reports (within the 64 a
    // handle keeps) come out whole and in order.
    for (int i = 0; i < 60; ++i) {
        TByteArray report(ReportSize, static_cast<std::uint8_t>(i));
        Device->SendInput(report);
    }
    for (int tries = 0; tries < 500 && Unread() < 60 * ReportSize; ++tries)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    ASSERT_EQ(Unread(), 60 * ReportSize);
    TByteArray data = Take(60 * ReportSize);
    for (int i = 0; i < 60; ++i)
        EXPECT_EQ(data[static_cast<std::size_t>(i) * ReportSize + 64], i);
}

// A flood from the device while the GUI side is a whole ring behind and then
// takes reports slowly: under ThreadSanitizer this shows the reader and the
// GUI thread never touch the same bytes at once; in any build, every report
// that comes out is whole, and they come out in the order they were sent.
TEST_F(TRingFixture, FloodWhileTheReadingSideLagsKeepsReportsWholeAndInOrder)
{
    constexpr std::uint32_t Count = 200000;
    std::atomic<bool> sent{false};
    std::thread sender([this, &sent] {
        TByteArray report(ReportSize, 0);
        for (std::uint32_t n = 1; n <= Count; ++n) {
            for (int at = 1; at + 4 <= ReportSize; at += 4)
                std::memcpy(&report[static_cast<std::size_t>(at)], &n, 4);
            Device->SendInput(report);
        }
        sent = true;
    });
    // Hold the reading side back until the ring has overflowed once.
    for (int tries = 0; tries < 5000 && Reader->Dropped() == 0; ++tries)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_GT(Reader->Dropped(), 0u);

    std::uint32_t last = 0;
    std::uint64_t taken = 0;
    bool whole = true;
    TByteArray report(ReportSize);
    auto takeAll = [&] {
        while (Unread() >= ReportSize) {
            ASSERT_EQ(Reader->ReadData(report, ReportSize), ReportSize);
            std::uint32_t n;
            std::memcpy(&n, &report[1], 4);
            for (int at = 5; at + 4 <= ReportSize; at += 4)
                whole = whole && std::memcmp(&report[static_cast<std::size_t>(at)], &n, 4) == 0;
            ASSERT_GT(n, last) << "report out of order after " << taken;
            last = n;
            ++taken;
            if (taken % 64 == 0)
                std::this_thread::yield();  // slowly
        }
    };
    while (!sent && !testing::Test::HasFatalFailure()) {
        takeAll();
        std::this_thread::yield();
    }
    sender.join();
    // What the reader thread still had in hand arrives within its read wait.
    for (int tries = 0; tries < 200 && Unread() < ReportSize && last < Count; ++tries)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    takeAll();
    EXPECT_TRUE(whole);
    EXPECT_GT(taken, 0u);
    EXPECT_LE(taken + Reader->Dropped(), Count);  // nothing twice

}

}  // namespace

