// Arrival and removal through the udev monitor: the remote removed and
// created again, other HID devices coming and going, and what an open node
// does once its device has gone.

#include "KernelSupport.h"

#include "CorvaneInterface.h"

#include <cerrno>

namespace {

class THotplugFixture : public TKernelFixture {
protected:
    void SetUp() override
    {
        TKernelFixture::SetUp();
        Node = Plug(Remote);
        Corvane = std::make_unique<TCorvaneOne>(*Platform, Loop);
        ASSERT_TRUE(Corvane->Connected());
        Corvane->OnStatusChange = [this] { ++StatusChanges; };
        Remote.ClearReceived();
    }

    void TearDown() override
    {
        Corvane.reset();
        TKernelFixture::TearDown();
    }

    TUhidRemote Remote{RemoteOptions()};
    std::string Node;
    std::unique_ptr<TCorvaneOne> Corvane;
    int StatusChanges = 0;
};

TEST_F(THotplugFixture, RemoteRemovedAndCreatedAgain)
{
    Remote.Destroy();
    ASSERT_TRUE(Loop.RunUntil([&] { return StatusChanges == 1; }));
    EXPECT_FALSE(Corvane->Connected());
    EXPECT_FALSE(Corvane->Device()->Connected());
    TByteArray reply;
    EXPECT_FALSE(Corvane->GetVersion(reply));
    EXPECT_EQ(Corvane->Architecture(), 12);  // kept from the last version reply

    ASSERT_TRUE(Remote.Create());
    ASSERT_TRUE(Loop.RunUntil([&] { return StatusChanges == 2; }));
    EXPECT_TRUE(Corvane->Connected());
    // While the old link held the old node open, the kernel kept its number
    // taken: the new device may have another node.
    EXPECT_EQ(Corvane->Device()->DevicePath(), Remote.WaitForNode());
    EXPECT_TRUE(Corvane->GetVersion(reply));
    EXPECT_EQ(Remote.Received().front(), Packet({0xE1, 0x01}));  // the reconnection's reset
}

TEST_F(THotplugFixture, ReplugIsARemovalAndAnArrival)
{
    ASSERT_TRUE(Remote.Recreate());
    ASSERT_TRUE(Loop.RunUntil([&] { return StatusChanges == 2 && Corvane->Connected(); }));
    TByteArray reply;
    EXPECT_TRUE(Corvane->GetVersion(reply));
}

TEST_F(THotplugFixture, OtherHidDevicesChangeNothing)
{
    TUhidRemote other(RemoteOptions(CORVANE_USB_IDS.VendorId, 0x0002));
    const std::string otherNode = Plug(other);
    const std::string mouseNode = PlugMouse(other);
    Unplug(other, otherNode);
    other.DestroyMouse();
    ASSERT_TRUE(Loop.RunUntil([&] { return Saw(THotplugKind::Removal, mouseNode); }));
    // The link's own watch gets the same events on its own socket: give its
    // calls time to be dispatched too.
    Loop.RunFor(300ms);

    EXPECT_EQ(StatusChanges, 0);
    EXPECT_TRUE(Corvane->Connected());
    EXPECT_EQ(Corvane->Device()->DevicePath(), Node);
    EXPECT_TRUE(Remote.Received().empty());  // no reconnection, no reset
    EXPECT_TRUE(other.Received().empty());
}

TEST_F(THotplugFixture, OpenNodesAfterTheirDeviceHasGone)
{
    std::error_code error;
    std::unique_ptr<IHidHandle> handle = Platform->Open(Node, error);
    ASSERT_TRUE(handle);
    Remote.Destroy();

    // Before the removal has been dispatched, the link still counts itself
    // connected: its write fails in the kernel, its read finds nothing.
    ASSERT_TRUE(Corvane->Device()->Connected());
    EXPECT_FALSE(Corvane->Device()->WriteReport(TByteArray{0x10}));
    TByteArray payload(64);
    EXPECT_FALSE(Corvane->Device()->ReadReport(payload));

    TByteArray report(65, 0);
    EXPECT_EQ(handle->Read(report.data(), report.size(), 50ms), THidReadStatus::Error);
    report[1] = 0x10;
    EXPECT_EQ(handle->Write(report.data(), report.size()), -1);
    std::uint16_t vendorId = 0, productId = 0;
    EXPECT_FALSE(handle->GetAttributes(vendorId, productId));
    int inputLength = 0, outputLength = 0;
    EXPECT_FALSE(handle->GetReportLengths(inputLength, outputLength));

    // The node has left /dev and the enumeration, though still held open.
    EXPECT_FALSE(Platform->Open(Node, error));
    EXPECT_EQ(error, std::errc::no_such_file_or_directory);
    for (const THidInterfaceInfo& info : Platform->Enumerate())
        EXPECT_NE(info.Path, Node);

    ASSERT_TRUE(Loop.RunUntil([&] { return StatusChanges == 1; }));
    EXPECT_FALSE(Corvane->Connected());
}

}  // namespace
