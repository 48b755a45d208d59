// The remote's replies while an infrared capture runs.
#include "ReplyDriver.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    return RunReplies(TReplySurface::Capture, data, size);
}
