#include "ReplyDriver.h"
#include "FuzzCheck.h"
#include "FuzzTiming.h"

#include "../protocol/CorvaneInterface.h"
#include "ScriptedRemote.h"

#include <cstdio>
#include <cstdlib>
#include <memory>

namespace {

// Out arguments are preset to these, so that a failure that touched them shows.
const TByteArray Untouched = {0xEE, 0xEE, 0xEE};
constexpr std::uint8_t UntouchedByte = 0xEE;
constexpr std::uint16_t UntouchedWord = 0xEEEE;

TDecodedVersion UntouchedVersion()
{
    TDecodedVersion version;
    version.FirmwareMajor = UntouchedByte;
    version.ZwaveRevision = UntouchedByte;
    return version;
}

class TRun {
public:
    TRun(const std::uint8_t* data, std::size_t size) : FInput(data, size), FRemote(FInput, FLoop) {}

    void Connect()
    {
        FCorvane = std::make_unique<TCorvaneOne>(FRemote, FLoop);
        FRemote.UnreadReports = [this] {
            TUsbDevice* device = FCorvane ? FCorvane->Device() : nullptr;
            if (device == nullptr || device->Reader() == nullptr)
                return 0;
            TByteArray none;
            return device->Reader()->ReadData(none, 0) / device->Reader()->ReportSize() + 1;
        };
        FLoop.OnDispatch = [this] { Turn(); };
    }

    void Operations(TReplySurface surface)
    {
        for (int i = 0; i < 4 && !FInput.Empty(); ++i) {
            const std::uint8_t choice = FInput.Byte();
            try {
                switch (surface) {
                case TReplySurface::Commands:
                    Command(choice);
                    break;
                case TReplySurface::Flash:
                    Flash(choice);
                    break;
                case TReplySurface::Capture:
                    Capture(choice);
                    break;
                }
            } catch (const ECorvaneAssertion&) {
                // A reply that breaks the packet rules: an allowed outcome.
            }
            FUZZ_CHECK(!FCorvane->Busy());
        }
        // Arrivals and removals still queued reach the connection as they
        // would at the window's next turn.
        FLoop.OnDispatch = nullptr;
        try {
            FLoop.DispatchMessages(false);
        } catch (const ECorvaneAssertion&) {
        }
    }

    void Disconnect()
    {
        FRemote.UnreadReports = nullptr;
        FCorvane.reset();
    }

private:
    // The script's turn inside a long operation. A request to stop also
    // checks that an operation started from a handler meanwhile is refused
    // without a packet on the wire.
    void Turn()
    {
        if (FRemote.DispatchTurn() != 3)
            return;
        FCorvane->Abort = true;
        if (FCorvane->Busy()) {
            const std::size_t writes = FRemote.Writes();
            TByteArray reply = Untouched;
            FUZZ_CHECK(!FCorvane->GetVersion(reply));
            FUZZ_CHECK(reply == Untouched);
            FUZZ_CHECK(FRemote.Writes() == writes);
        }
    }

    void Version()
    {
        const int architecture = FCorvane->Architecture();
        const int protocol = FCorvane->Protocol();
        TByteArray reply = Untouched;
        if (FCorvane->GetVersion(reply)) {
            FUZZ_CHECK(reply.size() >= 8 && reply.size() <= 64);
            FUZZ_CHECK(GetPacketType(reply) == PKT_VERSION);
            FUZZ_CHECK(FCorvane->Architecture() == reply[5] >> 4);
            FUZZ_CHECK(FCorvane->Protocol() == reply[7]);
        } else {
            FUZZ_CHECK(reply == Untouched);
            FUZZ_CHECK(FCorvane->Architecture() == architecture);
            FUZZ_CHECK(FCorvane->Protocol() == protocol);
        }
    }

