#include "CorvaneInterface.h"

#include "../hid/Timing.h"
#include "UsbIds.h"

#include <algorithm>
#include <chrono>
#include <cstdio>

// A failed consistency check on what the remote sent. The line is this
// file's, so that a report from the field points at the check.
#define CORVANE_ASSERT(condition, message)                 \
    do {                                                   \
        if (!(condition))                                  \
            throw ECorvaneAssertion((message), __LINE__);  \
    } while (false)

namespace {

std::string AssertionText(const std::string& message, int line)
{
    char text[512];
    std::snprintf(text, sizeof text, "%s (%s, line %d)", message.c_str(), "CorvaneInterface", line);
    return text;
}

// Restores a flag when the scope ends, however it ends.
class TFlagScope {
public:
    TFlagScope(bool& flag, bool value) : FFlag(flag), FSaved(flag) { FFlag = value; }
    ~TFlagScope() { FFlag = FSaved; }
    TFlagScope(const TFlagScope&) = delete;
    TFlagScope& operator=(const TFlagScope&) = delete;

private:
    bool& FFlag;
    bool FSaved;
};

// A healthy remote sends at most one input report per millisecond (a
// full-speed interrupt endpoint). A streamed read gets four times what such a
// remote needs for its reports, plus a second, and counts as broken beyond
// that: a remote trickling a byte per packet, each just inside the link's
// read wait, would otherwise hold the window for hours without a message
// dispatched.
using TStreamClock = std::chrono::steady_clock;

TStreamClock::time_point StreamDeadline(std::size_t reports)
{
    return TStreamClock::now() + 4 * std::chrono::milliseconds(reports) + std::chrono::seconds(1);
}

void PutAddress(TByteArray& packet, std::size_t at, std::uint32_t address)
{
    packet[at] = static_cast<std::uint8_t>(address >> 16);
    packet[at + 1] = static_cast<std::uint8_t>(address >> 8);
    packet[at + 2] = static_cast<std::uint8_t>(address);
}

}  // namespace

ECorvaneAssertion::ECorvaneAssertion(const std::string& message, int line)
    : std::runtime_error(AssertionText(message, line)), FMessage(message), FLine(line)
{
}

// ---------------------------------------------------------------------------
// Packet header
// ---------------------------------------------------------------------------

std::uint8_t GetPacketType(const TByteArray& packet)
{
    return packet.empty() ? 0 : static_cast<std::uint8_t>(packet[0] & 0xF0);
}

void SetPacketType(TByteArray& packet, std::uint8_t type)
{
    if (!packet.empty())
        packet[0] = static_cast<std::uint8_t>(type & 0xF0);
}

void SetPacketLength(TByteArray& packet, std::uint32_t length)
{
    // Payloads of 8 to 63 bytes are declared in three steps; the receiver
    // takes the declared (rounded-up) number of bytes.
    std::uint8_t code;
    if (length <= 7)
        code = static_cast<std::uint8_t>(length);
    else if (length <= 15)
        code = 8;
    else if (length <= 31)
        code = 9;
    else
        code = 10;
    if (!packet.empty())
        packet[0] |= code;
}

int GetPacketLength(const TByteArray& packet)
{
    if (packet.empty())
        return 0;
    const int code = packet[0] & 0x0F;
    int length;
    if (code <= 7)
        length = code;
    else if (code == 8)
        length = 15;
    else if (code == 9)
        length = 31;
    else if (code == 10)
        length = 63;
    else
        length = -1;
    CORVANE_ASSERT(length >= 0, "Invalid number of bytes");
    CORVANE_ASSERT(static_cast<std::size_t>(length) < packet.size(), "Invalid number of bytes in buffer");
    return length;
}

// ---------------------------------------------------------------------------
// Connection
// ---------------------------------------------------------------------------

