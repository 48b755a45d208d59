// Flash transfers on the wire: the read stream with its counter bytes, the
// write stream with its fill, the sector erase, and what each does when the
// remote misbehaves, goes away or is asked for something else mid-transfer.

#include "ConnectedFixture.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <mutex>
#include <string>
#include <string_view>

namespace {

using namespace std::chrono_literals;

std::string Hex2(std::uint8_t byte)
{
    char text[3];
    std::snprintf(text, sizeof text, "%02X", byte);
    return text;
}

// The 100 bytes that the stream tests move, and the wire images that carry
// them.
const TByteArray Data100 = Hex(
    "00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F "
    "10 11 12 13 14 15 16 17 18 19 1A 1B 1C 1D 1E 1F "
    "20 21 22 23 24 25 26 27 28 29 2A 2B 2C 2D 2E 2F "
    "30 31 32 33 34 35 36 37 38 39 3A 3B 3C 3D 3E 3F "
    "40 41 42 43 44 45 46 47 48 49 4A 4B 4C 4D 4E 4F "
    "50 51 52 53 54 55 56 57 58 59 5A 5B 5C 5D 5E 5F "
    "60 61 62 63");

const TByteArray Closing = Report("F1 30");
const TByteArray UsbReset = Report("E1 01");
const TByteArray VersionRequest = Report("10");

struct TFlashFixture : TConnectedFixture<TStreamingRemote> {
    static TReports WithReconnect(TReports reports)
    {
        reports.push_back(UsbReset);
        reports.push_back(VersionRequest);
        return reports;
    }
};

// --- Requests on the wire -----------------------------------------------------

TEST_F(TFlashFixture, ReadRequestCarriesTheLow24AddressBitsAndTheSize)
{
    struct TCase {
        std::uint32_t Address;
        std::uint16_t Size;
        const char* Request;
    };
    Sim->FillFlashWithPattern();
    for (TCase c : {TCase{0x40000, 16, "55 04 00 00 00 10"}, TCase{0xFF123456, 0x0102, "55 12 34 56 01 02"}}) {
        SCOPED_TRACE(c.Request);
        TByteArray data;
        ASSERT_TRUE(Corvane->ReadFlash(data, c.Address, c.Size));
        EXPECT_EQ(data, Sim->Flash(c.Address & 0xFFFFFF, c.Size));
        EXPECT_EQ(Received(), TReports{Report(c.Request)});
    }
}

TEST_F(TFlashFixture, WriteOf16BytesGoesOutAsRequestOneFilledPacketAndClosing)
{
    const TByteArray data(Data100.begin(), Data100.begin() + 16);
    ASSERT_TRUE(Corvane->WriteFlash(data, 0, 16));
    EXPECT_EQ(Received(), (TReports{Report("35 00 00 00 00 10"),
                                    Report("49 00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F "
                                           "FF FF FF FF FF FF FF FF FF FF FF FF FF FF FF"),
                                    Closing}));
    EXPECT_EQ(Sim->Flash(0, 17), Hex("00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F FF"));
}

TEST_F(TFlashFixture, WriteOfNothingStillSendsOneEmptyDataPacketAndTheClosing)
{
    ASSERT_TRUE(Corvane->WriteFlash({}, 0x1000, 0));
    EXPECT_EQ(Received(), (TReports{Report("35 00 10 00 00 00"), Report("40"), Closing}));
    EXPECT_EQ(Sim->Flash(0x1000, 1), Hex("FF"));
}

TEST_F(TFlashFixture, EveryDataPacketDeclaresTheLengthCodeOfTheWholeWrite)
{
    struct TCase {
        std::uint16_t Size;
        TReports Packets;  // request, data packets, closing
        int Progress;      // remaining when the last packet was built
    };
    const TCase cases[] = {
        {0, {Report("35 00 01 00 00 00"), Report("40")}, 0},
        {5, {Report("35 00 01 00 00 05"), Report("45 00 01 02 03 04")}, 5},
        {10, {Report("35 00 01 00 00 0A"), Report("48 00 01 02 03 04 05 06 07 08 09 FF FF FF FF FF")}, 10},
        {16,
         {Report("35 00 01 00 00 10"),
          Report("49 00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F FF FF FF FF FF FF FF FF FF FF FF FF FF FF FF")},
         16},
        {63,
         {Report("35 00 01 00 00 3F"),
          Report("4A 00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F "
                 "10 11 12 13 14 15 16 17 18 19 1A 1B 1C 1D 1E 1F "
                 "20 21 22 23 24 25 26 27 28 29 2A 2B 2C 2D 2E 2F "
                 "30 31 32 33 34 35 36 37 38 39 3A 3B 3C 3D 3E")},
         63},
        {100,
         {Report("35 00 01 00 00 64"),
          Report("4A 00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F "
                 "10 11 12 13 14 15 16 17 18 19 1A 1B 1C 1D 1E 1F "
                 "20 21 22 23 24 25 26 27 28 29 2A 2B 2C 2D 2E 2F "
                 "30 31 32 33 34 35 36 37 38 39 3A 3B 3C 3D 3E"),
          Report("4A 3F 40 41 42 43 44 45 46 47 48 49 4A 4B 4C 4D 4E "
                 "4F 50 51 52 53 54 55 56 57 58 59 5A 5B 5C 5D 5E "
                 "5F 60 61 62 63 FF FF FF FF FF FF FF FF FF FF FF "
                 "FF FF FF FF FF FF FF FF FF FF FF FF FF FF FF")},
         37},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Size);
        Loop.Waits.clear();
        ASSERT_TRUE(Corvane->WriteFlash(Data100, 0x100, c.Size));
        TReports expected = c.Packets;
        expected.push_back(Closing);
        EXPECT_EQ(Received(), expected);
        // Before each data packet, what is pending is dispatched, without
        // waiting for more: an idle window must not stall the write.
        EXPECT_EQ(Loop.Waits, std::vector<bool>(c.Packets.size() - 1, false));
        EXPECT_EQ(Corvane->Progress, c.Progress);
        EXPECT_EQ(Sim->Flash(0x100, c.Size), TByteArray(Data100.begin(), Data100.begin() + c.Size));
    }
}

