// The remote's replies while a short command (version, reset, registers, erase, reconnection) runs.
#include "ReplyDriver.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    return RunReplies(TReplySurface::Commands, data, size);
}
