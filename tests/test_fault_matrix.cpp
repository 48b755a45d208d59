// Every fault the simulated remote knows, at every packet of every transfer,
// one case at a time: the call returns, with the outcome in the table; data
// that is reported complete is the remote's data, data that is not is
// reported incomplete; and after a reconnection (what "Reinitialize USB"
// does) the link reads the flash again.
//
// The two dumps are driven as the window drives them (console/frmMain.cpp,
// the whole-flash and the parts dump), chunk by chunk through ReadFlash, on a
// smaller flash range and with smaller chunks so that every packet position
// stays affordable.

#include "ConnectedFixture.h"

#include <gtest/gtest.h>

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

// Packets: a 200-byte read is 62 + 62 + 62 + 14 data bytes, then the
// acknowledgement (position 4); a 200-byte write four data packets, then the
// closing reply (position 4); a dump chunk of 128 bytes 62 + 62 + 4, three
// chunks in a row (positions 0-8); the capture three data packets and the end
// marker, then the stop's acknowledgement (position 4). For a write and an
// erase, the remote's only answer stands for the packet: its echo for the
// counter.
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
// The dumps: three chunks of three data packets each.
constexpr std::uint16_t DumpChunk = 128;
constexpr int PacketsPerChunk = 3;
constexpr std::uint32_t WholeDumpEnd = 3 * DumpChunk;
struct TRegion {
    std::uint32_t Start;
    std::uint32_t Size;
};
const TRegion Regions[] = {{0x10000, DumpChunk}, {0x20000, 2 * DumpChunk}};

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

struct TFaultMatrix : TConnectedFixture<TSimRemote>, ::testing::WithParamInterface<TRow> {
    // What one case produced.
    struct TResult {
        char Outcome = '?';
        TByteArray Data;                  // read, capture, whole dump
        std::vector<TByteArray> Files;    // parts dump, one per region started
    };

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

    // The whole-flash dump's loop: chunks until one fails, the remote stops
    // answering, or the end.
    char WholeDump(TFault fault, int position, TByteArray& file)
    {
        TByteArray data;
        for (std::uint32_t address = 0, chunk = 0;; ++chunk) {
            Arm(TTransfer::WholeDump, fault, position, static_cast<int>(chunk));
            if (!Corvane->ReadFlash(data, address, DumpChunk))
                return 'F';  // "Read error"
            if (data.empty())
                return 'E';
            file.insert(file.end(), data.begin(), data.end());
            address += static_cast<std::uint32_t>(data.size());
            if (address >= WholeDumpEnd)
                return 'D';
        }
    }

    // The parts dump's loop: a file per region, each read in chunks; a chunk
    // that does not bring all its bytes ends the dump.
    char PartsDump(TFault fault, int position, std::vector<TByteArray>& files)
    {
        TByteArray data;
        int chunk = 0;
        for (const TRegion& region : Regions) {
            files.emplace_back();
            for (std::uint32_t done = 0; done < region.Size; done += DumpChunk, ++chunk) {
                Arm(TTransfer::PartsDump, fault, position, chunk);
                if (!Corvane->ReadFlash(data, region.Start + done, DumpChunk) || data.size() != DumpChunk)
                    return 'F';  // "Read error"
                files.back().insert(files.back().end(), data.begin(), data.end());
            }
        }
        return 'D';
    }

    TResult Run(TTransfer transfer, TFault fault, int position)
    {
        TResult result;
        try {
            switch (transfer) {
            case TTransfer::Read:
                Arm(transfer, fault, position, 0);
                result.Outcome = !Corvane->ReadFlash(result.Data, ReadAddress, ReadSize) ? 'F'
                                 : result.Data.empty()                                   ? 'E'
                                                                                         : 'D';
                break;
            case TTransfer::Write:
                Arm(transfer, fault, position, 0);
                result.Outcome = Corvane->WriteFlash(WriteData(), WriteAddress, ReadSize) ? 'D' : 'F';
                break;
            case TTransfer::Erase:
                Arm(transfer, fault, position, 0);
                result.Outcome = Corvane->EraseFlashSector(EraseAddress) ? 'D' : 'F';
                break;
            case TTransfer::WholeDump:
                result.Outcome = WholeDump(fault, position, result.Data);
                break;
            case TTransfer::PartsDump:
                result.Outcome = PartsDump(fault, position, result.Files);
                break;
            case TTransfer::Capture:
                Arm(transfer, fault, position, 0);
                result.Outcome = Corvane->IrCapture(result.Data) ? 'D' : 'F';
                break;
            }
        } catch (const ECorvaneAssertion&) {
            result.Outcome = 'R';
        }
        return result;
    }