TEST_F(TFlashFixture, EraseSendsTheSectorAddressAndWantsItsTypeEchoed)
{
    Sim->SetFlash(0x2000, Hex("12 34 56"));
    ASSERT_TRUE(Corvane->EraseFlashSector(0x2000));
    EXPECT_EQ(Received(), TReports{Report("D3 00 20 00")});
    EXPECT_EQ(Sim->Flash(0x2000, 3), Hex("FF FF FF"));

    // No failure of an erase reconnects.
    TSimFaults echo;
    echo.EchoOverride = 0xD1;
    TSimFaults type;
    type.ReplyType = 0xC0;
    TSimFaults silent;
    silent.Silent = true;
    for (const TSimFaults& faults : {echo, type, silent}) {
        Sim->SetFaults(faults);
        EXPECT_FALSE(Corvane->EraseFlashSector(0xABC000));
        EXPECT_EQ(Received(), TReports{Report("D3 AB C0 00")});
    }
}

// --- The read stream ----------------------------------------------------------

TEST_F(TFlashFixture, CounterBytes)
{
    // One data byte per packet (length code 2); counters as the remote sends
    // them. A refused sequence fails at the packet marked, then reconnects.
    struct TCase {
        const char* Counters;
        int RefusedAt;  // -1: accepted
    };
    const TCase cases[] = {
        {"01", -1},
        {"10", -1},
        {"00", 0},
        {"11", 0},
        {"01 11 21 35 52", -1},  // low nibble 5 -> 2: the high nibble skips 4
        {"01 11 21 35 42", 4},
        {"10 20 30 40 50 60 70 80 90 A0 B0 C0 D0 E0 F0 00 10", -1},
        {"01 11 21 31 41 51 61 71 81 91 A1 B1 C1 D1 E1 F1 01 11", -1},
        {"01 11 21 31 41 51 61 71 81 91 A1 B1 C1 D1 E1 F5 12", -1},  // the skip across the wrap
        {"01 11 21 31 41 51 61 71 81 91 A1 B1 C1 D1 E1 F5 02", 16},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Counters);
        const TByteArray counters = Hex(c.Counters);
        TReports stream;
        for (std::uint8_t counter : counters)
            stream.push_back(Report("62 " + Hex2(counter) + " " + Hex2(static_cast<std::uint8_t>(counter ^ 0xFF))));
        stream.push_back(Report("F0"));
        Sim->StreamNext(stream);

        TByteArray data;
        const auto size = static_cast<std::uint16_t>(counters.size());
        const bool accepted = c.RefusedAt < 0;
        EXPECT_EQ(Corvane->ReadFlash(data, 0, size), accepted);
        ASSERT_EQ(data.size(), size);
        const std::size_t stored = accepted ? counters.size() : static_cast<std::size_t>(c.RefusedAt);
        for (std::size_t i = 0; i < stored; ++i)
            EXPECT_EQ(data[i], counters[i] ^ 0xFF) << i;
        const TReports request{Report("55 00 00 00 00 " + Hex2(static_cast<std::uint8_t>(size)))};
        EXPECT_EQ(Received(), accepted ? request : WithReconnect(request));
    }
}

