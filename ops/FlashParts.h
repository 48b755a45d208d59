#pragma once
// The named regions of the remote's flash, in the order the parts dump writes
// them. Start and Size are flash addresses and byte counts.

#include <array>
#include <cstdint>
#include <string_view>

struct TPart {
    std::int32_t Start;
    std::int32_t Size;
    std::string_view Name;
};

inline constexpr std::array<TPart, 9> FlashParts{{
    {0xFE0000, 0x1000, "bootloader"},
    {0xFE1000, 0xF000, "safe_mode"},
    {0xFF0000, 0x4000, "cpld"},
    {0xFFE000, 0x1000, "pic_library"},
    {0xFFF400, 0x40, "guid"},
    {0xFFF640, 0x40, "manufacturer_pid"},
    {0x2000, 0x1E000, "embedded_configuration"},
    {0x3D0000, 0x20000, "normal_app"},
    {0x40000, 0x3C0000, "user_configuration"},
}};