TCorvaneOne::TCorvaneOne(IHidPlatform& platform, IGuiEventLoop& loop, std::string devicePath)
    : FPlatform(platform), FLoop(loop), FBoundPath(std::move(devicePath))
{
    // A version reply that breaks the packet rules must not keep the object
    // from existing: the connection then stands with the version unknown, and
    // the error waits in FConstructionError for whoever shows errors.
    try {
        Reconnect();
    } catch (const ECorvaneAssertion& e) {
        FConstructionError = e.what();
    }
}

TCorvaneOne::~TCorvaneOne()
{
    OnStatusChange = nullptr;
    FDevice.reset();
}

bool TCorvaneOne::Reconnect()
{
    ++FLinkGeneration;
    FDevice.reset();
    FDevice = std::make_unique<TUsbDevice>(FPlatform, FLoop, CORVANE_USB_IDS.VendorId, CORVANE_USB_IDS.ProductId,
                                           FBoundPath);
    FConnected = FDevice->Connected();
    FDevice->OnChange = [this] { DeviceChanged(); };
    FArchitecture = -1;
    FProtocol = -1;

    SleepFor(Timing().ReconnectPause);
    // No reply to the reset is awaited: the version request's write discards
    // whatever the reset left behind, and the reply is looked for past the
    // last reports of a stream that broke off.
    SendReset(1);
    TByteArray scratch;
    return RequestVersion(scratch, MaxStaleReports);
}

void TCorvaneOne::DeviceChanged()
{
    FConnected = FDevice->Connected();
    if (FConnected) {
        // Give a freshly arrived remote a moment before talking to it.
        SleepFor(Timing().ReconnectPause);
        try {
            Reconnect();
        } catch (...) {
            // The display must follow the new link even when its version
            // reply was broken; the error then goes on to the caller.
            NotifyStatus();
            throw;
        }
    }
    NotifyStatus();
}

void TCorvaneOne::NotifyStatus()
{
    if (OnStatusChange) {
        auto handler = OnStatusChange;
        handler();
    }
}

TByteArray TCorvaneOne::NewPacket(std::uint8_t type, std::initializer_list<std::uint8_t> payload) const
{
    const int length = FDevice ? FDevice->OutputLength() : -1;
    // A link without the remote has no report length; an empty packet is
    // refused by WriteReport.
    if (length <= static_cast<int>(payload.size()))
        return {};
    TByteArray packet(static_cast<std::size_t>(length), 0);
    SetPacketType(packet, type);
    SetPacketLength(packet, static_cast<std::uint32_t>(payload.size()));
    std::copy(payload.begin(), payload.end(), packet.begin() + 1);
    return packet;
}

bool TCorvaneOne::ReadReply(TByteArray& packet)
{
    const int length = FDevice->InputLength();
    if (length <= 0)
        return false;
    packet.assign(static_cast<std::size_t>(length), 0);
    return FDevice->ReadReport(packet);
}

bool TCorvaneOne::Exchange(TByteArray& packet, std::uint8_t replyType, int echo, int staleReports)
{
    if (!FConnected)
        return false;
    if (!FDevice->WriteReport(packet))
        return false;
    SleepFor(Timing().ReplyPause);
    if (!ReadReply(packet))
        return false;
    // A data report of a stream that the remote was still sending when the
    // request was written can arrive after the write has flushed the unread
    // input, and so can the acknowledgement that ended the stream: the write
    // flushes only what the link's reader has taken, not what still waits in
    // the system's queue for a reader that is behind. Where the caller
    // expects that, they are passed over.
    for (int stale = 0; stale < staleReports && GetPacketType(packet) != replyType; ++stale) {
        const std::uint8_t type = GetPacketType(packet);
        if (type != PKT_FLASH_DATA_IN && type != PKT_IR_DATA && type != PKT_ACK)
            break;
        if (!ReadReply(packet))
            return false;
    }
    if (GetPacketType(packet) != replyType)
        return false;
    if (echo >= 0 && packet[1] != echo)
        return false;
    return true;
}

bool TCorvaneOne::GetVersion(TByteArray& reply)
{
    if (FStreaming)
        return false;
    return RequestVersion(reply);
}

