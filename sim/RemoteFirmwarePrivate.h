#pragma once
// What the files of the firmware model share and nothing else uses: the
// packet types, the length codes of a packet header, the 24-bit flash address
// mask, and the lazily generated answer that every stream derives from. The
// model is split by subsystem: RemoteFirmware.cpp holds construction, the
// transport, the dispatch of requests and the version; RemoteFirmwareFlash.cpp,
// RemoteFirmwareRegisters.cpp and RemoteFirmwareInfrared.cpp the rest. Runners
// include RemoteFirmware.h only.

#include "RemoteFirmware.h"

#include <cstddef>
#include <cstdint>

namespace remote_firmware {

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
inline std::uint8_t EncodeLength(std::size_t length)
{
    if (length < 8)
        return static_cast<std::uint8_t>(length);
    if (length < 16)
        return 8;
    if (length < 32)
        return 9;
    return 10;
}

inline int DecodeLength(int code)
{
    static constexpr int Lengths[11] = {0, 1, 2, 3, 4, 5, 6, 7, 15, 31, 63};
    return code >= 0 && code <= 10 ? Lengths[code] : -1;
}

}  // namespace remote_firmware

// What every stream (flash read, capture) is: a lazily generated answer.
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
