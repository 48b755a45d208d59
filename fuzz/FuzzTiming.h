#pragma once
// The link's waits, shortened for fuzzing: the scripted remote delivers every
// report before the host looks for it, so one look is enough and no pause
// helps. The reader's wait only matters while it idles. Set on the first
// call, for the life of the fuzzing process.
#include "../hid/Timing.h"

inline void UseFuzzTiming()
{
    static const TScopedTiming timing([] {
        TTiming t;
        t.ReplyPause = std::chrono::milliseconds(0);
        t.ReplyTries = 1;
        t.ReplyTryPause = std::chrono::milliseconds(0);
        t.ReaderWait = std::chrono::milliseconds(1);
        t.ReconnectPause = std::chrono::milliseconds(0);
        return t;
    }());
}
