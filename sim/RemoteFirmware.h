#pragma once
// A model of the remote's firmware, free of any transport: packets in, packets
// out, each outgoing packet with the time it is due. It owns no thread and
// takes no lock; its runner (TSimRemote on the simulated bus, or a uhid device)
// feeds it the output reports it receives, asks it when the next input report
// is due, and takes and sends the reports at the pace of its endpoint.
//
// Streams (a flash read of up to 65,535 bytes, an endless stream, a capture)
// are generated one packet at a time when the runner takes them, never
// expanded in memory. Like the real firmware, the remote serves one request
// at a time: a new request ends the stream that is running.
//
// Flash is 16 MiB, kept sparse: a 4 KiB sector takes memory only once it is
// written or erased; an untouched sector reads as erased (0xFF), or, after
// FillFlashWithPattern, as generated content.
//
// Not thread-safe: the runner serialises every call.

#include "../hid/Types.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <deque>
#include <initializer_list>
#include <map>
#include <memory>
#include <optional>
#include <unordered_map>
#include <utility>
#include <vector>

// Faults, all off by default. "Packet N" counts the data packets of one
// stream from 0. Settable at any time; a stream takes them when it starts.
struct TSimFaults {
    // --- Any request ---
    bool Silent = false;                 // answer nothing at all
    int ReplyType = -1;                  // short commands: reply with this type
                                         // (header high nibble) instead
    int EchoOverride = -1;               // short commands: byte 1 of the reply
                                         // (register echo, acknowledged type)
    int LengthCode = -1;                 // short commands: this length code in
                                         // the reply header (11-15 are invalid)
    std::chrono::milliseconds ReplyDelay{0};  // answer this late
    std::chrono::milliseconds TrickleInterval{0};  // streams (flash read, capture,
                                         // what follows a stop request): one
                                         // packet this often, and a flash data
                                         // packet carries a single byte
    int VersionPayloadLength = -1;       // version reply: only this many payload
                                         // bytes (length code set to match)

    // --- Flash read stream ---
    int FlashSequenceErrorAt = -1;       // packet N carries a wrong counter
    int FlashWrongTypeAt = -1;           // packet N is of another type (PKT_VERSION)
    int FlashSilentFrom = -1;            // nothing from packet N on (no ACK either)
    int FlashAckShortBy = 0;             // ACK after this many bytes fewer than asked
    int FlashInvalidLengthAt = -1;       // packet N has length code 11
    int FlashEmptyPacketAt = -1;         // packet N has length code 0 (no counter, no data)
    int FlashExtraBytes = 0;             // send this many bytes more than asked
    bool FlashEndless = false;           // keep sending data packets, never ACK
    int FlashFlipAt = -1;                // a flaky byte at this flash address: it
                                         // reads with one bit flipped, another
                                         // bit on each read...
    int FlashFlipReads = 1;              // ...in this many reads of it from the
                                         // next one on (-1: every read)
    // --- Flash write ---
    bool FlashWriteNoAck = false;        // do not answer the closing ACK
    int FlashWriteAckEcho = -1;          // byte 1 of the closing reply (default 0x30)

    // --- Infrared capture stream ---
    int IrSequenceErrorAt = -1;          // packet N carries a wrong sequence byte
    int IrLengthByteAt = -1;             // packet N: last report byte := IrLengthByte
    int IrLengthByte = 0;
    int IrWrongTypeAt = -1;              // packet N is of another type (PKT_VERSION)
    bool IrSilentBeforeFirst = false;    // never send any capture packet
    int IrSilentFrom = -1;               // nothing from packet N on
    bool IrEndWithAck = false;           // end with PKT_ACK instead of the end marker
    int IrLateAfterStop = 0;             // packets still sent after the stop request
    bool IrEndlessAfterStop = false;     // keep streaming after the stop, never ACK
    bool IrNoStopAck = false;            // do not acknowledge the stop request

    // --- Removal ---
    int UnplugAtPacket = -1;             // unplug the device at data packet N of
                                         // the next flash read, flash write or capture
};

class TRemoteFirmware {
public:
    using TClock = std::chrono::steady_clock;
    using TTime = TClock::time_point;

    static constexpr std::uint32_t FlashSize = 0x1000000;
    static constexpr std::uint32_t SectorSize = 0x1000;

    // One thing for the runner to do.
    struct TOutput {
        bool Unplug = false;   // leave the bus now (a fault), instead of sending
        TByteArray Packet;     // otherwise: one input payload, InputLength bytes
    };

    // inputLength: payload bytes of one input report (the report length
    // without its report-ID byte), at least 8. The clock starts at
    // 1 January 2000, 00:00:00 (a Saturday) at `now`.
    explicit TRemoteFirmware(int inputLength = 64, TTime now = TClock::now());
    ~TRemoteFirmware();

    TRemoteFirmware(const TRemoteFirmware&) = delete;
    TRemoteFirmware& operator=(const TRemoteFirmware&) = delete;

    int InputLength() const { return FInputLength; }