    void Command(std::uint8_t choice)
    {
        const std::uint8_t type = FInput.Byte();
        const std::uint8_t index = FInput.Byte();
        switch (choice % 9) {
        case 0:
            Version();
            break;
        case 1: {
            TDecodedVersion version = UntouchedVersion();
            if (!FCorvane->GetDecodedVersion(version))
                FUZZ_CHECK(version == UntouchedVersion());
            break;
        }
        case 2:
            FCorvane->Reset(type);
            break;
        case 3: {
            std::uint8_t value = UntouchedByte;
            if (!FCorvane->ReadMiscByte(value, type, index))
                FUZZ_CHECK(value == UntouchedByte);
            break;
        }
        case 4: {
            std::uint16_t value = UntouchedWord;
            if (!FCorvane->ReadMiscWord(value, type, index))
                FUZZ_CHECK(value == UntouchedWord);
            break;
        }
        case 5:
            FCorvane->WriteMiscByte(0x42, type, index);
            break;
        case 6:
            FCorvane->WriteMiscWord(0x1234, type, index);
            break;
        case 7:
            FCorvane->EraseFlashSector(static_cast<std::uint32_t>(type << 16 | index << 8));
            break;
        case 8:
            FCorvane->Reconnect();
            break;
        }
    }

    void Flash(std::uint8_t choice)
    {
        // Sizes up to 4095 bytes: 67 data packets, well inside the ring.
        const std::uint16_t size = FInput.Word() & 0x0FFF;
        const std::uint32_t address = static_cast<std::uint32_t>(FInput.Byte()) << 12;
        switch (choice % 5) {
        case 0:
        case 1: {
            TByteArray data = Untouched;
            if (FCorvane->ReadFlash(data, address, size)) {
                // All that was asked for, or nothing at all (no answer).
                FUZZ_CHECK(data.empty() || data.size() == size);
            } else {
                // Untouched when refused before the request, else sized to
                // what was asked for.
                FUZZ_CHECK(data == Untouched || data.size() == size);
            }
            break;
        }
        case 2:
        case 3: {
            const TByteArray data(size, 0xAB);
            const std::size_t writes = FRemote.Writes();
            FCorvane->WriteFlash(data, address, size);
            if (FRemote.Writes() == writes)
                break;  // refused before the request
            // Never more data packets than the size needs at the capacity
            // its length code declares (one, empty, for size 0).
            const std::size_t capacity = size <= 7 ? size : size <= 15 ? 15 : size <= 31 ? 31 : 63;
            const std::size_t needed = capacity == 0 ? 1 : (size + capacity - 1) / capacity;
            FUZZ_CHECK(FRemote.DataPackets() <= needed);
            break;
        }
        case 4:
            FCorvane->EraseFlashSector(address);
            break;
        }
    }

    void Capture(std::uint8_t choice)
    {
        if (choice % 4 == 3) {
            Version();
            return;
        }
        const std::size_t capacity = static_cast<std::size_t>(TScriptedRemote::ReportLength - 1) * 1000;
        TByteArray data = Untouched;
        try {
            // Success, and a failure in the stop phase after a good capture,
            // leave the capture stream; other failures leave the array empty
            // or as it was. Never more than the capacity, always whole items.
            FCorvane->IrCapture(data);
            if (data != Untouched) {
                FUZZ_CHECK(data.size() <= capacity);
                FUZZ_CHECK(data.size() % 2 == 0);
            }
        } catch (const ECorvaneAssertion&) {
            FUZZ_CHECK(data.size() <= capacity);
            throw;
        }
    }

    TFuzzInput FInput;
    TFuzzLoop FLoop;
    TScriptedRemote FRemote;
    std::unique_ptr<TCorvaneOne> FCorvane;
};

}  // namespace

int RunReplies(TReplySurface surface, const std::uint8_t* data, std::size_t size)
{
    UseFuzzTiming();
    TRun run(data, size);
    run.Connect();
    run.Operations(surface);
    run.Disconnect();
    return 0;
}
