#pragma once
// The remote's packet protocol on top of the HID link.
//
// Every command and every reply is one packet, the payload of one HID report:
// byte 0 is the header (packet type in bits 7-4, length code in bits 3-0),
// bytes 1 to L the payload. Numbers of more than one byte go most significant
// byte first.
//
// All operations run on the GUI thread. Device trouble never raises: every
// operation returns a success flag and leaves its out arguments as they were
// on failure, except the two streamed reads (ReadFlash, IrCapture), which say
// below what they leave. A reply that breaks the packet rules (an invalid
// length code, an odd capture length) fails a consistency check, which raises
// ECorvaneAssertion.

#include "../hid/EventLoop.h"
#include "../hid/HidPlatform.h"
#include "../hid/Types.h"
#include "../hid/UsbHidInterface.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>

// Packet types: the header byte with length code 0.
// Version
inline constexpr std::uint8_t PKT_GET_VERSION = 0x10;
inline constexpr std::uint8_t PKT_VERSION = 0x20;
// Flash
inline constexpr std::uint8_t PKT_WRITE_FLASH = 0x30;
inline constexpr std::uint8_t PKT_FLASH_DATA_OUT = 0x40;
inline constexpr std::uint8_t PKT_READ_FLASH = 0x50;
inline constexpr std::uint8_t PKT_FLASH_DATA_IN = 0x60;
// Infrared
inline constexpr std::uint8_t PKT_IR_CAPTURE_START = 0x70;
inline constexpr std::uint8_t PKT_IR_CAPTURE_STOP = 0x80;
inline constexpr std::uint8_t PKT_IR_DATA = 0x90;
// Registers
inline constexpr std::uint8_t PKT_WRITE_MISC = 0xA0;
inline constexpr std::uint8_t PKT_READ_MISC = 0xB0;
inline constexpr std::uint8_t PKT_MISC_VALUE = 0xC0;
// Flash, erase
inline constexpr std::uint8_t PKT_ERASE_SECTOR = 0xD0;
// Reset and acknowledgement
inline constexpr std::uint8_t PKT_RESET = 0xE0;
inline constexpr std::uint8_t PKT_ACK = 0xF0;

// A failed consistency check on received data. Its text is
// "<message> (CorvaneInterface, line <n>)".
class ECorvaneAssertion : public std::runtime_error {
public:
    ECorvaneAssertion(const std::string& message, int line);
    const std::string& Message() const { return FMessage; }
    int Line() const { return FLine; }

private:
    std::string FMessage;
    int FLine;
};

// Packet header operations; they use no connection state.
std::uint8_t GetPacketType(const TByteArray& packet);            // header & 0xF0
void SetPacketType(TByteArray& packet, std::uint8_t type);        // clears the length code
void SetPacketLength(TByteArray& packet, std::uint32_t length);   // ORs the code in
int GetPacketLength(const TByteArray& packet);                    // may raise ECorvaneAssertion

// The 22 fields of the version reply.
struct TDecodedVersion {
    std::uint8_t FirmwareMajor = 0;
    std::uint8_t FirmwareMinor = 0;
    std::uint8_t BoardRevision = 0;
    std::uint8_t MemoryDevice = 0;
    std::uint8_t MemoryManufacturer = 0;
    std::uint8_t Architecture = 0;
    std::uint8_t FirmwareType = 0;
    std::uint8_t Skin = 0;
    std::uint8_t Protocol = 0;
    std::uint8_t BootloaderMajor = 0;
    std::uint8_t BootloaderMinor = 0;
    std::uint8_t PicLibraryMajor = 0;
    std::uint8_t PicLibraryMinor = 0;
    std::uint8_t CpldMajor = 0;
    std::uint8_t CpldMinor = 0;
    std::uint8_t SafeModeMajor = 0;
    std::uint8_t SafeModeMinor = 0;
    std::uint8_t NormalModeMajor = 0;
    std::uint8_t NormalModeMinor = 0;
    std::uint8_t ZwaveMajor = 0;
    std::uint8_t ZwaveMinor = 0;
    std::uint8_t ZwaveRevision = 0;