bool TCorvaneOne::RequestVersion(TByteArray& reply, int staleReports)
{
    if (!FConnected)
        return false;
    TByteArray packet = NewPacket(PKT_GET_VERSION, {});
    if (!Exchange(packet, PKT_VERSION, -1, staleReports))
        return false;
    const int length = GetPacketLength(packet);
    // Architecture and protocol are payload bytes 5 and 7; a shorter reply
    // does not carry them.
    if (length < 7)
        return false;
    packet.resize(static_cast<std::size_t>(length) + 1);
    FArchitecture = packet[5] >> 4;
    FProtocol = packet[7];
    reply = std::move(packet);
    return true;
}

// ---------------------------------------------------------------------------
// Version, reset and registers
// ---------------------------------------------------------------------------

bool TCorvaneOne::Reset(std::uint8_t resetType)
{
    if (FStreaming)
        return false;
    return SendReset(resetType);
}

bool TCorvaneOne::SendReset(std::uint8_t resetType)
{
    if (!FConnected)
        return false;
    return FDevice->WriteReport(NewPacket(PKT_RESET, {resetType}));
}

bool TCorvaneOne::GetDecodedVersion(TDecodedVersion& version)
{
    TByteArray reply;
    if (!GetVersion(reply))
        return false;
    // The decoded fields take payload bytes 1 to 14.
    if (reply.size() < 15)
        return false;

    auto high = [&](int i) { return static_cast<std::uint8_t>(reply[i] >> 4); };
    auto low = [&](int i) { return static_cast<std::uint8_t>(reply[i] & 0x0F); };
    version.FirmwareMajor = high(1);
    version.FirmwareMinor = low(1);
    version.BoardRevision = reply[2];
    version.MemoryDevice = reply[3];
    version.MemoryManufacturer = reply[4];
    version.Architecture = high(5);
    version.FirmwareType = low(5);
    version.Skin = reply[6];
    version.Protocol = reply[7];
    version.BootloaderMajor = high(8);
    version.BootloaderMinor = low(8);
    version.PicLibraryMajor = high(9);
    version.PicLibraryMinor = low(9);
    version.CpldMajor = high(10);
    version.CpldMinor = low(10);
    version.SafeModeMajor = high(11);
    version.SafeModeMinor = low(11);
    version.NormalModeMajor = high(12);
    version.NormalModeMinor = low(12);
    version.ZwaveMajor = high(13);
    version.ZwaveMinor = low(13);
    version.ZwaveRevision = reply[14];
    return true;
}

bool TCorvaneOne::ReadMiscByte(std::uint8_t& value, std::uint8_t miscType, std::uint8_t index)
{
    if (FStreaming)
        return false;
    TByteArray packet = NewPacket(PKT_READ_MISC, {miscType, index});
    if (!Exchange(packet, PKT_MISC_VALUE, miscType))
        return false;
    // The value is the last payload byte. A payload of fewer than two bytes
    // holds only the echoed type: no value at all.
    const int length = GetPacketLength(packet);
    if (length < 2)
        return false;
    value = packet[static_cast<std::size_t>(length)];
    return true;
}

bool TCorvaneOne::ReadMiscWord(std::uint16_t& value, std::uint8_t miscType, std::uint16_t index)
{
    if (FStreaming)
        return false;
    TByteArray packet = NewPacket(PKT_READ_MISC, {miscType, static_cast<std::uint8_t>(index >> 8),
                                                  static_cast<std::uint8_t>(index)});
    if (!Exchange(packet, PKT_MISC_VALUE, miscType))
        return false;
    // Bytes 2 and 3, whatever the length code says.
    value = static_cast<std::uint16_t>(packet[2] << 8 | packet[3]);
    return true;
}

bool TCorvaneOne::WriteMiscByte(std::uint8_t value, std::uint8_t miscType, std::uint8_t index)
{
    if (FStreaming)
        return false;
    TByteArray packet = NewPacket(PKT_WRITE_MISC, {miscType, index, value});
    return Exchange(packet, PKT_ACK, PKT_WRITE_MISC);
}

