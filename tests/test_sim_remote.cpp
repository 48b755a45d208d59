// The simulated remote itself: the packets its firmware model generates, read
// with the host's own decoding, and its pace on the simulated bus.

#include "CorvaneInterface.h"
#include "RemoteFirmware.h"
#include "SimDevices.h"
#include "SimRemote.h"
#include "SimSetup.h"
#include "TestEventLoop.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

namespace {

using namespace std::chrono_literals;
using TTime = TRemoteFirmware::TTime;

const TTime T0 = TRemoteFirmware::TClock::now();

// A request as the host sends it: zero-filled to a whole report.
TByteArray Request(std::initializer_list<std::uint8_t> bytes)
{
    TByteArray packet(bytes);
    packet.resize(64, 0);
    return packet;
}

// Everything the firmware has to send at `now`.
std::vector<TByteArray> Drain(TRemoteFirmware& firmware, TTime now = T0, std::size_t limit = 100000)
{
    std::vector<TByteArray> packets;
    TRemoteFirmware::TOutput output;
    while (packets.size() < limit && firmware.Take(output, now)) {
        EXPECT_FALSE(output.Unplug);
        packets.push_back(output.Packet);
    }
    return packets;
}

// The host's reading of a flash stream: the sequence rule on the counter
// byte, n - 1 data bytes from each packet, a PKT_ACK at the end.
struct TFlashRead {
    TByteArray Data;
    bool InSequence = true;
    bool Acknowledged = false;
    int LowNibbleFalls = 0;
    std::vector<std::uint8_t> Headers;
};

TFlashRead ReadAsHost(const std::vector<TByteArray>& packets)
{
    TFlashRead read;
    int expected = 0;
    int previousLow = 1;
    for (const TByteArray& packet : packets) {
        read.Headers.push_back(packet[0]);
        if (GetPacketType(packet) == PKT_ACK) {
            read.Acknowledged = true;
            break;
        }
        EXPECT_EQ(GetPacketType(packet), PKT_FLASH_DATA_IN);
        const int n = GetPacketLength(packet);
        const int high = packet[1] >> 4;
        const int low = packet[1] & 0x0F;
        if (low < previousLow) {
            expected = (expected + 1) & 0x0F;
            ++read.LowNibbleFalls;
        }
        read.InSequence = read.InSequence && high == expected;
        expected = (expected + 1) & 0x0F;
        previousLow = low;
        read.Data.insert(read.Data.end(), packet.begin() + 2, packet.begin() + 1 + n);
    }
    return read;
}

TByteArray ReadRequest(std::uint32_t address, std::uint16_t size)
{
    return Request({0x55, static_cast<std::uint8_t>(address >> 16), static_cast<std::uint8_t>(address >> 8),
                    static_cast<std::uint8_t>(address), static_cast<std::uint8_t>(size >> 8),
                    static_cast<std::uint8_t>(size)});
}

// --- Flash -------------------------------------------------------------------

TEST(RemoteFirmware, LongFlashReadFollowsTheHostsSequenceRule)
{
    TRemoteFirmware firmware;
    firmware.FillFlashWithPattern();
    // Across the end of the address space: the read wraps to address 0.
    firmware.Receive(ReadRequest(0xFF8000, 65535), T0);
    const TFlashRead read = ReadAsHost(Drain(firmware));

    EXPECT_TRUE(read.InSequence);
    EXPECT_GT(read.LowNibbleFalls, 100);  // the skip of the high nibble is exercised
    EXPECT_TRUE(read.Acknowledged);
    EXPECT_EQ(read.Data, firmware.ReadFlash(0xFF8000, 65535));
    EXPECT_EQ(firmware.AllocatedSectors(), 0u);  // generated, nothing stored
}

TEST(RemoteFirmware, TailPacketsCarryExactlyTheBytesAsked)
{
    // 100 bytes: payloads 63, 31, 7 and 3, then the ACK.
    {
        TRemoteFirmware firmware;
        firmware.Receive(ReadRequest(0, 100), T0);
        const TFlashRead read = ReadAsHost(Drain(firmware));
        EXPECT_EQ(read.Headers, (std::vector<std::uint8_t>{0x6A, 0x69, 0x67, 0x63, 0xF1}));
    }
    for (std::uint16_t size : {0, 1, 6, 7, 13, 14, 15, 16, 29, 30, 31, 32, 61, 62, 63, 64, 125, 1000, 32768}) {
        TRemoteFirmware firmware;
        firmware.SetFlash(0x1234, TByteArray(1000, 0x5A));
        firmware.Receive(ReadRequest(0x1234, size), T0);
        const TFlashRead read = ReadAsHost(Drain(firmware));
        EXPECT_TRUE(read.Acknowledged) << size;
        EXPECT_EQ(read.Data, firmware.ReadFlash(0x1234, size)) << size;
    }
}

TEST(RemoteFirmware, NewRequestEndsAFlashRead)
{
    TRemoteFirmware firmware;
    firmware.Receive(ReadRequest(0, 65535), T0);
    TRemoteFirmware::TOutput output;
    for (int i = 0; i < 3; ++i)
        ASSERT_TRUE(firmware.Take(output, T0));
    firmware.Receive(Request({0x10}), T0);
    const std::vector<TByteArray> rest = Drain(firmware);
    ASSERT_EQ(rest.size(), 1u);
    EXPECT_EQ(rest[0][0], 0x28);  // the version, and no more flash data
}

TEST(RemoteFirmware, WriteIsNorProgrammingAndEraseBlanksTheSector)
{
    TRemoteFirmware firmware;
    EXPECT_EQ(firmware.ReadFlash(0xABC000, 4), TByteArray(4, 0xFF));  // fresh: erased, and no memory taken
    EXPECT_EQ(firmware.AllocatedSectors(), 0u);

    // 40 bytes across a sector boundary, in one packet of capacity 63 that
    // the host fills up with 0xFF, as it sends them.
    auto write = [&](std::uint8_t value) {
        firmware.Receive(Request({0x35, 0x00, 0x0F, 0xF0, 0x00, 40}), T0);
        TByteArray data(64, 0xFF);
        data[0] = 0x4A;
        std::memset(data.data() + 1, value, 40);
        firmware.Receive(data, T0);
        firmware.Receive(Request({0xF1, 0x30}), T0);
        const std::vector<TByteArray> replies = Drain(firmware);
        ASSERT_EQ(replies.size(), 1u);
        EXPECT_EQ(replies[0][0], 0xF1);
        EXPECT_EQ(replies[0][1], 0x30);
    };
    write(0x3C);
    write(0x96);  // programming only clears bits: 0x3C & 0x96
    EXPECT_EQ(firmware.ReadFlash(0xFF0, 40), TByteArray(40, 0x14));
    EXPECT_EQ(firmware.ReadFlash(0x1018, 1), TByteArray(1, 0xFF));  // the fill was not written

    firmware.Receive(Request({0xD3, 0x00, 0x10, 0x00}), T0);
    const std::vector<TByteArray> replies = Drain(firmware);
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(replies[0][1], 0xD0);
    EXPECT_EQ(firmware.ReadFlash(0xFF0, 16), TByteArray(16, 0x14));
    EXPECT_EQ(firmware.ReadFlash(0x1000, 24), TByteArray(24, 0xFF));
}

TEST(RemoteFirmware, PatternNamesEveryRegion)
{
    TRemoteFirmware firmware;
    firmware.FillFlashWithPattern();
    const struct {
        std::uint32_t Start;
        const char* Banner;
    } regions[] = {
        {0xFE0000, "[bootloader 0xFE0000]"},   {0xFE1000, "[safe_mode 0xFE1000]"},
        {0xFF0000, "[cpld 0xFF0000]"},         {0xFFE000, "[pic_library 0xFFE000]"},
        {0xFFF400, "[guid 0xFFF400]"},         {0xFFF640, "[manufacturer_pid 0xFFF640]"},
        {0x002000, "[embedded_configuration 0x002000]"}, {0x3D0000, "[normal_app 0x3D0000]"},
        {0x040000, "[user_configuration 0x040000]"},     {0x001000, "[flash 0x001000]"},
    };
    for (const auto& region : regions) {
        const TByteArray bytes = firmware.ReadFlash(region.Start, static_cast<std::uint32_t>(std::strlen(region.Banner)));
        EXPECT_EQ(std::string(bytes.begin(), bytes.end()), region.Banner);
    }
}

// --- Infrared ----------------------------------------------------------------

TEST(RemoteFirmware, CaptureStreamCarriesItsLengthsInTheLastByte)
{
    TRemoteFirmware firmware;
    TByteArray signal;
    for (int i = 0; i < 13; ++i) {
        signal.push_back(0x01);
        signal.push_back(static_cast<std::uint8_t>(i));
    }
    firmware.SetIrCapture(signal, 0ms);
    firmware.SetIrChunk(10);
    firmware.Receive(Request({0x70}), T0);
    const std::vector<TByteArray> packets = Drain(firmware);

    // 10 + 10 + 6 data bytes, then the end marker in a packet of its own.
    ASSERT_EQ(packets.size(), 4u);
    TByteArray stream;
    const std::uint8_t lengths[] = {12, 12, 8, 4};
    for (std::size_t i = 0; i < packets.size(); ++i) {
        EXPECT_EQ(packets[i][0], 0x90);
        EXPECT_EQ(packets[i][1], 0x10 * i);
        EXPECT_EQ(packets[i][63], lengths[i]);
        stream.insert(stream.end(), packets[i].begin() + 2, packets[i].begin() + packets[i][63]);
    }
    signal.push_back(0x80);
    signal.push_back(0x00);
    EXPECT_EQ(stream, signal);

    // The stop: two late packets, their sequence going on, then PKT_ACK.
    TSimFaults faults;
    faults.IrLateAfterStop = 2;
    firmware.SetFaults(faults);
    firmware.Receive(Request({0x80}), T0);
    const std::vector<TByteArray> late = Drain(firmware);
    ASSERT_EQ(late.size(), 3u);
    EXPECT_EQ(late[0][1], 0x40);
    EXPECT_EQ(late[1][1], 0x50);
    EXPECT_EQ(late[2][0], 0xF1);
    EXPECT_EQ(late[2][1], 0x80);
}

TEST(RemoteFirmware, CaptureSequenceWrapsAndStartWaitsForItsDelay)
{
    TRemoteFirmware firmware;
    firmware.SetIrCapture(TByteArray(34, 0x11), 500ms);
    firmware.SetIrChunk(2);
    firmware.Receive(Request({0x70}), T0);
    EXPECT_TRUE(Drain(firmware, T0 + 499ms).empty());
    const std::vector<TByteArray> packets = Drain(firmware, T0 + 500ms);
    ASSERT_EQ(packets.size(), 18u);  // 17 data packets and the end marker
    EXPECT_EQ(packets[15][1], 0xF0);
    EXPECT_EQ(packets[16][1], 0x00);
    EXPECT_EQ(packets[17][1], 0x10);
    EXPECT_EQ(packets[17][2], 0x80);
}

// --- Version and registers -------------------------------------------------------

TEST(RemoteFirmware, VersionPayloadLengthIsDeclaredByItsCode)
{
    TRemoteFirmware firmware;
    const struct {
        int Length;
        std::uint8_t Header;
    } cases[] = {{-1, 0x28}, {7, 0x27}, {0, 0x20}, {10, 0x28}, {20, 0x29}};
    for (const auto& c : cases) {
        TSimFaults faults;
        faults.VersionPayloadLength = c.Length;
        firmware.SetFaults(faults);
        firmware.Receive(Request({0x10}), T0);
        const std::vector<TByteArray> replies = Drain(firmware);
        ASSERT_EQ(replies.size(), 1u);
        EXPECT_EQ(replies[0][0], c.Header) << c.Length;
        if (c.Length == 10) {
            EXPECT_EQ(replies[0][11], 0x00);  // declared 15, but only 10 carried
        }
    }
    const TByteArray& version = firmware.VersionPayload();
    EXPECT_EQ(version[4] >> 4, 12);
    EXPECT_EQ(version[6], 12);
}

TEST(RemoteFirmware, ClockLayoutFollowsTheArchitecture)
{
    TRemoteFirmware firmware;
    auto clock = [&](TTime now, int count) {
        std::vector<int> values;
        for (int i = 0; i < count; ++i)
            values.push_back(firmware.Register(1, static_cast<std::uint16_t>(i), now));
        return values;
    };
    // Sunday 5 January 2025, 09:08:07.
    firmware.SetClock(2025, 1, 5, 1, 9, 8, 7, T0);
    EXPECT_EQ(clock(T0, 7), (std::vector<int>{7, 8, 9, 4, 1, 0, 25}));
    firmware.SetArchitecture(7);
    EXPECT_EQ(clock(T0, 6), (std::vector<int>{7, 8, 9, 4, 0, 25}));
    firmware.SetArchitecture(12);

    // It runs: Wednesday 31 December 2025, 23:59:59, two seconds on.
    firmware.SetClock(2025, 12, 31, 4, 23, 59, 59, T0);
    EXPECT_EQ(clock(T0 + 2s, 7), (std::vector<int>{1, 0, 0, 0, 5, 0, 26}));

    // The host's word write of one field re-bases the clock; a word read
    // gives it back.
    firmware.Receive(Request({0xA5, 0x01, 0x00, 0x05, 0x00, 0x0B}), T0 + 2s);
    firmware.Receive(Request({0xB3, 0x01, 0x00, 0x05}), T0 + 3s);
    const std::vector<TByteArray> replies = Drain(firmware, T0 + 3s);
    ASSERT_EQ(replies.size(), 2u);
    EXPECT_EQ(TByteArray(replies[0].begin(), replies[0].begin() + 2), (TByteArray{0xF1, 0xA0}));
    EXPECT_EQ(TByteArray(replies[1].begin(), replies[1].begin() + 4), (TByteArray{0xC3, 0x01, 0x00, 0x0B}));
    EXPECT_EQ(clock(T0 + 3s, 7), (std::vector<int>{2, 0, 0, 0, 5, 11, 26}));
}

TEST(RemoteFirmware, ScriptedRepliesAnswerRequestsThatExpectOne)
{
    TRemoteFirmware firmware;
    firmware.ScriptReplies({{0xC2, 0x06, 0x5A}, {}});
    firmware.Receive(Request({0xE1, 0x01}), T0);        // a reset takes no entry
    firmware.Receive(Request({0xB2, 0x06, 0x41}), T0);  // first entry
    firmware.Receive(Request({0x10}), T0);              // empty entry: silence
    firmware.Receive(Request({0x10}), T0);              // the firmware again
    const std::vector<TByteArray> replies = Drain(firmware);
    ASSERT_EQ(replies.size(), 2u);
    EXPECT_EQ(replies[0], Request({0xC2, 0x06, 0x5A}));
    EXPECT_EQ(replies[1][0], 0x28);
    EXPECT_EQ(firmware.ResetCount(), 1);
}

// A paced stream of reports all due at once, sent by a thread that wakes
// every `wake` (some platforms stretch a 1 ms sleep to 3 ms or more), with
// one stall of `stall` after the tenth report. Returns when each report went.
std::vector<TTime> PacedSends(std::chrono::milliseconds wake, std::chrono::milliseconds stall, int count)
{
    TPacer pacer(true);
    std::vector<TTime> sent;
    TTime now = T0;
    while (static_cast<int>(sent.size()) < count) {
        while (static_cast<int>(sent.size()) < count && pacer.When(T0) <= now) {
            pacer.Sent(T0, now);
            sent.push_back(now);
        }
        now += sent.size() == 10 && stall.count() > 0 ? std::exchange(stall, 0ms) : wake;
    }
    return sent;
}

TEST(Pacer, LateWakesKeepTheAverageAndStallsDoNotBurst)
{
    struct TCase {
        std::chrono::milliseconds Wake, Stall;
        std::chrono::milliseconds Span;  // from the first report to the 1000th
        int LargestBurst;
    };
    for (const TCase c : {TCase{1ms, 0ms, 999ms, 1}, TCase{3ms, 0ms, 999ms, 3}, TCase{7ms, 0ms, 1001ms, 7},
                          TCase{1ms, 15ms, 999ms, 15}, TCase{1ms, 500ms, 1498ms, 1}}) {
        SCOPED_TRACE(testing::Message() << "wake " << c.Wake.count() << " ms, stall " << c.Stall.count() << " ms");
        const std::vector<TTime> sent = PacedSends(c.Wake, c.Stall, 1000);
        EXPECT_EQ(sent.back() - sent.front(), c.Span);
        int burst = 0, largest = 0;
        for (std::size_t i = 0; i < sent.size(); ++i) {
            burst = i > 0 && sent[i] == sent[i - 1] ? burst + 1 : 1;
            largest = std::max(largest, burst);
        }
        EXPECT_EQ(largest, c.LargestBurst);
    }

    // After a pause the stream starts from the report's due time, not with
    // the slots the pause left unused.
    TPacer pacer(true);
    pacer.Sent(T0, T0);
    EXPECT_EQ(pacer.When(T0 + 100ms), T0 + 100ms);
    pacer.Sent(T0 + 100ms, T0 + 100ms);
    EXPECT_EQ(pacer.When(T0 + 100ms), T0 + 101ms);
}

TEST(RemoteFirmware, EraseAckWaitsForTheEraseAndWhatFollowsWaitsBehindIt)
{
    struct TCase {
        std::optional<std::chrono::milliseconds> Given;
        bool Paced;
        std::chrono::milliseconds Erase;
    };
    for (const TCase c : {TCase{std::nullopt, true, DefaultEraseTime}, TCase{std::nullopt, false, 0ms},
                          TCase{10ms, true, 10ms}, TCase{0ms, true, 0ms}}) {
        SCOPED_TRACE(testing::Message() << "paced " << c.Paced << ", erase " << c.Erase.count() << " ms");
        TRemoteFirmware firmware(64, T0);
        TSimSetup setup;
        setup.EraseTime = c.Given;
        ApplySimSetup(firmware, setup, c.Paced, T0);
        firmware.Receive(Request({0xD3, 0x00, 0x10, 0x00}), T0);
        firmware.Receive(Request({0x10}), T0 + 1ms);  // a version request during the erase
        EXPECT_EQ(firmware.NextDue(), T0 + c.Erase);
        if (c.Erase > 0ms) {
            EXPECT_TRUE(Drain(firmware, T0 + c.Erase - 1ms).empty());
        }
        const std::vector<TByteArray> replies = Drain(firmware, T0 + c.Erase + 1ms);
        ASSERT_EQ(replies.size(), 2u);
        EXPECT_EQ(replies[0][1], 0xD0);  // the erase's ACK first
        EXPECT_EQ(GetPacketType(replies[1]), PKT_VERSION);
    }
}

TEST(WritePacer, OneSlotPerWriteLateWakesCatchUpPausesMoveTheSchedule)
{
    // Each write: when the host asks (ms after T0), when its wait ends (the
    // thread may wake late; -1: on time), and the slot it must get.
    struct TWrite {
        int Ask, Woke, Slot;
    };
    const TWrite writes[] = {
        {0, -1, 0},      // the first write goes at once
        {0, -1, 1},      // the next one waits for its slot
        {1, 5, 2},       // ... and wakes 3 ms late
        {5, -1, 3},      // the slots it missed go at once,
        {5, -1, 4},
        {5, -1, 5},      // up to the schedule,
        {5, -1, 6},      // then one per millisecond again
        {16, -1, 16},    // the host's own pause of 10 ms moves the schedule on
        {16, -1, 17},
        {17, 60, 18},    // a wake 42 ms late:
        {60, -1, 60},    // more than MaxCatchUp behind, the schedule starts again
        {60, -1, 61},
    };
    TWritePacer pacer;
    for (std::size_t i = 0; i < std::size(writes); ++i) {
        const TWrite& w = writes[i];
        SCOPED_TRACE(testing::Message() << "write " << i);
        const TTime slot = pacer.Book(T0 + std::chrono::milliseconds(w.Ask));
        EXPECT_EQ(slot, T0 + std::chrono::milliseconds(w.Slot));
        const TTime asked = T0 + std::chrono::milliseconds(w.Ask);
        pacer.Returned(w.Woke >= 0 ? T0 + std::chrono::milliseconds(w.Woke) : std::max(slot, asked));
    }
}

TEST(FlashFile, OnlyAWhole16MiBImageLoadsAndASaveLeavesNoPartialFile)
{
    const std::filesystem::path dir =
        std::filesystem::temp_directory_path() /
        ("corvane-flash-file-" + std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()));
    std::filesystem::create_directories(dir);
    const std::string path = (dir / "flash.bin").string();
    std::string error;

