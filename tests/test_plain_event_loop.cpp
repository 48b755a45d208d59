// The event loop of a program without a window: calls posted from any thread
// run on the dispatching thread in posting order, a waiting dispatch ends by
// itself, and the protocol layer runs on it against the simulated remote.

#include "CorvaneInterface.h"
#include "FastTiming.h"
#include "PlainEventLoop.h"
#include "SimRemote.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <thread>

namespace {

using namespace std::chrono_literals;
using TLog = std::vector<std::string>;

TEST(PlainEventLoop, CallsPostedFromAnotherThreadRunOnTheDispatchingThreadInOrder)
{
    TPlainEventLoop loop;
    TLog ran;
    std::vector<std::thread::id> threads;
    std::thread poster([&] {
        for (int i = 0; i < 100; ++i)
            loop.Post([&, i] {
                ran.push_back(std::to_string(i));
                threads.push_back(std::this_thread::get_id());
            });
    });
    poster.join();
    EXPECT_EQ(loop.Pending(), 100u);  // nothing runs before a dispatch
    loop.DispatchMessages(false);
    ASSERT_EQ(ran.size(), 100u);
    for (int i = 0; i < 100; ++i)
        EXPECT_EQ(ran[i], std::to_string(i));
    EXPECT_EQ(threads, std::vector<std::thread::id>(100, std::this_thread::get_id()));
}

TEST(PlainEventLoop, WhatEachDispatchRuns)
{
    struct TCase {
        const char* Name;
        bool Wait;  // of the first dispatch; a hang is the failure
        std::function<void(TPlainEventLoop&, TLog&)> Post;
        TLog First, Second;
    };
    const TCase cases[] = {
        {"nothing pending, wait", true, [](TPlainEventLoop&, TLog&) {}, {}, {}},
        {"a call posted by a call runs at the next dispatch", true,
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
         },
         {"1 begins", "2", "1 ends"}, {}},
        {"a call that raises goes to the error handler, the next still run", false,
         [](TPlainEventLoop& loop, TLog& log) {
             loop.OnError = [&](const std::string& text) { log.push_back("error: " + text); };
             loop.Post([] { throw std::runtime_error("Invalid number of bytes"); });
             loop.Post([&] { log.push_back("2"); });
         },
         {"error: Invalid number of bytes", "2"}, {}},
    };
    for (const TCase& c : cases) {
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

TEST(PlainEventLoop, TheProtocolLayerRunsOnIt)
{
    TScopedTiming fast(FastTiming());
    TPlainEventLoop loop;
    TSimHidBus bus;
    auto remote = std::make_shared<TSimRemote>();
    remote->SetIrCapture(TByteArray{0x01, 0x10, 0x02, 0x20}, 0ms);
    bus.Plug(remote);
    TCorvaneOne corvane(bus, loop);
    ASSERT_TRUE(corvane.Connected());

    // The capture dispatches, waiting for a message, before every read.
    TByteArray captured;
    ASSERT_TRUE(corvane.IrCapture(captured));
    EXPECT_EQ(captured, (TByteArray{0x01, 0x10, 0x02, 0x20, 0x80, 0x00}));

    bus.Unplug(remote);
    EXPECT_TRUE(corvane.Connected());  // nothing happens until the loop runs
    loop.DispatchMessages(true);
    EXPECT_FALSE(corvane.Connected());
    bus.Plug(remote);
    loop.DispatchMessages(true);
    EXPECT_TRUE(corvane.Connected());
}

}  // namespace