bool TCorvaneOne::WriteMiscWord(std::uint16_t value, std::uint8_t miscType, std::uint16_t index)
{
    if (FStreaming)
        return false;
    TByteArray packet = NewPacket(PKT_WRITE_MISC,
                                  {miscType, static_cast<std::uint8_t>(index >> 8), static_cast<std::uint8_t>(index),
                                   static_cast<std::uint8_t>(value >> 8), static_cast<std::uint8_t>(value)});
    return Exchange(packet, PKT_ACK, PKT_WRITE_MISC);
}

// ---------------------------------------------------------------------------
// Flash
// ---------------------------------------------------------------------------

bool TCorvaneOne::EraseFlashSector(std::uint32_t address)
{
    if (FStreaming)
        return false;
    TByteArray packet = NewPacket(PKT_ERASE_SECTOR, {0, 0, 0});
    if (packet.empty())
        return false;
    PutAddress(packet, 1, address);
    return Exchange(packet, PKT_ACK, PKT_ERASE_SECTOR);
}

TByteArray TCorvaneOne::NewTransferRequest(std::uint8_t type, std::uint32_t address, std::uint16_t size) const
{
    TByteArray packet = NewPacket(type, {0, 0, 0, static_cast<std::uint8_t>(size >> 8), static_cast<std::uint8_t>(size)});
    if (!packet.empty())
        PutAddress(packet, 1, address);
    return packet;
}

template <typename TTransfer>
bool TCorvaneOne::ReconnectIfBroken(bool reconnect, TTransfer transfer)
{
    bool result;
    try {
        result = transfer(reconnect);
    } catch (...) {
        if (reconnect) {
            // The error already on its way to the caller is the one to
            // report; one from the reconnection would only hide it.
            try {
                Reconnect();
            } catch (...) {
            }
        }
        throw;
    }
    if (reconnect)
        Reconnect();
    return result;
}

bool TCorvaneOne::ReadFlash(TByteArray& data, std::uint32_t address, std::uint16_t size)
{
    if (!FConnected || FStreaming)
        return false;
    if (!FDevice->WriteReport(NewTransferRequest(PKT_READ_FLASH, address, size)))
        return false;

    data.assign(size, 0);
    return ReconnectIfBroken(false, [&](bool& reconnect) { return ReceiveFlash(data, reconnect); });
}

bool TCorvaneOne::ReceiveFlash(TByteArray& data, bool& reconnect)
{
    // The counter byte of each data packet: the high nibble counts packets;
    // it skips one more whenever the low nibble is smaller than in the packet
    // before. The first packet is compared with a low nibble of 1.
    std::uint8_t expected = 0;
    std::uint8_t previousLow = 1;
    std::size_t received = 0;
    // Data packets of up to 62 bytes, a tail cut into at most four smaller
    // ones, and the acknowledgement.
    const auto deadline = StreamDeadline(data.size() / 62 + 5);

    SleepFor(Timing().ReplyPause);
    Abort = false;

    TByteArray packet;
    for (;;) {
        if (TStreamClock::now() > deadline) {
            reconnect = true;
            return false;
        }
        if (!ReadReply(packet)) {
            // Silence before any data: the remote has nothing at this address
            // (the end of the flash). Silence in the middle of a transfer
            // leaves the data incomplete: that is no success.
            if (received == 0) {
                data.clear();
                return true;
            }
            return false;
        }

        const std::uint8_t type = GetPacketType(packet);
        if (type == PKT_ACK)
            return received == data.size();
        if (type != PKT_FLASH_DATA_IN) {
            reconnect = true;
            return false;
        }

        // The counter first: a packet out of sequence is a broken stream,
        // whatever its length code claims.
        const std::uint8_t high = packet[1] >> 4;
        const std::uint8_t low = packet[1] & 0x0F;
        if (low < previousLow)
            expected = (expected + 1) & 0x0F;
        if (high != expected) {
            reconnect = true;
            return false;
        }
        const int length = GetPacketLength(packet);
        // A packet without a data byte, or with more data than was asked
        // for, is a broken stream like a wrong counter: nothing of it is
        // stored, and an endless stream cannot hold the window.
        if (length < 2 || received + static_cast<std::size_t>(length - 1) > data.size()) {
            reconnect = true;
            return false;
        }
        std::copy(packet.begin() + 2, packet.begin() + 1 + length, data.begin() + static_cast<long>(received));
        received += static_cast<std::size_t>(length - 1);
        expected = (expected + 1) & 0x0F;
        previousLow = low;

        if (Abort)
            return false;
    }
}

