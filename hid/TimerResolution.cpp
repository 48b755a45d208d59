#include "TimerResolution.h"

#ifdef _WIN32
#include <windows.h>
#include <timeapi.h>
#endif

TFineTimers::TFineTimers()
{
#ifdef _WIN32
    FGranted = ::timeBeginPeriod(1) == TIMERR_NOERROR;
#endif
}

TFineTimers::~TFineTimers()
{
#ifdef _WIN32
    if (FGranted)
        ::timeEndPeriod(1);
#endif
}
