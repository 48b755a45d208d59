// Report descriptors as a device of any kind may hand them out: the parser
// must stay inside the bytes, and its answer must keep the header's promises.
#include "../hid/HidDescriptor.h"

#include <cstdio>
#include <cstdlib>
#include <initializer_list>

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
    const THidReportInfo untouched{-7, -7, -7, true};
    THidReportInfo info = untouched;
    if (!ParseHidReportDescriptor(data, size, info)) {
        Check(info.InputLength == -7 && info.OutputLength == -7 && info.FeatureLength == -7 && info.NumberedReports,
              "info untouched on failure");
        return 0;
    }
    for (int length : {info.InputLength, info.OutputLength, info.FeatureLength})
        Check(length == 0 || (length >= 2 && length <= 65535), "a length is 0 or a report-ID byte and data");
    // Success means at least one report the link could use.
    Check(info.InputLength > 0 || info.OutputLength > 0 || info.FeatureLength > 0, "some report declared");
    return 0;
}
