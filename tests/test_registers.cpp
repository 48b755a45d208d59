// Reset, the decoded version and the miscellaneous registers, byte for byte
// on the wire.

#include "ConnectedFixture.h"

#include <gtest/gtest.h>

namespace {

struct TRegisterFixture : TConnectedFixture<> {
    std::shared_ptr<TSimRemote>& Remote = Sim;

    // The one request the remote received since the last call.
    TByteArray LastRequest()
    {
        const TReports received = Received();
        EXPECT_EQ(received.size(), 1u);
        return received.empty() ? TByteArray{} : received.back();
    }
};

TEST_F(TRegisterFixture, DecodedVersionOfTheExampleReply)
{
    Remote->ScriptReplies({Report({0x28, 0x35, 0x02, 0x01, 0x20, 0xC3, 0x04, 0x0C, 0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC,
                                   0xDE, 0x07})});
    TDecodedVersion v;
    ASSERT_TRUE(Corvane->GetDecodedVersion(v));
    const std::uint8_t expected[] = {3, 5, 2, 1, 32, 12, 3, 4, 12, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 222};
    const std::uint8_t actual[] = {v.FirmwareMajor,   v.FirmwareMinor,   v.BoardRevision,   v.MemoryDevice,
                                   v.MemoryManufacturer, v.Architecture, v.FirmwareType,    v.Skin,
                                   v.Protocol,        v.BootloaderMajor, v.BootloaderMinor, v.PicLibraryMajor,
                                   v.PicLibraryMinor, v.CpldMajor,       v.CpldMinor,       v.SafeModeMajor,
                                   v.SafeModeMinor,   v.NormalModeMajor, v.NormalModeMinor, v.ZwaveMajor,
                                   v.ZwaveMinor,      v.ZwaveRevision};
    EXPECT_TRUE(std::equal(std::begin(expected), std::end(expected), std::begin(actual)));
    EXPECT_EQ(Corvane->Architecture(), 12);
    EXPECT_EQ(Corvane->Protocol(), 12);
}

TEST_F(TRegisterFixture, DecodedVersionWithEveryNibbleDistinct)
{
    // No two nibbles alike, so a field taken from the wrong half or the
    // wrong byte shows.
    Remote->ScriptReplies({Report({0x28, 0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC, 0xDE, 0xF0, 0x21, 0x43, 0x65, 0x87, 0xA9,
                                   0xCB, 0x00})});
    TDecodedVersion v;
    ASSERT_TRUE(Corvane->GetDecodedVersion(v));
    TDecodedVersion expected{0x1, 0x2, 0x34, 0x56, 0x78, 0x9, 0xA, 0xBC, 0xDE, 0xF, 0x0,
                             0x2, 0x1, 0x4,  0x3,  0x6,  0x5, 0x8, 0x7,  0xA,  0x9, 0xCB};
    EXPECT_EQ(v, expected);
    EXPECT_EQ(Corvane->Architecture(), 9);
    EXPECT_EQ(Corvane->Protocol(), 0xDE);
}

TEST_F(TRegisterFixture, ShortVersionRepliesLeaveTheRecordUntouched)
{
    TDecodedVersion untouched;
    untouched.Skin = 77;
    // Seven payload bytes: the version request succeeds (architecture and
    // protocol follow it), the decoding has too little to work on.
    Remote->ScriptReplies({Report({0x27, 0x35, 0x02, 0x01, 0x20, 0x73, 0x04, 0x0B})});
    TDecodedVersion v = untouched;
    EXPECT_FALSE(Corvane->GetDecodedVersion(v));
    EXPECT_EQ(v, untouched);
    EXPECT_EQ(Corvane->Architecture(), 7);
    EXPECT_EQ(Corvane->Protocol(), 11);

    Remote->ScriptReplies({Report({0x25, 0x35, 0x02, 0x01, 0x20, 0xC3})});
    EXPECT_FALSE(Corvane->GetDecodedVersion(v));
    EXPECT_EQ(v, untouched);
    EXPECT_EQ(Corvane->Architecture(), 7);
}

TEST_F(TRegisterFixture, RequestsOnTheWire)
{
    std::uint8_t byte = 0;
    std::uint16_t word = 0;
    Corvane->ReadMiscByte(byte, 6, 0x41);
    EXPECT_EQ(LastRequest(), Report({0xB2, 0x06, 0x41}));
    Corvane->ReadMiscWord(word, 12, 1);
    EXPECT_EQ(LastRequest(), Report({0xB3, 0x0C, 0x00, 0x01}));
    Corvane->WriteMiscByte(0x55, 0, 0x10);
    EXPECT_EQ(LastRequest(), Report({0xA3, 0x00, 0x10, 0x55}));
    Corvane->WriteMiscWord(0x1234, 1, 5);
    EXPECT_EQ(LastRequest(), Report({0xA5, 0x01, 0x00, 0x05, 0x12, 0x34}));
    Corvane->Reset(3);
    EXPECT_EQ(LastRequest(), Report({0xE1, 0x03}));
}

TEST_F(TRegisterFixture, ByteReadTakesTheLastPayloadByte)
{
    std::uint8_t value = 0;
    Remote->ScriptReplies({Report({0xC2, 0x06, 0x5A}), Report({0xC3, 0x06, 0x41, 0x5A})});
    ASSERT_TRUE(Corvane->ReadMiscByte(value, 6, 0x41));
    EXPECT_EQ(value, 0x5A);
    value = 0;
    ASSERT_TRUE(Corvane->ReadMiscByte(value, 6, 0x41));
    EXPECT_EQ(value, 0x5A);
}

TEST_F(TRegisterFixture, WordReadIgnoresTheLengthCode)
{
    std::uint16_t value = 0;
    Remote->ScriptReplies({Report({0xC3, 0x0C, 0x0F, 0xA0}), Report({0xC8, 0x0C, 0x0F, 0xA1, 0xFF})});
    ASSERT_TRUE(Corvane->ReadMiscWord(value, 12, 1));
    EXPECT_EQ(value, 4000);
    ASSERT_TRUE(Corvane->ReadMiscWord(value, 12, 1));
    EXPECT_EQ(value, 4001);
}

TEST_F(TRegisterFixture, FailedReadsLeaveTheValue)
{
    const struct {
        const char* What;
        TByteArray Reply;
        bool WordReadFails;  // a word read looks only at the echo and bytes 2-3
    } cases[] = {
        {"echo of another type", Report({0xC2, 0x07, 0x5A}), true},
        {"reply of another type", Report({0xF1, 0x06, 0x5A}), true},
        {"payload without a value", Report({0xC1, 0x06}), false},
        {"silence", TByteArray{}, true},
    };
    for (const auto& c : cases) {
        Remote->ScriptReplies({c.Reply});
        std::uint8_t byte = 0x99;
        EXPECT_FALSE(Corvane->ReadMiscByte(byte, 6, 0x41)) << c.What;
        EXPECT_EQ(byte, 0x99) << c.What;

        Remote->ScriptReplies({c.Reply});
        std::uint16_t word = 0x9999;
        EXPECT_EQ(Corvane->ReadMiscWord(word, 6, 0x41), !c.WordReadFails) << c.What;
        if (c.WordReadFails) {
            EXPECT_EQ(word, 0x9999) << c.What;
        }
    }
}

TEST_F(TRegisterFixture, ByteReadWithABrokenLengthCodeRaises)
{
    std::uint8_t value = 0x99;
    Remote->ScriptReplies({Report({0xCB, 0x06, 0x5A})});
    EXPECT_THROW(Corvane->ReadMiscByte(value, 6, 0x41), ECorvaneAssertion);
    EXPECT_EQ(value, 0x99);
}

TEST_F(TRegisterFixture, WritesNeedTheAcknowledgementOfAWrite)
{
    Remote->ScriptReplies(
        {Report({0xF1, 0xA0}), Report({0xF1, 0xB0}), TByteArray{}, Report({0xC1, 0xA0}), TByteArray{}});
    EXPECT_TRUE(Corvane->WriteMiscByte(0x55, 0, 0x10));
    EXPECT_FALSE(Corvane->WriteMiscByte(0x55, 0, 0x10));  // wrong echo
    EXPECT_FALSE(Corvane->WriteMiscByte(0x55, 0, 0x10));  // no reply
    EXPECT_FALSE(Corvane->WriteMiscWord(0x1234, 1, 5));   // wrong type
    EXPECT_FALSE(Corvane->WriteMiscWord(0x1234, 1, 5));   // no reply
}

TEST_F(TRegisterFixture, RegistersRoundTripThroughTheSimulatedRemote)
{
    ASSERT_TRUE(Corvane->WriteMiscWord(0xBEEF, 6, 0x1234));
    std::uint16_t word = 0;
    ASSERT_TRUE(Corvane->ReadMiscWord(word, 6, 0x1234));
    EXPECT_EQ(word, 0xBEEF);
    ASSERT_TRUE(Corvane->WriteMiscByte(0x42, 0, 7));
    std::uint8_t byte = 0;
    ASSERT_TRUE(Corvane->ReadMiscByte(byte, 0, 7));
    EXPECT_EQ(byte, 0x42);
}

TEST_F(TRegisterFixture, NothingIsSentWhileNotConnected)
{
    Bus.Unplug(Remote);
    Loop.DispatchMessages(false);
    ASSERT_FALSE(Corvane->Connected());
    Remote->ClearReceived();
    std::uint8_t byte = 1;
    std::uint16_t word = 1;
    TDecodedVersion v;
    EXPECT_FALSE(Corvane->ReadMiscByte(byte, 0, 0));
    EXPECT_FALSE(Corvane->ReadMiscWord(word, 0, 0));
    EXPECT_FALSE(Corvane->WriteMiscByte(0, 0, 0));
    EXPECT_FALSE(Corvane->WriteMiscWord(0, 0, 0));
    EXPECT_FALSE(Corvane->GetDecodedVersion(v));
    EXPECT_FALSE(Corvane->Reset(1));
    EXPECT_TRUE(Remote->Received().empty());
}

}  // namespace
