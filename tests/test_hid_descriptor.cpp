// The report descriptor parser: report lengths as the HID class driver's
// capability query gives them (report-ID byte included, 0 for a kind of report
// the device does not have), numbered reports, and refusal of malformed
// descriptors without reading past their end.

#include "HidDescriptor.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace {

using TBytes = std::vector<std::uint8_t>;

// The remote's kind of descriptor: vendor page, 64-byte input and output
// reports, no report IDs.
const TBytes VendorDefined64 = {
    0x06, 0x00, 0xFF,  // Usage Page (Vendor 0xFF00)
    0x09, 0x01,        // Usage (1)
    0xA1, 0x01,        // Collection (Application)
    0x15, 0x00,        //   Logical Minimum (0)
    0x26, 0xFF, 0x00,  //   Logical Maximum (255)
    0x75, 0x08,        //   Report Size (8)
    0x95, 0x40,        //   Report Count (64)
    0x09, 0x01,        //   Usage (1)
    0x81, 0x02,        //   Input (Data, Variable, Absolute)
    0x09, 0x01,        //   Usage (1)
    0x91, 0x02,        //   Output (Data, Variable, Absolute)
    0xC0,              // End Collection
};

// Four numbered reports; report 2's input is split over two main items.
const TBytes NumberedReports = {
    0x06, 0x00, 0xFF,  // Usage Page (Vendor 0xFF00)
    0x09, 0x01,        // Usage (1)
    0xA1, 0x01,        // Collection (Application)
    0x75, 0x08,        //   Report Size (8)
    0x85, 0x01,        //   Report ID (1)
    0x95, 0x08,        //   Report Count (8)
    0x09, 0x01,        //   Usage (1)
    0x81, 0x02,        //   Input: 8 bytes
    0x85, 0x02,        //   Report ID (2)
    0x95, 0x10,        //   Report Count (16)
    0x09, 0x02,        //   Usage (2)
    0x81, 0x02,        //   Input: 16 bytes
    0x09, 0x03,        //   Usage (3)
    0x81, 0x02,        //   Input: 16 more bytes, report 2 now 32
    0x85, 0x03,        //   Report ID (3)
    0x09, 0x04,        //   Usage (4)
    0x91, 0x02,        //   Output: 16 bytes
    0x85, 0x04,        //   Report ID (4)
    0x95, 0x64,        //   Report Count (100)
    0x09, 0x05,        //   Usage (5)
    0xB1, 0x02,        //   Feature: 100 bytes
    0xC0,              // End Collection
};

// The boot mouse of the USB HID standard: 3 buttons, 5 bits of padding, X
// and Y. It has no output report; the capability query reports an output
// length of 0 for such a device, and so does the parser.
const TBytes BootMouse = {
    0x05, 0x01,  // Usage Page (Generic Desktop)
    0x09, 0x02,  // Usage (Mouse)
    0xA1, 0x01,  // Collection (Application)
    0x09, 0x01,  //   Usage (Pointer)
    0xA1, 0x00,  //   Collection (Physical)
    0x05, 0x09,  //     Usage Page (Buttons)
    0x19, 0x01,  //     Usage Minimum (1)
    0x29, 0x03,  //     Usage Maximum (3)
    0x15, 0x00,  //     Logical Minimum (0)
    0x25, 0x01,  //     Logical Maximum (1)
    0x95, 0x03,  //     Report Count (3)
    0x75, 0x01,  //     Report Size (1)
    0x81, 0x02,  //     Input (Data, Variable, Absolute): 3 bits
    0x95, 0x01,  //     Report Count (1)
    0x75, 0x05,  //     Report Size (5)
    0x81, 0x01,  //     Input (Constant): 5 bits of padding
    0x05, 0x01,  //     Usage Page (Generic Desktop)
    0x09, 0x30,  //     Usage (X)
    0x09, 0x31,  //     Usage (Y)
    0x15, 0x81,  //     Logical Minimum (-127)
    0x25, 0x7F,  //     Logical Maximum (127)
    0x75, 0x08,  //     Report Size (8)
    0x95, 0x02,  //     Report Count (2)
    0x81, 0x06,  //     Input (Data, Variable, Relative): 2 bytes
    0xC0,        //   End Collection
    0xC0,        // End Collection
};

