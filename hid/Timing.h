#pragma once
// The fixed waits of the link and the protocol, in one place.
//
// Production code never changes these: the defaults are the timing the remote
// was designed for. Tests shorten them (see TScopedTiming) so that a suite of
// silent-remote cases does not take minutes.

#include <chrono>
#include <ctime>

struct TTiming {
    using ms = std::chrono::milliseconds;

    ms ReplyPause{10};        // between writing a request and reading its reply
    int ReplyTries{25};       // ReadReport looks into the ring this many times...
    ms ReplyTryPause{10};     // ...this far apart
    ms ReaderWait{100};       // the reader's wait for one input report
    ms ReconnectPause{100};   // before the reset of a reconnection, and before
                              // reconnecting on an arrival
    ms WriteWait{5000};       // Windows: how long a report write waits for the
                              // device to take it before it fails (Linux's
                              // kernel bounds its own at about 5 s)
    ms ReportInterval{1};     // Linux: report writes go one per interval on
                              // average, the remote's interrupt OUT interval
};

// The timing in force. GUI thread and reader threads read it; only tests write
// it, and only while no link exists.
const TTiming& Timing();

// Replaces the timing for the life of the object (tests only).
class TScopedTiming {
public:
    explicit TScopedTiming(const TTiming& timing);
    ~TScopedTiming();
    TScopedTiming(const TScopedTiming&) = delete;
    TScopedTiming& operator=(const TScopedTiming&) = delete;

private:
    TTiming FSaved;
};

// Sleeps the calling thread.
void SleepFor(std::chrono::milliseconds duration);

// The local date and time of t, broken down.
std::tm LocalTime(std::time_t t);
