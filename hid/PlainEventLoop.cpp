#include "PlainEventLoop.h"

#include <cstdio>
#include <exception>

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#endif

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
#ifdef _WIN32
    // The thread's window messages too: the HID backend's hidden window gets
    // arrival and removal through them, and a top-level window whose
    // messages are never taken holds up every program that broadcasts one.
    MSG message;
    while (::PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
        ::TranslateMessage(&message);
        ::DispatchMessageA(&message);
    }
#endif
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