// The boot keyboard: 8-byte input, and an output report of 5 LED bits padded
// to one byte.
const TBytes BootKeyboard = {
    0x05, 0x01,        // Usage Page (Generic Desktop)
    0x09, 0x06,        // Usage (Keyboard)
    0xA1, 0x01,        // Collection (Application)
    0x05, 0x07,        //   Usage Page (Key Codes)
    0x19, 0xE0,        //   Usage Minimum (224)
    0x29, 0xE7,        //   Usage Maximum (231)
    0x15, 0x00,        //   Logical Minimum (0)
    0x25, 0x01,        //   Logical Maximum (1)
    0x75, 0x01,        //   Report Size (1)
    0x95, 0x08,        //   Report Count (8)
    0x81, 0x02,        //   Input: modifier byte
    0x95, 0x01,        //   Report Count (1)
    0x75, 0x08,        //   Report Size (8)
    0x81, 0x01,        //   Input (Constant): reserved byte
    0x95, 0x05,        //   Report Count (5)
    0x75, 0x01,        //   Report Size (1)
    0x05, 0x08,        //   Usage Page (LEDs)
    0x19, 0x01,        //   Usage Minimum (1)
    0x29, 0x05,        //   Usage Maximum (5)
    0x91, 0x02,        //   Output: 5 LED bits
    0x95, 0x01,        //   Report Count (1)
    0x75, 0x03,        //   Report Size (3)
    0x91, 0x01,        //   Output (Constant): 3 bits of padding
    0x95, 0x06,        //   Report Count (6)
    0x75, 0x08,        //   Report Size (8)
    0x15, 0x00,        //   Logical Minimum (0)
    0x26, 0xFF, 0x00,  //   Logical Maximum (255)
    0x05, 0x07,        //   Usage Page (Key Codes)
    0x19, 0x00,        //   Usage Minimum (0)
    0x2A, 0xFF, 0x00,  //   Usage Maximum (255)
    0x81, 0x00,        //   Input (Data, Array): 6 key codes
    0xC0,              // End Collection
};

// Push saves report ID 1 and count 4 while report 2 is described; Pop brings
// them back, so the last Input adds 4 bytes to report 1 (not 32 to report 2).
const TBytes PushPop = {
    0x06, 0x00, 0xFF,  // Usage Page (Vendor 0xFF00)
    0x09, 0x01,        // Usage (1)
    0xA1, 0x01,        // Collection (Application)
    0x85, 0x01,        //   Report ID (1)
    0x75, 0x08,        //   Report Size (8)
    0x95, 0x04,        //   Report Count (4)
    0x81, 0x02,        //   Input: report 1, 4 bytes
    0xA4,              //   Push
    0x85, 0x02,        //   Report ID (2)
    0x95, 0x20,        //   Report Count (32)
    0x81, 0x02,        //   Input: report 2, 32 bytes
    0xB4,              //   Pop
    0x81, 0x02,        //   Input: report 1, 4 more bytes
    0xC0,              // End Collection
};

// 12 bits of input round up to 2 bytes; a long item (skipped) sits in the
// middle.
const TBytes OddBitsWithLongItem = {
    0x06, 0x00, 0xFF,              // Usage Page (Vendor 0xFF00)
    0x09, 0x01,                    // Usage (1)
    0xA1, 0x01,                    // Collection (Application)
    0xFE, 0x03, 0x10, 0x81, 0x02,  //   Long item: 3 data bytes, tag 0x10
    0xC0,                          //   (data byte 3, looks like End Collection)
    0x75, 0x04,                    //   Report Size (4)
    0x95, 0x03,                    //   Report Count (3)
    0x81, 0x02,                    //   Input: 12 bits
    0xC0,                          // End Collection
};

// Runs the parser on a heap copy of exactly the descriptor's size, so that a
// sanitizer build catches any read past its end.
bool Parse(const TBytes& descriptor, THidReportInfo& info)
{
    std::unique_ptr<std::uint8_t[]> exact(new std::uint8_t[descriptor.size() + (descriptor.empty() ? 1 : 0)]);
    std::copy(descriptor.begin(), descriptor.end(), exact.get());
    return ParseHidReportDescriptor(exact.get(), descriptor.size(), info);
}

struct TExpected {
    const char* Name;
    const TBytes* Descriptor;
    int InputLength;
    int OutputLength;
    int FeatureLength;
    bool Numbered;
};

const TExpected WellFormed[] = {
    {"VendorDefined64", &VendorDefined64, 65, 65, 0, false},
    {"NumberedReports", &NumberedReports, 33, 17, 101, true},
    {"BootMouse", &BootMouse, 4, 0, 0, false},
    {"BootKeyboard", &BootKeyboard, 9, 2, 0, false},
    {"PushPop", &PushPop, 33, 0, 0, true},
    {"OddBitsWithLongItem", &OddBitsWithLongItem, 3, 0, 0, false},
};

