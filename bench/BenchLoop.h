#pragma once
// The GUI thread's queue for benchmarks without a window: arrival and
// removal events wait here until the operation dispatches them.

#include "EventLoop.h"

#include <deque>
#include <functional>
#include <mutex>

class TBenchLoop : public IGuiEventLoop {
public:
    void Post(std::function<void()> fn) override
    {
        std::lock_guard lock(FMutex);
        FQueue.push_back(std::move(fn));
    }

    void DispatchMessages(bool) override
    {
        std::deque<std::function<void()>> calls;
        {
            std::lock_guard lock(FMutex);
            calls.swap(FQueue);
        }
        for (auto& call : calls)
            call();
    }

private:
    std::mutex FMutex;
    std::deque<std::function<void()>> FQueue;
};
