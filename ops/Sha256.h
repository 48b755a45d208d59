#pragma once
// SHA-256, for the checksums in the command line's dump manifests: small,
// incremental, no dependency. Plain C++.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace ops {

class TSha256 {
public:
    TSha256();
    void Add(const std::uint8_t* data, std::size_t size);
    // The digest of everything added; the object then starts over.
    std::array<std::uint8_t, 32> Finish();
    // The digest as 64 lowercase hex digits.
    std::string FinishHex();

private:
    void Block(const std::uint8_t* block);
    std::array<std::uint32_t, 8> FState;
    std::array<std::uint8_t, 64> FBuffer{};
    std::size_t FBuffered = 0;
    std::uint64_t FLength = 0;  // bytes added
};

// The hex digest of size bytes.
std::string Sha256Hex(const std::uint8_t* data, std::size_t size);

}  // namespace ops
