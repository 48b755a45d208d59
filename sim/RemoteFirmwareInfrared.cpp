// The firmware model's infrared capture: what a capture sends, its stream,
// and the capture requests (start, stop).
#include "RemoteFirmware.h"
#include "RemoteFirmwarePrivate.h"

#include <algorithm>
#include <cstring>

using namespace remote_firmware;

// ---------------------------------------------------------------------------
// Streams

// One capture: what it sends, how far it got. It outlives its stream, since a
// stop request may still send some of it.
struct TRemoteFirmware::TCaptureSetup {
    TByteArray Signal;
    std::size_t Position = 0;
    std::uint8_t Sequence = 0;
    int Chunk = 2;
    int Index = 0;   // data packets sent
    int InputLength = 64;
    TSimFaults Faults;
    int UnplugAt = -1;
    bool Ended = false;

    // A PKT_IR_DATA packet: sequence byte, data field, and its length + 2 in
    // the last byte of the report (the header's length code is not used).
    TByteArray Packet(const std::uint8_t* data, int size, bool withFaults)
    {
        TByteArray packet(InputLength, 0);
        packet[0] = PKT_IR_DATA;
        packet[1] = Sequence;
        std::memcpy(packet.data() + 2, data, size);
        packet[InputLength - 1] = static_cast<std::uint8_t>(size + 2);
        if (withFaults) {
            if (Index == Faults.IrSequenceErrorAt)
                packet[1] = static_cast<std::uint8_t>(Sequence + 0x10);
            if (Index == Faults.IrLengthByteAt)
                packet[InputLength - 1] = static_cast<std::uint8_t>(Faults.IrLengthByte);
            if (Index == Faults.IrWrongTypeAt)
                packet[0] = PKT_VERSION;
        }
        Sequence = static_cast<std::uint8_t>(Sequence + 0x10);
        ++Index;
        return packet;
    }

    // The next part of the signal; once it is all sent, short pulses.
    TByteArray NextData()
    {
        if (Position < Signal.size()) {
            const std::size_t size = std::min<std::size_t>(Chunk, Signal.size() - Position);
            TByteArray data(Signal.begin() + Position, Signal.begin() + Position + size);
            Position += size;
            return data;
        }
        TByteArray data(Chunk);
        for (int i = 0; i < Chunk; i += 2) {
            data[i] = 0x02;
            data[i + 1] = 0x30;
        }
        return data;
    }
};

// The capture stream after a start request, or what follows a stop request:
// late capture packets, then PKT_ACK.
class TRemoteFirmware::TCaptureStream : public TStream {
public:
    // Capturing.
    TCaptureStream(TTime due, std::shared_ptr<TCaptureSetup> setup)
        : TStream(due), FSetup(std::move(setup))
    {
    }
    // After the stop request.
    TCaptureStream(TTime due, std::shared_ptr<TCaptureSetup> setup, int late, bool endless, bool ack)
        : TStream(due), FSetup(std::move(setup)), FStopped(true), FLate(late), FEndless(endless), FAck(ack)
    {
    }

    bool Next(TOutput& output) override
    {
        if (FDone)
            return false;
        TCaptureSetup& setup = *FSetup;
        if (FStopped) {
            if (FEndless || FLate > 0) {
                --FLate;
                const TByteArray data = setup.NextData();
                output.Packet = setup.Packet(data.data(), static_cast<int>(data.size()), false);
                return true;
            }
            FDone = true;
            if (!FAck)
                return false;
            output.Packet = TByteArray(setup.InputLength, 0);
            output.Packet[0] = PKT_ACK | 1;
            output.Packet[1] = PKT_IR_CAPTURE_STOP;
            return true;
        }

        const TSimFaults& faults = setup.Faults;
        if (setup.Ended || faults.IrSilentBeforeFirst ||
            (faults.IrSilentFrom >= 0 && setup.Index >= faults.IrSilentFrom)) {
            setup.Ended = FDone = true;
            return false;
        }
        if (setup.Index == setup.UnplugAt) {
            setup.Ended = FDone = true;
            output.Unplug = true;
            return true;
        }
        if (setup.Position < setup.Signal.size()) {
            const TByteArray data = setup.NextData();
            output.Packet = setup.Packet(data.data(), static_cast<int>(data.size()), true);
            return true;
        }
        setup.Ended = FDone = true;
        if (faults.IrEndWithAck) {
            output.Packet = TByteArray(setup.InputLength, 0);
            output.Packet[0] = PKT_ACK | 1;
            output.Packet[1] = PKT_IR_CAPTURE_START;
            return true;
        }
        // The end marker opens a packet of its own.
        static constexpr std::uint8_t EndMarker[2] = {0x80, 0x00};
        output.Packet = setup.Packet(EndMarker, 2, true);
        return true;
    }

private:
    std::shared_ptr<TCaptureSetup> FSetup;
    bool FStopped = false;
    int FLate = 0;
    bool FEndless = false;
    bool FAck = false;
    bool FDone = false;
};

