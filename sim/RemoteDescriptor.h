#pragma once
// The report descriptor of the simulated remote: vendor page 0xFF00, one
// 64-byte input and one 64-byte output report, and no Report ID item, so that
// the reports are not numbered. The kernel device of corvane-sim declares it,
// the in-process remote answers it, and a replayed trace without a header of
// its own assumes it.

#include <cstdint>

inline constexpr std::uint8_t SimRemoteDescriptor[] = {
    0x06, 0x00, 0xFF,  // Usage Page (Vendor 0xFF00)
    0x09, 0x01,        // Usage (1)
    0xA1, 0x01,        // Collection (Application)
    0x15, 0x00,        //   Logical Minimum (0)
    0x26, 0xFF, 0x00,  //   Logical Maximum (255)
    0x75, 0x08,        //   Report Size (8)
    0x95, 0x40,        //   Report Count (64)
    0x09, 0x01,        //   Usage (1)
    0x81, 0x02,        //   Input (Data, Var, Abs)
    0x95, 0x40,        //   Report Count (64)
    0x09, 0x02,        //   Usage (2)
    0x91, 0x02,        //   Output (Data, Var, Abs)
    0xC0,              // End Collection
};
