#pragma once
// Shortened protocol waits for tests: the same number of tries, a fraction of
// the time, but not so short that a loaded machine (two test programs on two
// cores) takes a remote that is merely slow for a silent one: a reply may
// take 125 ms.

#include "Timing.h"

inline TTiming FastTiming()
{
    TTiming timing;
    timing.ReplyPause = std::chrono::milliseconds(1);
    timing.ReplyTries = 25;
    timing.ReplyTryPause = std::chrono::milliseconds(5);
    timing.ReaderWait = std::chrono::milliseconds(20);
    timing.ReconnectPause = std::chrono::milliseconds(1);
    return timing;
}

// The same tries twice as far apart, 250 ms for a reply: for suites whose
// every case checks an outcome that a merely slow reply, taken for silence on
// a machine under heavy load, would change.
inline TTiming SteadyTiming()
{
    TTiming timing = FastTiming();
    timing.ReplyTryPause = std::chrono::milliseconds(10);
    return timing;
}
