#pragma once
// Report lengths from a HID report descriptor.
//
// hidraw hands out the raw report descriptor, not the report lengths that the
// link needs; this parser works them out the way the HID class driver's
// capability query reports them. Pure code: no device, no system call, so the
// tests feed it descriptors as byte tables.

#include <cstddef>
#include <cstdint>

struct THidReportInfo {
    // Byte length of the largest report of each kind, report-ID byte included:
    // a device without numbered reports still counts one byte for it. 0 when
    // the descriptor declares no report of that kind (a mouse has no output
    // report), which is what the capability query reports too.
    int InputLength = 0;
    int OutputLength = 0;
    int FeatureLength = 0;

    // The descriptor has at least one Report ID item: every report then starts
    // with its number, also in what hidraw's read() returns.
    bool NumberedReports = false;
};

// Any thread. Parses size bytes at data. Returns false for a descriptor that is
// empty, truncated inside an item, unbalanced (Pop without Push, End Collection
// without Collection, a Collection never ended), uses report ID 0 or one above
// 255, declares a report longer than 65,535 bytes, or declares no report at
// all (main items of 0 bits declare none); info is then untouched. Never reads outside the size bytes.
//
// Local items, long items and unknown tags say nothing about report lengths
// and are skipped.
bool ParseHidReportDescriptor(const std::uint8_t* data, std::size_t size, THidReportInfo& info);
