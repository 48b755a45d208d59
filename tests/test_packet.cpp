// The packet header: type in the high nibble, a length code in the low one.

#include "CorvaneInterface.h"

#include <gtest/gtest.h>

namespace {

TEST(PacketHeader, LengthCodesRoundUpInThreeSteps)
{
    const struct {
        std::uint32_t Length;
        std::uint8_t Header;
    } cases[] = {
        {0, 0x20},  {7, 0x27},  {8, 0x28},  {15, 0x28},  {16, 0x29},
        {31, 0x29}, {32, 0x2A}, {63, 0x2A}, {64, 0x2A},  {1000, 0x2A},
    };
    for (auto c : cases) {
        TByteArray packet(64, 0);
        SetPacketType(packet, 0x20);
        SetPacketLength(packet, c.Length);
        EXPECT_EQ(packet[0], c.Header) << c.Length;
    }
}

TEST(PacketHeader, SettingTheTypeClearsTheOldLengthCode)
{
    TByteArray packet{0xFF, 0, 0, 0};
    SetPacketType(packet, 0x20);
    EXPECT_EQ(packet[0], 0x20);
    SetPacketLength(packet, 3);
    EXPECT_EQ(packet[0], 0x23);
    EXPECT_EQ(GetPacketType(packet), 0x20);
}

TEST(PacketHeader, DecodedLengthMustFitThePacket)
{
    EXPECT_EQ(GetPacketLength(TByteArray{}), 0);
    EXPECT_EQ(GetPacketLength(TByteArray(64, 0x2A)), 63);
    EXPECT_EQ(GetPacketLength(TByteArray(8, 0x27)), 7);
    TByteArray packet(16, 0);
    packet[0] = 0x28;
    EXPECT_EQ(GetPacketLength(packet), 15);
    packet[0] = 0x29;
    EXPECT_THROW(GetPacketLength(packet), ECorvaneAssertion);
}

TEST(PacketHeader, BrokenLengthsRaiseWithMessageAndFile)
{
    const struct {
        TByteArray Packet;
        const char* Message;
    } cases[] = {
        {TByteArray(63, 0x2A), "Invalid number of bytes in buffer"},
        {TByteArray(7, 0x27), "Invalid number of bytes in buffer"},
        {TByteArray(64, 0x2B), "Invalid number of bytes"},
        {TByteArray(64, 0x2F), "Invalid number of bytes"},
    };
    for (const auto& c : cases) {
        try {
            GetPacketLength(c.Packet);
            ADD_FAILURE() << "no error for header " << int(c.Packet[0]);
        } catch (const ECorvaneAssertion& e) {
            EXPECT_EQ(e.Message(), c.Message);
            const std::string expected = std::string(c.Message) + " (CorvaneInterface, line " +
                                         std::to_string(e.Line()) + ")";
            EXPECT_EQ(std::string(e.what()), expected);
            EXPECT_GT(e.Line(), 0);
        }
    }
}

}  // namespace