    // Missing: the flash stays as it was; saved: the file holds it all.
    TRemoteFirmware source;
    source.FillFlashWithPattern();
    source.SetFlash(0xFFFFF0, TByteArray(16, 0x5A));
    EXPECT_TRUE(LoadFlashFile(source, path, error)) << error;
    TRemoteFirmware pattern;
    pattern.FillFlashWithPattern();
    EXPECT_EQ(source.ReadFlash(0x3D0000, 8), pattern.ReadFlash(0x3D0000, 8));
    ASSERT_TRUE(SaveFlashFile(source, path, error)) << error;
    EXPECT_FALSE(std::filesystem::exists(path + ".partial"));
    EXPECT_EQ(std::filesystem::file_size(path), TRemoteFirmware::FlashSize);

    TRemoteFirmware loaded;
    ASSERT_TRUE(LoadFlashFile(loaded, path, error)) << error;
    EXPECT_EQ(loaded.ReadFlash(0, TRemoteFirmware::FlashSize), source.ReadFlash(0, TRemoteFirmware::FlashSize));

    // A file one byte short or long, or empty, is refused; the flash is untouched.
    for (const std::uintmax_t size : {TRemoteFirmware::FlashSize - 1, TRemoteFirmware::FlashSize + 1, 0u}) {
        SCOPED_TRACE(size);
        std::filesystem::resize_file(path, size);
        TRemoteFirmware target;
        target.SetFlash(0, TByteArray{0x12});
        error.clear();
        EXPECT_FALSE(LoadFlashFile(target, path, error));
        EXPECT_NE(error.find("exactly 16777216 bytes"), std::string::npos) << error;
        EXPECT_EQ(target.ReadFlash(0, 2), (TByteArray{0x12, 0xFF}));
    }
    std::filesystem::remove_all(dir);
}