TEST_F(TFlashFixture, HundredBytesInPacketsOfFourLengths)
{
    Sim->StreamNext({
        Report("6A 01 00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F "
               "10 11 12 13 14 15 16 17 18 19 1A 1B 1C 1D 1E 1F "
               "20 21 22 23 24 25 26 27 28 29 2A 2B 2C 2D 2E 2F "
               "30 31 32 33 34 35 36 37 38 39 3A 3B 3C 3D"),
        Report("69 11 3E 3F 40 41 42 43 44 45 46 47 48 49 4A 4B 4C 4D "
               "4E 4F 50 51 52 53 54 55 56 57 58 59 5A 5B"),
        Report("67 21 5C 5D 5E 5F 60 61"),
        Report("63 31 62 63"),
        Report("F0"),
    });
    TByteArray data;
    ASSERT_TRUE(Corvane->ReadFlash(data, 0x1000, 100));
    EXPECT_EQ(data, Data100);
}

TEST_F(TFlashFixture, DataPacketWithoutADataByteBreaksTheStream)
{
    // Length code 1: the counter byte alone. Length code 0: not even that.
    for (const char* empty : {"61 11", "60"}) {
        SCOPED_TRACE(empty);
        Sim->StreamNext({Report("62 01 AA"), Report(empty), Report("62 21 BB"), Report("F0")});
        TByteArray data;
        EXPECT_FALSE(Corvane->ReadFlash(data, 0, 2));
        EXPECT_EQ(data, Hex("AA 00"));
        EXPECT_EQ(Received(), WithReconnect({Report("55 00 00 00 00 02")}));
    }
}

TEST_F(TFlashFixture, ReadOfNothingSucceedsEmptyWhetherAcknowledgedOrNot)
{
    TByteArray data{1, 2, 3};
    EXPECT_TRUE(Corvane->ReadFlash(data, 0, 0));
    EXPECT_TRUE(data.empty());

    TSimFaults silent;
    silent.Silent = true;
    Sim->SetFaults(silent);
    data = {1, 2, 3};
    EXPECT_TRUE(Corvane->ReadFlash(data, 0, 0));
    EXPECT_TRUE(data.empty());
    EXPECT_EQ(Received(), (TReports{Report("55 00 00 00 00 00"), Report("55 00 00 00 00 00")}));
}

TEST_F(TFlashFixture, HowAReadEndsWhenTheRemoteMisbehaves)
{
    struct TCase {
        const char* What;
        TSimFaults Faults;
        bool Result;
        std::size_t Kept;  // data bytes at the front of the output (200 bytes; 0 with Empty)
        bool Empty;        // success without data: the end of the flash
        bool Reconnects;
    };
    auto faults = [](auto set) {
        TSimFaults f;
        set(f);
        return f;
    };
    // 200 bytes: data packets of 62, 62, 62 and 14 bytes.
    const TCase cases[] = {
        {"wrong type", faults([](TSimFaults& f) { f.FlashWrongTypeAt = 1; }), false, 62, false, true},
        {"sequence mismatch", faults([](TSimFaults& f) { f.FlashSequenceErrorAt = 1; }), false, 62, false, true},
        {"acknowledged short", faults([](TSimFaults& f) { f.FlashAckShortBy = 10; }), false, 190, false, false},
        {"silent before data", faults([](TSimFaults& f) { f.FlashSilentFrom = 0; }), true, 0, true, false},
        {"silent remote", faults([](TSimFaults& f) { f.Silent = true; }), true, 0, true, false},
        {"silent mid-stream", faults([](TSimFaults& f) { f.FlashSilentFrom = 2; }), false, 124, false, false},
        {"packet without data", faults([](TSimFaults& f) { f.FlashEmptyPacketAt = 1; }), false, 62, false, true},
        {"more than asked", faults([](TSimFaults& f) { f.FlashExtraBytes = 5; }), false, 186, false, true},
    };
    Sim->FillFlashWithPattern();
    const TByteArray flash = Sim->Flash(0x345678, 200);
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.What);
        Sim->SetFaults(c.Faults);
        TByteArray data;
        EXPECT_EQ(Corvane->ReadFlash(data, 0x345678, 200), c.Result);
        if (c.Empty) {
            EXPECT_TRUE(data.empty());
        } else {
            ASSERT_EQ(data.size(), 200u);
            EXPECT_TRUE(std::equal(data.begin(), data.begin() + static_cast<long>(c.Kept), flash.begin()));
        }
        const TReports request{Report("55 34 56 78 00 C8")};
        EXPECT_EQ(Received(), c.Reconnects ? WithReconnect(request) : request);
        EXPECT_TRUE(Corvane->Connected());
        Sim->SetFaults({});
    }
}

