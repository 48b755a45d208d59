// Ctrl-C in corvane-cli on Windows: every press sets the interrupt flag and
// none ends the program, so that a transfer stops between packets however
// often the user presses it.

#include "CliSupport.h"

#include <windows.h>

#include <gtest/gtest.h>

namespace {

// Waits for a press to be handled (on a thread the system starts for it).
bool WaitForFlag()
{
    for (int i = 0; i < 1000 && !InterruptFlag(); ++i)
        ::Sleep(10);
    return InterruptFlag() != 0;
}

}  // namespace

TEST(TInterrupt, EveryCtrlCSetsTheFlagAndNoneEndsTheProgram)
{
    // Ctrl-C is sent to the processes of a console: the test makes one of
    // its own, whatever it was started with.
    ::FreeConsole();
    if (!::AllocConsole())
        GTEST_SKIP() << "no console to send Ctrl-C to (error " << ::GetLastError() << ")";
    // A process started in a group of its own ignores Ctrl-C unless told.
    ASSERT_TRUE(::SetConsoleCtrlHandler(nullptr, FALSE));
    InstallInterruptHandler();

    for (int press = 1; press <= 3; ++press) {
        SCOPED_TRACE(press);
        InterruptFlag() = 0;
        if (!::GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0))
            GTEST_SKIP() << "Ctrl-C cannot be generated here (error " << ::GetLastError() << ")";
        ASSERT_TRUE(WaitForFlag());
    }
    // Still here after three presses.
}
