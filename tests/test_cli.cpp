// corvane-cli in-process: its commands, range checks, output forms and exit
// codes against the simulated remote on the simulated bus.

#include "CliFixture.h"

#include "CorvaneInterface.h"
#include "FlashParts.h"
#include "SimDevices.h"

#include <algorithm>

namespace {

std::string ExpectedVersionLine(const TByteArray& payload)
{
    TByteArray header(1 + payload.size());
    SetPacketType(header, PKT_VERSION);
    SetPacketLength(header, static_cast<std::uint32_t>(payload.size()));
    char text[8];
    std::snprintf(text, sizeof text, "%02X", header[0]);
    std::string line = std::string("Received (hex): ") + text;
    for (const std::uint8_t byte : payload) {
        std::snprintf(text, sizeof text, " %02X", byte);
        line += text;
    }
    return line;
}

TByteArray Pattern(std::size_t size, std::uint8_t seed)
{
    TByteArray bytes(size);
    for (std::size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<std::uint8_t>(seed + i * 7 + (i >> 8));
    return bytes;
}

// --- Usage, numbers and ranges: refused before the remote is touched ------------------

struct TRefusal {
    std::vector<std::string> Args;
    std::string Message;  // part of what standard error says
};

class TCliRefusal : public TCliFixture, public ::testing::WithParamInterface<TRefusal> {};

TEST_P(TCliRefusal, ExitsTwoAndSendsNothing)
{
    WriteBytes(Dir / "32.bin", TByteArray(32, 0x11));
    std::vector<std::string> args = GetParam().Args;
    for (std::string& arg : args)
        if (arg == "FILE32")
            arg = Dir / "32.bin";
    Sim->ClearReceived();
    const TCliRun run = Run(args);
    EXPECT_EQ(run.Code, 2) << run.Err;
    EXPECT_NE(run.Err.find(GetParam().Message), std::string::npos) << run.Err;
    EXPECT_EQ(run.Out, "");
    EXPECT_EQ(PlatformRequests, 0);
    EXPECT_TRUE(Sim->Received().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Cli, TCliRefusal,
    ::testing::Values(
        TRefusal{{}, "no command given"},
        TRefusal{{"frobnicate"}, "unknown command 'frobnicate'"},
        TRefusal{{"--verbose", "status"}, "unknown option '--verbose'"},
        TRefusal{{"--device"}, "option --device needs a value"},
        TRefusal{{"--simulate", "--device", "/dev/hidraw0", "status"}, "exclude each other"},
        TRefusal{{"--simulate", "--sim-fault", "bogus", "status"}, "unknown fault 'bogus'; the faults are: silent,"},
        TRefusal{{"--simulate", "--sim-fault", "unplug-at", "status"}, "fault unplug-at needs a value"},
        TRefusal{{"--simulate", "--sim-battery", "65536", "battery"}, "--sim-battery takes millivolts"},
        TRefusal{{"--sim-fault", "silent", "status"}, "--sim-fault needs --simulate"},
        TRefusal{{"flash", "read", "0"}, "usage: corvane-cli flash read ADDR SIZE [-o FILE]"},
        TRefusal{{"flash", "read", "0", "16", "--parts"}, "--parts does not go with 'flash read'"},
        TRefusal{{"version", "--verify"}, "--verify does not go with 'version'"},
        TRefusal{{"flash", "read", "zero", "16"}, "invalid flash address 'zero'"},
        TRefusal{{"flash", "read", "$1000000", "1"}, "outside the 16 MiB flash"},
        TRefusal{{"flash", "read", "-1", "1"}, "outside the 16 MiB flash"},
        TRefusal{{"flash", "read", "$FFFFFF", "2"}, "runs past the end of the 16 MiB flash"},
        TRefusal{{"flash", "read", "0", "0"}, "must be at least 1"},
        TRefusal{{"flash", "erase", "$1000", "-1"}, "flash address -1 is outside"},
        TRefusal{{"flash", "erase", "$1FE0000"}, "flash address $1FE0000 is outside"},
        TRefusal{{"flash", "write", "$FFFFF0", "FILE32"}, "only 16 fit below the end"},
        TRefusal{{"misc", "read", "dword", "0", "0"}, "expected byte or word"},
        TRefusal{{"misc", "read", "byte", "0", "256"}, "index 256 does not fit 8 bits"},
        TRefusal{{"misc", "read", "byte", "0", "-1"}, "index -1 does not fit 8 bits"},
        TRefusal{{"misc", "read", "word", "0", "$10000"}, "index $10000 does not fit 16 bits"},
        TRefusal{{"misc", "read", "byte", "13", "0"}, "register type '13' is neither 0-12"},
        TRefusal{{"misc", "read", "byte", "ram", "0"}, "register type 'ram'"},
        TRefusal{{"misc", "write", "byte", "RAM", "0", "256"}, "data 256 does not fit 8 bits"},
        TRefusal{{"misc", "write", "byte", "RAM", "0", "-129"}, "data -129 does not fit 8 bits"},
        TRefusal{{"misc", "write", "word", "RAM", "0", "x"}, "invalid data 'x'"},
        TRefusal{{"reset", "5"}, "reset type '5' is neither 1-4"},
        TRefusal{{"reset", "0"}, "reset type '0'"},
        TRefusal{{"clock", "set", "20240230T000000"}, "invalid time"},
        TRefusal{{"clock", "set", "19991231T235959"}, "invalid time"},
        TRefusal{{"clock", "set", "20240101 120000"}, "invalid time"}));

// --- Short commands: the window's lines, and the remote's state -------------------------

struct TShortCase {
    std::vector<std::string> Args;
    std::vector<std::string> Lines;
};

class TCliShort : public TCliFixture, public ::testing::WithParamInterface<TShortCase> {};

TEST_P(TCliShort, PrintsThePageLines)
{
    Sim->SetRegister(12, 0, 0x0001);
    Sim->SetRegister(12, 1, 3912);
    Sim->SetRegister(7, 0x10, 0x5A);
    Sim->SetRegister(7, 0x1234, 0xBEEF);
    Sim->SetFlash(0x1000, {0xC0, 0xFF, 0xEE, 0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0x99, 0xAA, 0xBB,
                           0xCC, 0xDD});
    const TCliRun run = Run(GetParam().Args);
    EXPECT_EQ(run.Code, 0) << run.Err;
    EXPECT_EQ(SplitLines(run.Out), GetParam().Lines);
    EXPECT_EQ(run.Err, "");
}

INSTANTIATE_TEST_SUITE_P(
    Cli, TCliShort,
    ::testing::Values(
        TShortCase{{"status"}, {"Device connected"}},
        TShortCase{{"battery"}, {"Battery level: 3.912 V (60%)"}},
        TShortCase{{"hwflag"}, {"Hardware flag SET"}},
        TShortCase{{"misc", "read", "byte", "register", "$10"}, {"Read    (hex):    5A @   10"}},
        TShortCase{{"misc", "read", "word", "7", "0x1234"}, {"Read    (hex):  BEEF @ 1234"}},
        TShortCase{{"misc", "write", "byte", "RAM", "255", "-1"}, {"Written (hex):    FF @   FF"}},
        TShortCase{{"misc", "write", "word", "6", "$FFFF", "$8001"}, {"Written (hex):  8001 @ FFFF"}},
        TShortCase{{"reset", "device disconnect"}, {"Reset device disconnect successful"}},
        TShortCase{{"reset"}, {"Reset USB successful"}},
        TShortCase{{"flash", "erase", "$1000", "8192"}, {"Flash sector 4096 erased", "Flash sector 8192 erased"}},
        TShortCase{{"flash", "read", "$1000", "17"},
                   {"Flash dump (hex):", "001000: C0 FF EE 00 11 22 33 44 55 66 77 88 99 AA BB CC", "001010: DD"}},
        TShortCase{{"--json", "battery"}, {R"({"outcome": "done", "millivolts": 3912, "percent": 60})"}},
        TShortCase{{"--json", "hwflag"}, {R"({"outcome": "done", "set": true, "raw": 1})"}},
        TShortCase{{"--json", "misc", "read", "word", "register", "$1234"},
                   {R"({"outcome": "done", "width": "word", "type": 7, "type_name": "register", "index": 4660, )"
                    R"("value": 48879})"}},
        TShortCase{{"--json", "status"}, {R"({"connected": true, "path": "sim:hidraw0"})"}},
        TShortCase{{"--json", "list"},
                   {R"({"interfaces": [{"path": "sim:hidraw0", "ids": "1209:0001", "vendor_id": 4617, )"
                    R"("product_id": 1, "can_open": true}]})"}},
        TShortCase{{"list"}, {"sim:hidraw0  1209:0001  can be opened"}}));

TEST_F(TCliFixture, VersionRawDecodedAndJson)
{
    const TByteArray payload = Sim->VersionPayload();
    TCliRun run = Run({"version"});
    EXPECT_EQ(run.Code, 0);
    EXPECT_EQ(SplitLines(run.Out), std::vector<std::string>{ExpectedVersionLine(payload)});

    run = Run({"version", "--decoded"});
    EXPECT_EQ(run.Code, 0);
    const std::vector<std::string> lines = SplitLines(run.Out);
    ASSERT_EQ(lines.size(), 16u);
    EXPECT_EQ(lines[0], "Version information:");
    EXPECT_EQ(lines[5], "  Architecture         12");

    run = Run({"--json", "version", "--decoded"});
    EXPECT_EQ(run.Code, 0);
    EXPECT_NE(run.Out.find(R"("architecture": 12, )"), std::string::npos) << run.Out;
    EXPECT_NE(run.Out.find(R"("protocol": 12, )"), std::string::npos) << run.Out;
    EXPECT_EQ(run.Out.rfind(R"({"outcome": "done", "firmware": ")", 0), 0u) << run.Out;
}

TEST_F(TCliFixture, ClockSetAndRead)
{
    TCliRun run = Run({"clock", "set", "20240229T123456"});
    EXPECT_EQ(run.Code, 0) << run.Err;
    EXPECT_EQ(run.Out, "Current date/time written\n");
    run = Run({"clock"});
    EXPECT_EQ(run.Code, 0);
    EXPECT_EQ(run.Out.rfind("Data/time: 20240229T1234", 0), 0u) << run.Out;
    run = Run({"--json", "clock"});
    EXPECT_EQ(run.Out.rfind(R"({"outcome": "done", "year": 2024, "month": 2, "day": 29, "hour": 12, )", 0), 0u)
        << run.Out;

    Clock.Time = {2031, 12, 31, 23, 59, 58, 3};
    run = Run({"clock", "set", "now"});
    EXPECT_EQ(run.Code, 0);
    EXPECT_EQ(Run({"clock"}).Out.rfind("Data/time: 20311231T2359", 0), 0u);
}

// --- Failures and their exit codes ----------------------------------------------------

TEST_F(TCliFixture, RemoteThatRefusesExitsOne)
{
    TSimFaults faults;
    faults.EchoOverride = 0x55;
    Sim->SetFaults(faults);
    const TCliRun run = Run({"misc", "read", "byte", "0", "0"});
    EXPECT_EQ(run.Code, 1);
    EXPECT_EQ(run.Out, "Read failed\n");

    const TCliRun json = Run({"--json", "misc", "read", "byte", "0", "0"});
    EXPECT_EQ(json.Code, 1);
    EXPECT_EQ(json.Out, R"({"outcome": "failed", "width": "byte", "type": 0, "type_name": "EEPROM", "index": 0})"
                        "\n");
}

// The --sim- options reach the simulated remote that --simulate makes, as
// corvane-cli's main makes it.
TEST_F(TCliFixture, SimulateOptionsSetUpTheSimulatedRemote)
{
    struct TCase {
        std::vector<std::string> Args;
        int Code;
        std::string Out;  // part of standard output
        std::string Err;  // part of standard error
    };
    WriteBytes(Dir / "short.bin", TByteArray(TSimRemote::FlashSize - 1, 0xFF));
    const TCase cases[] = {
        {{"--simulate", "--sim-battery", "3512", "battery"}, 0, "Battery level: 3.512 V", ""},
        {{"--simulate", "--sim-fault", "silent", "version"}, 1, "", ""},
        {{"--simulate", "--sim-fault", "flash-silent-from=2", "flash", "read", "0", "4000"}, 1, "", ""},
        {{"--simulate", "--sim-flash", Dir / "short.bin", "status"}, 4, "", "holds 16777215 bytes"},
    };
    std::unique_ptr<TSimDemo> demo;
    Host.Platform = [&](const TCliSimulation& simulation, std::string& error) -> IHidPlatform* {
        EXPECT_TRUE(simulation.Simulate);
        demo = TSimDemo::Create(simulation.Setup, error);
        return demo ? &demo->Bus() : nullptr;
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Args[2]);
        const TCliRun run = Run(c.Args);
        EXPECT_EQ(run.Code, c.Code) << run.Err;
        EXPECT_NE(run.Out.find(c.Out), std::string::npos) << run.Out;
        EXPECT_NE(run.Err.find(c.Err), std::string::npos) << run.Err;
    }
}

TEST_F(TCliFixture, NoRemoteExitsThree)
{
    Bus.Unplug(Sim);
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"status"}, {"version"}, {"flash", "read", "0", "16"}, {"list"}}) {
        const TCliRun run = Run(args);
        EXPECT_EQ(run.Code, 3) << args[0];
        EXPECT_EQ(run.Out, args[0] == "status" ? "Device not connected\n" : "") << args[0];
    }
    EXPECT_EQ(Run({"version"}).Err, "Device not connected\n");
}