    bool operator==(const TDecodedVersion&) const = default;
};

class TCorvaneOne {
public:
    // Connects at once (Reconnect); its result is not kept. A consistency
    // error of that connection does not raise: it is kept in
    // ConstructionError. The platform and the loop must outlive the object.
    // With a devicePath every link it builds, on every reconnection, is
    // bound to that interface (see TUsbDevice); without one the first remote
    // found is used.
    TCorvaneOne(IHidPlatform& platform, IGuiEventLoop& loop, std::string devicePath = {});
    ~TCorvaneOne();

    TCorvaneOne(const TCorvaneOne&) = delete;
    TCorvaneOne& operator=(const TCorvaneOne&) = delete;

    // --- Connection ---------------------------------------------------------

    // Replaces the link by a new one, pauses 100 ms, sends a "USB" reset and
    // asks for the version. True when the version request succeeded. Never
    // calls OnStatusChange.
    bool Reconnect();

    // The link's OnChange: takes the link's Connected flag; on an arrival
    // pauses 100 ms and reconnects; then calls OnStatusChange.
    void DeviceChanged();

    // Asks for the version. On success Reply holds the version packet trimmed
    // to header plus payload, and Architecture and Protocol are updated. On
    // failure (also a reply with fewer than 7 payload bytes) both keep their
    // values.
    bool GetVersion(TByteArray& reply);

    // --- Version, reset and registers ----------------------------------------

    // Writes a reset request of the given type; no reply is read.
    bool Reset(std::uint8_t resetType);

    // GetVersion, decoded. Fails, leaving the record untouched, when the
    // request fails or the reply carries fewer than 14 payload bytes.
    bool GetDecodedVersion(TDecodedVersion& version);

    bool ReadMiscByte(std::uint8_t& value, std::uint8_t miscType, std::uint8_t index);
    bool ReadMiscWord(std::uint16_t& value, std::uint8_t miscType, std::uint16_t index);
    bool WriteMiscByte(std::uint8_t value, std::uint8_t miscType, std::uint8_t index);
    bool WriteMiscWord(std::uint16_t value, std::uint8_t miscType, std::uint16_t index);

    // --- Flash ---------------------------------------------------------------

    // Streams size bytes from the 24-bit address into data.
    // - Success with size bytes: the remote sent them all and acknowledged.
    // - Success with an empty array: the remote sent nothing at all after the
    //   request (the end of the flash, and also a remote removed before its
    //   first packet).
    // - Failure before the request was written (not connected, refused during
    //   a stream, write failed): data untouched.
    // - Failure after it: data has been resized to size and holds what had
    //   arrived (zeros after it). A wrong counter, a wrong packet type, a
    //   packet without data or with more than was asked for is a broken
    //   stream: the remote is reconnected before the call returns. So is a
    //   stream that runs past four times what a healthy remote needs for
    //   size bytes at one report per millisecond, plus a second. Silence in
    //   the middle of the data, a short acknowledged stream or Abort fail
    //   without reconnecting.
    bool ReadFlash(TByteArray& data, std::uint32_t address, std::uint16_t size);

    // Streams size bytes of data to the 24-bit address, dispatching the
    // window's pending messages before each data packet.
    bool WriteFlash(const TByteArray& data, std::uint32_t address, std::uint16_t size);

    bool EraseFlashSector(std::uint32_t address);

    // --- Infrared ------------------------------------------------------------

    // Lets the remote capture an infrared signal; on success data holds the
    // capture stream. Dispatches one round of window messages per read.
    // Failure before the start request was written leaves data untouched;
    // any later failure leaves it empty, except a failure after the capture
    // itself went well, which leaves what was captured: the stop request not
    // written or not acknowledged, more than 1000 late reports after it, or
    // a stop phase longer than those would take a healthy remote (four times
    // one report per millisecond, plus a second; the remote is then
    // reconnected). A reconnection by a handler dispatched inside (the
    // remote replugged) ends the capture at once with failure. A consistency
    // error in the capture sends the stop request before it raises.
    bool IrCapture(TByteArray& data);

