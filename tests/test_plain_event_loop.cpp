// The event loop of a program without a window: calls posted from any thread
// run on the dispatching thread in posting order, a waiting dispatch ends by
// itself, and the protocol layer runs on it against the simulated remote.

#include "CorvaneInterface.h"
#include "FastTiming.h"
#include "PlainEventLoop.h"
#include "SimRemote.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using TLog = std::vector<std::string>;

TEST(PlainEventLoop, CallsPostedFromOtherThreadsRunOnTheDispatchingThreadInPostingOrder)
{
    TPlainEventLoop loop;
    std::mutex postMutex;
    TLog posted;  // the order in which the posts happened
    TLog ran;
    std::vector<std::thread::id> threads;
    auto poster = [&](char name) {
        for (int i = 0; i < 200; ++i) {
            std::lock_guard lock(postMutex);  // makes the posting order observable
            const std::string tag = name + std::to_string(i);
            posted.push_back(tag);
            loop.Post([&, tag] {
                ran.push_back(tag);
                threads.push_back(std::this_thread::get_id());
            });
        }
    };
    std::thread a(poster, 'a');
    std::thread b(poster, 'b');
    a.join();
    b.join();
    EXPECT_TRUE(ran.empty());  // nothing runs before a dispatch
    EXPECT_EQ(loop.Pending(), 400u);

    loop.DispatchMessages(false);
    EXPECT_EQ(ran, posted);
    EXPECT_EQ(threads, std::vector<std::thread::id>(400, std::this_thread::get_id()));
    EXPECT_EQ(loop.Pending(), 0u);
}

// What one scenario posts, and what the first and the second dispatch run.
struct TDispatchCase {
    const char* Name;
    bool Wait;
    std::function<void(TPlainEventLoop&, TLog&)> Post;
    TLog First;
    TLog Second;
};

TEST(PlainEventLoop, WhatEachDispatchRuns)
{
    const TDispatchCase cases[] = {
        {"nothing pending, no wait", false, [](TPlainEventLoop&, TLog&) {}, {}, {}},
        // Ends by itself after the bound; a hang here is the failure.
        {"nothing pending, wait", true, [](TPlainEventLoop&, TLog&) {}, {}, {}},
        {"pending calls, wait", true,
         [](TPlainEventLoop& loop, TLog& log) {
             loop.Post([&] { log.push_back("1"); });
             loop.Post([&] { log.push_back("2"); });
         },
         {"1", "2"}, {}},
        {"a call posted by a call runs at the next dispatch", false,
         [](TPlainEventLoop& loop, TLog& log) {
             loop.Post([&] {
                 log.push_back("1");
                 loop.Post([&] { log.push_back("posted by 1"); });
             });
             loop.Post([&] { log.push_back("2"); });
         },
         {"1", "2"}, {"posted by 1"}},
        {"a dispatch inside a call keeps the posting order", false,
         [](TPlainEventLoop& loop, TLog& log) {
             loop.Post([&] {
                 log.push_back("1 begins");
                 loop.DispatchMessages(false);
                 log.push_back("1 ends");
             });
             loop.Post([&] { log.push_back("2"); });
             loop.Post([&] { log.push_back("3"); });
         },
         {"1 begins", "2", "3", "1 ends"}, {}},
        {"a call that raises goes to the error handler, the next still run", false,
         [](TPlainEventLoop& loop, TLog& log) {
             loop.OnError = [&](const std::string& text) { log.push_back("error: " + text); };
             loop.Post([&] { log.push_back("1"); });
             loop.Post([] { throw std::runtime_error("Invalid number of bytes"); });
             loop.Post([&] { log.push_back("3"); });
         },
         {"1", "error: Invalid number of bytes", "3"}, {}},
    };
    for (const TDispatchCase& c : cases) {
        SCOPED_TRACE(c.Name);
        TPlainEventLoop loop(20ms);
        TLog log;
        c.Post(loop, log);
        loop.DispatchMessages(c.Wait);
        EXPECT_EQ(log, c.First);
        log.clear();
        loop.DispatchMessages(false);
        EXPECT_EQ(log, c.Second);
    }
}

TEST(PlainEventLoop, AWaitingDispatchWakesForACallFromAnotherThread)
{
    // The bound is far beyond any scheduling delay: only a post that failed
    // to wake the wait lets it run out.
    TPlainEventLoop loop(20s);
    bool ran = false;
    std::thread poster([&] { loop.Post([&] { ran = true; }); });
    const auto start = std::chrono::steady_clock::now();
    loop.DispatchMessages(true);
    const auto waited = std::chrono::steady_clock::now() - start;
    poster.join();
    EXPECT_TRUE(ran);
    EXPECT_LT(waited, 10s);
}

TEST(PlainEventLoop, CallsPendingWhenTheLoopGoesAreDropped)
{
    auto witness = std::make_shared<int>(0);
    bool ran = false;
    {
        TPlainEventLoop loop;
        loop.Post([&ran, witness] { ran = true; });
    }
    EXPECT_FALSE(ran);
    EXPECT_EQ(witness.use_count(), 1);  // the dropped call's captures are gone
}

// --- The protocol layer on the plain loop -------------------------------------

struct TPlainLoopRemote : ::testing::Test {
    TScopedTiming Fast{FastTiming()};
    TPlainEventLoop Loop;
    TSimHidBus Bus;
    std::shared_ptr<TSimRemote> Remote = std::make_shared<TSimRemote>();
};

TEST_F(TPlainLoopRemote, RemovalAndArrivalReachTheConnectionWhenDispatched)
{
    Bus.Plug(Remote);
    TCorvaneOne corvane(Bus, Loop);
    ASSERT_TRUE(corvane.Connected());
    int statusChanges = 0;
    corvane.OnStatusChange = [&] { ++statusChanges; };

    Bus.Unplug(Remote);
    EXPECT_TRUE(corvane.Connected());  // nothing happens until the loop runs
    Loop.DispatchMessages(true);
    EXPECT_FALSE(corvane.Connected());

    Bus.Plug(Remote);
    Loop.DispatchMessages(true);
    EXPECT_TRUE(corvane.Connected());
    EXPECT_EQ(statusChanges, 2);
    TByteArray version;
    EXPECT_TRUE(corvane.GetVersion(version));
}

TEST_F(TPlainLoopRemote, LongOperationsThatDispatchBetweenPacketsComplete)
{
    const TByteArray signal{0x01, 0x10, 0x02, 0x20, 0x03, 0x30};
    Remote->SetIrCapture(signal, 0ms);
    Bus.Plug(Remote);
    TCorvaneOne corvane(Bus, Loop);
    ASSERT_TRUE(corvane.Connected());

    TByteArray captured;
    ASSERT_TRUE(corvane.IrCapture(captured));
    EXPECT_EQ(captured, (TByteArray{0x01, 0x10, 0x02, 0x20, 0x03, 0x30, 0x80, 0x00}));

    TByteArray data(4096);
    for (std::size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<std::uint8_t>(i * 7);
    Remote->SetFlash(0x10000, TByteArray(4096, 0xFF));
    ASSERT_TRUE(corvane.WriteFlash(data, 0x10000, 4096));
    Remote->WaitIdle();
    EXPECT_EQ(Remote->Flash(0x10000, 4096), data);
}

}  // namespace