// ---------------------------------------------------------------------------
// Requests

// The capture requests, passed on by Handle.
void TRemoteFirmware::HandleInfrared(const TByteArray& packet, TTime now, bool answer)
{
    const TTime due = now + FFaults.ReplyDelay;

    switch (packet[0] & 0xF0) {
    case PKT_IR_CAPTURE_START:
        if (answer) {
            auto setup = std::make_shared<TCaptureSetup>();
            setup->Signal = FIrStream;
            setup->Chunk = FIrChunk;
            setup->InputLength = FInputLength;
            setup->Faults = FFaults;
            setup->UnplugAt = std::exchange(FFaults.UnplugAtPacket, -1);
            FLastCapture = setup;
            FStream = std::make_unique<TCaptureStream>(due + FIrStartDelay, std::move(setup));
        }
        break;

    case PKT_IR_CAPTURE_STOP: {
        // Capture data already on its way still goes out before the answer.
        std::shared_ptr<TCaptureSetup> setup = std::move(FLastCapture);
        if (!setup) {
            setup = std::make_shared<TCaptureSetup>();
            setup->Chunk = FIrChunk;
            setup->InputLength = FInputLength;
        }
        if (answer)
            FStream = std::make_unique<TCaptureStream>(due, std::move(setup), FFaults.IrLateAfterStop,
                                                       FFaults.IrEndlessAfterStop, !FFaults.IrNoStopAck);
        break;
    }

    default:
        break;
    }
}

// --- Infrared ----------------------------------------------------------------

void TRemoteFirmware::SetIrCapture(const TByteArray& stream, std::chrono::milliseconds startDelay)
{
    FIrStream = stream;
    if (FIrStream.size() % 2 != 0)
        FIrStream.push_back(0x00);
    FIrStartDelay = startDelay;
}

void TRemoteFirmware::SetIrChunk(int bytesPerPacket)
{
    // The data field ends before the report's last byte, which holds its
    // length: at most InputLength - 3 bytes, and whole 2-byte items.
    FIrChunk = std::clamp(bytesPerPacket, 2, FInputLength - 3) & ~1;
}

TByteArray TRemoteFirmware::MakeIrSignal(const std::vector<std::uint8_t>& commands)
{
    // Alternating mark and space durations in microseconds, 16 bits each,
    // most significant byte first; all below 0x8000, so that no item can be
    // taken for the end marker 0x80 0x00.
    TByteArray signal;
    auto item = [&signal](unsigned microseconds) {
        signal.push_back(static_cast<std::uint8_t>(microseconds >> 8));
        signal.push_back(static_cast<std::uint8_t>(microseconds));
    };
    auto byte = [&item](std::uint8_t value) {
        for (int bit = 0; bit < 8; ++bit) {
            item(560);
            item(value >> bit & 1 ? 1690 : 560);
        }
    };
    for (std::size_t i = 0; i < commands.size(); ++i) {
        if (i > 0)
            item(30000);  // the gap between two frames closes the stop pulse's space
        item(9000);
        item(4500);
        const std::uint8_t address = 0x04;
        byte(address);
        byte(static_cast<std::uint8_t>(~address));
        byte(commands[i]);
        byte(static_cast<std::uint8_t>(~commands[i]));
        item(560);
    }
    return signal;
}