TEST_F(TCliFixture, PermissionDeniedIsNamed)
{
    Sim->SetOpenError(std::make_error_code(std::errc::permission_denied));
    TCliRun run = Run({"status"});
    EXPECT_EQ(run.Code, 3);
    EXPECT_EQ(SplitLines(run.Out),
              (std::vector<std::string>{"Device not connected",
                                        "Permission denied on sim:hidraw0: install the udev rule from the README"}));
    run = Run({"list"});
    EXPECT_EQ(run.Code, 0);
    EXPECT_EQ(run.Out, "sim:hidraw0  1209:0001  cannot be opened: Permission denied\n");
}

// --- --device: one remote of two ----------------------------------------------------------

TEST_F(TCliFixture, DeviceChoosesOneOfTwoRemotes)
{
    auto second = std::make_shared<TSimRemote>();
    const std::string secondPath = Bus.Plug(second);
    second->SetRegister(12, 1, 4100);
    auto mouse = std::make_shared<TSimMouse>();
    Bus.Plug(mouse);

    TCliRun run = Run({"list"});
    EXPECT_EQ(SplitLines(run.Out), (std::vector<std::string>{"sim:hidraw0  1209:0001  can be opened",
                                                             secondPath + "  1209:0001  can be opened"}));
    Sim->WaitIdle();
    Sim->ClearReceived();
    run = Run({"--device", secondPath, "battery"});
    EXPECT_EQ(run.Code, 0) << run.Err;
    EXPECT_EQ(run.Out, "Battery level: 4.100 V (100%)\n");
    Sim->WaitIdle();
    EXPECT_TRUE(Sim->Received().empty());

    run = Run({"--device", "sim:hidraw9", "battery"});
    EXPECT_EQ(run.Code, 3);
}