// --- On the bus ----------------------------------------------------------------

struct TBusFixture : ::testing::Test {
    TSimHidBus Bus;
    std::shared_ptr<TSimRemote> Remote = std::make_shared<TSimRemote>();
    std::unique_ptr<IHidHandle> Handle;

    void SetUp() override
    {
        std::error_code error;
        Handle = Bus.Open(Bus.Plug(Remote), error);
        ASSERT_TRUE(Handle);
    }

    void Write(const TByteArray& packet)
    {
        TByteArray report{0x00};
        report.insert(report.end(), packet.begin(), packet.end());
        ASSERT_EQ(Handle->Write(report.data(), report.size()), 65);
    }

    // Reads reports until PKT_ACK, a pause or an error; returns the data
    // packets and ACKs read, and the time from the first to the last.
    std::vector<TByteArray> ReadStream(std::chrono::duration<double, std::milli>& span,
                                       THidReadStatus& end)
    {
        std::vector<TByteArray> packets;
        TByteArray report(65);
        std::chrono::steady_clock::time_point first{};
        while ((end = Handle->Read(report.data(), report.size(), 200ms)) == THidReadStatus::Ok) {
            if (packets.empty())
                first = std::chrono::steady_clock::now();
            packets.emplace_back(report.begin() + 1, report.end());
            if (GetPacketType(packets.back()) == PKT_ACK)
                break;
        }
        span = std::chrono::steady_clock::now() - first;
        return packets;
    }
};

