#include "Operations.h"
#include "OperationsPrivate.h"

namespace ops {

using namespace detail;

// --- Infrared -------------------------------------------------------------------------------------

TCaptureResult CaptureIr(TOpsContext& ctx, const std::string& fileName)
{
    TCaptureResult result;
    ctx.Sink.Line("Starting capture");
    ctx.Sink.Progress({"capture", 0, 0, 0});
    if (!ctx.Remote.IrCapture(result.Data)) {
        ctx.Sink.Line("IR capture failed");
        return Failure(ctx, std::move(result));
    }
    if (ctx.Strict && result.Data.empty()) {
        // An empty file in place of an earlier capture would be a loss
        // reported as a success.
        ctx.Sink.Line("Nothing was captured");
        result.Outcome = ctx.Remote.Abort ? TOutcome::Stopped : FailureOf(ctx);
        return result;
    }
    ctx.Sink.Line("IR capture success");
    try {
        std::unique_ptr<IOutFile> file = ctx.Files.Create(fileName);
        result.File = fileName;
        file->Write(result.Data.data(), result.Data.size());
        file->Close();
    } catch (const EFileError& e) {
        result.Outcome = TOutcome::FileError;
        result.Error = e.what();
    }
    return result;
}

}  // namespace ops