TEST_F(TFlashFixture, EndlessDataFailsAndReconnects)
{
    TSimFaults endless;
    endless.FlashEndless = true;
    Sim->SetFaults(endless);
    Sim->FillFlashWithPattern();
    const TReports request{Report("55 34 56 78 00 C8")};

    // At the pace of the endpoint: the 200 bytes asked for are stored, the
    // packet after them is refused.
    Sim->SetPaced(true);
    TByteArray data;
    EXPECT_FALSE(Corvane->ReadFlash(data, 0x345678, 200));
    EXPECT_EQ(data, Sim->Flash(0x345678, 200));
    EXPECT_EQ(Received(), WithReconnect(request));

    // Unpaced, the stream overruns the link's ring while the host pauses
    // before its first read, so what the host sees first is no longer the
    // stream's start; the read still ends, with failure and a reconnection.
    Sim->SetPaced(false);
    EXPECT_FALSE(Corvane->ReadFlash(data, 0x345678, 200));
    EXPECT_EQ(data.size(), 200u);
    EXPECT_EQ(Received(), WithReconnect(request));
}

TEST_F(TFlashFixture, InvalidLengthCodePassesOutWithoutReconnection)
{
    TSimFaults faults;
    faults.FlashInvalidLengthAt = 1;
    Sim->SetFaults(faults);
    TByteArray data;
    try {
        Corvane->ReadFlash(data, 0, 200);
        ADD_FAILURE() << "no assertion failure";
    } catch (const ECorvaneAssertion& e) {
        EXPECT_EQ(e.Message(), "Invalid number of bytes");
        EXPECT_EQ(std::string(e.what()).rfind("Invalid number of bytes (CorvaneInterface, line ", 0), 0u) << e.what();
    }
    EXPECT_EQ(Received(), TReports{Report("55 00 00 00 00 C8")});
    EXPECT_TRUE(Corvane->Connected());
}

TEST_F(TFlashFixture, WrongCounterIsABrokenStreamWhateverTheLengthCode)
{
    // A counter one ahead, and length code 11, which stands for no length.
    TSimFaults faults;
    faults.FlashSequenceErrorAt = 0;
    faults.FlashInvalidLengthAt = 0;
    Sim->SetFaults(faults);
    TByteArray data;
    EXPECT_FALSE(Corvane->ReadFlash(data, 0, 200));
    EXPECT_EQ(Received(), WithReconnect({Report("55 00 00 00 00 C8")}));
    EXPECT_TRUE(Corvane->Connected());
}

TEST_F(TFlashFixture, AbortSetBeforeAReadHasNoEffect)
{
    Sim->FillFlashWithPattern();
    Corvane->Abort = true;
    TByteArray data;
    ASSERT_TRUE(Corvane->ReadFlash(data, 0x800, 500));
    EXPECT_EQ(data, Sim->Flash(0x800, 500));
    EXPECT_FALSE(Corvane->Abort);
}

TEST_F(TFlashFixture, RemovalMidReadFailsWithoutReconnection)
{
    // Paced, with the removal well into the stream, so that the reader has
    // moved packets into the ring before the device goes: a removal before
    // any data reaches the host reads as the end of the flash. How many it
    // moved depends on the scheduler: reports still queued in the handle go
    // with the device.
    Sim->SetPaced(true);
    Sim->FillFlashWithPattern();
    TSimFaults faults;
    faults.UnplugAtPacket = 20;
    Sim->SetFaults(faults);
    const std::string path = Corvane->Device()->DevicePath();

    TByteArray data;
    EXPECT_FALSE(Corvane->ReadFlash(data, 0, 2000));
    ASSERT_EQ(data.size(), 2000u);
    const TByteArray flash = Sim->Flash(0, 62);
    EXPECT_TRUE(std::equal(flash.begin(), flash.end(), data.begin()));
    EXPECT_EQ(Corvane->Device()->DevicePath(), path);  // the same link: no reconnection
    EXPECT_EQ(Received(), TReports{Report("55 00 00 00 07 D0")});

    Loop.DispatchMessages(false);  // the removal notification
    EXPECT_FALSE(Corvane->Connected());
    EXPECT_EQ(StatusChanges, 1);
}

