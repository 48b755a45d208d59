// The page operations over the remote's replies: the lines, progress and
// files they make of whatever the remote sends. The remote is the scripted
// one of the reply harnesses; the sink, the clock and the files are kept in
// memory. After each operation: lines are single lines of text, progress
// starts at 0 and never goes back, every file is closed, a dump reported done
// is whole, a capture reported done is in its file, the battery is a
// percentage.
#include "../ops/FlashParts.h"
#include "FuzzCheck.h"
#include "FuzzTiming.h"
#include "../ops/Operations.h"
#include "ScriptedRemote.h"

#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>

namespace {

struct TMemoryFile {
    TByteArray Bytes;
    bool Closed = false;
};

class TMemoryFiles : public ops::IFileFactory {
public:
    std::map<std::string, std::shared_ptr<TMemoryFile>> Files;

    std::unique_ptr<ops::IOutFile> Create(const std::string& name) override
    {
        auto file = std::make_shared<TMemoryFile>();
        Files[name] = file;
        return std::make_unique<TOut>(file);
    }

private:
    class TOut : public ops::IOutFile {
    public:
        explicit TOut(std::shared_ptr<TMemoryFile> file) : FFile(std::move(file)) {}
        void Write(const std::uint8_t* data, std::size_t size) override
        {
            FUZZ_CHECK(!FFile->Closed);
            FFile->Bytes.insert(FFile->Bytes.end(), data, data + size);
        }
        void Close() override { FFile->Closed = true; }

    private:
        std::shared_ptr<TMemoryFile> FFile;
    };
};

// Checks lines and progress as they come; asks the script whether to go on.
class TCheckingSink : public ops::IOpsSink {
public:
    explicit TCheckingSink(TFuzzInput& input) : FInput(input) {}

    void Line(const std::string& line) override
    {
        for (char c : line)
            FUZZ_CHECK(c != '\n' && c != '\r' && c != '\0');
    }
    void Lines(const std::vector<std::string>& lines) override
    {
        for (const std::string& line : lines)
            Line(line);
    }
    void Progress(const ops::TProgress& progress) override
    {
        if (progress.What != FWhat) {
            FUZZ_CHECK(progress.Done == 0);  // a new piece of work starts at 0
            FWhat = std::string(progress.What);
        } else {
            FUZZ_CHECK(progress.Done >= FDone);  // never backwards
        }
        FUZZ_CHECK(progress.Total == 0 || progress.Done <= progress.Total);
        FDone = progress.Done;
    }
    bool KeepGoing() override { return (FInput.Byte() & 0x80) == 0; }

    void NewOperation()
    {
        FWhat.clear();
        FDone = 0;
    }

private:
    TFuzzInput& FInput;
    std::string FWhat;
    std::uint64_t FDone = 0;
};

class TFixedClock : public ops::IOpsClock {
public:
    ops::TLocalTime Now() override { return {2024, 2, 29, 23, 59, 58, 4}; }
    std::uint64_t TickMs() override { return FTick += 7; }

private:
    std::uint64_t FTick = 0;
};

void Run(const std::uint8_t* data, std::size_t size)
{
    UseFuzzTiming();

    TFuzzInput input(data, size);
    TFuzzLoop loop;
    TScriptedRemote remote(input, loop);
    TCheckingSink sink(input);
    TFixedClock clock;
    TMemoryFiles files;
    auto corvane = std::make_unique<TCorvaneOne>(remote, loop);
    remote.UnreadReports = [&] {
        TUsbDevice* device = corvane->Device();
        if (device == nullptr || device->Reader() == nullptr)
            return 0;
        TByteArray none;
        return device->Reader()->ReadData(none, 0) / device->Reader()->ReportSize() + 1;
    };
    loop.OnDispatch = [&] {
        if (remote.DispatchTurn() == 3)
            corvane->Abort = true;
    };
    ops::TOpsContext ctx{*corvane, sink, clock, files, ","};

    static constexpr std::uint16_t Chunks[] = {16, 64, 256, 1000};
    for (int i = 0; i < 4 && !input.Empty(); ++i) {
        const std::uint8_t choice = input.Byte();
        const std::uint8_t arg = input.Byte();
        sink.NewOperation();
        files.Files.clear();
        try {
            switch (choice % 13) {
            case 0:
                ops::ReadVersion(ctx);
                break;
            case 1:
                ops::ReadDecodedVersion(ctx);
                break;
            case 2: {
                const ops::TBatteryResult battery = ops::ReadBattery(ctx);
                FUZZ_CHECK(battery.Percent >= 0 && battery.Percent <= 100);
                break;
            }
            case 3:
                ops::ReadHardwareFlag(ctx);
                break;
            case 4:
                ops::ReadClock(ctx);
                break;
            case 5:
                ops::SetClock(ctx);
                break;
            case 6:
                ops::ReadMisc(ctx, arg & 1, arg >> 4, arg);
                break;
            case 7: {
                const std::uint32_t bytes = static_cast<std::uint32_t>(arg) * 5;
                const ops::TFlashReadResult read = ops::ReadFlash(ctx, 0x1000, bytes, Chunks[arg % 4]);
                FUZZ_CHECK(read.Data.size() <= bytes);
                break;
            }
            case 8: {
                const ops::TDumpResult dump = ops::DumpWholeFlash(ctx, Chunks[arg % 4]);
                for (const auto& [name, file] : files.Files)
                    FUZZ_CHECK(file->Closed && file->Bytes.size() == dump.Bytes);
                break;
            }
            case 9: {
                const ops::TDumpResult dump = ops::DumpFlashParts(ctx, Chunks[arg % 4]);
                std::uint64_t bytes = 0;
                for (const auto& [name, file] : files.Files) {
                    FUZZ_CHECK(file->Closed);
                    bytes += file->Bytes.size();
                }
                FUZZ_CHECK(bytes == dump.Bytes);
                // Done: every region whole, in the file named after it.
                if (dump.Ok()) {
                    FUZZ_CHECK(files.Files.size() == FlashParts.size());
                    for (const TPart& part : FlashParts) {
                        const auto file = files.Files.find(ops::DumpFileName(clock.Now(), part.Name));
                        FUZZ_CHECK(file != files.Files.end());
                        FUZZ_CHECK(file->second->Bytes.size() == static_cast<std::size_t>(part.Size));
                    }
                }
                break;
            }
            case 10: {
                const ops::TCaptureResult capture = ops::CaptureIr(ctx);
                if (capture.Ok()) {
                    FUZZ_CHECK(files.Files.count(ops::CaptureFileName) == 1);
                    FUZZ_CHECK(files.Files[ops::CaptureFileName]->Bytes == capture.Data);
                    FUZZ_CHECK(files.Files[ops::CaptureFileName]->Closed);
                }
                break;
            }
            case 11:
                ops::WriteTestPattern(ctx, 0x3000, static_cast<std::uint16_t>(arg * 3));
                break;
            case 12:
                ops::EraseSector(ctx, static_cast<std::uint32_t>(arg) << 12);
                break;
            }
        } catch (const ECorvaneAssertion&) {
            // A reply that breaks the packet rules: an allowed outcome.
        }
        FUZZ_CHECK(!corvane->Busy());
    }
    loop.OnDispatch = nullptr;
    remote.UnreadReports = nullptr;
    corvane.reset();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    Run(data, size);
    return 0;
}
