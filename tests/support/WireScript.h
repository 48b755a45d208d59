#pragma once
// Wire images written as hex, and a simulated remote that answers a request
// with an exact stream of reports.

#include "SimRemote.h"

#include <cctype>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

using TReports = std::vector<TByteArray>;

// "55 04 00" -> {0x55, 0x04, 0x00}.
inline TByteArray Hex(std::string_view text)
{
    TByteArray bytes;
    for (std::size_t i = 0; i < text.size();) {
        if (std::isspace(static_cast<unsigned char>(text[i]))) {
            ++i;
            continue;
        }
        bytes.push_back(static_cast<std::uint8_t>(std::stoi(std::string(text.substr(i, 2)), nullptr, 16)));
        i += 2;
    }
    return bytes;
}

// One 64-byte report payload: the given bytes, then zeros.
inline TByteArray Report(std::string_view hex)
{
    TByteArray report = Hex(hex);
    report.resize(64, 0);
    return report;
}

// The same from bytes: {0xE1, 0x01} -> E1 01 and 62 zeros.
inline TByteArray Report(std::initializer_list<std::uint8_t> bytes)
{
    TByteArray report(bytes);
    report.resize(64, 0);
    return report;
}

// The simulated remote, whose answer to the next request can be replaced by
// a stream of exact reports: the firmware is told not to answer that request
// (an empty scripted reply) and the stream goes on the wire as the request
// arrives. Scripted replies for the requests after it may follow.
class TStreamingRemote : public TSimRemote {
public:
    void StreamNext(TReports reports, TReports laterReplies = {})
    {
        {
            std::lock_guard lock(FMutex);
            FStream = std::move(reports);
        }
        laterReplies.insert(laterReplies.begin(), TByteArray{});
        ScriptReplies(std::move(laterReplies));
    }

    void OnOutputReport(const TByteArray& report) override
    {
        TSimRemote::OnOutputReport(report);
        TReports stream;
        {
            std::lock_guard lock(FMutex);
            stream.swap(FStream);
        }
        for (const TByteArray& payload : stream) {
            TByteArray input(static_cast<std::size_t>(InputReportLength()), 0);  // report ID 0
            std::copy(payload.begin(), payload.end(), input.begin() + 1);
            SendInput(input);
        }
    }

private:
    std::mutex FMutex;
    TReports FStream;
};
