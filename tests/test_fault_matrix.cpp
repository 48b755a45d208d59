// Every fault the simulated remote knows, at every packet of every transfer,
// one case at a time, through the page operations the window and the command
// line run: the call returns, with the outcome in the table and the log line
// that goes with it; data and files reported complete are the remote's data,
// anything less is reported incomplete; and after a reconnection (what
// "Reinitialize USB" does) the link reads the flash again.
//
// The dumps run with small chunks: every case ends within their first three.

#include "FlashParts.h"
#include "OpsFixture.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

namespace {

enum class TTransfer { Read, Write, Erase, WholeDump, PartsDump, Capture };
enum class TFault { Removal, Silence, WrongType, WrongCounter, BadLength };

// One transfer with one fault, at the positions First, First + 1, ...: the
// expected outcome at each, one letter per position.
//   D  done: success, all data
//   E  done with nothing more: the remote did not answer a request at all,
//      which the protocol takes for the end of the flash (a dump then ends
//      as complete, shorter)
//   F  failed, reported as such
//   R  a consistency error raised
struct TRow {
    const char* Name;
    TTransfer Transfer;
    TFault Fault;
    int First;
    const char* Expected;
};

// How CTest and GoogleTest name a row's case: by its name, not its bytes.
void PrintTo(const TRow& row, std::ostream* out)
{
    *out << row.Name;
}

// Packets: a 200-byte read is 62 + 62 + 62 + 14 data bytes, then the
// acknowledgement (position 4); a 200-byte write four data packets, then the
// closing reply (position 4); a dump chunk of 128 bytes 62 + 62 + 4, three
// chunks in a row (positions 0-8; the parts dump's are in its first region);
// the capture three data packets and the end marker, then the stop's
// acknowledgement (position 4). For a write and an erase, the remote's only
// answer stands for the packet: its echo for the counter. A whole-flash dump
// never gets to "D" here: that takes 16 MiB.
const TRow Rows[] = {
    {"Read_Removal", TTransfer::Read, TFault::Removal, 0, "EFFF"},
    {"Read_Silence", TTransfer::Read, TFault::Silence, 0, "EFFFF"},
    {"Read_WrongType", TTransfer::Read, TFault::WrongType, 0, "FFFF"},
    {"Read_WrongCounter", TTransfer::Read, TFault::WrongCounter, 0, "FFFF"},
    {"Read_BadLength", TTransfer::Read, TFault::BadLength, 0, "RRRR"},

    {"Write_Removal", TTransfer::Write, TFault::Removal, 0, "FFFF"},
    {"Write_Silence", TTransfer::Write, TFault::Silence, 4, "F"},
    {"Write_WrongType", TTransfer::Write, TFault::WrongType, 4, "F"},
    {"Write_WrongEcho", TTransfer::Write, TFault::WrongCounter, 4, "F"},
    {"Write_BadLength", TTransfer::Write, TFault::BadLength, 4, "D"},  // the code of an ACK is not read

    {"Erase_Removal", TTransfer::Erase, TFault::Removal, 0, "F"},
    {"Erase_Silence", TTransfer::Erase, TFault::Silence, 0, "F"},
    {"Erase_WrongType", TTransfer::Erase, TFault::WrongType, 0, "F"},
    {"Erase_WrongEcho", TTransfer::Erase, TFault::WrongCounter, 0, "F"},
    {"Erase_BadLength", TTransfer::Erase, TFault::BadLength, 0, "D"},

    {"WholeDump_Removal", TTransfer::WholeDump, TFault::Removal, 0, "EFFEFFEFF"},
    {"WholeDump_Silence", TTransfer::WholeDump, TFault::Silence, 0, "EFFEFFEFF"},
    {"WholeDump_WrongType", TTransfer::WholeDump, TFault::WrongType, 0, "FFFFFFFFF"},
    {"WholeDump_WrongCounter", TTransfer::WholeDump, TFault::WrongCounter, 0, "FFFFFFFFF"},
    {"WholeDump_BadLength", TTransfer::WholeDump, TFault::BadLength, 0, "RRRRRRRRR"},

    // A region that gets fewer bytes than asked for, even none, is incomplete.
    {"PartsDump_Removal", TTransfer::PartsDump, TFault::Removal, 0, "FFFFFFFFF"},
    {"PartsDump_Silence", TTransfer::PartsDump, TFault::Silence, 0, "FFFFFFFFF"},
    {"PartsDump_WrongType", TTransfer::PartsDump, TFault::WrongType, 0, "FFFFFFFFF"},
    {"PartsDump_WrongCounter", TTransfer::PartsDump, TFault::WrongCounter, 0, "FFFFFFFFF"},
    {"PartsDump_BadLength", TTransfer::PartsDump, TFault::BadLength, 0, "RRRRRRRRR"},

    {"Capture_Removal", TTransfer::Capture, TFault::Removal, 0, "FFFF"},
    {"Capture_Silence", TTransfer::Capture, TFault::Silence, 0, "FFFFF"},
    {"Capture_WrongType", TTransfer::Capture, TFault::WrongType, 0, "FFFF"},
    {"Capture_WrongCounter", TTransfer::Capture, TFault::WrongCounter, 0, "FFFF"},
    {"Capture_BadLength", TTransfer::Capture, TFault::BadLength, 0, "RRRR"},
};

constexpr std::uint32_t ReadAddress = 0x1000;
constexpr std::uint16_t ReadSize = 200;
constexpr std::uint32_t WriteAddress = 0x3000;
constexpr std::uint32_t EraseAddress = 0x5000;
// The dumps: chunks of three data packets each.
constexpr std::uint16_t DumpChunk = 128;
constexpr int PacketsPerChunk = 3;

// The faults of one stream, with the fault at its packet n.
TSimFaults FaultAt(TTransfer transfer, TFault fault, int n)
{
    TSimFaults f;
    const bool capture = transfer == TTransfer::Capture;
    const bool shortReply = transfer == TTransfer::Write || transfer == TTransfer::Erase;
    switch (fault) {
    case TFault::Removal:
        f.UnplugAtPacket = n;
        break;
    case TFault::Silence:
        if (transfer == TTransfer::Write)
            f.FlashWriteNoAck = true;
        else if (transfer == TTransfer::Erase)
            f.Silent = true;
        else if (capture && n == 4)
            f.IrNoStopAck = true;
        else
            (capture ? f.IrSilentFrom : f.FlashSilentFrom) = n;
        break;
    case TFault::WrongType:
        if (shortReply)
            f.ReplyType = PKT_FLASH_DATA_IN;
        else
            (capture ? f.IrWrongTypeAt : f.FlashWrongTypeAt) = n;
        break;
    case TFault::WrongCounter:
        if (transfer == TTransfer::Write)
            f.FlashWriteAckEcho = PKT_WRITE_FLASH + 1;
        else if (transfer == TTransfer::Erase)
            f.EchoOverride = PKT_ERASE_SECTOR + 1;
        else
            (capture ? f.IrSequenceErrorAt : f.FlashSequenceErrorAt) = n;
        break;
    case TFault::BadLength:
        if (shortReply) {
            f.LengthCode = 11;
        } else if (capture) {
            f.IrLengthByteAt = n;
            f.IrLengthByte = 5;  // an odd data length
        } else {
            f.FlashInvalidLengthAt = n;
        }
        break;
    }
    return f;
}

struct TFaultMatrix : TConnectedFixture<TSimRemote, SteadyTiming>, ::testing::WithParamInterface<TRow> {
    TRecordingSink Sink;
    TFakeClock Clock;
    TMemoryFiles Files;
    std::unique_ptr<ops::TOpsContext> Context;  // once the connection exists