// --- Flash transfers ----------------------------------------------------------------------

TEST_F(TCliFixture, ReadBeyondOneChunkIntoAFile)
{
    auto paced = UsePacedRemote();
    paced->FillFlashWithPattern();
    const std::uint32_t size = 65636;  // the protocol's largest transfer and 101 bytes
    const TCliRun run = Run({"flash", "read", "$10", std::to_string(size), "-o", Dir / "read.bin"});
    EXPECT_EQ(run.Code, 0) << run.Err;
    EXPECT_EQ(run.Out, "");
    EXPECT_TRUE(ReadBytes(Dir / "read.bin") == paced->Flash(0x10, size));
    std::vector<TByteArray> requests;
    for (const TByteArray& packet : paced->Received())
        if (packet[0] == PKT_READ_FLASH + 5)
            requests.push_back(TByteArray(packet.begin(), packet.begin() + 6));
    EXPECT_EQ(requests, (std::vector<TByteArray>{{0x55, 0x00, 0x00, 0x10, 0xFF, 0xFF},
                                                 {0x55, 0x01, 0x00, 0x0F, 0x00, 0x65}}));
}

TEST_F(TCliFixture, WriteVerifyAndMismatch)
{
    const TByteArray data = Pattern(70000, 3);
    WriteBytes(Dir / "image.bin", data);
    TCliRun run = Run({"flash", "write", "$20000", Dir / "image.bin", "--verify"});
    EXPECT_EQ(run.Code, 0) << run.Err;
    EXPECT_EQ(Sim->Flash(0x20000, 70000), data);
    run = Run({"flash", "verify", "$20000", Dir / "image.bin"});
    EXPECT_EQ(run.Code, 0) << run.Err;

    // Written again, onto programmed flash: programming only clears bits, so
    // the read-back differs where the new byte has a bit the old one lacks.
    const TByteArray other = Pattern(70000, 4);
    WriteBytes(Dir / "other.bin", other);
    run = Run({"flash", "write", "$20000", Dir / "other.bin", "--verify"});
    EXPECT_EQ(run.Code, 5);
    std::size_t first = 0;
    while ((data[first] & other[first]) == other[first])
        ++first;
    char expected[80];
    std::snprintf(expected, sizeof expected, "verify mismatch at 0x%06X: expected 0x%02X, read 0x%02X",
                  static_cast<unsigned>(0x20000 + first), other[first], data[first] & other[first]);
    EXPECT_NE(run.Err.find(expected), std::string::npos) << run.Err;
    EXPECT_EQ(Run({"flash", "verify", "$20000", Dir / "image.bin"}).Code, 5);

    // A write the remote does not acknowledge is no success.
    TSimFaults faults;
    faults.FlashWriteNoAck = true;
    Sim->SetFaults(faults);
    EXPECT_EQ(Run({"flash", "write", "$40000", Dir / "image.bin"}).Code, 1);
}

