// Trace files as a bug report may bring them: the reader must refuse what is
// no trace with a message naming the file, and what it accepts must keep the
// promises replay relies on.
#include "../sim/TraceReplay.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>

namespace {

void Check(bool condition, const char* what)
{
    if (!condition) {
        std::fprintf(stderr, "broken contract: %s\n", what);
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    std::istringstream in(std::string(reinterpret_cast<const char*>(data), size));
    TTraceRecording recording;
    std::string error;
    if (!TTraceRecording::Parse(in, "t", recording, error)) {
        Check(error.rfind("Bad trace t", 0) == 0 || error.rfind("Cannot read trace file t", 0) == 0,
              "a refusal names the trace");
        Check(recording.Exchanges.empty() && recording.Sessions.empty(), "a refused trace leaves nothing");
        return 0;
    }
    Check(error.empty(), "no error on success");
    Check(recording.InputLength >= 1 && recording.OutputLength >= 1, "report lengths of at least the ID byte");
    Check(!recording.Descriptor.empty(), "a descriptor, recorded or the simulated remote's");
    int line = 0;
    for (const auto& exchange : recording.Exchanges) {
        Check(exchange.Line > line, "requests in the order of their lines");
        line = exchange.Line;
        Check(exchange.Request.size() == static_cast<std::size_t>(recording.OutputLength),
              "requests of the output length");
        for (const auto& answer : exchange.Answers) {
            Check(answer.After.count() >= 0, "answers after their request");
            Check(answer.Removal ? answer.Report.empty()
                                 : answer.Report.size() == static_cast<std::size_t>(recording.InputLength),
                  "answers of the input length, or a removal");
        }
        const auto removals = std::count_if(exchange.Answers.begin(), exchange.Answers.end(),
                                            [](const auto& answer) { return answer.Removal; });
        Check(removals == 0 || (removals == 1 && exchange.Answers.back().Removal), "nothing after a removal");
    }
    return 0;
}
