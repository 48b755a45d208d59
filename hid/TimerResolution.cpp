#include "TimerResolution.h"

#ifdef _WIN32
#include "HidApiWindows.h"

#include <timeapi.h>

namespace {

using TTimePeriod = UINT(WINAPI*)(UINT period);

// The multimedia timer functions, from the system directory's "winmm.dll"
// (bound at run time, as the HID libraries are: an import would let a
// library of that name in the program's folder be loaded at start).
struct TTimeApi {
    HMODULE Module = LoadSystemLibrary("winmm.dll");
    TTimePeriod Begin = Entry("timeBeginPeriod");
    TTimePeriod End = Entry("timeEndPeriod");

    TTimePeriod Entry(const char* name) const
    {
        if (Module == nullptr)
            return nullptr;
        return reinterpret_cast<TTimePeriod>(reinterpret_cast<void (*)()>(::GetProcAddress(Module, name)));
    }
};

// Loaded once and kept for the life of the program.
const TTimeApi& TimeApi()
{
    static const TTimeApi api;
    return api;
}

}  // namespace
#endif

TFineTimers::TFineTimers()
{
#ifdef _WIN32
    const TTimeApi& api = TimeApi();
    FGranted = api.Begin != nullptr && api.End != nullptr && api.Begin(1) == TIMERR_NOERROR;
#endif
}

TFineTimers::~TFineTimers()
{
#ifdef _WIN32
    if (FGranted)
        TimeApi().End(1);
#endif
}
