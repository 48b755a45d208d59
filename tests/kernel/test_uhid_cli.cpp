// corvane-cli on a remote the kernel sees: `list`, `status`, `flash read`
// and `ir capture` through hidraw and the udev monitor, run in-process on
// the real Linux platform.

#include "KernelSupport.h"

#include "CliFixture.h"

namespace {

class TKernelCliFixture : public TKernelFixture {
protected:
    void SetUp() override
    {
        TKernelFixture::SetUp();
        Node = Plug(Remote);
        Host.Platform = [this](const TCliSimulation&, std::string&) -> IHidPlatform* { return Platform.get(); };
    }

    TCliRun Run(const std::vector<std::string>& args) { return RunCaptured(args, Host); }

    TUhidRemote Remote{RemoteOptions()};
    std::string Node;
    TCliHost Host;
    TTempDir Dir;
};

TEST_F(TKernelCliFixture, ListStatusReadAndCapture)
{
    TCliRun run = Run({"list"});
    EXPECT_EQ(run.Code, 0) << run.Err;
    EXPECT_NE(run.Out.find(Node + "  1209:0001  can be opened\n"), std::string::npos) << run.Out;

    run = Run({"--device", Node, "status"});
    EXPECT_EQ(run.Code, 0) << run.Err;
    EXPECT_EQ(run.Out, "Device connected\n");

    // Across a chunk boundary, into a file, and as hex lines.
    TByteArray flash;
    Remote.WithFirmware([&](TRemoteFirmware& firmware, auto) {
        firmware.FillFlashWithPattern();
        flash = firmware.ReadFlash(0x1000, 70000);
    });
    run = Run({"flash", "read", "$1000", "70000", "-o", Dir / "read.bin"});
    EXPECT_EQ(run.Code, 0) << run.Err;
    EXPECT_EQ(ReadBytes(Dir / "read.bin"), flash);
    run = Run({"flash", "read", "$1000", "17"});
    EXPECT_EQ(run.Code, 0) << run.Err;
    const std::vector<std::string> lines = SplitLines(run.Out);
    ASSERT_EQ(lines.size(), 3u);
    char expected[8];
    std::snprintf(expected, sizeof expected, "%02X", flash[16]);
    EXPECT_EQ(lines[2], std::string("001010: ") + expected);

    const TByteArray signal = TRemoteFirmware::MakeIrSignal({0x08});
    Remote.WithFirmware([&](TRemoteFirmware& firmware, auto) { firmware.SetIrCapture(signal, 0ms); });
    run = Run({"ir", "capture", "-o", Dir / "ir.bin"});
    EXPECT_EQ(run.Code, 0) << run.Err;
    EXPECT_EQ(SplitLines(run.Out), (std::vector<std::string>{"Starting capture", "IR capture success"}));
    TByteArray captured = signal;
    captured.push_back(0x80);
    captured.push_back(0x00);
    EXPECT_EQ(ReadBytes(Dir / "ir.bin"), captured);
}

TEST_F(TKernelCliFixture, NoRemoteOnAnotherPath)
{
    const TCliRun run = Run({"--device", "/dev/hidraw-none", "status"});
    EXPECT_EQ(run.Code, 3);
    EXPECT_EQ(run.Out, "Device not connected\n");
}

}  // namespace
