#include "RemoteFirmware.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace {

// Packet types: the header byte with length code 0. The firmware's own copy:
// this layer sits beside the protocol layer, not above it.
// Version
constexpr std::uint8_t PKT_GET_VERSION = 0x10;
constexpr std::uint8_t PKT_VERSION = 0x20;
// Flash
constexpr std::uint8_t PKT_WRITE_FLASH = 0x30;
constexpr std::uint8_t PKT_FLASH_DATA_OUT = 0x40;
constexpr std::uint8_t PKT_READ_FLASH = 0x50;
constexpr std::uint8_t PKT_FLASH_DATA_IN = 0x60;
// Infrared
constexpr std::uint8_t PKT_IR_CAPTURE_START = 0x70;
constexpr std::uint8_t PKT_IR_CAPTURE_STOP = 0x80;
constexpr std::uint8_t PKT_IR_DATA = 0x90;
// Registers
constexpr std::uint8_t PKT_WRITE_MISC = 0xA0;
constexpr std::uint8_t PKT_READ_MISC = 0xB0;
constexpr std::uint8_t PKT_MISC_VALUE = 0xC0;
// Flash, erase
constexpr std::uint8_t PKT_ERASE_SECTOR = 0xD0;
// Reset and acknowledgement
constexpr std::uint8_t PKT_RESET = 0xE0;
constexpr std::uint8_t PKT_ACK = 0xF0;

constexpr std::uint32_t AddressMask = TRemoteFirmware::FlashSize - 1;

// Length codes: 0-7 are exact, 8, 9 and 10 stand for 15, 31 and 63 bytes.
std::uint8_t EncodeLength(std::size_t length)
{
    if (length < 8)
        return static_cast<std::uint8_t>(length);
    if (length < 16)
        return 8;
    if (length < 32)
        return 9;
    return 10;
}

int DecodeLength(int code)
{
    static constexpr int Lengths[11] = {0, 1, 2, 3, 4, 5, 6, 7, 15, 31, 63};
    return code >= 0 && code <= 10 ? Lengths[code] : -1;
}

// Data bytes in the next flash packet when `remaining` are left: the host
// takes (decoded payload length - 1) bytes, so only 62, 30, 14 and 6 to 1 can
// be sent exactly; a tail is cut into such pieces (100 = 62 + 30 + 6 + 2).
std::uint32_t FlashDataSize(std::uint64_t remaining, int inputLength)
{
    static constexpr int Payloads[] = {63, 31, 15, 7, 6, 5, 4, 3, 2};
    for (int payload : Payloads)
        if (payload < inputLength && static_cast<std::uint64_t>(payload - 1) <= remaining)
            return static_cast<std::uint32_t>(payload - 1);
    return 0;
}

// --- Generated flash content ---
// Each 4 KiB sector, and each named region within it, starts with a banner
// "[name 0xADDRESS]"; the bytes after it count up, XORed with a value per
// region, so that a hex dump shows at a glance where it was read from. The
// regions are the nine that the console dumps to files by name.
struct TRegion {
    const char* Name;
    std::uint32_t Start;
    std::uint32_t Size;
    std::uint8_t Key;
};

// Smallest first: normal_app lies inside user_configuration and wins there.
constexpr TRegion Regions[] = {
    {"guid", 0xFFF400, 0x40, 0x50},
    {"manufacturer_pid", 0xFFF640, 0x40, 0x60},
    {"bootloader", 0xFE0000, 0x1000, 0x10},
    {"pic_library", 0xFFE000, 0x1000, 0x40},
    {"cpld", 0xFF0000, 0x4000, 0x30},
    {"safe_mode", 0xFE1000, 0xF000, 0x20},
    {"embedded_configuration", 0x2000, 0x1E000, 0x70},
    {"normal_app", 0x3D0000, 0x20000, 0x80},
    {"user_configuration", 0x40000, 0x3C0000, 0x90},
};
constexpr TRegion Unnamed = {"flash", 0, TRemoteFirmware::FlashSize, 0x00};

