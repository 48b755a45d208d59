// The firmware model's construction, its transport (what comes in, what is
// due to go out), the dispatch of requests to the subsystems, the version and
// scripted replies.
#include "RemoteFirmware.h"
#include "RemoteFirmwarePrivate.h"

#include <algorithm>

using namespace remote_firmware;

namespace {

// The default version payload: plausible, and with as few equal fields as
// nibbles allow, so that a field decoded from the wrong place shows.
const TByteArray DefaultVersion = {
    0x35,  // firmware 3.5
    0x12,  // board revision
    0x17,  // memory device
    0xC2,  // memory manufacturer
    0xC4,  // architecture 12, firmware type 4
    0x2A,  // skin
    0x0C,  // protocol 12
    0x16,  // bootloader 1.6
    0x27,  // PIC library 2.7
    0x89,  // CPLD 8.9
    0xAB,  // safe mode 10.11
    0xDE,  // normal mode 13.14
    0xF1,  // Zwave 15.1
    0x5D,  // Zwave revision
    0x07,  // one more byte, which the host does not use
};

}  // namespace

// ---------------------------------------------------------------------------

TRemoteFirmware::TRemoteFirmware(int inputLength, TTime now)
    : FInputLength(std::max(inputLength, 8)), FVersion(DefaultVersion)
{
    FClock.Base = now;
    FRegisters[{12, 0}] = 0x0001;   // hardware flag set
    FRegisters[{12, 1}] = 3912;     // battery, millivolts
    FIrStream = MakeIrSignal({0x08});
    SetIrChunk(FInputLength);
}

TRemoteFirmware::~TRemoteFirmware() = default;

// --- Transport -------------------------------------------------------------

void TRemoteFirmware::Receive(const TByteArray& packet, TTime now)
{
    if (packet.empty())
        return;
    if ((packet[0] & 0xF0) == PKT_FLASH_DATA_OUT) {
        FlashData(packet, now);
        return;
    }
    // The firmware serves one request at a time: a new one ends the stream
    // in progress, and a flash write that was left open.
    EndStream();
    FWrite.Active = false;

    if (!FFaults.Silent && ExpectsReply(packet) && !FScript.empty()) {
        TByteArray reply = std::move(FScript.front());
        FScript.pop_front();
        Handle(packet, now, false);
        if (!reply.empty()) {
            reply.resize(FInputLength, 0);
            Queue(now + FFaults.ReplyDelay, std::move(reply));
        }
        return;
    }
    Handle(packet, now, !FFaults.Silent);
}

std::optional<TRemoteFirmware::TTime> TRemoteFirmware::NextDue()
{
    if (!FPending.empty())
        return FPending.front().Due;
    if (FStream && !FStreamNext) {
        TOutput output;
        if (FStream->Next(output))
            FStreamNext = std::move(output);
        else
            FStream.reset();
    }
    if (FStream)
        return FStream->Due();
    return std::nullopt;
}

bool TRemoteFirmware::Take(TOutput& output, TTime now)
{
    const std::optional<TTime> due = NextDue();
    if (!due || *due > now)
        return false;
    if (!FPending.empty()) {
        output = std::move(FPending.front().Output);
        FPending.pop_front();
    } else {
        output = std::move(*FStreamNext);
        FStreamNext.reset();
        if (FFaults.TrickleInterval.count() > 0)
            FStream->HoldUntil(now + FFaults.TrickleInterval);
    }
    // Whatever was to follow leaves the bus with the device.
    if (output.Unplug)
        Disconnect();
    return true;
}

bool TRemoteFirmware::UnplugPending() const
{
    return std::any_of(FPending.begin(), FPending.end(), [](const TPending& p) { return p.Output.Unplug; }) ||
           (FStreamNext && FStreamNext->Unplug);
}

void TRemoteFirmware::Disconnect()
{
    FPending.clear();
    EndStream();
    FWrite.Active = false;
    FLastCapture.reset();
}

void TRemoteFirmware::EndStream()
{
    FStream.reset();
    FStreamNext.reset();
}

void TRemoteFirmware::Queue(TTime due, TByteArray packet)
{
    TPending pending;
    pending.Due = due;
    pending.Output.Packet = std::move(packet);
    FPending.push_back(std::move(pending));
}

void TRemoteFirmware::QueueUnplug(TTime now)
{
    TPending pending;
    pending.Due = now;
    pending.Output.Unplug = true;
    FPending.push_back(std::move(pending));
}

TByteArray TRemoteFirmware::ShortReply(std::uint8_t header, std::initializer_list<std::uint8_t> payload) const
{
    TByteArray reply = NewPacket();
    reply[0] = header;
    std::copy(payload.begin(), payload.end(), reply.begin() + 1);
    return reply;
}

