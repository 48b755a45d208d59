#pragma once
// A recorded trace played back as a remote: the platform of the programs'
// --replay. The remote answers each request the host writes with what the
// remote answered to the same request in the recording, so that a trace sent
// in with a bug report runs the real link and protocol again, on any machine.
//
// Matching. A report the host writes matches the first TX line of the trace,
// not yet used, with the same bytes; a clock write (a register write of type
// 1, the clock) matches whatever its value bytes are, since the time is never
// the same twice. The answer is what followed that TX line up to the next TX
// line (or the end of its session): the RX reports, sent one per millisecond
// or at their recorded spacing, and a removal, after which the remote is gone
// as it was in the recording. A request that matches no TX line gets no
// answer, as from a remote that ignores it, and is reported once:
//     replay: no recorded answer for TX 00 B3 01 ...; nearest is line 14: 0.201 TX 00 B3 02 ...
//
// The remote's IDs, report lengths and report descriptor come from the
// trace's HDR device and HDR descriptor lines (TracePlatform.h); a trace
// without them gets the simulated remote's (64-byte reports, the IDs of
// protocol/UsbIds.h).

#include "SimHidBus.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <istream>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

// A trace read into what replay needs.
struct TTraceRecording {
    struct TAnswer {
        TByteArray Report;               // an RX report; empty for the removal
        std::chrono::microseconds After; // recorded time after the request
        bool Removal = false;
    };
    struct TExchange {
        TByteArray Request;
        int Line = 0;                    // of the TX line, from 1
        std::string Text;                // the TX line as written
        std::chrono::microseconds Time{0};
        std::vector<TAnswer> Answers;
    };
    // One program run: the lines from one "EV trace started" to the next.
    struct TSession {
        std::vector<std::string> Command;  // HDR command, split into words
        std::vector<std::string> Log;      // the LOG lines' texts
        int Exit = -1;                     // EXIT; -1 when not recorded
    };

    std::uint16_t VendorId = 0;
    std::uint16_t ProductId = 0;
    int InputLength = 65;
    int OutputLength = 65;
    TByteArray Descriptor;
    std::vector<TExchange> Exchanges;
    std::vector<TSession> Sessions;

    // Reads a trace. False, with error naming the file and the line, for a
    // file that cannot be read, is no trace, or holds a report of the wrong
    // length or a malformed line.
    static bool Load(const std::string& path, TTraceRecording& recording, std::string& error);
    static bool Parse(std::istream& in, const std::string& name, TTraceRecording& recording, std::string& error);
};

enum class TReplayTiming {
    Paced,     // one report per millisecond, as a full-speed endpoint sends
    Recorded,  // at the recorded time after the request
};

// The replayed remote on an in-process bus of its own.
class TTraceReplay : public IHidPlatform {
public:
    // onMessage runs on the thread that wrote the request, once per request
    // without a recorded answer; the messages are also kept (Messages).
    TTraceReplay(TTraceRecording recording, TReplayTiming timing,
                 std::function<void(const std::string&)> onMessage = {});
    ~TTraceReplay() override;

    TTraceReplay(const TTraceReplay&) = delete;
    TTraceReplay& operator=(const TTraceReplay&) = delete;

    // Loads and starts; null with error (see TTraceRecording::Load).
    static std::unique_ptr<TTraceReplay> Open(const std::string& path, TReplayTiming timing,
                                              std::function<void(const std::string&)> onMessage,
                                              std::string& error);

    const TTraceRecording& Recording() const;
    std::vector<std::string> Messages() const;
    // Waits until every answer due so far has been sent (tests).
    bool WaitIdle(std::chrono::milliseconds limit = std::chrono::seconds(5));

    // IHidPlatform
    std::vector<THidInterfaceInfo> Enumerate() override;
    std::unique_ptr<IHidHandle> Open(const std::string& path, std::error_code& error) override;
    std::unique_ptr<IHotplugWatch> Watch(IGuiEventLoop& loop,
                                         std::function<void(const THotplugEvent&)> callback) override;

private:
    class TRemote;
    std::shared_ptr<TRemote> FRemote;
    TSimHidBus FBus;
};
