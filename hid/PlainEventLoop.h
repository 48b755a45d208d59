#pragma once
// The GUI event loop of the protocol layer for a program without a window
// (corvane-cli): a queue of posted calls that the program's main thread runs
// whenever the protocol layer, or the program itself, dispatches messages.

#include "EventLoop.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>

class TPlainEventLoop : public IGuiEventLoop {
public:
    // maxWait bounds the wait of DispatchMessages(true). An infrared capture
    // "waits for a message" before each read of the remote's stream; with no
    // window there is none to come, so the wait must end by itself, and
    // soon: it is paid once per report, so 100 ms would cap the capture at
    // ten reports a second. The default is the window's own bound. A program
    // that idles in DispatchMessages(true) to wait for hotplug events may
    // give a longer one.
    explicit TPlainEventLoop(std::chrono::milliseconds maxWait = std::chrono::milliseconds(1));

    // Calls still queued are dropped without running (their captures are
    // destroyed). No thread may Post while or after the loop is destroyed.
    ~TPlainEventLoop() override;

    TPlainEventLoop(const TPlainEventLoop&) = delete;
    TPlainEventLoop& operator=(const TPlainEventLoop&) = delete;

    // Any thread. Queues fn for the next DispatchMessages and wakes a
    // dispatch that is waiting.
    void Post(std::function<void()> fn) override;

    // The thread that plays the GUI thread (the program's main thread). Runs,
    // in the order they were posted, the calls that were queued when it
    // started; a call posted by one of them runs at the next dispatch, so a
    // call that posts itself again cannot keep the dispatch going for ever.
    // With wait and an empty queue, first waits up to maxWait for a call.
    // A call may dispatch again from inside itself (a handler that runs a
    // flash write); the order of posting still holds across both.
    void DispatchMessages(bool wait) override;

    // The thread that dispatches. Receives the text of a std::exception raised
    // by a posted call (a consistency check failing inside a reconnection run
    // by a hotplug notification); the calls after it still run. Without a
    // handler the text goes to standard error.
    std::function<void(const std::string&)> OnError;

    // Any thread: calls queued and not yet run.
    std::size_t Pending() const;

    std::chrono::milliseconds MaxWait() const { return FMaxWait; }

private:
    struct TCall {
        std::uint64_t Number;  // order of posting
        std::function<void()> Fn;
    };

    const std::chrono::milliseconds FMaxWait;
    mutable std::mutex FMutex;
    std::condition_variable FArrived;
    std::deque<TCall> FQueue;
    std::uint64_t FNextNumber = 0;
};
