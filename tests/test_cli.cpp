// corvane-cli in-process: its commands, range checks, output forms and exit
// codes against the simulated remote on the simulated bus.

#include "CliFixture.h"

#include "CorvaneInterface.h"
#include "FlashParts.h"
#include "SimDevices.h"

#include <algorithm>
#include <cctype>
#include <map>
#include <set>

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
        TRefusal{{"--trace", "", "status"}, "--trace needs a file name"},
        TRefusal{{"--device", "", "status"}, "--device needs a path"},
        TRefusal{{"--json", "flash", "read", "0", "16"}, "--json does not go with 'flash read' without -o"},
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
        TShortCase{{"--json", "status"}, {R"({"outcome": "done", "connected": true, "path": "sim:hidraw0"})"}},
        TShortCase{{"--json", "list"},
                   {R"({"outcome": "done", "interfaces": [{"path": "sim:hidraw0", "ids": "1209:0001", "vendor_id": 4617, )"
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
    // No whole chunk came: no file is left, none has the dump's name.
    EXPECT_NE(run.Err.find("the dump failed after 0 bytes; nothing was kept"), std::string::npos) << run.Err;
    EXPECT_TRUE(std::filesystem::is_empty(Dir.Path()));

    // Silence before any data: the window takes it for the end of the flash.
    faults.FlashSilentFrom = 0;
    Sim->SetFaults(faults);
    const TCliRun silent = Run({"flash", "dump", "-C", Dir.Path().string()});
    EXPECT_EQ(silent.Code, 1);
    EXPECT_NE(silent.Err.find("the remote stopped answering at 0x000000: 0 of 16777216 bytes; nothing was kept"),
              std::string::npos)
        << silent.Err;
    EXPECT_TRUE(std::filesystem::is_empty(Dir.Path()));
}

TEST_F(TCliFixture, PartsDumpRestoredOntoABlankRemote)
{
    Sim->FillFlashWithPattern();
    TCliRun run = Run({"--json", "flash", "dump", "--parts", "-C", Dir.Path().string()});
    ASSERT_EQ(run.Code, 0) << run.Out << run.Err;
    EXPECT_NE(run.Out.find("\"files\": [" + JsonString(Dir / "20240229T123456_bootloader.bin") + ", "),
              std::string::npos)
        << run.Out;
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
    run = Run({"flash", "restore", Dir.Path().string(), "--regions", "cpld"});
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

// --- --json: one object with its outcome, whatever happens --------------------------------

namespace json {

// The length of the UTF-8 sequence at text[at], 0 when it is not a valid one
// (overlong forms, surrogates and code points past U+10FFFF included).
std::size_t Utf8Length(std::string_view text, std::size_t at)
{
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(at);
    std::size_t length = 0;
    std::uint32_t code = 0, lowest = 0;
    if (lead < 0x80)
        return 1;
    if (lead >= 0xC2 && lead <= 0xDF)
        length = 2, code = lead & 0x1F, lowest = 0x80;
    else if (lead >= 0xE0 && lead <= 0xEF)
        length = 3, code = lead & 0x0F, lowest = 0x800;
    else if (lead >= 0xF0 && lead <= 0xF4)
        length = 4, code = lead & 0x07, lowest = 0x10000;
    else
        return 0;
    if (at + length > text.size())
        return 0;
    for (std::size_t i = 1; i < length; ++i) {
        if ((byte(at + i) & 0xC0) != 0x80)
            return 0;
        code = code << 6 | (byte(at + i) & 0x3F);
    }
    if (code < lowest || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
        return 0;
    return length;
}

// A strict reader of one JSON text: every rule of the grammar, strings of
// valid UTF-8 without raw control characters. Keeps the top-level object's
// keys and its string values (escapes left as written).
class TReader {
public:
    explicit TReader(std::string_view text) : FText(text) {}

    // The text is one object and a newline, nothing else.
    bool OneObjectLine(std::map<std::string, std::string>& strings, std::set<std::string>& keys)
    {
        FTop = &strings;
        FKeys = &keys;
        Space();
        if (!Peek('{') || !Value(0))
            return false;
        Space();
        return FAt + 1 == FText.size() && FText.back() == '\n' && FText.find('\n') == FAt;
    }

private:
    bool Peek(char c) const { return FAt < FText.size() && FText[FAt] == c; }
    bool Take(char c)
    {
        if (!Peek(c))
            return false;
        ++FAt;
        return true;
    }
    void Space()
    {
        while (FAt < FText.size() && (FText[FAt] == ' ' || FText[FAt] == '\t' || FText[FAt] == '\r' ||
                                      (FText[FAt] == '\n' && FAt + 1 < FText.size())))
            ++FAt;
    }
    bool String(std::string* into)
    {
        if (!Take('"'))
            return false;
        const std::size_t start = FAt;
        while (FAt < FText.size() && FText[FAt] != '"') {
            const auto c = static_cast<unsigned char>(FText[FAt]);
            if (c < 0x20)
                return false;
            if (c == '\\') {
                ++FAt;
                if (FAt >= FText.size())
                    return false;
                if (FText[FAt] == 'u') {
                    for (int i = 1; i <= 4; ++i)
                        if (FAt + i >= FText.size() || !std::isxdigit(static_cast<unsigned char>(FText[FAt + i])))
                            return false;
                    FAt += 5;
                } else if (std::string_view("\"\\/bfnrt").find(FText[FAt]) != std::string_view::npos) {
                    ++FAt;
                } else {
                    return false;
                }
                continue;
            }
            const std::size_t length = Utf8Length(FText, FAt);
            if (length == 0)
                return false;
            FAt += length;
        }
        if (into)
            *into = std::string(FText.substr(start, FAt - start));
        return Take('"');
    }
    bool Number()
    {
        const std::size_t start = FAt;
        Take('-');
        if (Take('0')) {
        } else if (FAt < FText.size() && FText[FAt] >= '1' && FText[FAt] <= '9') {
            while (FAt < FText.size() && std::isdigit(static_cast<unsigned char>(FText[FAt])))
                ++FAt;
        } else {
            return false;
        }
        if (Take('.')) {
            if (FAt >= FText.size() || !std::isdigit(static_cast<unsigned char>(FText[FAt])))
                return false;
            while (FAt < FText.size() && std::isdigit(static_cast<unsigned char>(FText[FAt])))
                ++FAt;
        }
        return FAt > start;
    }
    bool Value(int depth)
    {
        Space();
        if (depth > 8 || FAt >= FText.size())
            return false;
        for (const std::string_view word : {"true", "false", "null"})
            if (FText.substr(FAt, word.size()) == word) {
                FAt += word.size();
                return true;
            }
        if (Peek('"'))
            return String(nullptr);
        if (Take('[')) {
            Space();
            if (Take(']'))
                return true;
            do {
                if (!Value(depth + 1))
                    return false;
                Space();
            } while (Take(','));
            return Take(']');
        }
        if (Take('{')) {
            Space();
            if (Take('}'))
                return true;
            do {
                Space();
                std::string key;
                if (!String(&key))
                    return false;
                Space();
                if (!Take(':'))
                    return false;
                Space();
                if (depth == 0) {
                    if (!FKeys->insert(key).second)
                        return false;  // a key twice
                    if (Peek('"')) {
                        std::string value;
                        if (!String(&value))
                            return false;
                        (*FTop)[key] = value;
                        Space();
                        continue;
                    }
                }
                if (!Value(depth + 1))
                    return false;
                Space();
            } while (Take(','));
            return Take('}');
        }
        return Number();
    }

    std::string_view FText;
    std::size_t FAt = 0;
    std::map<std::string, std::string>* FTop = nullptr;
    std::set<std::string>* FKeys = nullptr;
};

}  // namespace json

TEST(TCliJson, ReaderIsStrict)
{
    std::map<std::string, std::string> strings;
    std::set<std::string> keys;
    auto ok = [&](std::string_view text) {
        strings.clear();
        keys.clear();
        return json::TReader(text).OneObjectLine(strings, keys);
    };
    EXPECT_TRUE(ok("{\"a\": [1, -2.5, {\"b\": null}], \"c\": \"\\u00e9\xc3\xa9\"}\n"));
    EXPECT_EQ(strings["c"], "\\u00e9\xc3\xa9");
    for (const char* bad : {"{}", "{}\n{}\n", "Device not connected\n{}\n", "{\"a\": 1,}\n", "{\"a\": 01}\n",
                            "{\"a\": \"\xff\"}\n", "{\"a\": \"\xc0\x80\"}\n", "{\"a\": 1, \"a\": 2}\n", "[1]\n"})
        EXPECT_FALSE(ok(bad)) << bad;
}

TEST(TCliJson, InvalidUtf8IsReplaced)
{
    struct TCase {
        std::string Text, Json;
    };
    for (const TCase& c : {
             TCase{"caf\xc3\xa9", "\"caf\xc3\xa9\""},                         // valid: kept as it is
             TCase{"\xf0\x9f\x93\xa1", "\"\xf0\x9f\x93\xa1\""},               // four bytes, U+1F4E1
             TCase{"a\xff" "b", R"("a\ufffdb")"},                              // a byte no sequence starts with
             TCase{"\xc0\x80", R"("\ufffd\ufffd")"},                           // overlong NUL
             TCase{"\xed\xa0\x80", R"("\ufffd\ufffd\ufffd")"},                 // a surrogate
             TCase{"\xf4\x90\x80\x80", R"("\ufffd\ufffd\ufffd\ufffd")"},       // past U+10FFFF
             TCase{"x\xe2\x82", R"("x\ufffd\ufffd")"},                         // cut short at the end
             TCase{"\xe2\x82x", R"("\ufffd\ufffdx")"},                         // cut short by an ASCII byte
             TCase{"\x7f\x1f", R"("\u007f\u001f")"},                           // control characters
         })
        EXPECT_EQ(JsonString(c.Text), c.Json) << c.Text;
}

struct TJsonCase {
    std::vector<std::string> Args;  // FILE and DIR stand for the test's files
    bool Present;                   // a remote is attached
    int Code;
    std::string Outcome;
};

// The arguments, in a failure's message.
void PrintTo(const TJsonCase& c, std::ostream* os)
{
    for (const std::string& arg : c.Args)
        *os << '\'' << arg << "' ";
    *os << (c.Present ? "(remote present)" : "(no remote)");
}

class TCliJsonForm : public TCliFixture, public ::testing::WithParamInterface<TJsonCase> {};

TEST_P(TCliJsonForm, OneObjectWithItsOutcome)
{
    WriteBytes(Dir / "in.bin", TByteArray(100, 0xA5));
    Sim->SetIrCapture(TRemoteFirmware::MakeIrSignal({0x08}), std::chrono::milliseconds(0));
    if (!GetParam().Present)
        Bus.Unplug(Sim);
    std::vector<std::string> args{"--json"};
    for (const std::string& arg : GetParam().Args)
        args.push_back(arg == "FILE" ? Dir / "in.bin" : arg == "OUT" ? Dir / "out.bin" : arg == "DIR" ? Dir.Path().string() : arg);
    if (args[1] == "flash" && args[2] == "dump") {
        TSimFaults faults;
        faults.FlashSilentFrom = 32;  // a dump that breaks off, in a moment
        Sim->SetFaults(faults);
    }
    const TCliRun run = Run(args);
    EXPECT_EQ(run.Code, GetParam().Code) << run.Out << run.Err;
    std::map<std::string, std::string> strings;
    std::set<std::string> keys;
    ASSERT_TRUE(json::TReader(run.Out).OneObjectLine(strings, keys)) << run.Out;
    EXPECT_EQ(strings["outcome"], GetParam().Outcome) << run.Out;
    EXPECT_EQ(keys.count("error"), GetParam().Code == 0 ? 0u : 1u) << run.Out;
    if (GetParam().Code != 0) {
        EXPECT_FALSE(strings["error"].empty()) << run.Out;
    }
}

std::vector<TJsonCase> JsonCases()
{
    const std::vector<std::vector<std::string>> commands{
        {"list"},
        {"status"},
        {"version"},
        {"version", "--decoded"},
        {"reset"},
        {"misc", "read", "byte", "RAM", "1"},
        {"misc", "write", "word", "RAM", "2", "$1234"},
        {"battery"},
        {"hwflag"},
        {"clock"},
        {"clock", "set", "now"},
        {"flash", "read", "0", "100", "-o", "OUT"},
        {"flash", "erase", "$1000", "$2000"},
        {"flash", "write", "$1000", "FILE", "--verify"},
        {"flash", "verify", "$3000", "FILE"},
        {"ir", "capture", "-o", "OUT"},
    };
    std::vector<TJsonCase> cases;
    for (const auto& command : commands) {
        // The verify compares with flash that holds no such bytes.
        const bool mismatch = command[0] == "flash" && command[1] == "verify";
        cases.push_back({command, true, mismatch ? 5 : 0, mismatch ? "verify_mismatch" : "done"});
        cases.push_back({command, false, 3, "no_device"});
    }
    cases.push_back({{"flash", "dump", "-C", "DIR"}, true, 1, "failed"});
    cases.push_back({{"flash", "dump", "-C", "DIR"}, false, 3, "no_device"});
    cases.push_back({{"flash", "restore", "DIR"}, true, 4, "file_error"});
    cases.push_back({{"flash", "read", "0", "100", "-o", "DIR"}, true, 4, "file_error"});
    // A path that is no UTF-8 is named in the error all the same.
    cases.push_back({{"--device", "sim:\xff\xc0hidraw0", "battery"}, true, 3, "no_device"});
    cases.push_back({{"--device", "sim:\xff\xc0hidraw0", "status"}, true, 3, "no_device"});
    return cases;
}

INSTANTIATE_TEST_SUITE_P(Cli, TCliJsonForm, ::testing::ValuesIn(JsonCases()));

TEST_F(TCliFixture, JsonOfARemoteThatRefuses)
{
    TSimFaults faults;
    faults.EchoOverride = 0x55;
    Sim->SetFaults(faults);
    const TCliRun run = Run({"--json", "misc", "read", "byte", "0", "0"});
    EXPECT_EQ(run.Code, 1);
    EXPECT_EQ(run.Out, R"({"outcome": "failed", "error": "Read failed", "width": "byte", "type": 0, )"
                       R"("type_name": "EEPROM", "index": 0})"
                       "\n");
}

// --- --device: the reason a named interface is not the remote -----------------------------

TEST_F(TCliFixture, DeviceThatIsNotTheRemoteSaysWhy)
{
    const std::string mouse = Bus.Plug(std::make_shared<TSimMouse>());
    struct TCase {
        std::vector<std::string> Args;
        std::string Reason;
    };
    for (const TCase& c : {
             TCase{{"--device", "sim:hidraw9", "battery"}, "corvane-cli: sim:hidraw9: No such device\n"},
             TCase{{"--device", mouse, "version"}, "corvane-cli: " + mouse + ": not the remote (IDs 046d:c077)\n"},
             TCase{{"--device", mouse, "status"}, "corvane-cli: " + mouse + ": not the remote (IDs 046d:c077)\n"},
         }) {
        const TCliRun run = Run(c.Args);
        EXPECT_EQ(run.Code, 3) << c.Args[1];
        EXPECT_NE(run.Err.find(c.Reason), std::string::npos) << run.Err;
    }
    const TCliRun json = Run({"--json", "--device", mouse, "version"});
    EXPECT_EQ(json.Code, 3);
    EXPECT_NE(json.Out.find(R"("outcome": "no_device", "error": ")" + mouse + R"x(: not the remote (IDs 046d:c077)")x"),
              std::string::npos)
        << json.Out;

    // --simulate names the simulated bus; --device one remote on it.
    const TCliRun simulated = Run({"--simulate", "--device", "sim:hidraw0", "battery"});
    EXPECT_EQ(simulated.Code, 0) << simulated.Err;
}

#ifdef __linux__
// --- A trace that cannot be written -----------------------------------------------------------

TEST_F(TCliFixture, TraceThatCannotBeWrittenExitsFour)
{
    struct TCase {
        std::vector<std::string> Args;
        int Code;
    };
    for (const TCase& c : {
             TCase{{"--trace", "/dev/full", "battery"}, 4},
             TCase{{"--trace", "/dev/full", "list"}, 4},
             // The operation's own failure is the exit code; the trace's is said.
             TCase{{"--trace", "/dev/full", "misc", "read", "byte", "0", "0"}, 1},
         }) {
        TSimFaults faults;
        faults.EchoOverride = c.Code == 1 ? 0x55 : -1;
        Sim->SetFaults(faults);
        const TCliRun run = Run(c.Args);
        EXPECT_EQ(run.Code, c.Code) << run.Err;
        EXPECT_NE(run.Err.find("corvane-cli: write error on trace file /dev/full: No space left on device"),
                  std::string::npos)
            << run.Err;
    }
    // The object names the operation's own failure, when it failed.
    const TCliRun refused = Run({"--json", "--trace", "/dev/full", "misc", "read", "byte", "0", "0"});
    EXPECT_EQ(refused.Out.rfind(R"({"outcome": "failed", "error": "Read failed", )", 0), 0u) << refused.Out;
    Sim->SetFaults({});
    const TCliRun json = Run({"--json", "--trace", "/dev/full", "battery"});
    EXPECT_EQ(json.Code, 4);
    EXPECT_EQ(json.Out.rfind(R"({"outcome": "file_error", "error": "write error on trace file /dev/full: )", 0), 0u)
        << json.Out;
}
#endif