TEST(HidDescriptor, ReportsLengthsWithReportIdByteAndNumbering)
{
    for (const TExpected& expected : WellFormed) {
        SCOPED_TRACE(expected.Name);
        THidReportInfo info;
        ASSERT_TRUE(Parse(*expected.Descriptor, info));
        EXPECT_EQ(info.InputLength, expected.InputLength);
        EXPECT_EQ(info.OutputLength, expected.OutputLength);
        EXPECT_EQ(info.FeatureLength, expected.FeatureLength);
        EXPECT_EQ(info.NumberedReports, expected.Numbered);
    }
}

struct TMalformed {
    const char* Name;
    TBytes Descriptor;
};

const TMalformed Malformed[] = {
    {"empty", {}},
    {"2-byte item cut after 1", {0x06, 0x00}},
    {"4-byte item cut after 3", {0xA1, 0x01, 0x75, 0x08, 0x95, 0x01, 0x81, 0x02, 0xC0, 0x07, 0x00, 0x00, 0xFF}},
    {"long item without its header", {0xFE, 0x04}},
    {"long item cut in its data", {0xFE, 0x04, 0x10, 0xAA, 0xBB}},
    {"garbage of 0xFF", {0xFF, 0xFF, 0xFF}},
    {"Pop without Push", {0xA1, 0x01, 0x75, 0x08, 0x95, 0x01, 0x81, 0x02, 0xB4, 0xC0}},
    {"End Collection without Collection", {0x75, 0x08, 0x95, 0x01, 0x81, 0x02, 0xC0}},
    {"Collection never ended", {0xA1, 0x01, 0x75, 0x08, 0x95, 0x01, 0x81, 0x02}},
    {"Report ID 0", {0xA1, 0x01, 0x85, 0x00, 0x75, 0x08, 0x95, 0x01, 0x81, 0x02, 0xC0}},
    {"Report ID 256", {0xA1, 0x01, 0x86, 0x00, 0x01, 0x75, 0x08, 0x95, 0x01, 0x81, 0x02, 0xC0}},
    {"report of 8 GB", {0xA1, 0x01, 0x76, 0xFF, 0xFF, 0x96, 0xFF, 0xFF, 0x81, 0x02, 0xC0}},
    {"report of 65,535 bytes plus its ID byte",
     {0xA1, 0x01, 0x75, 0x08, 0x96, 0xFF, 0xFF, 0x81, 0x02, 0xC0}},
    {"no report at all", {0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0xC0}},
    // Found by fuzz_descriptor: main items of 0 bits are no report either.
    {"a Feature item of 0 bits, alone", {0xB1, 0x01}},
    {"Input and Output of 0 bits in a collection",
     {0xA1, 0x01, 0x75, 0x00, 0x95, 0x40, 0x81, 0x02, 0x75, 0x08, 0x95, 0x00, 0x91, 0x02, 0xC0}},
};

TEST(HidDescriptor, RefusesMalformedDescriptorsAndLeavesInfoUntouched)
{
    for (const TMalformed& malformed : Malformed) {
        SCOPED_TRACE(malformed.Name);
        THidReportInfo info{11, 22, 33, true};
        EXPECT_FALSE(Parse(malformed.Descriptor, info));
        EXPECT_EQ(info.InputLength, 11);
        EXPECT_EQ(info.OutputLength, 22);
        EXPECT_EQ(info.FeatureLength, 33);
        EXPECT_TRUE(info.NumberedReports);
    }

    THidReportInfo info;
    EXPECT_FALSE(ParseHidReportDescriptor(nullptr, 16, info));
}

// A descriptor cut anywhere is either cut inside an item or leaves its
// application collection open: every proper prefix is refused, and none is
// read past its end.
TEST(HidDescriptor, RefusesEveryTruncation)
{
    for (const TExpected& expected : WellFormed) {
        const TBytes& whole = *expected.Descriptor;
        for (std::size_t length = 0; length < whole.size(); ++length) {
            SCOPED_TRACE(std::string(expected.Name) + " cut to " + std::to_string(length));
            THidReportInfo info;
            EXPECT_FALSE(Parse(TBytes(whole.begin(), whole.begin() + static_cast<long>(length)), info));
        }
    }
}

// The largest report that the 16-bit lengths can describe: 65,534 data bytes
// and the report-ID byte.
TEST(HidDescriptor, AcceptsTheLargestDescribableReport)
{
    const TBytes largest = {
        0xA1, 0x01,        // Collection (Application)
        0x75, 0x08,        //   Report Size (8)
        0x96, 0xFE, 0xFF,  //   Report Count (65,534)
        0x81, 0x02,        //   Input
        0xC0,              // End Collection
    };
    THidReportInfo info;
    ASSERT_TRUE(Parse(largest, info));
    EXPECT_EQ(info.InputLength, 65535);
}

}  // namespace