void TRemoteFirmware::ApplyShortFaults(TByteArray& reply) const
{
    if (FFaults.ReplyType >= 0) {
        // A type byte (0x60) or a bare nibble (6): both mean PKT_FLASH_DATA_IN.
        const int type = FFaults.ReplyType > 0x0F ? FFaults.ReplyType & 0xF0 : (FFaults.ReplyType & 0x0F) << 4;
        reply[0] = static_cast<std::uint8_t>(type | (reply[0] & 0x0F));
    }
    if (FFaults.LengthCode >= 0)
        reply[0] = static_cast<std::uint8_t>((reply[0] & 0xF0) | (FFaults.LengthCode & 0x0F));
    if (FFaults.EchoOverride >= 0)
        reply[1] = static_cast<std::uint8_t>(FFaults.EchoOverride);
}

void TRemoteFirmware::SendShort(TByteArray reply, TTime now)
{
    ApplyShortFaults(reply);
    Queue(now + FFaults.ReplyDelay, std::move(reply));
}

TByteArray TRemoteFirmware::VersionReply() const
{
    // A shortened payload is declared by the code of its length: lengths 0
    // to 7 exactly; longer ones as 15, 31 or 63 bytes, the missing bytes
    // then reading as 0. So only a payload of 7 bytes or fewer is shorter in
    // the host's eyes than the 14 bytes of a full version.
    std::size_t length = FFaults.VersionPayloadLength >= 0
                             ? static_cast<std::size_t>(FFaults.VersionPayloadLength)
                             : FVersion.size();
    length = std::min<std::size_t>(length, FInputLength - 1);
    TByteArray reply = NewPacket();
    reply[0] = PKT_VERSION | EncodeLength(length);
    std::copy_n(FVersion.begin(), std::min(length, FVersion.size()), reply.begin() + 1);
    return reply;
}

bool TRemoteFirmware::ExpectsReply(const TByteArray& packet) const
{
    switch (packet[0] & 0xF0) {
    case PKT_GET_VERSION:
    case PKT_READ_MISC:
    case PKT_WRITE_MISC:
    case PKT_ERASE_SECTOR:
    case PKT_READ_FLASH:
    case PKT_IR_CAPTURE_START:
    case PKT_IR_CAPTURE_STOP:
        return true;
    case PKT_ACK:
        return packet.size() > 1 && packet[1] == PKT_WRITE_FLASH;
    default:
        return false;
    }
}

void TRemoteFirmware::Handle(const TByteArray& packet, TTime now, bool answer)
{
    auto at = [&packet](std::size_t i) -> std::uint8_t { return i < packet.size() ? packet[i] : 0; };
    const std::uint8_t type = packet[0] & 0xF0;

    switch (type) {
    case PKT_GET_VERSION:
        if (answer)
            SendShort(VersionReply(), now);
        break;

    case PKT_RESET:
        ++FResetCount;
        FLastResetType = at(1);
        break;

    case PKT_READ_MISC:
    case PKT_WRITE_MISC:
        HandleRegisters(packet, now, answer);
        break;

    case PKT_ERASE_SECTOR:
    case PKT_READ_FLASH:
    case PKT_WRITE_FLASH:
    case PKT_ACK:
        HandleFlash(packet, now, answer);
        break;

    case PKT_IR_CAPTURE_START:
    case PKT_IR_CAPTURE_STOP:
        HandleInfrared(packet, now, answer);
        break;

    default:
        // Not a request of the firmware (a packet type it only sends): ignored.
        break;
    }
}

// --- Version -----------------------------------------------------------------

void TRemoteFirmware::SetVersionPayload(const TByteArray& payload)
{
    FVersion = payload;
}

void TRemoteFirmware::SetArchitecture(int architecture)
{
    if (FVersion.size() < 5)
        FVersion.resize(5, 0);
    FVersion[4] = static_cast<std::uint8_t>((architecture & 0x0F) << 4 | (FVersion[4] & 0x0F));
}

void TRemoteFirmware::SetProtocol(int protocol)
{
    if (FVersion.size() < 7)
        FVersion.resize(7, 0);
    FVersion[6] = static_cast<std::uint8_t>(protocol);
}

int TRemoteFirmware::Architecture() const
{
    return FVersion.size() >= 5 ? FVersion[4] >> 4 : 0;
}

// --- Behaviour ---------------------------------------------------------------

void TRemoteFirmware::ScriptReplies(std::vector<TByteArray> replies)
{
    FScript.assign(std::make_move_iterator(replies.begin()), std::make_move_iterator(replies.end()));
}
