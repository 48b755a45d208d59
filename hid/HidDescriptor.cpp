#include "HidDescriptor.h"

#include <array>
#include <vector>

namespace {

// Item types (bits 3-2 of a short item's prefix).
constexpr unsigned TypeMain = 0;
constexpr unsigned TypeGlobal = 1;

// Main item tags (bits 7-4 of the prefix).
constexpr unsigned TagInput = 0x8;
constexpr unsigned TagOutput = 0x9;
constexpr unsigned TagCollection = 0xA;
constexpr unsigned TagFeature = 0xB;
constexpr unsigned TagEndCollection = 0xC;

// Global item tags.
constexpr unsigned TagReportSize = 0x7;
constexpr unsigned TagReportId = 0x8;
constexpr unsigned TagReportCount = 0x9;
constexpr unsigned TagPush = 0xA;
constexpr unsigned TagPop = 0xB;

// A long item: this prefix, a data size byte, a tag byte, then the data.
constexpr std::uint8_t LongItemPrefix = 0xFE;

// The capability query reports lengths as 16-bit values: a report of more
// than 65,535 bytes (report-ID byte included) cannot be described.
constexpr std::uint64_t MaxReportBits = (65535 - 1) * 8ull;

enum TReportKind { KindInput, KindOutput, KindFeature, KindCount };

// The global items that decide where a main item's bits go and how many.
struct TGlobalState {
    std::uint32_t ReportSize = 0;
    std::uint32_t ReportCount = 0;
    std::uint32_t ReportId = 0;  // 0 until a Report ID item
};

}  // namespace

bool ParseHidReportDescriptor(const std::uint8_t* data, std::size_t size, THidReportInfo& info)
{
    if (data == nullptr || size == 0)
        return false;

    // Bits of every report, per kind and report ID. Main items of one kind and
    // one report ID add up to one report, wherever they sit in the
    // collections.
    std::array<std::array<std::uint64_t, 256>, KindCount> bits{};
    TGlobalState globals;
    std::vector<TGlobalState> pushed;
    int collectionDepth = 0;
    bool numbered = false;
    bool anyReport = false;

    std::size_t pos = 0;
    while (pos < size) {
        const std::uint8_t prefix = data[pos];
        const std::size_t left = size - pos - 1;  // bytes behind the prefix

        if (prefix == LongItemPrefix) {
            // Reserved by the USB HID standard for items no parser here knows;
            // skip it whole, but only if it lies whole inside the descriptor.
            if (left < 2 || left - 2 < data[pos + 1])
                return false;
            pos += 3 + data[pos + 1];
            continue;
        }

        // A short item: 0, 1, 2 or 4 data bytes (size code 3 means 4),
        // little-endian.
        const std::size_t dataSize = (prefix & 0x3) == 3 ? 4 : (prefix & 0x3);
        if (left < dataSize)
            return false;
        std::uint32_t value = 0;
        for (std::size_t i = 0; i < dataSize; ++i)
            value |= static_cast<std::uint32_t>(data[pos + 1 + i]) << (8 * i);
        pos += 1 + dataSize;

        const unsigned type = (prefix >> 2) & 0x3;
        const unsigned tag = prefix >> 4;

        if (type == TypeGlobal) {
            switch (tag) {
            case TagReportSize:
                globals.ReportSize = value;
                break;
            case TagReportCount:
                globals.ReportCount = value;
                break;
            case TagReportId:
                // Report ID 0 is reserved: a numbered report's first byte is
                // never 0, which is how the class driver tells numbered
                // reports from unnumbered ones.
                if (value == 0 || value > 255)
                    return false;
                globals.ReportId = value;
                numbered = true;
                break;
            case TagPush:
                pushed.push_back(globals);
                break;
            case TagPop:
                if (pushed.empty())
                    return false;
                globals = pushed.back();
                pushed.pop_back();
                break;
            default:
                break;  // usage page, logical/physical ranges, units
            }
        } else if (type == TypeMain) {
            TReportKind kind = KindCount;
            switch (tag) {
            case TagInput:
                kind = KindInput;
                break;
            case TagOutput:
                kind = KindOutput;
                break;
            case TagFeature:
                kind = KindFeature;
                break;
            case TagCollection:
                ++collectionDepth;
                break;
            case TagEndCollection:
                if (collectionDepth == 0)
                    return false;
                --collectionDepth;
                break;
            default:
                break;
            }
            if (kind != KindCount) {
                // Both factors are at most 32 bits wide, so the product fits
                // in 64 bits, and the sum stays below 2^64 because every
                // total is capped right after it grows.
                std::uint64_t& total = bits[kind][globals.ReportId];
                total += static_cast<std::uint64_t>(globals.ReportSize) * globals.ReportCount;
                if (total > MaxReportBits)
                    return false;
                // A main item of 0 bits (no Report Size or Count yet) puts
                // nothing into a report: alone it describes no report.
                if (total > 0)
                    anyReport = true;
            }
        }
        // Local items and the reserved type carry nothing about lengths.
    }

    if (collectionDepth != 0 || !anyReport)
        return false;

    // Each report is padded to whole bytes and preceded by its report-ID byte
    // (0 for a device without numbered reports, but still counted).
    std::array<int, KindCount> lengths{};
    for (std::size_t kind = 0; kind < lengths.size(); ++kind) {
        for (const std::uint64_t reportBits : bits[kind]) {
            if (reportBits == 0)
                continue;
            const int length = static_cast<int>((reportBits + 7) / 8) + 1;
            if (length > lengths[kind])
                lengths[kind] = length;
        }
    }

    info.InputLength = lengths[KindInput];
    info.OutputLength = lengths[KindOutput];
    info.FeatureLength = lengths[KindFeature];
    info.NumberedReports = numbered;
    return true;
}