TEST_F(TCliFixture, FilesThatCannotBeReadOrWrittenExitFour)
{
    EXPECT_EQ(Run({"flash", "write", "0", Dir / "missing.bin"}).Code, 4);
    EXPECT_EQ(Run({"flash", "read", "0", "16", "-o", Dir / "no/such/folder.bin"}).Code, 4);
    EXPECT_EQ(Run({"flash", "restore", Dir / "nothing-here"}).Code, 4);
    EXPECT_EQ(Run({"flash", "restore", Dir.Path().string()}).Code, 4);
}

TEST_F(TCliFixture, WholeDumpThatEndsShortIsNoSuccess)
{
    // The remote goes silent after its first 32 data packets.
    TSimFaults faults;
    faults.FlashSilentFrom = 32;
    Sim->SetFaults(faults);
    const TCliRun run = Run({"flash", "dump", "-C", Dir.Path().string()});
    EXPECT_EQ(run.Code, 1);
    EXPECT_EQ(run.Out, "Reading flash started, writing data to 20240229T123456_flash.bin\nRead error\n");

    // Silence before any data: the window takes it for the end of the flash.
    faults.FlashSilentFrom = 0;
    Sim->SetFaults(faults);
    const TCliRun silent = Run({"flash", "dump", "-C", Dir.Path().string()});
    EXPECT_EQ(silent.Code, 1);
    EXPECT_NE(silent.Err.find("the remote stopped answering at 0x000000: 20240229T123456_flash.bin holds 0 of "
                              "16777216 bytes"),
              std::string::npos)
        << silent.Err;
}

