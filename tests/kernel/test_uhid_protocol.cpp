// The protocol through the kernel's HID stack: version, registers, flash read
// and write, an infrared capture, each byte-exact against the firmware model.

#include "KernelSupport.h"

#include "CorvaneInterface.h"

namespace {

class TProtocolFixture : public TKernelFixture {
protected:
    void SetUp() override
    {
        TKernelFixture::SetUp();
        Plug(Remote);
        Corvane = std::make_unique<TCorvaneOne>(*Platform, Loop);
        ASSERT_TRUE(Corvane->Connected());
    }

    void TearDown() override
    {
        Corvane.reset();
        TKernelFixture::TearDown();
    }

    TByteArray Flash(std::uint32_t address, std::uint32_t size)
    {
        TByteArray bytes;
        Remote.WithFirmware([&](TRemoteFirmware& firmware, auto) { bytes = firmware.ReadFlash(address, size); });
        return bytes;
    }

    TUhidRemote Remote{RemoteOptions()};
    std::unique_ptr<TCorvaneOne> Corvane;
};

TEST_F(TProtocolFixture, VersionReply)
{
    TByteArray payload;
    Remote.WithFirmware([&](TRemoteFirmware& firmware, auto) { payload = firmware.VersionPayload(); });

    TByteArray reply;
    ASSERT_TRUE(Corvane->GetVersion(reply));
    ASSERT_EQ(reply.size(), payload.size() + 1);
    EXPECT_EQ(GetPacketType(reply), PKT_VERSION);
    EXPECT_TRUE(std::equal(payload.begin(), payload.end(), reply.begin() + 1));
    EXPECT_EQ(Corvane->Architecture(), 12);
    EXPECT_EQ(Corvane->Protocol(), 12);

    TDecodedVersion version;
    ASSERT_TRUE(Corvane->GetDecodedVersion(version));
    EXPECT_EQ(version.BoardRevision, payload[1]);
    EXPECT_EQ(version.ZwaveRevision, payload[13]);
}

TEST_F(TProtocolFixture, RegistersWrittenAndReadBack)
{
    ASSERT_TRUE(Corvane->WriteMiscWord(0x1234, 5, 0x0102));
    ASSERT_TRUE(Corvane->WriteMiscByte(0xA5, 7, 3));
    std::uint16_t word = 0;
    std::uint8_t byte = 0;
    ASSERT_TRUE(Corvane->ReadMiscWord(word, 5, 0x0102));
    EXPECT_EQ(word, 0x1234);
    ASSERT_TRUE(Corvane->ReadMiscByte(byte, 7, 3));
    EXPECT_EQ(byte, 0xA5);
    ASSERT_TRUE(Corvane->ReadMiscWord(word, 12, 1));
    EXPECT_EQ(word, 3912);  // the battery, in millivolts
}

TEST_F(TProtocolFixture, FlashReadIsByteExact)
{
    Remote.WithFirmware([](TRemoteFirmware& firmware, auto) { firmware.FillFlashWithPattern(); });
    // As fast as the kernel takes them: 49 reports, within the 64 that
    // hidraw queues for a reader.
    Remote.SetPaced(false);
    // Across a sector boundary, with a tail that needs short packets.
    const std::uint32_t address = 0x012345;
    const std::uint16_t size = 3000;
    TByteArray data;
    ASSERT_TRUE(Corvane->ReadFlash(data, address, size));
    EXPECT_EQ(data, Flash(address, size));
}

// A whole 64 KiB stream at the remote's pace of one report per millisecond:
// the kernel keeps only 64 unread reports per open node, so this holds only
// while the link's reader drains the node as fast as the reports come.
TEST_F(TProtocolFixture, FullSizeFlashReadAtTheRemotesPace)
{
    Remote.WithFirmware([](TRemoteFirmware& firmware, auto) { firmware.FillFlashWithPattern(); });
    TByteArray data;
    ASSERT_TRUE(Corvane->ReadFlash(data, 0xFF0000, 65535));
    EXPECT_EQ(data, Flash(0xFF0000, 65535));
}

TEST_F(TProtocolFixture, FlashWriteReadsBack)
{
    TByteArray written(1000);
    for (std::size_t i = 0; i < written.size(); ++i)
        written[i] = static_cast<std::uint8_t>(i * 7 + (i >> 8));
    const std::uint32_t address = 0x020010;
    ASSERT_TRUE(Corvane->EraseFlashSector(address));
    ASSERT_TRUE(Corvane->WriteFlash(written, address, static_cast<std::uint16_t>(written.size())));
    EXPECT_EQ(Flash(address, 1000), written);

    TByteArray read;
    ASSERT_TRUE(Corvane->ReadFlash(read, address, 1000));
    EXPECT_EQ(read, written);
}

TEST_F(TProtocolFixture, InfraredCapture)
{
    const TByteArray signal = TRemoteFirmware::MakeIrSignal({0x08, 0x1B});
    Remote.WithFirmware([&](TRemoteFirmware& firmware, auto) { firmware.SetIrCapture(signal, 0ms); });
    TByteArray data;
    ASSERT_TRUE(Corvane->IrCapture(data));
    TByteArray expected = signal;
    expected.insert(expected.end(), {0x80, 0x00});  // the end marker is kept
    EXPECT_EQ(data, expected);
    EXPECT_EQ(Remote.Received().back(), Packet({PKT_IR_CAPTURE_STOP}));
}

}  // namespace
