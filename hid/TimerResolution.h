#pragma once
// Millisecond timer ticks for a program that talks to the remote.
//
// Windows rounds every timed wait (Sleep, a condition variable's wait_for)
// up to its timer tick, 15.6 ms unless a process asks for finer ones. The
// link and the protocol wait in steps of a millisecond or a few: the pause
// between a request and its reply, and the dispatch before each report of an
// infrared capture. At the default tick a capture could read only 64 reports
// a second from a remote that sends up to a thousand, and every exchange
// would take half as long again as it should.
//
// main() holds one for the life of the program. Elsewhere it does nothing:
// Linux sleeps for about the time asked.
class TFineTimers {
public:
    TFineTimers();
    ~TFineTimers();
    TFineTimers(const TFineTimers&) = delete;
    TFineTimers& operator=(const TFineTimers&) = delete;

    // Whether the system granted 1 ms ticks (always false off Windows).
    bool Granted() const { return FGranted; }

private:
    bool FGranted = false;
};
