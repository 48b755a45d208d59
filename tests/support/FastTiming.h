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
