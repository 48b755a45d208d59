#pragma once
// The simulated remote: a model of the remote's firmware on the simulated HID
// bus. It answers the protocol's packets (version, reset, registers, flash,
// infrared capture) from its own thread, like the real remote answers from
// the other end of the USB cable, and can be told to misbehave, one knob per
// fault.
//
// It starts healthy: architecture 12, protocol 12, a blank 16 MiB flash, a
// short infrared signal. TSimRemote::Demo() gives the remote that
// `corvane-console --simulate` shows: recognisable flash content, a running
// clock, a battery that is neither full nor empty.

#include "SimHidBus.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <vector>

class TRemoteFirmware;  // the transport-free model, shared with corvane-sim

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

class TSimRemote : public TSimHidDevice {
public:
    struct TOptions {
        std::uint16_t VendorId = 0x1209;
        std::uint16_t ProductId = 0x0001;
        int InputReportLength = 65;   // report ID + 64 payload bytes
        int OutputReportLength = 65;
        bool Paced = false;           // one input report per millisecond, like a
                                      // full-speed interrupt endpoint
    };

    TSimRemote();
    explicit TSimRemote(const TOptions& options);
    ~TSimRemote() override;  // stops the firmware thread

    // The remote of `corvane-console --simulate`.
    static std::shared_ptr<TSimRemote> Demo();

    // --- Version ---
    // Payload bytes 1 to 14 (and more, if given) of the version reply.
    void SetVersionPayload(const TByteArray& payload);
    TByteArray VersionPayload() const;
    void SetArchitecture(int architecture);   // bits 7-4 of payload byte 5
    void SetProtocol(int protocol);           // payload byte 7

    // --- Registers ---
    std::uint16_t Register(std::uint8_t miscType, std::uint16_t index) const;
    void SetRegister(std::uint8_t miscType, std::uint16_t index, std::uint16_t value);
    // The clock (type 1) runs from the moment it was last set; this sets it as
    // the host would, in the layout of the current architecture.
    void SetClock(int year, int month, int day, int dayOfWeek, int hours, int minutes, int seconds);
    int ResetCount() const;                   // reset requests received
    std::uint8_t LastResetType() const;

    // --- Flash (16 MiB, 24-bit addresses, erased bytes 0xFF, 4 KiB sectors) ---
    static constexpr std::uint32_t FlashSize = 0x1000000;
    static constexpr std::uint32_t SectorSize = 0x1000;
    TByteArray Flash(std::uint32_t address, std::uint32_t size) const;
    void SetFlash(std::uint32_t address, const TByteArray& bytes);
    void FillFlashWithPattern();               // recognisable content everywhere

    // --- Infrared ---
    // The capture stream (2-byte items) sent after a start request, after the
    // given delay; the end marker 0x80 0x00 is appended unless IrEndWithAck.
    void SetIrCapture(const TByteArray& stream, std::chrono::milliseconds startDelay);
    // Data bytes per IR packet (even, 2 to InputReportLength - 4).
    void SetIrChunk(int bytesPerPacket);

    // --- Behaviour ---
    void SetPaced(bool paced);
    void SetFaults(const TSimFaults& faults);
    TSimFaults Faults() const;

    // Replaces the firmware's answer to the next requests by these raw input
    // payloads, one request each (padded with zeros to a whole report). An
    // empty entry means: no answer to that request. Requests that expect no
    // reply (reset, flash data) consume no entry.
    void ScriptReplies(std::vector<TByteArray> replies);

    // Every output payload received so far (without the report ID).
    std::vector<TByteArray> Received() const;
    void ClearReceived();

    // Waits until the firmware has nothing left to send (tests).
    bool WaitIdle(std::chrono::milliseconds limit = std::chrono::seconds(5));

    // TSimHidDevice
    void OnOutputReport(const TByteArray& report) override;
    void OnUnplugged() override;

private:
    struct TImpl;
    std::unique_ptr<TImpl> FImpl;
};