    // --- Transport ---
    // One output payload from the host (without report ID), received at now.
    void Receive(const TByteArray& packet, TTime now);
    // When the next output is due; nothing when the remote has nothing to say.
    // (It may generate the next packet of a stream to find out.)
    std::optional<TTime> NextDue();
    // Takes the next output if it is due at now.
    bool Take(TOutput& output, TTime now);
    // An unplug is among the outputs waiting to be taken.
    bool UnplugPending() const;
    // The device left the bus: whatever was in flight is dropped (replies,
    // streams, an open flash write). Flash, registers and clock are kept.
    void Disconnect();

    // --- Version ---
    // Payload bytes 1 to 14 (and more) of the version reply; 15 bytes by
    // default, every field nonzero, architecture 12 and protocol 12.
    void SetVersionPayload(const TByteArray& payload);
    const TByteArray& VersionPayload() const { return FVersion; }
    void SetArchitecture(int architecture);
    void SetProtocol(int protocol);
    int Architecture() const;

    // --- Registers ---
    // Type 1 is the clock (its layout follows the architecture), type 12
    // index 0 the hardware flag, index 1 the battery in millivolts; any other
    // register holds what was last written to it (0 before).
    std::uint16_t Register(std::uint8_t miscType, std::uint16_t index, TTime now) const;
    void SetRegister(std::uint8_t miscType, std::uint16_t index, std::uint16_t value, TTime now);
    // year in full, month 1-12, day 1-31, dayOfWeek 1 (Sunday) to 7.
    void SetClock(int year, int month, int day, int dayOfWeek, int hours, int minutes,
                  int seconds, TTime now);
    int ResetCount() const { return FResetCount; }
    std::uint8_t LastResetType() const { return FLastResetType; }

    // --- Flash ---
    // Addresses wrap at 24 bits.
    TByteArray ReadFlash(std::uint32_t address, std::uint32_t size) const;
    void SetFlash(std::uint32_t address, const TByteArray& bytes);   // sets, no AND
    void ProgramFlash(std::uint32_t address, const std::uint8_t* data, std::uint32_t size);  // AND
    void EraseSector(std::uint32_t address);
    // Every untouched sector reads as generated content from now on.
    void FillFlashWithPattern();
    // The whole flash from an image of FlashSize bytes (false, nothing
    // changed, for any other size). Erased sectors (all 0xFF) take no memory.
    bool LoadFlash(const TByteArray& image);
    // How long an erase request takes: its ACK is due this long after the
    // request (plus any reply-delay fault), and what the host sends meanwhile
    // waits behind it. None by default.
    void SetEraseTime(std::chrono::milliseconds time) { FEraseTime = time; }
    std::chrono::milliseconds EraseTime() const { return FEraseTime; }
    // Sectors that hold memory of their own.
    std::size_t AllocatedSectors() const;

    // --- Infrared ---
    // An odd stream is padded with one 0x00 byte.
    void SetIrCapture(const TByteArray& stream, std::chrono::milliseconds startDelay);
    // Data bytes per capture packet, made even and kept within 2 and
    // InputLength - 3.
    void SetIrChunk(int bytesPerPacket);
    int IrChunk() const { return FIrChunk; }
    // A recognisable signal of 2-byte items: a pulse-distance frame per
    // command byte given, about 134 bytes each.
    static TByteArray MakeIrSignal(const std::vector<std::uint8_t>& commands);

    // --- Behaviour ---
    void SetFaults(const TSimFaults& faults) { FFaults = faults; }
    const TSimFaults& Faults() const { return FFaults; }
    void ScriptReplies(std::vector<TByteArray> replies);

private:
    class TStream;  // a lazily generated answer (flash read, capture)
    struct TPending {
        TTime Due;
        TOutput Output;
    };
    struct TClockState {
        // The time as last set, counted like the registers: day and month
        // from 0, day of week 1-7, year after 2000.
        int Seconds = 0, Minutes = 0, Hours = 0, Day = 0, DayOfWeek = 7, Month = 0, Year = 0;
        TTime Base;   // when it was set
    };
    struct TFlashWrite {
        bool Active = false;
        std::uint32_t Address = 0;
        std::uint32_t Remaining = 0;
        int PacketIndex = 0;
        int UnplugAt = -1;
    };
    struct TCaptureSetup;
    class TFlashReadStream;
    class TCaptureStream;

    void EndStream();
    void Queue(TTime due, TByteArray packet);
    void QueueUnplug(TTime now);
    TByteArray NewPacket() const { return TByteArray(FInputLength, 0); }
    TByteArray ShortReply(std::uint8_t header, std::initializer_list<std::uint8_t> payload) const;
    void ApplyShortFaults(TByteArray& reply) const;
    void SendShort(TByteArray reply, TTime now);
    TByteArray VersionReply() const;
    bool ExpectsReply(const TByteArray& packet) const;
    void Handle(const TByteArray& packet, TTime now, bool answer);
    // The requests of each subsystem, passed on by Handle (each in its own
    // file: RemoteFirmwareRegisters.cpp, ...Flash.cpp, ...Infrared.cpp).
    void HandleRegisters(const TByteArray& packet, TTime now, bool answer);
    void HandleFlash(const TByteArray& packet, TTime now, bool answer);
    void HandleInfrared(const TByteArray& packet, TTime now, bool answer);
    void FlashData(const TByteArray& packet, TTime now);