    static TByteArray WriteData()
    {
        TByteArray data(ReadSize);
        for (std::size_t i = 0; i < data.size(); ++i)
            data[i] = static_cast<std::uint8_t>(i * 3);
        return data;
    }

    // What the remote's flash holds at a region, for the dumps' checks.
    TByteArray Flash(std::uint32_t address, std::size_t size)
    {
        return Sim->Flash(address, static_cast<std::uint32_t>(size));
    }
};

TEST_P(TFaultMatrix, OutcomeDataAndRecovery)
{
    const TRow& row = GetParam();
    Sim->FillFlashWithPattern();
    Sim->SetIrCapture(TRemoteFirmware::MakeIrSignal({0x08}), std::chrono::milliseconds(0));
    TByteArray signal = TRemoteFirmware::MakeIrSignal({0x08});
    signal.insert(signal.end(), {0x80, 0x00});

    for (int i = 0; row.Expected[i] != '\0'; ++i) {
        const int position = row.First + i;
        SCOPED_TRACE("packet position " + std::to_string(position));
        Sim->SetFlash(WriteAddress, TByteArray(ReadSize, 0xFF));
        Sim->WaitIdle();

        const TResult result = Run(row.Transfer, row.Fault, position);
        EXPECT_EQ(result.Outcome, row.Expected[i]);
        EXPECT_FALSE(Corvane->Busy());

        // Complete data is the remote's; incomplete data is reported so, and
        // what a dump wrote is the remote's data as far as it goes.
        switch (row.Transfer) {
        case TTransfer::Read:
            if (result.Outcome == 'D') {
                EXPECT_EQ(result.Data, Flash(ReadAddress, ReadSize));
            }
            break;
        case TTransfer::Write:
            if (result.Outcome == 'D') {
                EXPECT_EQ(Flash(WriteAddress, ReadSize), WriteData());
            }
            break;
        case TTransfer::WholeDump:
            EXPECT_EQ(result.Data.size() % DumpChunk, 0u);
            EXPECT_EQ(result.Data, Flash(0, result.Data.size()));
            EXPECT_EQ(result.Outcome == 'D', result.Data.size() == WholeDumpEnd);
            break;
        case TTransfer::PartsDump:
            for (std::size_t r = 0; r < result.Files.size(); ++r) {
                EXPECT_EQ(result.Files[r], Flash(Regions[r].Start, result.Files[r].size()));
                const bool whole = result.Files[r].size() == Regions[r].Size;
                // Only the region being written when the dump failed is short.
                EXPECT_TRUE(whole || (result.Outcome != 'D' && r + 1 == result.Files.size()));
            }
            break;
        case TTransfer::Capture:
            if (result.Outcome == 'D' || (row.Fault == TFault::Silence && position == 4)) {
                // Also when only the stop went unanswered: the capture stands.
                EXPECT_EQ(result.Data, signal);
            } else {
                EXPECT_TRUE(result.Data.empty());
            }
            break;
        case TTransfer::Erase:
            break;
        }

        // "Reinitialize USB": the remote plugged in again if it went away,
        // healthy again, and the fresh link reads the flash.
        Sim->SetFaults({});
        if (!Sim->Plugged())
            Bus.Plug(Sim);
        Sim->WaitIdle();
        ASSERT_TRUE(Corvane->Reconnect());
        TByteArray data;
        ASSERT_TRUE(Corvane->ReadFlash(data, ReadAddress, 16));
        EXPECT_EQ(data, Flash(ReadAddress, 16));
    }
}

INSTANTIATE_TEST_SUITE_P(EveryPacket, TFaultMatrix, ::testing::ValuesIn(Rows),
                         [](const ::testing::TestParamInfo<TRow>& info) { return std::string(info.param.Name); });

}  // namespace
