// Finding the remote among the kernel's hidraw nodes: its IDs, its report
// lengths read from the real descriptor, other devices passed over, the first
// of two remotes, and a link built while the kernel is still adding the node.

#include "KernelSupport.h"

#include "CorvaneInterface.h"
#include "UsbHidInterface.h"

namespace {

using TDiscoveryFixture = TKernelFixture;

TEST_F(TDiscoveryFixture, RemoteFoundByItsIdsWithReportLengthsFromTheDescriptor)
{
    TUhidRemote remote(RemoteOptions());
    const std::string node = Plug(remote);

    // Enumeration knows the IDs without opening the node: from the "hid"
    // parent, as there is no USB device above a uhid one.
    const std::vector<THidInterfaceInfo> found = Platform->Enumerate();
    const auto info = std::find_if(found.begin(), found.end(), [&](const auto& i) { return i.Path == node; });
    ASSERT_NE(info, found.end());
    EXPECT_TRUE(info->IdsKnown);
    EXPECT_EQ(info->VendorId, CORVANE_USB_IDS.VendorId);
    EXPECT_EQ(info->ProductId, CORVANE_USB_IDS.ProductId);

    std::error_code error;
    std::unique_ptr<IHidHandle> handle = Platform->Open(node, error);
    ASSERT_TRUE(handle) << error.message();
    std::uint16_t vendorId = 0, productId = 0;
    ASSERT_TRUE(handle->GetAttributes(vendorId, productId));
    EXPECT_EQ(vendorId, CORVANE_USB_IDS.VendorId);
    EXPECT_EQ(productId, CORVANE_USB_IDS.ProductId);
    int inputLength = 0, outputLength = 0;
    ASSERT_TRUE(handle->GetReportLengths(inputLength, outputLength));
    EXPECT_EQ(inputLength, 65);  // the report-ID byte counts though the device numbers none
    EXPECT_EQ(outputLength, 65);
    handle.reset();

    TUsbDevice link(*Platform, Loop, CORVANE_USB_IDS.VendorId, CORVANE_USB_IDS.ProductId);
    ASSERT_TRUE(link.Connected());
    EXPECT_EQ(link.DevicePath(), node);
    EXPECT_EQ(link.InputLength(), 64);
    EXPECT_EQ(link.OutputLength(), 64);
    EXPECT_FALSE(link.OpenFailure());

    // The framing both ways: the 65-byte write (report number 0 first)
    // reaches the device as the 64-byte payload, and the device's 64-byte
    // input report reaches the link as one whole report.
    remote.ClearReceived();
    ASSERT_TRUE(link.WriteReport(TByteArray{0x10}));
    TByteArray reply(64, 0xEE);
    ASSERT_TRUE(link.ReadReport(reply));
    EXPECT_EQ(reply[0] >> 4, 0x2);
    EXPECT_EQ(remote.Received(), (std::vector<TByteArray>{Packet({0x10})}));
    EXPECT_EQ(link.Reader()->ReadData(reply, 0), 0);  // nothing more, nothing split
}

TEST_F(TDiscoveryFixture, OtherDevicesArePassedOver)
{
    TUhidRemote other(RemoteOptions(CORVANE_USB_IDS.VendorId, 0x0002));
    const std::string otherNode = Plug(other);
    const std::string mouseNode = PlugMouse(other);

    TUsbDevice link(*Platform, Loop, CORVANE_USB_IDS.VendorId, CORVANE_USB_IDS.ProductId);
    EXPECT_FALSE(link.Connected());
    EXPECT_TRUE(link.DevicePath().empty());
    EXPECT_FALSE(link.OpenFailure());
    EXPECT_TRUE(other.Received().empty());  // known by its IDs: not even written to

    // A device with the IDs asked for but the mouse's descriptor (4-byte
    // input, no output report) cannot carry the protocol.
    TUsbDevice mouseLink(*Platform, Loop, TUhidRemote::MouseVendorId, TUhidRemote::MouseProductId);
    EXPECT_FALSE(mouseLink.Connected());
    EXPECT_TRUE(mouseLink.DevicePath().empty());
}

TEST_F(TDiscoveryFixture, OfTwoRemotesTheFirstInNodeOrderWins)
{
    TUhidRemote first(RemoteOptions());
    TUhidRemote second(RemoteOptions());
    const std::string firstNode = Plug(first);
    const std::string secondNode = Plug(second);
    // The kernel hands out the lowest free node number.
    ASSERT_NE(firstNode, secondNode);

    TCorvaneOne corvane(*Platform, Loop);
    ASSERT_TRUE(corvane.Connected());
    EXPECT_EQ(corvane.Device()->DevicePath(), firstNode);
    EXPECT_EQ(first.Received(), (std::vector<TByteArray>{Packet({0xE1, 0x01}), Packet({0x10})}));
    EXPECT_TRUE(second.Received().empty());
}

// The kernel adds a uhid device from a work queue, and its hidraw node only
// once hid-generic has bound to it: a link built right after the creation may
// find no node yet, and then its watch is what connects it.
TEST_F(TDiscoveryFixture, LinkBuiltBeforeOrWhileTheKernelAddsTheNode)
{
    TUhidRemote remote(RemoteOptions());
    {
        // Before: the arrival connects.
        TCorvaneOne corvane(*Platform, Loop);
        int statusChanges = 0;
        corvane.OnStatusChange = [&] { ++statusChanges; };
        ASSERT_FALSE(corvane.Connected());
        ASSERT_TRUE(remote.Create());
        ASSERT_TRUE(Loop.RunUntil([&] { return corvane.Connected(); }));
        EXPECT_EQ(statusChanges, 1);
        EXPECT_EQ(corvane.Protocol(), 12);
        EXPECT_EQ(corvane.Device()->DevicePath(), remote.WaitForNode());
    }
    remote.Destroy();

    // While: enumeration or the arrival, whichever comes first, connects; if
    // both see the node, the arrival only connects once more.
    ASSERT_TRUE(remote.Create());
    TCorvaneOne corvane(*Platform, Loop);
    ASSERT_TRUE(Loop.RunUntil([&] { return corvane.Connected() && corvane.Protocol() == 12; }));
    Loop.RunFor(200ms);
    EXPECT_TRUE(corvane.Connected());
    EXPECT_EQ(corvane.Device()->DevicePath(), remote.WaitForNode());
    TByteArray reply;
    EXPECT_TRUE(corvane.GetVersion(reply));
}

}  // namespace