const TRegion& RegionAt(std::uint32_t address)
{
    for (const TRegion& region : Regions)
        if (address >= region.Start && address - region.Start < region.Size)
            return region;
    return Unnamed;
}

void GenerateSector(std::uint32_t sector, std::uint8_t* out)
{
    const std::uint32_t base = sector * TRemoteFirmware::SectorSize;
    const std::uint32_t sectorEnd = base + TRemoteFirmware::SectorSize;
    std::uint32_t address = base;
    while (address < sectorEnd) {
        // A run of bytes in one region: up to the next region boundary.
        const TRegion& region = RegionAt(address);
        std::uint32_t end = sectorEnd;
        for (const TRegion& other : Regions) {
            if (other.Start > address && other.Start < end)
                end = other.Start;
            if (other.Start + other.Size > address && other.Start + other.Size < end)
                end = other.Start + other.Size;
        }
        char banner[48];
        const int bannerLength = std::snprintf(banner, sizeof banner, "[%s 0x%06X]", region.Name,
                                               static_cast<unsigned>(address));
        for (std::uint32_t i = 0; i < end - address; ++i)
            out[address - base + i] = static_cast<int>(i) < bannerLength
                                          ? static_cast<std::uint8_t>(banner[i])
                                          : static_cast<std::uint8_t>(i ^ region.Key);
        address = end;
    }
}

// --- Clock ---
int DaysInMonth(int month, int yearAfter2000)
{
    const int year = 2000 + yearAfter2000;
    switch (month) {
    case 1:
        return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0 ? 29 : 28;
    case 3:
    case 5:
    case 8:
    case 10:
        return 30;
    default:
        return 31;
    }
}

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
// Streams

class TRemoteFirmware::TStream {
public:
    explicit TStream(TTime due) : FDue(due) {}
    virtual ~TStream() = default;

    // The first packet is due then; the rest follow as fast as the endpoint
    // takes them, unless the stream is held back (a trickling remote).
    TTime Due() const { return FDue; }
    void HoldUntil(TTime due) { FDue = due; }
    // The next output; false when the stream has ended.
    virtual bool Next(TOutput& output) = 0;

private:
    TTime FDue;
};

// The answer to a flash read: data packets, then PKT_ACK.
class TRemoteFirmware::TFlashReadStream : public TStream {
public:
    // flipAt, flipMask: the flash address of a byte read changed, and the
    // bits changed (0: none).
    TFlashReadStream(const TRemoteFirmware& firmware, TTime due, std::uint32_t address,
                     std::uint16_t size, const TSimFaults& faults, int unplugAt, std::uint32_t flipAt,
                     std::uint8_t flipMask)
        : TStream(due), FFirmware(firmware), FAddress(address & AddressMask), FFaults(faults),
          FUnplugAt(unplugAt), FFlipAt(flipAt), FFlipMask(flipMask)
    {
        const long long total = static_cast<long long>(size) + faults.FlashExtraBytes - faults.FlashAckShortBy;
        FRemaining = static_cast<std::uint64_t>(std::max(0LL, total));
        FRandom = 0x2545F491u ^ (FAddress * 2654435761u) ^ size;
        if (FRandom == 0)
            FRandom = 1;
        FLow = static_cast<int>(Random() % 16);
    }