bool TCorvaneOne::WriteFlash(const TByteArray& data, std::uint32_t address, std::uint16_t size)
{
    if (!FConnected || FStreaming)
        return false;
    if (data.size() < size)
        return false;
    if (!FDevice->WriteReport(NewTransferRequest(PKT_WRITE_FLASH, address, size)))
        return false;

    TFlagScope streaming(FStreaming, true);
    // Set for the data phase: a stream that breaks off there leaves the
    // remote in the middle of a write.
    return ReconnectIfBroken(true, [&](bool& reconnect) { return SendFlash(data, size, reconnect); });
}

bool TCorvaneOne::SendFlash(const TByteArray& data, std::uint16_t size, bool& reconnect)
{
    SleepFor(Timing().ReplyPause);
    std::size_t remaining = size;
    std::size_t offset = 0;
    const unsigned generation = FLinkGeneration;
    Abort = false;

    do {
        // Keep the window alive between packets. Only what is pending is
        // dispatched: waiting for a message on an idle queue would stall the
        // write until the user moved the mouse.
        FLoop.DispatchMessages(false);
        Progress = static_cast<int>(remaining);

        // A reconnection in a handler above has reset the remote: it no
        // longer expects this write's data, and what is left of it would be
        // lost while the closing exchange still reported success. The new
        // link is fresh, so there is nothing to reconnect.
        if (FLinkGeneration != generation) {
            reconnect = false;
            return false;
        }

        // Handlers dispatched above may have replaced the link: build every
        // packet for the link of the moment.
        TByteArray packet = NewPacket(PKT_FLASH_DATA_OUT, {});
        if (packet.empty())
            return false;
        // Every packet declares the length code of the whole write's size;
        // the capacity is what that code stands for.
        packet[0] = 0;
        SetPacketType(packet, PKT_FLASH_DATA_OUT);
        SetPacketLength(packet, size);
        const std::size_t capacity = static_cast<std::size_t>(GetPacketLength(packet));
        const std::size_t count = std::min(capacity, remaining);
        std::copy(data.begin() + static_cast<long>(offset), data.begin() + static_cast<long>(offset + count),
                  packet.begin() + 1);
        std::fill(packet.begin() + 1 + static_cast<long>(count), packet.begin() + 1 + static_cast<long>(capacity), 0xFF);
        offset += count;
        remaining -= count;

        if (!FDevice->WriteReport(packet))
            return false;
    } while (remaining > 0 && !Abort);

    reconnect = false;
    TByteArray closing = NewPacket(PKT_ACK, {PKT_WRITE_FLASH});
    if (!FDevice->WriteReport(closing))
        return false;
    SleepFor(Timing().ReplyPause);
    TByteArray reply;
    if (!ReadReply(reply))
        return false;
    return GetPacketType(reply) == PKT_ACK && reply[1] == PKT_WRITE_FLASH;
}

// ---------------------------------------------------------------------------
// Infrared
// ---------------------------------------------------------------------------