TEST_F(TCliFixture, PartsDumpRestoredOntoABlankRemote)
{
    Sim->FillFlashWithPattern();
    TCliRun run = Run({"flash", "dump", "--parts", "-C", Dir.Path().string()});
    ASSERT_EQ(run.Code, 0) << run.Out << run.Err;
    for (const TPart& part : FlashParts) {
        const auto file = Dir / ("20240229T123456_" + std::string(part.Name) + ".bin");
        EXPECT_EQ(ReadBytes(file), Sim->Flash(static_cast<std::uint32_t>(part.Start), static_cast<std::uint32_t>(part.Size)))
            << part.Name;
    }
    // An older, partial set beside it is not the one restored.
    WriteBytes(Dir / "20230101T000000_guid.bin", TByteArray(3, 0));

    auto blank = std::make_shared<TSimRemote>();
    Bus.Unplug(Sim);
    Bus.Plug(blank);
    run = Run({"flash", "restore", Dir.Path().string()});
    EXPECT_EQ(run.Code, 0) << run.Err;
    for (const TPart& part : FlashParts)
        EXPECT_EQ(blank->Flash(static_cast<std::uint32_t>(part.Start), static_cast<std::uint32_t>(part.Size)),
                  Sim->Flash(static_cast<std::uint32_t>(part.Start), static_cast<std::uint32_t>(part.Size)))
            << part.Name;

    // A region file of the wrong size is refused before anything is sent.
    WriteBytes(Dir / "20991231T235959_cpld.bin", TByteArray(5, 0));
    blank->WaitIdle();
    blank->ClearReceived();
    run = Run({"flash", "restore", Dir.Path().string()});
    EXPECT_EQ(run.Code, 2);
    EXPECT_NE(run.Err.find("but the cpld region has 16384: nothing was written"), std::string::npos) << run.Err;
    EXPECT_TRUE(blank->Received().empty());
}

