// The firmware model's flash: its generated content, the sparse sectors, the
// flash read stream and the flash requests (read, write, erase).
#include "RemoteFirmware.h"
#include "RemoteFirmwarePrivate.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

using namespace remote_firmware;

namespace {

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

}  // namespace

// ---------------------------------------------------------------------------
// Streams

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

// ---------------------------------------------------------------------------
// Requests

// The flash requests, and the ACK that closes a flash write, passed on by
// Handle.
void TRemoteFirmware::HandleFlash(const TByteArray& packet, TTime now, bool answer)
{
    auto at = [&packet](std::size_t i) -> std::uint8_t { return i < packet.size() ? packet[i] : 0; };
    const std::uint32_t address = static_cast<std::uint32_t>(at(1) << 16 | at(2) << 8 | at(3));
    const TTime due = now + FFaults.ReplyDelay;

    switch (packet[0] & 0xF0) {
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

    default:
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