    bool Next(TOutput& output) override
    {
        if (FDone)
            return false;
        if (FFaults.FlashSilentFrom >= 0 && FIndex >= FFaults.FlashSilentFrom) {
            FDone = true;
            return false;
        }
        if (FRemaining == 0 && !FFaults.FlashEndless) {
            FDone = true;
            output.Packet = FFirmware.NewPacket();
            output.Packet[0] = PKT_ACK | 1;
            output.Packet[1] = PKT_READ_FLASH;
            return true;
        }
        if (FIndex == FUnplugAt) {
            FDone = true;
            output.Unplug = true;
            return true;
        }
        TByteArray packet = FFirmware.NewPacket();
        if (FIndex == FFaults.FlashEmptyPacketAt) {
            // Takes a packet's place in the count, but no data and no counter.
            packet[0] = PKT_FLASH_DATA_IN;
            ++FIndex;
            output.Packet = std::move(packet);
            return true;
        }
        const std::uint32_t size = FFaults.TrickleInterval.count() > 0 ? 1
                                   : FFaults.FlashEndless && FRemaining == 0
                                       ? FlashDataSize(~0ULL, FFirmware.FInputLength)
                                       : FlashDataSize(FRemaining, FFirmware.FInputLength);

        // Counter byte. The low nibble is a second counter of the firmware's
        // own; the host only relies on the rule that the high nibble goes up
        // by one per packet and by one more whenever the low nibble falls.
        // Walk the low nibble up and down so that the rule is exercised.
        const int step = static_cast<int>(Random() % 7) - 3;
        FLow = std::clamp(FLow + step, 0, 15);
        if (FLow < FPreviousLow)
            FExpected = (FExpected + 1) & 0x0F;
        int high = FExpected;
        FExpected = (FExpected + 1) & 0x0F;
        FPreviousLow = FLow;
        if (FIndex == FFaults.FlashSequenceErrorAt)
            high = (high + 1) & 0x0F;

        const std::uint8_t type = FIndex == FFaults.FlashWrongTypeAt ? PKT_VERSION : PKT_FLASH_DATA_IN;
        const std::uint8_t code = FIndex == FFaults.FlashInvalidLengthAt ? 11 : EncodeLength(size + 1);
        packet[0] = type | code;
        packet[1] = static_cast<std::uint8_t>(high << 4 | FLow);
        FFirmware.CopyFlash(FAddress, size, packet.data() + 2);
        if (const std::uint32_t offset = (FFlipAt - FAddress) & AddressMask; FFlipMask != 0 && offset < size)
            packet[2 + offset] ^= FFlipMask;
        FAddress = (FAddress + size) & AddressMask;
        FRemaining -= std::min<std::uint64_t>(FRemaining, size);
        ++FIndex;
        output.Packet = std::move(packet);
        return true;
    }

private:
    std::uint32_t Random()
    {
        FRandom ^= FRandom << 13;
        FRandom ^= FRandom >> 17;
        FRandom ^= FRandom << 5;
        return FRandom;
    }