TEST_F(TCliFixture, CaptureIntoAFile)
{
    Sim->SetIrCapture(TRemoteFirmware::MakeIrSignal({0x08}), std::chrono::milliseconds(0));
    const TCliRun run = Run({"ir", "capture", "-o", Dir / "signal.bin"});
    EXPECT_EQ(run.Code, 0) << run.Err;
    EXPECT_EQ(SplitLines(run.Out), (std::vector<std::string>{"Starting capture", "IR capture success"}));
    TByteArray expected = TRemoteFirmware::MakeIrSignal({0x08});
    expected.push_back(0x80);
    expected.push_back(0x00);
    EXPECT_EQ(ReadBytes(Dir / "signal.bin"), expected);
}

// --- Progress line ------------------------------------------------------------------------

TEST(TCliProgress, LineFormat)
{
    using namespace std::chrono_literals;
    struct TCase {
        std::uint64_t Done, Total;
        std::chrono::milliseconds Elapsed;
        std::string Line;
    };
    for (const TCase& c : {
             TCase{0, 16777216, 0ms, "dump   0 of 16777216 bytes   0%   0.0 kB/s   --:-- left"},
             TCase{1048576, 16777216, 16912ms, "dump   1048576 of 16777216 bytes   6%   62.0 kB/s   4:14 left"},
             TCase{62000, 16777216 * 16, 1000ms, "dump   62000 of 268435456 bytes   0%   62.0 kB/s   1:12:09 left"},
             TCase{4096, 0, 1000ms, "dump   4096 bytes"},
         })
        EXPECT_EQ(TProgressLine::Format("dump", c.Done, c.Total, c.Elapsed), c.Line);
}

TEST_F(TCliFixture, ProgressOnlyOnATerminal)
{
    Sim->FillFlashWithPattern();
    TCliRun run = Run({"flash", "read", "0", "70000", "-o", Dir / "a.bin"});
    EXPECT_EQ(run.Err, "");
    Host.ProgressOnTerminal = true;
    run = Run({"flash", "read", "0", "70000", "-o", Dir / "a.bin"});
    EXPECT_EQ(run.Code, 0);
    EXPECT_EQ(run.Err.front(), '\r') << run.Err;
    EXPECT_NE(run.Err.find("70000 of 70000 bytes   100%"), std::string::npos) << run.Err;
    EXPECT_EQ(run.Err.back(), '\n');
}

TEST(TCliJson, Strings)
{
    EXPECT_EQ(JsonString("a\"b\\c\n\x01"), R"("a\"b\\c\n\u0001")");
    EXPECT_EQ(TJsonObject().Text("a", "x").Number("b", -1).Flag("c", false).Raw("d", "[1, 2]").Str(),
              R"({"a": "x", "b": -1, "c": false, "d": [1, 2]})");
}

TEST(TCliHelp, ListsEveryCommandAndExitCode)
{
    const std::string usage = CliUsage();
    for (const char* text : {"list", "status", "version [--decoded]", "reset [TYPE]", "misc read byte|word TYPE INDEX",
                             "misc write byte|word TYPE INDEX VALUE", "battery", "hwflag", "clock set", "flash read",
                             "flash dump [--parts] [-C DIR]", "flash erase ADDR...", "flash write ADDR FILE [--verify]",
                             "flash verify ADDR FILE", "flash restore DIR", "ir capture [-o FILE]", "0    success",
                             "1    the remote refused", "2    bad usage", "3    no remote", "4    a file",
                             "5    verify mismatch", "130  interrupted"})
        EXPECT_NE(usage.find(text), std::string::npos) << text;
}

}  // namespace