TEST_F(TBusFixture, PacedStreamRunsAtOneReportPerMillisecond)
{
    Remote->SetPaced(true);
    Write(ReadRequest(0, 32768));
    std::chrono::duration<double, std::milli> span{};
    THidReadStatus end{};
    const std::vector<TByteArray> packets = ReadStream(span, end);
    const TFlashRead read = ReadAsHost(packets);
    EXPECT_TRUE(read.InSequence);
    EXPECT_TRUE(read.Acknowledged);
    EXPECT_EQ(read.Data.size(), 32768u);
    std::printf("paced: %zu reports in %.1f ms, %.3f reports/ms\n", packets.size(), span.count(),
                (packets.size() - 1) / span.count());
    EXPECT_TRUE(Remote->WaitIdle());
    EXPECT_EQ(Remote->Received().size(), 1u);
}

TEST_F(TBusFixture, UnplugsItselfAtTheGivenPacket)
{
    TSimFaults faults;
    faults.UnplugAtPacket = 3;
    Remote->SetFaults(faults);
    Write(ReadRequest(0, 1000));
    std::chrono::duration<double, std::milli> span{};
    THidReadStatus end{};
    EXPECT_LE(ReadStream(span, end).size(), 3u);  // an unplug drops what was unread
    EXPECT_EQ(end, THidReadStatus::Error);
    EXPECT_FALSE(Remote->Plugged());
    EXPECT_EQ(Remote->Faults().UnplugAtPacket, -1);  // spent
}

