// A link and a connection bound to one interface by its path, with two
// remotes on the simulated bus: the named one is used and no other, its IDs
// are still checked, and the comings and goings of the others are ignored.

#include "CorvaneInterface.h"
#include "FastTiming.h"
#include "SimDevices.h"
#include "SimRemote.h"
#include "TestEventLoop.h"
#include "WireScript.h"

#include <gtest/gtest.h>

#include <optional>

namespace {

using namespace std::chrono_literals;

constexpr int RemoteVid = 0x1209;
constexpr int RemotePid = 0x0001;

// Reset and version request: what every connection sends first.
const TReports Handshake{Report({0xE1, 0x01}), Report({0x10})};

// Five interfaces, in this order: a mouse, two healthy remotes, a remote the
// user may not open, and a device with other IDs and the remote's reports.
struct TTwoRemotesFixture : ::testing::Test {
    TScopedTiming Fast{FastTiming()};
    TTestEventLoop Loop;
    TSimHidBus Bus;
    std::shared_ptr<TSimRemote> First = std::make_shared<TSimRemote>();
    std::shared_ptr<TSimRemote> Second = std::make_shared<TSimRemote>();
    std::shared_ptr<TSimRemote> Locked = std::make_shared<TSimRemote>();
    std::string MousePath, FirstPath, SecondPath, LockedPath, OtherPath;

    void SetUp() override
    {
        Locked->SetOpenError(std::make_error_code(std::errc::permission_denied));
        MousePath = Bus.Plug(std::make_shared<TSimMouse>());
        FirstPath = Bus.Plug(First);
        SecondPath = Bus.Plug(Second);
        LockedPath = Bus.Plug(Locked);
        OtherPath = Bus.Plug(std::make_shared<TRecordingDevice>(0x1234, 0x5678));
    }

