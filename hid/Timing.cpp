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

std::tm LocalTime(std::time_t t)
{
    std::tm local{};
#ifdef _WIN32
    localtime_s(&local, &t);  // the reentrant form there, arguments the other way round
#else
    localtime_r(&t, &local);
#endif
    return local;
}
