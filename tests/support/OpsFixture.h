#pragma once
// The page operations against a healthy simulated remote, without Qt and
// without processes: a sink that records what the operations report, a clock
// the test sets, and files kept in memory.

#include "ConnectedFixture.h"
#include "Operations.h"

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

// Records lines (a block counts as its lines, and as one block), progress
// and the keep-going questions; StopAfter answers "stop" from that question on.
struct TRecordingSink : ops::IOpsSink {
    std::vector<std::string> LogLines;
    int Blocks = 0;
    struct TStep {
        std::string What;
        std::uint64_t Done, Total;
        int Rate;
    };
    std::vector<TStep> Steps;
    int Questions = 0;
    int StopAfter = -1;  // questions answered "go on" before the first "stop"
    std::function<void()> OnQuestion;

    void Line(const std::string& line) override { LogLines.push_back(line); }
    void Lines(const std::vector<std::string>& lines) override
    {
        ++Blocks;
        LogLines.insert(LogLines.end(), lines.begin(), lines.end());
    }
    void Progress(const ops::TProgress& p) override
    {
        Steps.push_back({std::string(p.What), p.Done, p.Total, p.RateBytesPerSecond});
    }
    bool KeepGoing() override
    {
        if (OnQuestion) OnQuestion();
        return StopAfter < 0 || Questions++ < StopAfter;
    }

    // What was logged since the last call.
    std::vector<std::string> Take() { return std::exchange(LogLines, {}); }
};

// A fixed local time; the tick advances by Step on every read.
struct TFakeClock : ops::IOpsClock {
    ops::TLocalTime Time{2026, 12, 6, 17, 28, 5, 7};
    std::uint64_t Tick = 0;
    std::uint64_t Step = 0;
    ops::TLocalTime Now() override { return Time; }
    std::uint64_t TickMs() override { return Tick += Step; }
};

// Files as byte arrays by name. A name in FailCreate cannot be created; a
// file in FailWrite fails its first write.
struct TMemoryFiles : ops::IFileFactory {
    std::map<std::string, TByteArray> Content;
    std::vector<std::string> Created;  // in order
    std::set<std::string> Closed;
    std::set<std::string> FailCreate, FailWrite;

    struct TFile : ops::IOutFile {
        TMemoryFiles& Owner;
        std::string Name;
        TFile(TMemoryFiles& owner, std::string name) : Owner(owner), Name(std::move(name)) {}
        void Write(const std::uint8_t* data, std::size_t size) override
        {
            if (Owner.FailWrite.count(Name)) throw ops::EFileError("Cannot write file \"" + Name + "\": No space left on device");
            Owner.Content[Name].insert(Owner.Content[Name].end(), data, data + size);
        }
        void Close() override { Owner.Closed.insert(Name); }
    };

    std::unique_ptr<ops::IOutFile> Create(const std::string& name) override
    {
        if (FailCreate.count(name)) throw ops::EFileError("Cannot create file \"" + name + "\": Permission denied");
        Created.push_back(name);
        Content[name].clear();
        return std::make_unique<TFile>(*this, name);
    }
};

// A reply may take half a second here rather than 125 ms: these tests check
// wording and results, not patience, and must not take a remote that a
// loaded machine delayed for a silent one.
inline TTiming PatientTiming()
{
    TTiming timing = FastTiming();
    timing.ReplyTries = 100;
    return timing;
}

struct TOpsFixture : TConnectedFixture<> {
    TScopedTiming Patient{PatientTiming()};
    TRecordingSink Sink;
    TFakeClock Clock;
    TMemoryFiles Files;
    std::string Separator = ".";

    ops::TOpsContext Ctx() { return {*Corvane, Sink, Clock, Files, Separator}; }
};
