// The remote removed in the middle of a transfer: the operation fails, none
// hangs, and the connection comes back with the remote.

#include "KernelSupport.h"

#include "CorvaneInterface.h"

namespace {

class TFaultFixture : public TKernelFixture {
protected:
    void SetUp() override
    {
        TKernelFixture::SetUp();
        Node = Plug(Remote);
        Remote.WithFirmware([](TRemoteFirmware& firmware, auto) { firmware.FillFlashWithPattern(); });
        Corvane = std::make_unique<TCorvaneOne>(*Platform, Loop);
        ASSERT_TRUE(Corvane->Connected());
        Corvane->OnStatusChange = [this] {
            ++StatusChanges;
            SawDisconnected = SawDisconnected || !Corvane->Connected();
        };
    }

    void TearDown() override
    {
        Corvane.reset();
        TKernelFixture::TearDown();
    }

    void UnplugAt(int packet)
    {
        TSimFaults faults;
        faults.UnplugAtPacket = packet;
        Remote.SetFaults(faults);
    }

    // The removal reaches the connection, the remote comes back, and the
    // connection with it.
    void ExpectRemovalAndReturn(bool createAgain)
    {
        // A reconnection inside the failed operation may have found the
        // remote gone already; the removal still reaches the window.
        ASSERT_TRUE(Loop.RunUntil([&] { return SawDisconnected || !Corvane->Connected(); }));
        if (createAgain) {
            ASSERT_TRUE(Remote.Create());
        }
        ASSERT_TRUE(Loop.RunUntil([&] { return Corvane->Connected() && Corvane->Protocol() == 12; }));
    }

    TByteArray Flash(std::uint32_t address, std::uint32_t size)
    {
        TByteArray bytes;
        Remote.WithFirmware([&](TRemoteFirmware& firmware, auto) { bytes = firmware.ReadFlash(address, size); });
        return bytes;
    }

    TUhidRemote Remote{RemoteOptions()};
    std::string Node;
    std::unique_ptr<TCorvaneOne> Corvane;
    int StatusChanges = 0;
    bool SawDisconnected = false;
};

TEST_F(TFaultFixture, RemovedDuringAFlashRead)
{
    UnplugAt(5);
    TByteArray data{1, 2, 3};
    EXPECT_FALSE(Corvane->ReadFlash(data, 0x001000, 2000));
    ExpectRemovalAndReturn(true);

    ASSERT_TRUE(Corvane->ReadFlash(data, 0x001000, 2000));
    EXPECT_EQ(data, Flash(0x001000, 2000));
}

TEST_F(TFaultFixture, RemovedDuringAFlashWrite)
{
    ASSERT_TRUE(Corvane->EraseFlashSector(0x030000));
    const TByteArray written(1500, 0x5A);
    UnplugAt(3);
    EXPECT_FALSE(Corvane->WriteFlash(written, 0x030000, 1500));
    ExpectRemovalAndReturn(true);

    // The sector as the interrupted write left it: erased again, then written.
    ASSERT_TRUE(Corvane->EraseFlashSector(0x030000));
    ASSERT_TRUE(Corvane->WriteFlash(written, 0x030000, 1500));
    TByteArray read;
    ASSERT_TRUE(Corvane->ReadFlash(read, 0x030000, 1500));
    EXPECT_EQ(read, written);
}

TEST_F(TFaultFixture, RemovedDuringACaptureAndBackByItself)
{
    Remote.WithFirmware([](TRemoteFirmware& firmware, auto) {
        firmware.SetIrCapture(TRemoteFirmware::MakeIrSignal({0x01, 0x02, 0x03}), 0ms);
        firmware.SetIrChunk(4);  // many small packets
    });
    Remote.SetReturnAfterUnplug(1500ms);  // well after the capture has given up
    UnplugAt(3);
    TByteArray data{1, 2, 3};
    EXPECT_FALSE(Corvane->IrCapture(data));
    EXPECT_TRUE(data.empty());
    EXPECT_FALSE(Corvane->Busy());
    ExpectRemovalAndReturn(false);

    ASSERT_TRUE(Corvane->IrCapture(data));
    EXPECT_FALSE(data.empty());
}

// A replug the remote's runner makes on its own, in the middle of a stream.
TEST_F(TFaultFixture, ReplugAfterTenPacketsOfAFlashRead)
{
    Remote.ReplugAfter(10);
    TByteArray data;
    EXPECT_FALSE(Corvane->ReadFlash(data, 0, 2000));
    ASSERT_TRUE(Loop.RunUntil([&] { return StatusChanges >= 2 && Corvane->Connected(); }));
    EXPECT_EQ(Remote.Generation(), 2);
    ASSERT_TRUE(Corvane->ReadFlash(data, 0, 2000));
    EXPECT_EQ(data, Flash(0, 2000));
}

}  // namespace