    TClockState ClockNow(TTime now) const;
    bool IsClockIndex(std::uint16_t index) const;

    const std::uint8_t* SectorData(std::uint32_t sector) const;
    std::uint8_t* WritableSector(std::uint32_t sector);
    void CopyFlash(std::uint32_t address, std::uint32_t size, std::uint8_t* out) const;

    int FInputLength;
    TSimFaults FFaults;
    std::deque<TByteArray> FScript;

    // Output: single replies in order, then at most one stream after them.
    std::deque<TPending> FPending;
    std::unique_ptr<TStream> FStream;
    std::optional<TOutput> FStreamNext;  // its next output, once generated
    // The last capture, kept for the packets it still sends after a stop.
    std::shared_ptr<TCaptureSetup> FLastCapture;
    TFlashWrite FWrite;

    TByteArray FVersion;
    int FResetCount = 0;
    int FFlippedReads = 0;   // reads a flash-flip fault has changed so far
    std::uint8_t FLastResetType = 0;
    std::map<std::pair<std::uint8_t, std::uint16_t>, std::uint16_t> FRegisters;
    TClockState FClock;

    // Sector number -> contents; a null entry is an erased sector.
    std::unordered_map<std::uint32_t, std::unique_ptr<std::array<std::uint8_t, SectorSize>>> FSectors;
    bool FPattern = false;
    std::chrono::milliseconds FEraseTime{0};
    mutable std::array<std::uint8_t, SectorSize> FGenerated{};
    mutable std::int64_t FGeneratedSector = -1;

    TByteArray FIrStream;
    std::chrono::milliseconds FIrStartDelay{0};
    int FIrChunk = 0;
};

// The pace of a full-speed interrupt endpoint: at most one input report per
// 1 ms slot, on a fixed schedule so that a transport waking up late does not
// slow the average. A thread that wakes a few milliseconds late (some
// platforms round a 1 ms sleep up to several) sends the slots it missed at
// once; after a pause in the stream, or a stall longer than MaxCatchUp, the
// schedule starts again from then instead of catching up in a burst.
// Unpaced, reports go when the model has them due.
class TPacer {
public:
    using TTime = TRemoteFirmware::TTime;
    static constexpr std::chrono::milliseconds Slot{1};
    static constexpr std::chrono::milliseconds MaxCatchUp{20};

    explicit TPacer(bool paced = false) : FPaced(paced) {}

    bool Paced() const { return FPaced; }
    void SetPaced(bool paced) { FPaced = paced; }
    void Restart() { FNextSlot = {}; }

    // When a report that the model has due at `due` may go.
    TTime When(TTime due) const { return FPaced && due < FNextSlot ? FNextSlot : due; }

    // Books the slot of a report that the model had due at `due` and that was
    // sent at `now`.
    void Sent(TTime due, TTime now)
    {
        if (!FPaced)
            return;
        // The report's slot: the booked one, or its due time if the model
        // had nothing to send until then (a pause).
        TTime slot = std::max(due, FNextSlot);
        if (now - slot > MaxCatchUp)
            slot = now;
        FNextSlot = slot + Slot;
    }

private:
    bool FPaced;
    TTime FNextSlot{};
};

// The pace of the host's writes to a full-speed interrupt endpoint: a write
// returns once its report's 1 ms slot has come, as a real remote's write()
// returns when its interrupt transfer is done. The same fixed schedule as
// TPacer: a writer that wakes late from waiting for its slot does not slow
// the average, since its next writes take the slots it missed at once; a pause
// of the host's own (the time between one write's return and the next write)
// moves the schedule on by as much, and after a stall longer than MaxCatchUp
// the schedule starts again from then.
class TWritePacer {
public:
    using TTime = TRemoteFirmware::TTime;
    static constexpr std::chrono::milliseconds Slot = TPacer::Slot;
    static constexpr std::chrono::milliseconds MaxCatchUp = TPacer::MaxCatchUp;

    // Books the slot of a write asked for at `now`; the write may return at
    // the time given, not earlier.
    TTime Book(TTime now)
    {
        TTime slot = now;
        if (FStarted) {
            // The host's own time since the last write returned, put on the
            // schedule after that write's slot; never before the next slot.
            const TTime due = FLastSlot + std::max(now - FLastReturn, TTime::duration::zero());
            slot = std::max(due, FLastSlot + Slot);
            if (now - slot > MaxCatchUp)
                slot = now;
        }
        FStarted = true;
        FLastSlot = slot;
        FLastReturn = std::max(now, slot);
        return slot;
    }

    // The write whose slot was booked last returned at `now` (perhaps late).
    void Returned(TTime now) { FLastReturn = std::max(FLastReturn, now); }

    void Restart() { FStarted = false; }

private:
    bool FStarted = false;
    TTime FLastSlot{};
    TTime FLastReturn{};
};
