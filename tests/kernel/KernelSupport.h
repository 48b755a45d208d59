#pragma once
// What the kernel tests share: the real Linux platform, the test loop as the
// GUI loop, waits fit for an emulated machine, and plugging a uhid remote so
// that its arrival has been announced before the test goes on.

#include "HidPlatform.h"
#include "TestEventLoop.h"
#include "Timing.h"
#include "UhidRemote.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

using namespace std::chrono_literals;

// The production waits for a reply (25 looks, 10 ms apart): in a VM without
// hardware acceleration a reply through the kernel takes milliseconds, not
// microseconds. The pauses that only slow a test down are shortened.
inline TTiming KernelTiming()
{
    TTiming timing;
    timing.ReplyPause = 1ms;
    timing.ReplyTries = 25;
    timing.ReplyTryPause = 10ms;
    timing.ReaderWait = 20ms;
    timing.ReconnectPause = 1ms;
    return timing;
}

inline TUhidRemote::TOptions RemoteOptions(std::uint16_t vendorId = CORVANE_USB_IDS.VendorId,
                                           std::uint16_t productId = CORVANE_USB_IDS.ProductId)
{
    TUhidRemote::TOptions options;
    options.VendorId = vendorId;
    options.ProductId = productId;
    options.Create = false;  // Plug creates it
    // At the remote's own pace: unpaced, a stream of more than 64 reports
    // overruns hidraw's queue whenever the link's reader is not scheduled in
    // time, which in an emulated VM is often. One report per millisecond
    // costs a small transfer little.
    options.Paced = true;
    return options;
}

// A request as the link sends it: zero-filled to a whole 64-byte report.
inline TByteArray Packet(std::initializer_list<std::uint8_t> bytes)
{
    TByteArray packet(bytes);
    packet.resize(64, 0);
    return packet;
}

class TKernelFixture : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(Platform);
        // Every hidraw arrival and removal, as the link's own watch sees them.
        Watch = Platform->Watch(Loop, [this](const THotplugEvent& event) { Events.push_back(event); });
    }

    void TearDown() override { Watch.reset(); }

    // Whether the watch has delivered this event for this node.
    bool Saw(THotplugKind kind, const std::string& node) const
    {
        return std::any_of(Events.begin(), Events.end(), [&](const THotplugEvent& event) {
            return event.Kind == kind && event.Interface.Path == node;
        });
    }

    // Creates the device and returns its node once the udev monitor has
    // announced it: a link built afterwards finds it by enumeration alone,
    // and no late arrival event makes it connect twice.
    std::string Plug(TUhidRemote& remote)
    {
        EXPECT_TRUE(remote.Create());
        const std::string node = remote.WaitForNode();
        EXPECT_FALSE(node.empty()) << "no hidraw node appeared";
        EXPECT_TRUE(Loop.RunUntil([&] { return Saw(THotplugKind::Arrival, node); })) << node;
        return node;
    }

    std::string PlugMouse(TUhidRemote& remote)
    {
        EXPECT_TRUE(remote.CreateMouse());
        const std::string node = remote.WaitForMouseNode();
        EXPECT_FALSE(node.empty()) << "no hidraw node appeared for the mouse";
        EXPECT_TRUE(Loop.RunUntil([&] { return Saw(THotplugKind::Arrival, node); })) << node;
        return node;
    }

    // Removes the device and waits until the monitor has announced it.
    void Unplug(TUhidRemote& remote, const std::string& node)
    {
        remote.Destroy();
        EXPECT_TRUE(Loop.RunUntil([&] { return Saw(THotplugKind::Removal, node); })) << node;
    }

    TScopedTiming Timing{KernelTiming()};
    TTestEventLoop Loop;
    std::unique_ptr<IHidPlatform> Platform = CreateSystemHidPlatform();
    std::vector<THotplugEvent> Events;

private:
    std::unique_ptr<IHotplugWatch> Watch;
};
