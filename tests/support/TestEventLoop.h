#pragma once
// The GUI thread's event loop for tests without a window: a queue of posted
// calls that the test thread (playing the GUI thread) dispatches.

#include "EventLoop.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <vector>

class TTestEventLoop : public IGuiEventLoop {
public:
    // How long DispatchMessages(true) waits for a message when none is
    // pending: stands in for the window's 100 ms timer, shortened.
    std::chrono::milliseconds TimerInterval{2};

    // Called on every DispatchMessages, before the queued calls: lets a test
    // act "from a handler" in the middle of a long operation.
    std::function<void()> OnDispatch;

    int DispatchCount() const { return static_cast<int>(Waits.size()); }

    // Per dispatch so far: whether the caller let it wait for a message.
    std::vector<bool> Waits;

    void Post(std::function<void()> fn) override
    {
        {
            std::lock_guard lock(FMutex);
            FQueue.push_back(std::move(fn));
        }
        FArrived.notify_one();
    }

    void DispatchMessages(bool wait) override
    {
        Waits.push_back(wait);
        if (OnDispatch) {
            auto hook = OnDispatch;
            hook();
        }
        std::deque<std::function<void()>> calls;
        {
            std::unique_lock lock(FMutex);
            if (wait && FQueue.empty())
                FArrived.wait_for(lock, TimerInterval, [this] { return !FQueue.empty(); });
            calls.swap(FQueue);
        }
        for (auto& call : calls)
            call();
    }

    // Dispatches until pred holds or the limit passes; true when it held.
    bool RunUntil(const std::function<bool()>& pred,
                  std::chrono::milliseconds limit = std::chrono::seconds(5))
    {
        const auto end = std::chrono::steady_clock::now() + limit;
        while (!pred()) {
            if (std::chrono::steady_clock::now() > end)
                return false;
            DispatchMessages(true);
        }
        return true;
    }

    // Dispatches whatever arrives within the given time.
    void RunFor(std::chrono::milliseconds duration)
    {
        const auto end = std::chrono::steady_clock::now() + duration;
        while (std::chrono::steady_clock::now() < end)
            DispatchMessages(true);
    }

private:
    std::mutex FMutex;
    std::condition_variable FArrived;
    std::deque<std::function<void()>> FQueue;
};
