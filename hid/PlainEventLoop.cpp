#include "PlainEventLoop.h"

#include <cstdio>
#include <exception>

TPlainEventLoop::TPlainEventLoop(std::chrono::milliseconds maxWait) : FMaxWait(maxWait) {}

TPlainEventLoop::~TPlainEventLoop() = default;

void TPlainEventLoop::Post(std::function<void()> fn)
{
    {
        std::lock_guard lock(FMutex);
        FQueue.push_back(TCall{FNextNumber++, std::move(fn)});
    }
    FArrived.notify_one();
}

std::size_t TPlainEventLoop::Pending() const
{
    std::lock_guard lock(FMutex);
    return FQueue.size();
}

void TPlainEventLoop::DispatchMessages(bool wait)
{
    std::uint64_t end;
    {
        std::unique_lock lock(FMutex);
        if (wait && FQueue.empty())
            FArrived.wait_for(lock, FMaxWait, [this] { return !FQueue.empty(); });
        end = FNextNumber;
    }
    // One call at a time off the shared queue rather than a swapped-out batch:
    // a call that dispatches again from inside itself then runs the calls
    // posted after it, not before them. Only calls posted before this
    // dispatch began run in it.
    for (;;) {
        std::function<void()> fn;
        {
            std::lock_guard lock(FMutex);
            if (FQueue.empty() || FQueue.front().Number >= end)
                return;
            fn = std::move(FQueue.front().Fn);
            FQueue.pop_front();
        }
        try {
            fn();
        } catch (const std::exception& e) {
            if (OnError) {
                auto handler = OnError;
                handler(e.what());
            } else {
                std::fprintf(stderr, "%s\n", e.what());
            }
        }
    }
}
