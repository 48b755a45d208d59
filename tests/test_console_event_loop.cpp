// The Qt event loop as the protocol layer sees it.

#include "test_console_support.h"

#include "QtEventLoop.h"

#include <stdexcept>
#include <thread>
#include <vector>

namespace {

TEST(QtEventLoop, CallsPostedFromAnotherThreadRunOnTheGuiThreadInOrder)
{
    TQtEventLoop loop;
    std::vector<int> order;
    std::vector<std::thread::id> threads;
    std::thread poster([&] {
        for (int i = 0; i < 100; ++i)
            loop.Post([&, i] {
                order.push_back(i);
                threads.push_back(std::this_thread::get_id());
            });
    });
    poster.join();
    EXPECT_TRUE(order.empty());  // nothing runs before the loop dispatches
    ASSERT_TRUE(WaitFor([&] {
        loop.DispatchMessages(false);
        return order.size() == 100;
    }));
    for (int i = 0; i < 100; ++i) EXPECT_EQ(order[i], i);
    for (const auto& id : threads) EXPECT_EQ(id, std::this_thread::get_id());
}

TEST(QtEventLoop, WaitOnAnIdleQueueEnds)
{
    // A flash write takes one message per data packet; with nothing pending
    // the wait must still end by itself.
    TQtEventLoop loop;
    QCoreApplication::processEvents();
    for (int i = 0; i < 20; ++i) loop.DispatchMessages(true);
    SUCCEED();
}

TEST(QtEventLoop, ErrorsOfPostedCallsGoToTheHandler)
{
    TQtEventLoop loop;
    QStringList errors;
    loop.OnError = [&](const QString& text) { errors.append(text); };
    bool after = false;
    loop.Post([] { throw std::runtime_error("broken reply"); });
    loop.Post([&] { after = true; });
    ASSERT_TRUE(WaitFor([&] {
        loop.DispatchMessages(true);
        return after;
    }));
    EXPECT_EQ(errors, QStringList{"broken reply"});
}

TEST(QtEventLoop, CallsPendingWhenTheLoopGoesAreDropped)
{
    bool ran = false;
    {
        TQtEventLoop loop;
        loop.Post([&] { ran = true; });
    }
    for (int i = 0; i < 5; ++i) QCoreApplication::processEvents();
    EXPECT_FALSE(ran);
}

}  // namespace
