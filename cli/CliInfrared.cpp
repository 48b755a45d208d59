// corvane-cli: the Infrared page (ir capture).

#include "CliCommands.h"

#include "../hid/Timing.h"

#include <algorithm>
#include <chrono>
#include <cstdio>

namespace cli {

namespace {

// The remote's wait for a capture's first packet, as the protocol reads.
std::string NoSignalText()
{
    const auto wait = TCorvaneOne::CaptureFirstReads * Timing().ReplyTries * Timing().ReplyTryPause;
    char text[160];
    std::snprintf(text, sizeof text,
                  "no infrared signal reached the remote within %.1f s, its wait for one: send the signal "
                  "right after \"Starting capture\"",
                  std::chrono::duration<double>(wait).count());
    return text;
}

}  // namespace

TExitCode TCli::IrCapture(const std::vector<std::string>&)
{
    const std::string path = (FInv.Given & OptOutput) ? FInv.Output : std::string(ops::CaptureFileName);
    const TFilePlace place = SplitPath(path);
    // The capture goes to FILE.partial, made before the remote is used (a
    // signal captured into a file that cannot be written would be lost), and
    // replaces FILE only when something was captured.
    ops::TStagedFiles files(place.Dir, ops::TStagedFiles::TReplace::Always);
    try {
        files.Reserve(place.Name);
    } catch (const ops::EFileError& e) {
        return Fail(TExitCode::FileError, e.what());
    }
    if (const TExitCode code = Connect(); code != TExitCode::Success)
        return code;
    ops::TOpsContext ctx = Context(files);
    ops::TCaptureResult result;
    {
        THookScope hook(FLoop.Capturing, [this] {
            FSink.Progress({"capture", static_cast<std::uint64_t>(std::max(FRemote->Progress, 0)), 0, 0});
            if (FSink.Interrupted())
                FRemote->Abort = true;
        });
        result = ops::CaptureIr(ctx, place.Name);
    }
    if (result.Ok()) {
        try {
            files.Commit();
        } catch (const ops::EFileError& e) {
            return Fail(TExitCode::FileError, e.what());
        }
    }
    if (FSink.Interrupted() && (result.Ok() || result.Outcome == ops::TOutcome::Stopped))
        return Stopped(result.File.empty() ? "nothing was captured" + std::string(place.Name.empty() ? "" : "; ") +
                                                 path + " is as it was"
                                           : "the " + std::to_string(result.Data.size()) +
                                                 " bytes captured are in " + path);
    // The window's line gives no reason; the usual one is named.
    if (result.Outcome == ops::TOutcome::Failed && FRemote->CaptureHeardNothing())
        result.Error = NoSignalText();
    return Finish(result);
}

}  // namespace cli