// --- The write stream ---------------------------------------------------------

TEST_F(TFlashFixture, WriteFailsWithoutReconnectionWhenTheClosingIsNotAcknowledged)
{
    TSimFaults noAck;
    noAck.FlashWriteNoAck = true;
    TSimFaults otherEcho;
    otherEcho.FlashWriteAckEcho = 0x31;
    for (const TSimFaults& faults : {noAck, otherEcho}) {
        Sim->SetFaults(faults);
        EXPECT_FALSE(Corvane->WriteFlash(Data100, 0, 5));
        EXPECT_EQ(Received(), (TReports{Report("35 00 00 00 00 05"), Report("45 00 01 02 03 04"), Closing}));
    }
}

TEST_F(TFlashFixture, AbortFromAHandlerEndsTheDataPhaseButNotTheClosing)
{
    const TByteArray data(500, 0x5A);  // eight packets of 63 bytes
    TSimFaults noAck;
    noAck.FlashWriteNoAck = true;
    for (const TSimFaults& faults : {TSimFaults{}, noAck}) {
        Sim->SetFaults(faults);
        const int start = Loop.DispatchCount();
        Loop.OnDispatch = [&] {
            if (Loop.DispatchCount() - start == 3)
                Corvane->Abort = true;
        };
        // The closing exchange decides the result.
        EXPECT_EQ(Corvane->WriteFlash(data, 0x20000, 500), !faults.FlashWriteNoAck);
        EXPECT_EQ(Corvane->Progress, 500 - 2 * 63);
        const TReports received = Received();
        ASSERT_EQ(received.size(), 5u);  // request, three data packets, closing
        EXPECT_EQ(received[0], Report("35 02 00 00 01 F4"));
        EXPECT_EQ(received[4], Closing);
        TByteArray written(189, 0x5A);
        written.push_back(0xFF);
        EXPECT_EQ(Sim->Flash(0x20000, 190), written);
    }
}

TEST_F(TFlashFixture, OperationsStartedFromAHandlerDuringAWriteAreRefusedWithoutIo)
{
    int calls = 0;
    Loop.OnDispatch = [&] {
        if (calls++ > 0)
            return;
        EXPECT_TRUE(Corvane->Busy());
        TByteArray reply{7};
        EXPECT_FALSE(Corvane->GetVersion(reply));
        EXPECT_EQ(reply, TByteArray{7});
        TDecodedVersion version;
        EXPECT_FALSE(Corvane->GetDecodedVersion(version));
        std::uint8_t value = 7;
        EXPECT_FALSE(Corvane->ReadMiscByte(value, 12, 0));
        EXPECT_EQ(value, 7);
        std::uint16_t word = 7;
        EXPECT_FALSE(Corvane->ReadMiscWord(word, 12, 1));
        EXPECT_FALSE(Corvane->WriteMiscByte(1, 2, 3));
        EXPECT_FALSE(Corvane->WriteMiscWord(1, 2, 3));
        EXPECT_FALSE(Corvane->Reset(1));
        EXPECT_FALSE(Corvane->EraseFlashSector(0));
        TByteArray data{7};
        EXPECT_FALSE(Corvane->ReadFlash(data, 0, 16));
        EXPECT_EQ(data, TByteArray{7});
        EXPECT_FALSE(Corvane->WriteFlash(Data100, 0, 16));
        EXPECT_FALSE(Corvane->IrCapture(data));
        EXPECT_EQ(data, TByteArray{7});
    };
    ASSERT_TRUE(Corvane->WriteFlash(Data100, 0, 100));
    EXPECT_EQ(calls, 2);
    EXPECT_FALSE(Corvane->Busy());
    const TReports received = Received();
    ASSERT_EQ(received.size(), 4u);  // request, two data packets, closing: nothing between
    EXPECT_EQ(received[0], Report("35 00 00 00 00 64"));
    EXPECT_EQ(received[3], Closing);
    EXPECT_EQ(Sim->Flash(0, 100), Data100);
}

