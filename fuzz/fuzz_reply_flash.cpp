// The remote's replies while a flash read, write or erase runs.
#include "ReplyDriver.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    return RunReplies(TReplySurface::Flash, data, size);
}
