// A recorded trace served as a kernel device (corvane-sim --replay): the
// remote that corvane-cli finds through hidraw answers as recorded, a request
// never recorded gets silence, and a removal recorded inside a read removes
// the kernel device there.

#include "KernelSupport.h"

#include "CliFixture.h"
#include "TraceReplay.h"
#include "UhidReplay.h"

namespace {

const std::filesystem::path Traces = CORVANE_TRACES_DIR;

class TKernelReplayFixture : public TKernelFixture {
protected:
    // Serves the trace and waits until its node has been announced.
    void Serve(const std::string& name)
    {
        TTraceRecording recording;
        std::string error;
        ASSERT_TRUE(TTraceRecording::Load((Traces / name).string(), recording, error)) << error;
        Replay = std::make_unique<TTraceReplay>(std::move(recording), TReplayTiming::Paced);
        Kernel = std::make_unique<TUhidReplay>(*Replay);
        Node = Kernel->WaitForNode();
        ASSERT_FALSE(Node.empty()) << "no hidraw node appeared";
        ASSERT_TRUE(Loop.RunUntil([&] { return Saw(THotplugKind::Arrival, Node); })) << Node;
        Host.Platform = [this](const TCliSimulation&, std::string&) -> IHidPlatform* { return Platform.get(); };
    }

    TCliRun Run(const std::vector<std::string>& args) { return RunCaptured(args, Host); }

    std::unique_ptr<TTraceReplay> Replay;
    std::unique_ptr<TUhidReplay> Kernel;  // after the replay: goes first
    std::string Node;
    TCliHost Host;
    TTempDir Dir;
};

TEST_F(TKernelReplayFixture, RecordedAnswersThroughHidraw)
{
    Serve("registers.trace");
    TCliRun run = Run({"--device", Node, "misc", "read", "word", "EEPROM", "0x10"});
    EXPECT_EQ(run.Code, 0) << run.Err;
    EXPECT_EQ(run.Out, "Read    (hex):  0000 @ 0010\n");
    run = Run({"--device", Node, "battery"});
    EXPECT_EQ(run.Code, 0) << run.Err;
    EXPECT_EQ(run.Out, "Battery level: 3.912 V (60%)\n");
    EXPECT_TRUE(Replay->Messages().empty());

    // Not recorded: silence, and the replay says so once.
    run = Run({"--device", Node, "hwflag"});
    EXPECT_EQ(run.Code, 1) << run.Out;
    ASSERT_EQ(Replay->Messages().size(), 1u);
    EXPECT_EQ(Replay->Messages()[0].rfind("replay: no recorded answer for TX 00 B", 0), 0u);
}

TEST_F(TKernelReplayFixture, ARecordedRemovalRemovesTheDevice)
{
    Serve("removed.trace");
    const TCliRun run = Run({"--device", Node, "flash", "read", "0", "2000", "-o", Dir / "removed.bin"});
    // 3 once the removal has reached the program, 1 if the failed read
    // came first: udev's word on the removal may come later than the read's.
    EXPECT_TRUE(run.Code == 3 || run.Code == 1) << run.Code << run.Err;
    EXPECT_EQ(run.Out, "Reading flash failed\n");
    EXPECT_FALSE(std::filesystem::exists(Dir / "removed.bin"));
    EXPECT_TRUE(Loop.RunUntil([&] { return Saw(THotplugKind::Removal, Node); })) << Node;
    EXPECT_FALSE(Kernel->Present());
}

}  // namespace