bool TCorvaneOne::IrCapture(TByteArray& data)
{
    FCaptureHeardNothing = false;
    if (!FConnected || FStreaming)
        return false;
    if (!FDevice->WriteReport(NewPacket(PKT_IR_CAPTURE_START, {})))
        return false;

    TFlagScope streaming(FStreaming, true);
    const int inputLength = FDevice->InputLength();
    const std::size_t capacity = static_cast<std::size_t>(inputLength) * 1000;
    data.assign(capacity, 0);
    SleepFor(Timing().ReplyPause);

    std::size_t stored = 0;
    std::uint8_t expected = 0x00;
    int patience = CaptureFirstReads;
    bool heard = false;
    bool error = false;
    bool done = false;
    const unsigned generation = FLinkGeneration;
    Abort = false;

    TByteArray packet;
    try {
        do {
            FLoop.DispatchMessages(true);
            Progress = static_cast<int>(stored);

            // A reconnection in a handler above (the remote replugged) has reset
            // the remote: this capture is over on its side, and the fresh link
            // would only be waited on in vain. Nothing to stop there either.
            if (FLinkGeneration != generation) {
                data.clear();
                return false;
            }

            if (!ReadReply(packet)) {
                if (--patience <= 0) {
                    error = done = true;
                    FCaptureHeardNothing = !heard;
                }
                continue;
            }
            heard = true;
            patience = 2;
            const std::uint8_t type = GetPacketType(packet);
            if (type == PKT_ACK) {
                done = true;
            } else if (type != PKT_IR_DATA) {
                error = done = true;
            } else {
                if (packet[1] == expected)
                    expected = static_cast<std::uint8_t>(expected + 0x10);
                else
                    error = done = true;

                // The data length is in the report's last byte, not in the header.
                int length = packet.back() - 2;
                CORVANE_ASSERT(length % 2 == 0, "IrCapture expected even length");
                CORVANE_ASSERT(length > 0, "IrCapture invalid length");
                if (static_cast<std::size_t>(length) + 2 > packet.size()) {
                    // The data field would run past the end of the report.
                    error = done = true;
                } else if (stored + static_cast<std::size_t>(length) > capacity) {
                    done = true;
                } else if (!error) {
                    // The end marker ends the capture; it is kept, the rest of its
                    // field is not.
                    if (packet[2] == 0x80 && packet[3] == 0x00) {
                        length = 2;
                        done = true;
                    }
                    std::copy(packet.begin() + 2, packet.begin() + 2 + length, data.begin() + static_cast<long>(stored));
                    stored += static_cast<std::size_t>(length);
                }
            }
        } while (!done && !Abort);
    } catch (const ECorvaneAssertion&) {
        // The remote is still capturing: stop it before the error goes on,
        // or it streams until the next request flushes it; and take the
        // stop's acknowledgement, or it arrives late enough to be read as
        // the first report of the next capture, ending it at once.
        data.clear();
        if (FLinkGeneration == generation) {
            // The error already on its way is the one to report.
            try {
                StopCapture();
            } catch (...) {
            }
        }
        throw;
    }

    if (error)
        data.clear();
    else
        data.resize(stored);

    return StopCapture() && !error;
}

bool TCorvaneOne::StopCapture()
{
    // The stop request's write also drops capture data still unread.
    if (!FDevice->WriteReport(NewPacket(PKT_IR_CAPTURE_STOP, {})))
        return false;
    SleepFor(Timing().ReplyPause);

    // A remote that goes on streaming after the stop request gets a bounded
    // number of late reports skipped, in a bounded time; then the capture
    // fails rather than holding the window. Overtime is a broken stream.
    constexpr int MaxLateReports = 1000;
    const auto deadline = StreamDeadline(MaxLateReports + 1);
    int late = 0;
    int patience = 4;
    TByteArray packet;
    for (;;) {
        if (TStreamClock::now() > deadline) {
            Reconnect();
            return false;
        }
        if (ReadReply(packet)) {
            patience = 4;
            if (GetPacketType(packet) == PKT_ACK)
                return true;
            if (++late > MaxLateReports)
                return false;
        } else if (--patience <= 0) {
            return false;
        }
        if (Abort)
            return true;
    }
}
