#include "Timing.h"

#include <thread>

namespace {
TTiming gTiming;
}

const TTiming& Timing() { return gTiming; }

TScopedTiming::TScopedTiming(const TTiming& timing) : FSaved(gTiming) { gTiming = timing; }

TScopedTiming::~TScopedTiming() { gTiming = FSaved; }

void SleepFor(std::chrono::milliseconds duration)
{
    if (duration.count() > 0)
        std::this_thread::sleep_for(duration);
}