    // Reads a capture waits for its first packet, each of ReadReport's tries
    // (Timing): how long the remote has to see a signal. About 12.5 s.
    static constexpr int CaptureFirstReads = 50;
    // The last capture failed because no packet at all came within that wait.
    bool CaptureHeardNothing() const { return FCaptureHeardNothing; }

    // --- State ---------------------------------------------------------------

    bool Connected() const { return FConnected; }
    // The interface the connection is bound to; empty when any remote will do.
    const std::string& BoundPath() const { return FBoundPath; }
    int Architecture() const { return FArchitecture; }
    int Protocol() const { return FProtocol; }

    // Bytes moved so far by a running flash write (remaining) or capture
    // (stored).
    int Progress = 0;

    // Asks a running flash transfer or capture to stop.
    bool Abort = false;

    // Called by DeviceChanged after the connection was re-evaluated.
    std::function<void()> OnStatusChange;

    // True while a flash write or a capture runs. Operations started from a
    // handler dispatched inside one are refused without I/O, so that no
    // packets interleave on the link.
    bool Busy() const { return FStreaming; }

    // The text of the ECorvaneAssertion that the connection at construction
    // raised, for whoever shows errors; empty when there was none.
    const std::string& ConstructionError() const { return FConstructionError; }

    // The current link (for the console's permission message and for tests).
    TUsbDevice* Device() const { return FDevice.get(); }

private:
    // A new zero-filled packet of one output report with its header and
    // payload; empty when the link has no output report.
    TByteArray NewPacket(std::uint8_t type, std::initializer_list<std::uint8_t> payload) const;
    TByteArray NewTransferRequest(std::uint8_t type, std::uint32_t address, std::uint16_t size) const;
    // Reads one input report into a packet sized to it.
    bool ReadReply(TByteArray& packet);
    // One request and its reply: write, pause, read, check the type and, when
    // echo is not negative, byte 1. Up to staleReports flash or infrared data
    // reports and acknowledgements (a stream's last report) read before the
    // reply are passed over.
    bool Exchange(TByteArray& packet, std::uint8_t replyType, int echo, int staleReports = 0);
    // The reset and the version request without the refusal during a stream:
    // a reconnection inside a stream still needs them.
    bool SendReset(std::uint8_t resetType);
    bool RequestVersion(TByteArray& reply, int staleReports = 0);
    // A reconnection after a broken stream may find that many of the
    // stream's reports still in flight (a kernel queue holds 64) after the
    // version request's write has flushed the unread input.
    static constexpr int MaxStaleReports = 128;
    bool ReceiveFlash(TByteArray& data, bool& reconnect);
    // Ends a capture on the remote: the stop request, then what the remote
    // still sends up to the stop's acknowledgement. True when it came (or
    // Abort cut the wait short).
    bool StopCapture();
    bool SendFlash(const TByteArray& data, std::uint16_t size, bool& reconnect);
    // Runs a flash transfer, then reconnects if it left the flag set: a
    // stream that broke off leaves the remote in the middle of it. The flag
    // starts as given; the transfer may change it.
    template <typename TTransfer>
    bool ReconnectIfBroken(bool reconnect, TTransfer transfer);
    void NotifyStatus();

    IHidPlatform& FPlatform;
    IGuiEventLoop& FLoop;
    const std::string FBoundPath;
    std::unique_ptr<TUsbDevice> FDevice;
    bool FConnected = false;
    int FArchitecture = -1;
    int FProtocol = -1;
    bool FStreaming = false;
    bool FCaptureHeardNothing = false;
    unsigned FLinkGeneration = 0;  // counts reconnections
    std::string FConstructionError;
};
