#pragma once
// In-memory stand-ins for what the page operations report through: a sink
// that records lines and progress, files kept in memory, a fixed clock.

#include "Operations.h"

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

struct TRecordingSink : ops::IOpsSink {
    struct TStep {
        std::string What;
        std::uint64_t Done = 0;
        std::uint64_t Total = 0;
    };
    std::vector<std::string> Log;
    std::vector<TStep> Steps;
    // Asked between chunks; going on when unset.
    std::function<bool()> OnKeepGoing;

    void Line(const std::string& line) override { Log.push_back(line); }
    void Lines(const std::vector<std::string>& lines) override { Log.insert(Log.end(), lines.begin(), lines.end()); }
    void Progress(const ops::TProgress& progress) override
    {
        Steps.push_back({std::string(progress.What), progress.Done, progress.Total});
    }
    bool KeepGoing() override { return OnKeepGoing ? OnKeepGoing() : true; }

    std::string LastLine() const { return Log.empty() ? std::string() : Log.back(); }
};

struct TMemoryFiles : ops::IFileFactory {
    struct TFile {
        std::string Name;
        TByteArray Bytes;
        bool Closed = false;
    };
    // In the order they were created; a name created again starts a new entry.
    std::vector<std::shared_ptr<TFile>> Created;

    std::unique_ptr<ops::IOutFile> Create(const std::string& name) override
    {
        Created.push_back(std::make_shared<TFile>());
        Created.back()->Name = name;
        return std::make_unique<TOut>(Created.back());
    }

private:
    struct TOut : ops::IOutFile {
        explicit TOut(std::shared_ptr<TFile> file) : File(std::move(file)) {}
        void Write(const std::uint8_t* data, std::size_t size) override
        {
            File->Bytes.insert(File->Bytes.end(), data, data + size);
        }
        void Close() override { File->Closed = true; }
        std::shared_ptr<TFile> File;
    };
};

// 29 February 2024, 23:59:58, a Thursday; the tick moves 5 ms per look.
struct TFixedClock : ops::IOpsClock {
    ops::TLocalTime Now() override { return {2024, 2, 29, 23, 59, 58, 4}; }
    std::uint64_t TickMs() override { return FTick += 5; }

private:
    std::uint64_t FTick = 0;
};