    const TRemoteFirmware& FFirmware;
    std::uint32_t FAddress;
    std::uint64_t FRemaining = 0;
    TSimFaults FFaults;
    int FUnplugAt;
    std::uint32_t FFlipAt;
    std::uint8_t FFlipMask;
    int FIndex = 0;
    int FExpected = 0;      // the host's expected sequence...
    int FPreviousLow = 1;   // ...and previous low nibble, as it starts them
    int FLow = 0;
    std::uint32_t FRandom = 1;
    bool FDone = false;
};

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
    const int code = packet[0] & 0x0F;
    const std::uint32_t address = static_cast<std::uint32_t>(at(1) << 16 | at(2) << 8 | at(3));
    const TTime due = now + FFaults.ReplyDelay;

    switch (type) {
    case PKT_GET_VERSION:
        if (answer)
            SendShort(VersionReply(), now);
        break;

    case PKT_RESET:
        ++FResetCount;
        FLastResetType = at(1);
        break;

    case PKT_READ_MISC: {
        const std::uint8_t miscType = at(1);
        if (code >= 3) {  // word form: 16-bit index
            const std::uint16_t value = Register(miscType, static_cast<std::uint16_t>(at(2) << 8 | at(3)), now);
            if (answer)
                SendShort(ShortReply(PKT_MISC_VALUE | 3, {miscType, static_cast<std::uint8_t>(value >> 8),
                                                          static_cast<std::uint8_t>(value)}),
                          now);
        } else {
            const std::uint16_t value = Register(miscType, at(2), now);
            if (answer)
                SendShort(ShortReply(PKT_MISC_VALUE | 2, {miscType, static_cast<std::uint8_t>(value)}), now);
        }
        break;
    }

    case PKT_WRITE_MISC:
        if (code >= 5)  // word form
            SetRegister(at(1), static_cast<std::uint16_t>(at(2) << 8 | at(3)),
                        static_cast<std::uint16_t>(at(4) << 8 | at(5)), now);
        else
            SetRegister(at(1), at(2), at(3), now);
        if (answer)
            SendShort(ShortReply(PKT_ACK | 1, {PKT_WRITE_MISC}), now);
        break;

    case PKT_ERASE_SECTOR:
        // The sector reads erased at once; the ACK waits until the erase
        // would be done. Replies are sent in order, so whatever the host asks
        // meanwhile is answered after it, as by a firmware busy erasing.
        EraseSector(address);
        if (answer)
            SendShort(ShortReply(PKT_ACK | 1, {PKT_ERASE_SECTOR}), now + FEraseTime);
        break;

    case PKT_READ_FLASH:
        if (answer) {
            const int unplugAt = std::exchange(FFaults.UnplugAtPacket, -1);
            // A flaky byte: another bit each time, so that two flaky reads
            // of it differ as well. Only reads that cover it count.
            const std::uint16_t size = static_cast<std::uint16_t>(at(4) << 8 | at(5));
            const auto flipAt = static_cast<std::uint32_t>(FFaults.FlashFlipAt);
            std::uint8_t flipMask = 0;
            if (FFaults.FlashFlipAt >= 0 && FFaults.FlashFlipReads != 0 &&
                ((flipAt - address) & AddressMask) < size) {
                flipMask = static_cast<std::uint8_t>(1u << (FFlippedReads++ % 8));
                if (FFaults.FlashFlipReads > 0)
                    --FFaults.FlashFlipReads;
            }
            FStream = std::make_unique<TFlashReadStream>(*this, due, address, size, FFaults, unplugAt, flipAt,
                                                         flipMask);
        }
        break;

    case PKT_WRITE_FLASH:
        FWrite.Active = true;
        FWrite.Address = address;
        FWrite.Remaining = static_cast<std::uint32_t>(at(4) << 8 | at(5));
        FWrite.PacketIndex = 0;
        FWrite.UnplugAt = std::exchange(FFaults.UnplugAtPacket, -1);
        break;

    case PKT_ACK:
        // The host closes a flash write.
        if (at(1) == PKT_WRITE_FLASH && answer && !FFaults.FlashWriteNoAck) {
            TByteArray reply = ShortReply(PKT_ACK | 1, {PKT_WRITE_FLASH});
            ApplyShortFaults(reply);
            if (FFaults.FlashWriteAckEcho >= 0)
                reply[1] = static_cast<std::uint8_t>(FFaults.FlashWriteAckEcho);
            Queue(due, std::move(reply));
        }
        break;

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
        // Not a request of the firmware (a packet type it only sends): ignored.
        break;
    }
}