    void SetUp() override
    {
        TConnectedFixture<TSimRemote, SteadyTiming>::SetUp();
        Context = std::make_unique<ops::TOpsContext>(ops::TOpsContext{*Corvane, Sink, Clock, Files});
    }

    // Arms the fault of the case before the given stream of the transfer
    // (the dump's chunk), and disarms it before the others.
    void Arm(TTransfer transfer, TFault fault, int position, int stream)
    {
        const int perStream = transfer == TTransfer::WholeDump || transfer == TTransfer::PartsDump ? PacketsPerChunk
                                                                                                   : 1 << 16;
        if (position / perStream != stream) {
            Sim->SetFaults({});
            return;
        }
        if (transfer == TTransfer::Erase && fault == TFault::Removal) {
            Bus.Unplug(Sim);
            return;
        }
        Sim->SetFaults(FaultAt(transfer, fault, position % perStream));
    }

    static char Letter(const ops::TResult& result, bool nothing)
    {
        if (!result.Ok())
            return result.Outcome == ops::TOutcome::Failed || result.Outcome == ops::TOutcome::NoDevice ? 'F' : '?';
        return nothing ? 'E' : 'D';
    }

    // Runs the transfer through its page operation; the dumps arm each
    // chunk's faults when they ask whether to go on after the one before.
    char Run(TTransfer transfer, TFault fault, int position, TByteArray& data)
    {
        int chunk = 0;
        Arm(transfer, fault, position, 0);
        Sink.OnQuestion = [&] { Arm(transfer, fault, position, ++chunk); };
        try {
            switch (transfer) {
            case TTransfer::Read: {
                ops::TFlashReadResult read = ops::ReadFlash(*Context, ReadAddress, ReadSize);
                data = read.Data;
                return Letter(read, read.Data.empty());
            }
            case TTransfer::Write:
                return Letter(ops::WriteTestPattern(*Context, WriteAddress, ReadSize), false);
            case TTransfer::Erase:
                return Letter(ops::EraseSector(*Context, EraseAddress), false);
            case TTransfer::WholeDump: {
                const ops::TDumpResult dump = ops::DumpWholeFlash(*Context, DumpChunk);
                return Letter(dump, dump.Bytes < ops::FlashSize);
            }
            case TTransfer::PartsDump:
                return Letter(ops::DumpFlashParts(*Context, DumpChunk), false);
            case TTransfer::Capture: {
                ops::TCaptureResult capture = ops::CaptureIr(*Context);
                data = capture.Data;
                return Letter(capture, false);
            }
            }
        } catch (const ECorvaneAssertion&) {
            return 'R';
        }
        return '?';
    }

