#pragma once
// A remote whose every report comes from the fuzz input: an IHidPlatform with
// one device on it, for the reply harnesses. The link (TUsbDevice) and the
// protocol (TCorvaneOne) above it are the real ones.
//
// The input is read front to back as a script. Whenever the host writes a
// report, the remote reads one batch of operations from the script and
// answers with the reports they describe, each either the right answer to
// what was asked (a version reply, a register value, the next packet of a
// flash read or a capture, an acknowledgement) or raw bytes, or it goes away
// (removal, or removal and a new arrival). Whenever the protocol dispatches
// the window's messages (flash write, capture), the script gets one more turn.
//
// Executions are deterministic although the link reads on a thread of its
// own: a batch is delivered whole before the host's write returns (the
// remote waits until the link's reader has moved every report into its ring
// and is waiting for the next), so what the protocol finds when it looks into
// the ring depends on the input alone.

#include "../hid/EventLoop.h"
#include "../hid/HidPlatform.h"
#include "../hid/Types.h"

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

// The fuzz input, read front to back; zeros once it is used up, which every
// reader below takes as "nothing more".
class TFuzzInput {
public:
    TFuzzInput(const std::uint8_t* data, std::size_t size) : FData(data), FLeft(size) {}
    std::uint8_t Byte()
    {
        if (FLeft == 0)
            return 0;
        --FLeft;
        return *FData++;
    }
    std::uint16_t Word() { return static_cast<std::uint16_t>(Byte() << 8 | Byte()); }
    bool Empty() const { return FLeft == 0; }

private:
    const std::uint8_t* FData;
    std::size_t FLeft;
};

// The GUI thread's loop: posted calls run when the protocol dispatches, after
// the script's turn (OnDispatch). It never waits.
class TFuzzLoop : public IGuiEventLoop {
public:
    std::function<void()> OnDispatch;

    void Post(std::function<void()> fn) override;
    void DispatchMessages(bool wait) override;

private:
    std::mutex FMutex;
    std::deque<std::function<void()>> FQueue;
};

class TScriptedRemote : public IHidPlatform {
public:
    static constexpr int ReportLength = 65;   // report ID + 64 payload bytes
    static constexpr int MaxBatch = 900;      // below the ring's 1000 reports

    TScriptedRemote(TFuzzInput& input, IGuiEventLoop& loop);
    ~TScriptedRemote() override;

    // Unread reports in the link's ring; deliveries stop short of lapping it
    // (the ring's behaviour when lapped is a matter of its own tests).
    std::function<int()> UnreadReports;

    // The script's turn between two packets of a long operation: nothing, a
    // batch of reports, a removal, or a request to stop (returned as 3).
    // Returns the operation code it ran.
    int DispatchTurn();

    // Payloads the host wrote so far, and flash data packets since the last
    // flash write request.
    std::size_t Writes() const { return FWrites; }
    std::size_t DataPackets() const { return FDataPackets; }

    // IHidPlatform
    std::vector<THidInterfaceInfo> Enumerate() override;
    std::unique_ptr<IHidHandle> Open(const std::string& path, std::error_code& error) override;
    std::unique_ptr<IHotplugWatch> Watch(IGuiEventLoop& loop,
                                         std::function<void(const THotplugEvent&)> callback) override;

    struct THandleState;
    struct TWatchState;

private:
    class THandle;
    class TWatch;

    // What the last request asks for: decides the right answer.
    enum class TExpect { Nothing, Version, MiscByte, MiscWord, Ack, Flash, Capture };

    void HostWrite(const std::uint8_t* payload, std::size_t size);
    void Batch();
    bool RightAnswer(TByteArray& packet, bool early);
    void Deliver(std::vector<TByteArray>& reports);
    void Remove(bool replug);
    void Notify(THotplugKind kind, const std::string& path);

    TFuzzInput& FInput;
    IGuiEventLoop& FLoop;
    bool FPresent = true;
    int FDevice = 0;  // counts plug-ins; part of the path
    std::size_t FWrites = 0;
    std::size_t FDataPackets = 0;
    std::vector<std::weak_ptr<TWatchState>> FWatches;
    std::vector<std::weak_ptr<THandleState>> FReaders;
    std::shared_ptr<TWatchState> FLastWatch;

    TExpect FExpect = TExpect::Nothing;
    std::uint8_t FEcho = 0;
    // A flash read in progress, counted the way the host checks it.
    std::uint32_t FFlashLeft = 0;
    std::uint32_t FFlashAddress = 0;
    std::uint8_t FCounter = 0;
    std::uint8_t FLow = 1;
    // A capture in progress.
    std::uint8_t FIrSequence = 0;
    TByteArray FLastReport;
};