TEST_F(TFlashFixture, RemovalMidWriteFailsAndReconnects)
{
    // Removed by the remote itself at its third data packet; the write of a
    // later packet fails.
    TSimFaults faults;
    faults.UnplugAtPacket = 2;
    Sim->SetFaults(faults);
    EXPECT_FALSE(Corvane->WriteFlash(TByteArray(500, 0), 0, 500));
    EXPECT_EQ(StatusChanges, 1);  // the removal, dispatched before the fourth packet
    EXPECT_EQ(Corvane->Device()->DevicePath(), "");  // a new link, which found no remote
    EXPECT_FALSE(Corvane->Connected());
    EXPECT_EQ(Received(), (TReports{Report("35 00 00 00 01 F4"), Report("4A"), Report("4A"), Report("4A")}));
}

TEST_F(TFlashFixture, RemovalNotifiedDuringAWriteFailsItAndReconnects)
{
    const int start = Loop.DispatchCount();
    Loop.OnDispatch = [&] {
        if (Loop.DispatchCount() - start == 2)
            Bus.Unplug(Sim);
    };
    EXPECT_FALSE(Corvane->WriteFlash(TByteArray(500, 0), 0, 500));
    EXPECT_EQ(StatusChanges, 1);
    EXPECT_FALSE(Corvane->Connected());
    EXPECT_EQ(Corvane->Device()->DevicePath(), "");  // reconnected, without the remote
    EXPECT_EQ(Received().size(), 2u);                // request and the first data packet
}

TEST_F(TFlashFixture, ReplugDuringAWriteFailsWithoutSendingTheRest)
{
    const int start = Loop.DispatchCount();
    Loop.OnDispatch = [&] {
        if (Loop.DispatchCount() - start == 2) {
            Bus.Unplug(Sim);
            Bus.Plug(Sim);
        }
    };
    // The reconnection on arrival resets the remote, which then has no write
    // open: the rest of the data would be lost while the closing exchange
    // still succeeded. The write fails instead, and the fresh link is kept.
    EXPECT_FALSE(Corvane->WriteFlash(Data100, 0x3000, 100));
    EXPECT_EQ(StatusChanges, 2);  // removal, then arrival with its reconnection
    EXPECT_TRUE(Corvane->Connected());
    EXPECT_EQ(Corvane->Device()->DevicePath(), "sim:hidraw1");
    const TReports received = Received();
    ASSERT_EQ(received.size(), 4u);
    EXPECT_EQ(received[0], Report("35 00 30 00 00 64"));
    EXPECT_EQ(received[1][0], 0x4A);
    EXPECT_EQ(received[2], UsbReset);  // the reconnection, and nothing after it
    EXPECT_EQ(received[3], VersionRequest);
    EXPECT_EQ(Sim->Flash(0x3000, 63), TByteArray(Data100.begin(), Data100.begin() + 63));
    EXPECT_EQ(Sim->Flash(0x3000 + 63, 37), TByteArray(37, 0xFF));
}

// --- Both ways -----------------------------------------------------------------

TEST_F(TFlashFixture, NothingIsSentWhileNotConnected)
{
    Bus.Unplug(Sim);
    Loop.DispatchMessages(false);
    ASSERT_FALSE(Corvane->Connected());
    TByteArray data{7};
    EXPECT_FALSE(Corvane->ReadFlash(data, 0, 16));
    EXPECT_EQ(data, TByteArray{7});
    EXPECT_FALSE(Corvane->WriteFlash(Data100, 0, 16));
    EXPECT_FALSE(Corvane->EraseFlashSector(0));
    EXPECT_TRUE(Received().empty());
}

TEST_F(TFlashFixture, WrittenDataReadsBackAcrossASectorBoundary)
{
    Sim->FillFlashWithPattern();
    ASSERT_TRUE(Corvane->EraseFlashSector(0x7000));
    ASSERT_TRUE(Corvane->EraseFlashSector(0x8000));
    TByteArray data(3000);
    for (std::size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<std::uint8_t>(i * 7 + i / 256);
    ASSERT_TRUE(Corvane->WriteFlash(data, 0x7A00, 3000));
    TByteArray back;
    ASSERT_TRUE(Corvane->ReadFlash(back, 0x7A00, 3000));
    EXPECT_EQ(back, data);
    ASSERT_TRUE(Corvane->ReadFlash(back, 0x79FF, 1));
    EXPECT_EQ(back, TByteArray{0xFF});
}

}  // namespace
