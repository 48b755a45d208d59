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

#include "RemoteFirmware.h"  // TRemoteFirmware, the transport-free model; TSimFaults
#include "SimHidBus.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <vector>

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
    // A simulated bus with the Demo remote plugged in: the platform of the
    // programs' --simulate. The bus keeps the remote alive.
    static std::unique_ptr<TSimHidBus> DemoBus();

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
    // the host would, in the layout of the current architecture: year in
    // full, month 1-12, day 1-31, dayOfWeek 1 (Sunday) to 7.
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