    TByteArray Flash(std::uint32_t address, std::size_t size)
    {
        return Sim->Flash(address, static_cast<std::uint32_t>(size));
    }
};

// The line a page operation ends with, per outcome letter; empty where the
// letter does not occur.
struct TLines {
    const char* Done;
    const char* Nothing;
    const char* Failed;
};

TLines LinesOf(TTransfer transfer)
{
    switch (transfer) {
    case TTransfer::Read:
        return {nullptr, "Flash dump (hex):", "Reading flash failed"};
    case TTransfer::Write:
        return {"Write flash success, but migth contain incorrect values if it was not erased!", "",
                "Write flash failed"};
    case TTransfer::Erase:
        return {"Flash sector 20480 erased", "", "Erase flash sector failed"};
    case TTransfer::WholeDump:
        return {"Reading done", "Reading done", "Read error"};
    case TTransfer::PartsDump:
        return {"Reading done", "", "Read error"};
    case TTransfer::Capture:
        return {"IR capture success", "", "IR capture failed"};
    }
    return {};
}

TEST_P(TFaultMatrix, OutcomeLineDataAndRecovery)
{
    const TRow& row = GetParam();
    Sim->FillFlashWithPattern();
    Sim->SetIrCapture(TRemoteFirmware::MakeIrSignal({0x08}), std::chrono::milliseconds(0));
    TByteArray signal = TRemoteFirmware::MakeIrSignal({0x08});
    signal.insert(signal.end(), {0x80, 0x00});
    const TLines lines = LinesOf(row.Transfer);

    for (int i = 0; row.Expected[i] != '\0'; ++i) {
        const int position = row.First + i;
        SCOPED_TRACE("packet position " + std::to_string(position));
        Sim->SetFlash(WriteAddress, TByteArray(ReadSize, 0xFF));
        Sim->WaitIdle();
        Sink.LogLines.clear();
        Files = TMemoryFiles{};

        TByteArray data;
        const char outcome = Run(row.Transfer, row.Fault, position, data);
        EXPECT_EQ(outcome, row.Expected[i]);
        EXPECT_FALSE(Corvane->Busy());
        const char* line = outcome == 'D' ? lines.Done : outcome == 'E' ? lines.Nothing
                           : outcome == 'F' ? lines.Failed : nullptr;
        if (line != nullptr) {
            ASSERT_FALSE(Sink.LogLines.empty());
            EXPECT_EQ(Sink.LogLines.back(), line);
        }

        // Complete data is the remote's; incomplete data is reported so, and
        // what a dump wrote is the remote's data as far as it goes.
        switch (row.Transfer) {
        case TTransfer::Read:
            if (outcome == 'D') {
                EXPECT_EQ(data, Flash(ReadAddress, ReadSize));
            }
            break;
        case TTransfer::Write:
            if (outcome == 'D') {
                EXPECT_EQ(Flash(WriteAddress, ReadSize), TByteArray(ReadSize, 0xAB));
            }
            break;
        case TTransfer::WholeDump: {
            const std::string name = ops::DumpFileName(Clock.Now(), "flash");
            EXPECT_EQ(Files.Created, std::vector<std::string>{name});
            const TByteArray& file = Files.Content[name];
            EXPECT_EQ(file.size() % DumpChunk, 0u);
            EXPECT_EQ(file, Flash(0, file.size()));
            EXPECT_EQ(Files.Closed.count(name), outcome != 'R' ? 1u : 0u);
            break;
        }
        case TTransfer::PartsDump: {
            // Every case ends in the first region, whose file is incomplete.
            const std::string name = ops::DumpFileName(Clock.Now(), FlashParts[0].Name);
            EXPECT_EQ(Files.Created, std::vector<std::string>{name});
            const TByteArray& file = Files.Content[name];
            EXPECT_LT(file.size(), static_cast<std::size_t>(FlashParts[0].Size));
            EXPECT_EQ(file, Flash(static_cast<std::uint32_t>(FlashParts[0].Start), file.size()));
            break;
        }
        case TTransfer::Capture:
            if (outcome == 'D') {
                EXPECT_EQ(data, signal);
                EXPECT_EQ(Files.Created, std::vector<std::string>{ops::CaptureFileName});
                EXPECT_EQ(Files.Content[ops::CaptureFileName], signal);
            } else {
                EXPECT_TRUE(Files.Created.empty());
            }
            break;
        case TTransfer::Erase:
            break;
        }

        // "Reinitialize USB": the remote plugged in again if it went away,
        // healthy again, and the fresh link reads the flash. A reply that a
        // heavily loaded machine delays past the link's wait fails one
        // attempt, as it would for a user, who presses again; a broken link
        // fails them all.
        Sink.OnQuestion = nullptr;
        Sim->SetFaults({});
        if (!Sim->Plugged())
            Bus.Plug(Sim);
        Sim->WaitIdle();
        TByteArray check;
        bool usable = false;
        for (int attempt = 0; attempt < 3 && !usable; ++attempt)
            usable = Corvane->Reconnect() && Corvane->ReadFlash(check, ReadAddress, 16);
        ASSERT_TRUE(usable);
        EXPECT_EQ(check, Flash(ReadAddress, 16));
        EXPECT_EQ(Corvane->Protocol(), 12);
    }
}

INSTANTIATE_TEST_SUITE_P(EveryPacket, TFaultMatrix, ::testing::ValuesIn(Rows),
                         [](const ::testing::TestParamInfo<TRow>& info) { return std::string(info.param.Name); });

}  // namespace
