#pragma once
// The remote's USB IDs. A remote with other IDs: change this one line.
// (0x1209/0x0001 are the test IDs of the open pid.codes registry.)

#include <cstdint>

struct TUsbIds {
    std::uint16_t VendorId;
    std::uint16_t ProductId;
};

inline constexpr TUsbIds CORVANE_USB_IDS{0x1209, 0x0001};