void TRemoteFirmware::FlashData(const TByteArray& packet, TTime now)
{
    if (!FWrite.Active)
        return;
    if (FWrite.PacketIndex == FWrite.UnplugAt) {
        FWrite.Active = false;
        QueueUnplug(now);
        return;
    }
    ++FWrite.PacketIndex;
    // The length code gives the packet's capacity; the host fills what is
    // not data with 0xFF, so only the size announced by the write request
    // counts.
    const int capacity = DecodeLength(packet[0] & 0x0F);
    if (capacity < 0)
        return;
    const std::uint32_t size = std::min<std::uint32_t>(
        {static_cast<std::uint32_t>(capacity), static_cast<std::uint32_t>(packet.size() - 1), FWrite.Remaining});
    ProgramFlash(FWrite.Address, packet.data() + 1, size);
    FWrite.Address = (FWrite.Address + size) & AddressMask;
    FWrite.Remaining -= size;
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

// --- Registers ---------------------------------------------------------------

bool TRemoteFirmware::IsClockIndex(std::uint16_t index) const
{
    return index <= (Architecture() >= 8 ? 6 : 5);
}

namespace {
// The clock register at index, in the layout of the architecture.
int* ClockField(int& seconds, int& minutes, int& hours, int& day, int& dayOfWeek, int& month, int& year,
                int architecture, std::uint16_t index)
{
    int* wide[] = {&seconds, &minutes, &hours, &day, &dayOfWeek, &month, &year};
    int* narrow[] = {&seconds, &minutes, &hours, &day, &month, &year};
    if (architecture >= 8)
        return index < 7 ? wide[index] : nullptr;
    return index < 6 ? narrow[index] : nullptr;
}
}  // namespace

TRemoteFirmware::TClockState TRemoteFirmware::ClockNow(TTime now) const
{
    TClockState clock = FClock;
    if (now <= clock.Base)
        return clock;
    const long long elapsed = std::chrono::duration_cast<std::chrono::seconds>(now - clock.Base).count();
    if (elapsed == 0)
        return clock;
    // Like a real-time clock chip: the fields count on from what was set,
    // the day of the week on its own.
    long long total = clock.Seconds + 60LL * clock.Minutes + 3600LL * clock.Hours + elapsed;
    long long days = total / 86400;
    total %= 86400;
    clock.Hours = static_cast<int>(total / 3600);
    clock.Minutes = static_cast<int>(total / 60 % 60);
    clock.Seconds = static_cast<int>(total % 60);
    for (; days > 0; --days) {
        clock.DayOfWeek = clock.DayOfWeek % 7 + 1;
        if (++clock.Day >= DaysInMonth(clock.Month, clock.Year)) {
            clock.Day = 0;
            if (++clock.Month >= 12) {
                clock.Month = 0;
                ++clock.Year;
            }
        }
    }
    clock.Base = now;
    return clock;
}

std::uint16_t TRemoteFirmware::Register(std::uint8_t miscType, std::uint16_t index, TTime now) const
{
    if (miscType == 1 && IsClockIndex(index)) {
        TClockState c = ClockNow(now);
        return static_cast<std::uint16_t>(*ClockField(c.Seconds, c.Minutes, c.Hours, c.Day, c.DayOfWeek,
                                                      c.Month, c.Year, Architecture(), index));
    }
    const auto it = FRegisters.find({miscType, index});
    return it == FRegisters.end() ? 0 : it->second;
}

void TRemoteFirmware::SetRegister(std::uint8_t miscType, std::uint16_t index, std::uint16_t value, TTime now)
{
    if (miscType == 1 && IsClockIndex(index)) {
        // Setting one field re-bases the whole clock at this moment.
        TClockState c = ClockNow(now);
        *ClockField(c.Seconds, c.Minutes, c.Hours, c.Day, c.DayOfWeek, c.Month, c.Year, Architecture(), index) =
            value;
        c.Base = now;
        FClock = c;
        return;
    }
    FRegisters[{miscType, index}] = value;
}

void TRemoteFirmware::SetClock(int year, int month, int day, int dayOfWeek, int hours, int minutes,
                               int seconds, TTime now)
{
    FClock.Seconds = seconds;
    FClock.Minutes = minutes;
    FClock.Hours = hours;
    FClock.Day = day - 1;
    FClock.DayOfWeek = dayOfWeek;
    FClock.Month = month - 1;
    FClock.Year = year - 2000;
    FClock.Base = now;
}

// --- Flash -------------------------------------------------------------------

const std::uint8_t* TRemoteFirmware::SectorData(std::uint32_t sector) const
{
    const auto it = FSectors.find(sector);
    if (it != FSectors.end())
        return it->second ? it->second->data() : nullptr;
    if (!FPattern)
        return nullptr;
    if (FGeneratedSector != sector) {
        GenerateSector(sector, FGenerated.data());
        FGeneratedSector = sector;
    }
    return FGenerated.data();
}

std::uint8_t* TRemoteFirmware::WritableSector(std::uint32_t sector)
{
    const auto it = FSectors.find(sector);
    if (it != FSectors.end() && it->second)
        return it->second->data();
    // An untouched sector keeps its generated content; an erased one (a null
    // entry) starts blank.
    auto data = std::make_unique<std::array<std::uint8_t, SectorSize>>();
    data->fill(0xFF);
    if (it == FSectors.end() && FPattern)
        GenerateSector(sector, data->data());
    std::uint8_t* bytes = data->data();
    FSectors[sector] = std::move(data);
    return bytes;
}

void TRemoteFirmware::CopyFlash(std::uint32_t address, std::uint32_t size, std::uint8_t* out) const
{
    address &= AddressMask;
    while (size > 0) {
        const std::uint32_t offset = address % SectorSize;
        const std::uint32_t count = std::min(size, SectorSize - offset);
        const std::uint8_t* data = SectorData(address / SectorSize);
        if (data)
            std::memcpy(out, data + offset, count);
        else
            std::memset(out, 0xFF, count);
        out += count;
        size -= count;
        address = (address + count) & AddressMask;
    }
}

TByteArray TRemoteFirmware::ReadFlash(std::uint32_t address, std::uint32_t size) const
{
    TByteArray bytes(size);
    CopyFlash(address, size, bytes.data());
    return bytes;
}

void TRemoteFirmware::SetFlash(std::uint32_t address, const TByteArray& bytes)
{
    address &= AddressMask;
    for (std::uint8_t byte : bytes) {
        WritableSector(address / SectorSize)[address % SectorSize] = byte;
        address = (address + 1) & AddressMask;
    }
}

void TRemoteFirmware::ProgramFlash(std::uint32_t address, const std::uint8_t* data, std::uint32_t size)
{
    // NOR flash: programming only clears bits; only an erase sets them again.
    address &= AddressMask;
    for (std::uint32_t i = 0; i < size; ++i) {
        WritableSector(address / SectorSize)[address % SectorSize] &= data[i];
        address = (address + 1) & AddressMask;
    }
}

void TRemoteFirmware::EraseSector(std::uint32_t address)
{
    // A null entry: erased, and costing no memory.
    FSectors[(address & AddressMask) / SectorSize].reset();
}

void TRemoteFirmware::FillFlashWithPattern()
{
    FSectors.clear();
    FPattern = true;
    FGeneratedSector = -1;
}

bool TRemoteFirmware::LoadFlash(const TByteArray& image)
{
    if (image.size() != FlashSize)
        return false;
    FSectors.clear();
    FPattern = false;
    FGeneratedSector = -1;
    for (std::uint32_t sector = 0; sector < FlashSize / SectorSize; ++sector) {
        const auto begin = image.begin() + static_cast<std::ptrdiff_t>(sector) * SectorSize;
        const auto end = begin + SectorSize;
        if (std::all_of(begin, end, [](std::uint8_t byte) { return byte == 0xFF; }))
            continue;
        auto data = std::make_unique<std::array<std::uint8_t, SectorSize>>();
        std::copy(begin, end, data->begin());
        FSectors[sector] = std::move(data);
    }
    return true;
}

std::size_t TRemoteFirmware::AllocatedSectors() const
{
    return static_cast<std::size_t>(
        std::count_if(FSectors.begin(), FSectors.end(), [](const auto& entry) { return entry.second != nullptr; }));
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

// --- Behaviour ---------------------------------------------------------------

void TRemoteFirmware::ScriptReplies(std::vector<TByteArray> replies)
{
    FScript.assign(std::make_move_iterator(replies.begin()), std::make_move_iterator(replies.end()));
}
