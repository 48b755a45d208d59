#pragma once
// Basic types shared by every layer below the window.

#include <cstdint>
#include <vector>

// A growable array of bytes that owns its storage; every report, packet and
// data buffer is one. Callers size it before handing it to an operation that
// fills it.
using TByteArray = std::vector<std::uint8_t>;