// A device that unplugs itself from another thread while the bus is being
// destroyed: the device's unplug is held inside the bus (in OnUnplugged)
// until the bus object is gone, then goes on to report the removal. The call
// must finish on state that is still alive, and its removal still reaches the
// watch, which outlives the bus here.
class THeldUnplugDevice : public TRecordingDevice {
public:
    void OnUnplugged() override
    {
        std::unique_lock lock(FMutex);
        FEntered = true;
        FChanged.notify_all();
        FChanged.wait(lock, [this] { return FReleased; });
    }

    void WaitEntered()
    {
        std::unique_lock lock(FMutex);
        FChanged.wait(lock, [this] { return FEntered; });
    }

    void Release()
    {
        std::lock_guard lock(FMutex);
        FReleased = true;
        FChanged.notify_all();
    }

private:
    std::mutex FMutex;
    std::condition_variable FChanged;
    bool FEntered = false;
    bool FReleased = false;
};

TEST(SimHidBus, DeviceUnplugsItselfWhileTheBusIsDestroyed)
{
    TTestEventLoop loop;
    auto bus = std::make_unique<TSimHidBus>();
    int removals = 0;
    auto watch = bus->Watch(loop, [&](const THotplugEvent& event) {
        removals += event.Kind == THotplugKind::Removal;
    });
    auto device = std::make_shared<THeldUnplugDevice>();
    bus->Plug(device);

    std::thread unplugging([&] { device->UnplugSelf(); });
    device->WaitEntered();
    bus.reset();
    device->Release();
    unplugging.join();

    EXPECT_FALSE(device->Plugged());
    EXPECT_TRUE(loop.RunUntil([&] { return removals == 1; }));
    device->UnplugSelf();  // no bus any more: nothing happens
}

// The simulated remote's own firmware thread unplugging it (the fault at a
// given packet) while the bus goes: many rounds, each with the bus destroyed
// as the firmware reaches its unplug.
TEST(SimHidBus, FirmwareUnplugRacesTheBusDestruction)
{
    for (int round = 0; round < 200; ++round) {
        auto remote = std::make_shared<TSimRemote>();
        TSimFaults faults;
        faults.UnplugAtPacket = 1;
        remote->SetFaults(faults);
        auto bus = std::make_unique<TSimHidBus>();
        std::error_code error;
        auto handle = bus->Open(bus->Plug(remote), error);
        ASSERT_TRUE(handle);
        TByteArray report{0x00};
        const TByteArray request = ReadRequest(0, 1000);
        report.insert(report.end(), request.begin(), request.end());
        ASSERT_EQ(handle->Write(report.data(), report.size()), 65);
        handle.reset();
        bus.reset();
        remote.reset();  // joins the firmware thread, or it finishes on its own
    }
}

}  // namespace

