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
//
// Paced, it keeps the real remote's time: one input report per millisecond,
// the host's writes returning one per millisecond, and (in the Demo remote) a
// sector erase taking DefaultEraseTime before its ACK. Unpaced, it answers as
// fast as it can, for tests.

#include "RemoteFirmware.h"  // TRemoteFirmware, the transport-free model; TSimFaults
#include "SimHidBus.h"
#include "SimSetup.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class TSimRemote : public TSimHidDevice {
public:
    struct TOptions {
        std::uint16_t VendorId = 0x1209;
        std::uint16_t ProductId = 0x0001;
        int InputReportLength = 65;   // report ID + 64 payload bytes
        int OutputReportLength = 65;
        bool Paced = false;           // one input report per millisecond, and the
                                      // host's writes one per millisecond, like a
                                      // full-speed interrupt endpoint
    };

    TSimRemote();
    explicit TSimRemote(const TOptions& options);
    ~TSimRemote() override;  // stops the firmware thread

    // The remote of `corvane-console --simulate`, paced, with the setup's
    // faults, battery and erase time (not its flash file: see TSimDemo).
    static std::shared_ptr<TSimRemote> Demo(const TSimSetup& setup = {});

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
    // Input reports and the host's writes, one per millisecond each.
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

    // Runs fn on the model with the firmware thread held off; `now` is the
    // clock that thread uses.
    void WithFirmware(const std::function<void(TRemoteFirmware& firmware, TRemoteFirmware::TTime now)>& fn);

    // TSimHidDevice
    void OnOutputReport(const TByteArray& report) override;
    void OnUnplugged() override;

private:
    struct TImpl;
    std::unique_ptr<TImpl> FImpl;
};

// The simulated remote of the programs' --simulate: a bus with the Demo remote
// plugged in, set up from the command line, and its flash kept in the flash
// file when there is one.
class TSimDemo {
public:
    // Null, with the reason, when the flash file cannot be used (it cannot
    // be read, or is not 16 MiB).
    static std::unique_ptr<TSimDemo> Create(const TSimSetup& setup, std::string& error);

    TSimHidBus& Bus() { return *FBus; }
    TSimRemote& Remote() { return *FRemote; }
    const std::string& FlashFile() const { return FFlashFile; }

    // Writes the flash to the flash file (true when there is none).
    bool Save(std::string& error);

private:
    TSimDemo() = default;
    std::unique_ptr<TSimHidBus> FBus;
    std::shared_ptr<TSimRemote> FRemote;
    std::string FFlashFile;
};