    static TReports Taken(TSimRemote& remote)
    {
        remote.WaitIdle();
        TReports received = remote.Received();
        remote.ClearReceived();
        return received;
    }
};

TEST_F(TTwoRemotesFixture, WhichInterfaceALinkUses)
{
    struct TCase {
        const char* Name;
        std::string Bound;
        std::string Used;  // empty: not connected
        std::optional<std::errc> Failure;
    };
    const TCase cases[] = {
        {"unbound: the first remote found", "", FirstPath, {}},
        {"bound to the second remote", SecondPath, SecondPath, {}},
        {"bound to the first remote", FirstPath, FirstPath, {}},
        {"bound to a remote that cannot be opened", LockedPath, "", std::errc::permission_denied},
        {"bound to a mouse", MousePath, "", {}},
        {"bound to other IDs with the remote's reports", OtherPath, "", {}},
        {"bound to a path where nothing is", "sim:hidraw99", "", {}},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        TUsbDevice link(Bus, Loop, RemoteVid, RemotePid, c.Bound);
        EXPECT_EQ(link.BoundPath(), c.Bound);
        EXPECT_EQ(link.Connected(), !c.Used.empty());
        EXPECT_EQ(link.DevicePath(), c.Used);
        ASSERT_EQ(link.OpenFailure().has_value(), c.Failure.has_value());
        if (c.Failure) {
            EXPECT_EQ(link.OpenFailure()->Path, c.Bound);
            EXPECT_EQ(link.OpenFailure()->Error, *c.Failure);
        }
    }
}

TEST_F(TTwoRemotesFixture, ABoundConnectionKeepsToItsRemote)
{
    TCorvaneOne corvane(Bus, Loop, SecondPath);
    ASSERT_TRUE(corvane.Connected());
    int statusChanges = 0;
    corvane.OnStatusChange = [&] { ++statusChanges; };
    EXPECT_TRUE(corvane.WriteMiscByte(0x5A, 5, 3));
    EXPECT_EQ(Second->Register(5, 3), 0x5A);

    // A reconnection builds a new link on the same interface.
    ASSERT_TRUE(corvane.Reconnect());
    EXPECT_EQ(corvane.Device()->DevicePath(), SecondPath);
    Taken(*Second);

    // An unbound connection would reconnect, resetting its remote, on the
    // arrival of any remote.
    Bus.Unplug(First);
    auto third = std::make_shared<TSimRemote>();
    Bus.Plug(third);
    Loop.DispatchMessages(false);
    EXPECT_TRUE(corvane.Connected());
    EXPECT_EQ(statusChanges, 0);
    EXPECT_TRUE(Taken(*Second).empty());
    EXPECT_TRUE(Taken(*third).empty());
    EXPECT_TRUE(Taken(*First).empty());  // from the start

    Bus.Unplug(Second);
    Loop.DispatchMessages(false);
    EXPECT_FALSE(corvane.Connected());
    EXPECT_EQ(statusChanges, 1);
}

TEST_F(TTwoRemotesFixture, ARemoteArrivingAtTheBoundPathIsConnected)
{
    // The bus numbers its interfaces in plugging order: the next one plugged
    // appears at this path.
    const std::string next = "sim:hidraw5";
    TCorvaneOne corvane(Bus, Loop, next);
    EXPECT_FALSE(corvane.Connected());
    EXPECT_FALSE(corvane.Device()->OpenFailure());
    int statusChanges = 0;
    corvane.OnStatusChange = [&] { ++statusChanges; };

    auto arriving = std::make_shared<TSimRemote>();
    ASSERT_EQ(Bus.Plug(arriving), next);
    Loop.DispatchMessages(false);
    EXPECT_TRUE(corvane.Connected());
    EXPECT_EQ(statusChanges, 1);
    EXPECT_EQ(corvane.Device()->DevicePath(), next);
    EXPECT_EQ(Taken(*arriving), Handshake);
    EXPECT_TRUE(Taken(*First).empty());
    EXPECT_TRUE(Taken(*Second).empty());
}

// Windows opens a device path in any case and spells it in upper case in one
// place and lower case in another; elsewhere a path is its exact bytes.
TEST_F(TTwoRemotesFixture, ABoundPathInAnotherCase)
{
#ifdef _WIN32
    const bool sameInterface = true;
#else
    const bool sameInterface = false;
#endif
    const auto upper = [](std::string path) {
        for (char& c : path)
            c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        return path;
    };
    struct TCase {
        const char* Name;
        bool Present;  // plugged before the connection is made, else after
    };
    // The bus numbers its interfaces in plugging order, from the five of the
    // fixture on.
    int number = 5;
    for (const TCase c : {TCase{"present", true}, TCase{"arriving", false}}) {
        SCOPED_TRACE(c.Name);
        auto remote = std::make_shared<TSimRemote>();
        const std::string next = "sim:hidraw" + std::to_string(number++);
        if (c.Present) {
            ASSERT_EQ(Bus.Plug(remote), next);
        }
        TCorvaneOne corvane(Bus, Loop, upper(next));
        int statusChanges = 0;
        corvane.OnStatusChange = [&] { ++statusChanges; };
        if (!c.Present) {
            EXPECT_FALSE(corvane.Connected());
            ASSERT_EQ(Bus.Plug(remote), next);
            Loop.DispatchMessages(false);
            EXPECT_EQ(statusChanges, sameInterface ? 1 : 0);
        }
        EXPECT_EQ(corvane.Connected(), sameInterface);
        // As the platform spells it.
        EXPECT_EQ(corvane.Device()->DevicePath(), sameInterface ? next : "");
        EXPECT_EQ(Taken(*remote), sameInterface ? Handshake : TReports{});

        // Its own removal is heard.
        statusChanges = 0;
        Bus.Unplug(remote);
        Loop.DispatchMessages(false);
        EXPECT_FALSE(corvane.Connected());
        EXPECT_EQ(statusChanges, sameInterface ? 1 : 0);
    }
}

}  // namespace
