// SHA-256 of the dump manifests: the published test vectors, and the same
// digest however the bytes are split into Add calls.

#include "Sha256.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::string Hex(const std::string& text)
{
    return ops::Sha256Hex(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
}

TEST(Sha256, PublishedVectors)
{
    const struct {
        std::string Message;
        const char* Digest;
    } cases[] = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        // 56 bytes: the length no longer fits the first block's padding.
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        // 112 bytes: two blocks less 16.
        {"abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmnopqrsmnopqrstnopqrstu",
         "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1"},
        {std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Hex(c.Message), c.Digest) << c.Message.size() << " bytes";
}

TEST(Sha256, SplitAddsGiveTheSameDigest)
{
    std::vector<std::uint8_t> bytes(200);
    for (std::size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<std::uint8_t>(i * 7 + 3);
    // Every length around the block and padding edges, fed in pieces of
    // every size from 1 to 65 (the last piece shorter where it does not divide).
    for (std::size_t length : {0u, 1u, 55u, 56u, 63u, 64u, 65u, 119u, 120u, 128u, 200u}) {
        const std::string whole = ops::Sha256Hex(bytes.data(), length);
        for (std::size_t piece = 1; piece <= 65; ++piece) {
            ops::TSha256 hash;
            for (std::size_t at = 0; at < length; at += piece)
                hash.Add(bytes.data() + at, std::min(piece, length - at));
            ASSERT_EQ(hash.FinishHex(), whole) << length << " bytes in pieces of " << piece;
        }
    }
    // Finish starts over: the object hashes a second message afresh.
    ops::TSha256 hash;
    hash.Add(bytes.data(), 10);
    hash.Finish();
    hash.Add(reinterpret_cast<const std::uint8_t*>("abc"), 3);
    EXPECT_EQ(hash.FinishHex(), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

}  // namespace
