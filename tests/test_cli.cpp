// corvane-cli in-process: its commands, range checks, output forms and exit
// codes against the simulated remote on the simulated bus.

#include "CliFixture.h"

#include "CorvaneInterface.h"
#include "FlashParts.h"
#include "SimDevices.h"
#include "SimSetup.h"

#include <algorithm>
#include <cctype>
#include <map>
#include <set>
#include <optional>

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

// The arguments, in the test's name and a failure's message.
void PrintTo(const TRefusal& r, std::ostream* os)
{
    *os << "corvane-cli";
    for (const std::string& arg : r.Args)
        *os << " '" << arg << '\'';
}

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

// --- One rule for numbers: taken as typed, hex unsigned; both sides of each bound ---------

TEST(TCliNumbers, BothSidesOfEveryBound)
{
    enum TWhat { Data8, Data16, Index8, Index16, Address, SizeAtFFFFF0, ResetType };
    struct TCase {
        TWhat What;
        std::string Text;
        bool Ok;
        std::int64_t Value;   // as sent, when Ok
        std::string Message;  // part of the error, when not
    };
    for (const TCase& c : {
             TCase{Data8, "255", true, 0xFF, ""},
             TCase{Data8, "256", false, 0, "data 256 does not fit 8 bits (-128 to 0xFF)"},
             TCase{Data8, "$FF", true, 0xFF, ""},
             TCase{Data8, "$100", false, 0, "does not fit 8 bits"},
             TCase{Data8, "-1", true, 0xFF, ""},
             TCase{Data8, "-128", true, 0x80, ""},
             TCase{Data8, "-129", false, 0, "does not fit 8 bits"},
             TCase{Data8, "-$80", true, 0x80, ""},
             TCase{Data8, "-$81", false, 0, "does not fit 8 bits"},
             // Hex is an unsigned value, never a two's-complement pattern.
             TCase{Data8, "$FFFFFFFF", false, 0, "data $FFFFFFFF does not fit 8 bits"},
             TCase{Data8, "0xFFFFFFFFFFFFFFFF", false, 0, "does not fit 8 bits"},
             TCase{Data8, "0x7FFFFFFFFFFFFFFF", false, 0, "does not fit 8 bits"},
             TCase{Data8, "9223372036854775807", false, 0, "does not fit 8 bits"},
             TCase{Data8, "9223372036854775808", false, 0, "does not fit 8 bits"},
             TCase{Data8, "-9223372036854775808", false, 0, "does not fit 8 bits"},
             TCase{Data8, "-9223372036854775809", false, 0, "does not fit 8 bits"},
             TCase{Data8, "$10000000000000000", false, 0, "does not fit 8 bits"},
             TCase{Data8, "0x1G", false, 0, "invalid data '0x1G'"},
             TCase{Data8, "-", false, 0, "invalid data '-'"},
             TCase{Data16, "$FFFF", true, 0xFFFF, ""},
             TCase{Data16, "65536", false, 0, "data 65536 does not fit 16 bits (-32768 to 0xFFFF)"},
             TCase{Data16, "-32768", true, 0x8000, ""},
             TCase{Data16, "-32769", false, 0, "does not fit 16 bits"},
             TCase{Data16, "-$8000", true, 0x8000, ""},
             TCase{Data16, "-$8001", false, 0, "does not fit 16 bits"},
             TCase{Data16, "$FFFFFFFF", false, 0, "does not fit 16 bits"},
             TCase{Index8, "0", true, 0, ""},
             TCase{Index8, "-1", false, 0, "index -1 does not fit 8 bits (0 to 0xFF)"},
             TCase{Index8, "xFF", true, 0xFF, ""},
             TCase{Index8, "x100", false, 0, "does not fit 8 bits"},
             TCase{Index16, "0XFFFF", true, 0xFFFF, ""},
             TCase{Index16, "0X10000", false, 0, "does not fit 16 bits"},
             TCase{Address, "-0", true, 0, ""},
             TCase{Address, "-1", false, 0, "outside the 16 MiB flash"},
             TCase{Address, "$FFFFFF", true, 0xFFFFFF, ""},
             TCase{Address, "16777216", false, 0, "outside the 16 MiB flash"},
             TCase{Address, "$FFFFFFFFFFFFFFFF", false, 0, "outside the 16 MiB flash"},
             TCase{SizeAtFFFFF0, "16", true, 16, ""},
             TCase{SizeAtFFFFF0, "17", false, 0, "runs past the end"},
             TCase{SizeAtFFFFF0, "1", true, 1, ""},
             TCase{SizeAtFFFFF0, "0", false, 0, "must be at least 1"},
             TCase{SizeAtFFFFF0, "0xFFFFFFFFFFFFFFFF", false, 0, "runs past the end"},
             TCase{ResetType, "$4", true, 3, ""},
             TCase{ResetType, "5", false, 0, "reset type '5' is neither 1-4"},
             TCase{ResetType, "0x10000000000000001", false, 0, "is neither 1-4"},
         }) {
        std::string error;
        std::uint16_t narrow = 0;
        std::uint32_t wide = 0;
        int item = 0;
        bool ok = false;
        std::int64_t value = -1;
        switch (c.What) {
        case Data8: ok = ParseRegisterData(c.Text, 8, narrow, error), value = narrow; break;
        case Data16: ok = ParseRegisterData(c.Text, 16, narrow, error), value = narrow; break;
        case Index8: ok = ParseRegisterIndex(c.Text, 8, narrow, error), value = narrow; break;
        case Index16: ok = ParseRegisterIndex(c.Text, 16, narrow, error), value = narrow; break;
        case Address: ok = ParseFlashAddress(c.Text, wide, error), value = wide; break;
        case SizeAtFFFFF0: ok = ParseFlashSize(c.Text, 0xFFFFF0, wide, error), value = wide; break;
        case ResetType: ok = ParseItem(c.Text, ops::ResetTypeNames, 1, item, error, "reset type"), value = item; break;
        }
        EXPECT_EQ(ok, c.Ok) << c.Text << ": " << error;
        if (c.Ok)
            EXPECT_EQ(value, c.Value) << c.Text;
        else
            EXPECT_NE(error.find(c.Message), std::string::npos) << c.Text << ": " << error;
    }
    // Any number, in range or not, is an argument and never an option.
    for (const char* word : {"-1", "-$10", "-0x8000000000000000", "-99999999999999999999"})
        EXPECT_TRUE(IsNumberText(word)) << word;
    for (const char* word : {"--json", "-o", "-x", "-$", "-1x"})
        EXPECT_FALSE(IsNumberText(word)) << word;
}

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
        TShortCase{{"flash", "erase", "$1000", "8191"},
                   {"Flash sector 4096 erased", "erased 0x001000-0x001FFF", "Flash sector 8191 erased",
                    "erased 0x001000-0x001FFF"}},
        TShortCase{{"flash", "erase", "0x40010", "$40FFF", "$41000"},
                   {"Flash sector 262160 erased", "erased 0x040000-0x040FFF", "Flash sector 266239 erased",
                    "erased 0x040000-0x040FFF", "Flash sector 266240 erased", "erased 0x041000-0x041FFF"}},
        TShortCase{{"flash", "erase", "0", "$FFFFFF"},
                   {"Flash sector 0 erased", "erased 0x000000-0x000FFF", "Flash sector 16777215 erased",
                    "erased 0xFFF000-0xFFFFFF"}},
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

// The day of the week as the remote counts it, 1 Sunday to 7 Saturday, and
// by name; null where the remote keeps none (architecture below 8).
TEST_F(TCliFixture, ClockJsonNamesTheDay)
{
    struct TCase {
        int Architecture;
        const char* Set;
        const char* Fields;
    };
    for (const TCase& c : {
             TCase{12, "20250105T120000", R"("day_of_week": 1, "day_name": "Sunday"})"},
             TCase{12, "20250106T120000", R"("day_of_week": 2, "day_name": "Monday"})"},
             TCase{12, "20261208T120000", R"("day_of_week": 3, "day_name": "Tuesday"})"},
             TCase{12, "20250111T120000", R"("day_of_week": 7, "day_name": "Saturday"})"},
             TCase{7, "20261208T120000", R"("day_of_week": null, "day_name": null})"},
         }) {
        Sim->SetArchitecture(c.Architecture);
        ASSERT_EQ(Run({"clock", "set", c.Set}).Code, 0) << c.Set;
        const TCliRun run = Run({"--json", "clock"});
        EXPECT_EQ(run.Code, 0) << c.Set;
        EXPECT_NE(run.Out.find(c.Fields), std::string::npos) << c.Set << ": " << run.Out;
    }
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
                                        "Permission denied on sim:hidraw0: the udev rule 69-corvane-one.rules is "
                                        "needed, see man corvane-console"}));
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

    // Written again with --raw, onto programmed flash: programming only
    // clears bits, so the read-back differs where the new byte has a bit
    // the old one lacks.
    const TByteArray other = Pattern(70000, 4);
    WriteBytes(Dir / "other.bin", other);
    run = Run({"flash", "write", "$20000", Dir / "other.bin", "--raw", "--verify"});
    EXPECT_EQ(run.Code, 5);
    std::size_t first = 0;
    while ((data[first] & other[first]) == other[first])
        ++first;
    char expected[80];
    std::snprintf(expected, sizeof expected, "verify mismatch at 0x%06X: expected 0x%02X, read 0x%02X",
                  static_cast<unsigned>(0x20000 + first), other[first], data[first] & other[first]);
    EXPECT_NE(run.Err.find(expected), std::string::npos) << run.Err;
    // The report counts every difference to the end, and they all are 1s
    // read as 0s.
    const auto differing = [&](const TByteArray& wanted) {
        std::size_t count = 0;
        for (std::size_t i = 0; i < wanted.size(); ++i)
            count += (data[i] & other[i]) != wanted[i];
        return std::to_string(count) + " bytes differ: ";
    };
    EXPECT_NE(run.Err.find(differing(other)), std::string::npos) << run.Err;
    EXPECT_NE(run.Err.find("not erased?"), std::string::npos) << run.Err;

    // A verify alone writes nothing: its line names the byte expected from
    // the file and the byte read; --diff lists the ranges too.
    run = Run({"flash", "verify", "$20000", Dir / "image.bin", "--diff"});
    EXPECT_EQ(run.Code, 5);
    std::size_t differs = 0;
    while ((data[differs] & other[differs]) == data[differs])
        ++differs;
    std::snprintf(expected, sizeof expected, "Verify failed at %06X: expected %02X, read %02X",
                  static_cast<unsigned>(0x20000 + differs), data[differs], data[differs] & other[differs]);
    EXPECT_EQ(SplitLines(run.Out).back(), expected) << run.Out;
    EXPECT_NE(run.Err.find(differing(data)), std::string::npos) << run.Err;
    std::snprintf(expected, sizeof expected, "  0x%06X-", static_cast<unsigned>(0x20000 + differs));
    EXPECT_NE(run.Err.find(std::string("Differing ranges:\ncorvane-cli: ") + expected), std::string::npos)
        << run.Err;

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

// A verified dump with the simulator's flaky-read faults as --sim-fault
// takes them: one flaky read is read again and the backup is whole; reads
// that keep differing fail with the address and keep what came before.
TEST_F(TCliFixture, VerifiedDumpOfFlakyReads)
{
    struct TCase {
        std::vector<std::string> Faults;
        int Code;
        std::string Line;   // the last log line of the dump on standard output
        std::string Error;  // found on standard error
    };
    // A flaky byte in safe_mode's second piece (3,844 bytes a piece).
    const TCase cases[] = {
        {{"flash-flip-at=0xFE2838"}, 0, "Reading done", ""},
        {{"flash-flip-at=0xFE2838", "flash-flip-reads=-1"}, 1, "Reads differ at FE2838",
         "differ at 0xFE2838, also when read again; the dump failed after 7940 bytes; what was read is in " +
             Dir / "20240229T123456_bootloader.bin.partial, " + Dir / "20240229T123456_safe_mode.bin.partial"},
    };
    Sim->FillFlashWithPattern();
    for (const TCase& test : cases) {
        SCOPED_TRACE(test.Line);
        // The folder is the run's working directory, which Windows will not
        // remove: its files go, the folder stays.
        for (const auto& entry : std::filesystem::directory_iterator(Dir.Path()))
            std::filesystem::remove_all(entry.path());
        TSimFaults faults;
        std::string error;
        for (const std::string& fault : test.Faults) ASSERT_TRUE(ParseSimFault(fault, faults, error)) << error;
        Sim->SetFaults(faults);
        const TCliRun run = Run({"flash", "dump", "--parts", "--verify", "-C", Dir.Path().string()});
        Sim->SetFaults({});
        EXPECT_EQ(run.Code, test.Code) << run.Err;
        // (A complete dump names its manifest after it.)
        EXPECT_NE(run.Out.find(test.Line + "\n"), std::string::npos) << run.Out;
        EXPECT_NE(run.Err.find(test.Error), std::string::npos) << run.Err;
        const std::string bootloader = test.Code == 0 ? "20240229T123456_bootloader.bin"
                                                      : "20240229T123456_bootloader.bin.partial";
        EXPECT_EQ(ReadBytes(Dir / bootloader), Sim->Flash(0xFE0000, 0x1000));
        const std::string safeMode = test.Code == 0 ? "20240229T123456_safe_mode.bin"
                                                    : "20240229T123456_safe_mode.bin.partial";
        EXPECT_EQ(ReadBytes(Dir / safeMode), Sim->Flash(0xFE1000, test.Code == 0 ? 0xF000 : 3844));
        if (test.Code == 0) {
            EXPECT_EQ(ReadBytes(Dir / "20240229T123456_user_configuration.bin"), Sim->Flash(0x40000, 0x3C0000));
        }
    }
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

// Why a capture failed: the window says only "IR capture failed"; the
// command line names a wait that ran out without any signal, and only that.
TEST_F(TCliFixture, CaptureWithoutASignalSaysWhy)
{
    // Fifty reads of two 1 ms looks: the remote's wait, shortened.
    TTiming timing = CliTiming();
    timing.ReplyTries = 2;
    timing.ReplyTryPause = std::chrono::milliseconds(1);
    struct TCase {
        const char* Name;
        TSimFaults Faults;
        bool NoSignal;
    };
    TSimFaults silent, wrongSequence, wrongType, brokenOff;
    silent.IrSilentBeforeFirst = true;
    wrongSequence.IrSequenceErrorAt = 0;
    wrongType.IrWrongTypeAt = 0;
    brokenOff.IrSilentFrom = 2;
    Sim->SetIrCapture(TRemoteFirmware::MakeIrSignal({0x08, 0x09, 0x0A, 0x0B, 0x0C}), std::chrono::milliseconds(0));
    Sim->SetIrChunk(2);
    for (const TCase& c : {TCase{"silent", silent, true}, TCase{"wrong sequence", wrongSequence, false},
                           TCase{"wrong type", wrongType, false}, TCase{"broken off", brokenOff, false}}) {
        Sim->SetFaults(c.Faults);
        // Only the silent remote gets the shortened wait: the others must
        // not be taken for silent on a loaded machine.
        TCliRun run;
        {
            std::optional<TScopedTiming> shortWait;
            if (c.NoSignal)
                shortWait.emplace(timing);
            run = Run({"ir", "capture", "-o", Dir / "none.bin"});
        }
        EXPECT_EQ(run.Code, 1) << c.Name;
        EXPECT_EQ(run.Out, "Starting capture\nIR capture failed\n") << c.Name;
        EXPECT_EQ(run.Err == "corvane-cli: no infrared signal reached the remote within 0.1 s, its wait for one: "
                             "send the signal right after \"Starting capture\"\n",
                  c.NoSignal)
            << c.Name << ": " << run.Err;
        EXPECT_FALSE(std::filesystem::exists(Dir / "none.bin")) << c.Name;
        Sim->WaitIdle();
    }
}

// --- Progress line ------------------------------------------------------------------------

TEST(TCliProgress, LineFormat)
{
    struct TCase {
        std::string What;
        std::uint64_t Done, Total;
        double Rate;
        std::string Line;
    };
    for (const TCase& c : {
             TCase{"dump", 0, 16777216, 0, "dump   0 of 16777216 bytes   0%   0.0 kB/s   --:-- left"},
             TCase{"dump", 1048576, 16777216, 62000, "dump   1048576 of 16777216 bytes   6%   62.0 kB/s   4:14 left"},
             TCase{"dump", 62000, 16777216 * 16, 62000,
                   "dump   62000 of 268435456 bytes   0%   62.0 kB/s   1:12:09 left"},
             TCase{"dump", 4096, 0, 0, "dump   4096 bytes"},
             // 79 columns at most: a long name loses the end of its first
             // part and keeps its last word; one that fits is kept whole.
             TCase{"user_configuration verify", 3932160, 3932160, 61900,
                   "user_configu.. verify   3932160 of 3932160 bytes   100%   61.9 kB/s   0:00 left"},
             TCase{"embedded_configuration write", 1, 122880, 61900,
                   "embedded_configuration write   1 of 122880 bytes   0%   61.9 kB/s   0:02 left"},
             TCase{"guid verify", 64, 64, 61900, "guid verify   64 of 64 bytes   100%   61.9 kB/s   0:00 left"},
             TCase{"a_name_without_a_space_that_is_much_too_long_for_the_line", 16777216, 16777216, 61900,
                   "a_name_without_a_sp   16777216 of 16777216 bytes   100%   61.9 kB/s   0:00 left"},
         }) {
        const std::string line = TProgressLine::Format(c.What, c.Done, c.Total, c.Rate);
        EXPECT_EQ(line, c.Line);
        EXPECT_LE(line.size(), TProgressLine::Columns) << line;
    }
}

// The progress on a terminal: the lines between carriage returns and line
// ends, blanking runs included.
std::vector<std::string> Drawn(const std::string& err)
{
    std::vector<std::string> pieces;
    std::string piece;
    for (const char c : err) {
        if (c == '\r' || c == '\n') {
            if (!piece.empty())
                pieces.push_back(piece);
            piece.clear();
        } else {
            piece += c;
        }
    }
    if (!piece.empty())
        pieces.push_back(piece);
    return pieces;
}

// What a drawn line says: done, total, rate (bytes per second) and seconds
// left (-1 for "--:--"). False for a blanking run or a count.
struct TShown {
    std::uint64_t Done = 0, Total = 0;
    double Rate = 0;
    long Left = -1;
};

bool ParseShown(const std::string& line, TShown& shown)
{
    const std::size_t of = line.find(" of ");
    const std::size_t rate = line.find(" kB/s   ");
    if (of == std::string::npos || rate == std::string::npos)
        return false;
    shown.Done = std::stoull(line.substr(line.rfind(' ', of - 1) + 1));
    shown.Total = std::stoull(line.substr(of + 4));
    shown.Rate = std::stod(line.substr(line.rfind(' ', rate - 1) + 1)) * 1000;
    const std::string left = line.substr(rate + 8, line.find(" left") - rate - 8);
    shown.Left = -1;
    if (left != "--:--") {
        long seconds = 0;
        std::istringstream fields(left);
        for (std::string field; std::getline(fields, field, ':');)
            seconds = seconds * 60 + std::stol(field);
        shown.Left = seconds;
    }
    return true;
}

// Link time: each read request of the remote takes its bytes' time at the
// USB limit of 62,000 data bytes per second, in whole milliseconds rounded
// up. A rate above 62.0 kB/s on this clock is more than the link carried.
class TLinkClock : public ops::IOpsClock {
public:
    explicit TLinkClock(TSimRemote& sim) : FSim(sim) {}
    ops::TLocalTime Now() override { return {2024, 2, 29, 12, 34, 56, 4}; }
    std::uint64_t TickMs() override
    {
        // Asked on the thread that sends the requests, so none is sent
        // between the look and the clearing.
        for (const TByteArray& packet : FSim.Received())
            if (packet.size() >= 6 && packet[0] == PKT_READ_FLASH + 5)
                FMs += ((static_cast<std::uint64_t>(packet[4]) << 8 | packet[5]) * 1000 + 61999) / 62000;
        FSim.ClearReceived();
        return FMs;
    }

private:
    TSimRemote& FSim;
    std::uint64_t FMs = 0;
};

TEST(TCliProgress, RateOverTheWholeRun)
{
    // A parts dump on a 62 kB/s link, in 65,535-byte chunks that divide no
    // part, with each part's log line between Hide and Show.
    std::uint64_t now = 5000;
    std::ostringstream err;
    TProgressLine progress(err, true, [&] { return now; });
    std::uint64_t all = 0;
    for (const TPart& part : FlashParts)
        all += static_cast<std::uint64_t>(part.Size);
    std::uint64_t done = 0;
    progress.Update("flash", 0, all);
    for (const TPart& part : FlashParts) {
        progress.Hide();
        progress.Show();
        for (std::uint64_t left = static_cast<std::uint64_t>(part.Size); left > 0;) {
            const std::uint64_t n = std::min<std::uint64_t>(left, 65535);
            now += (n * 1000 + 61999) / 62000;  // whole milliseconds, never early
            done += n;
            left -= n;
            progress.Update("flash", done, all);
        }
    }
    // A second step of the same run (a verify after a write) goes on with
    // the run's rate, not a fresh one.
    now += 1000;
    progress.Update("verify", 31000, 62000);
    progress.End();

    int lines = 0;
    TShown last;
    for (const std::string& piece : Drawn(err.str())) {
        TShown shown;
        if (!ParseShown(piece, shown))
            continue;
        ++lines;
        EXPECT_LE(shown.Rate, 62000.0) << piece;
        if (shown.Done > 0) {
            EXPECT_GE(shown.Rate, 61000.0) << piece;
            EXPECT_NEAR(static_cast<double>(shown.Left),
                        static_cast<double>(shown.Total - shown.Done) / shown.Rate, 1.0)
                << piece;
        }
        last = shown;
    }
    EXPECT_GT(lines, 60);
    EXPECT_EQ(last.Done, 31000u);
    EXPECT_NEAR(last.Rate, (static_cast<double>(all) + 31000.0) * 1000.0 / static_cast<double>(now - 5000), 50.0);
    const std::string text = err.str();
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1);
}

// The image engine's phases share one count: the line names the phase, but
// the rate and the time left run over the whole image, never restarting
// (a restart would count the bytes before it twice and overstate the rate).
TEST(TCliProgress, PhasesOfOneCount)
{
    std::uint64_t now = 0;
    std::ostringstream err;
    TProgressLine progress(err, true, [&] { return now; });
    const std::uint64_t total = 40000;
    const struct {
        const char* Phase;
        std::uint64_t Done;
    } steps[] = {{"read", 0}, {"read", 8000}, {"erase", 12000}, {"write", 20000}, {"write", 28000}, {"verify", 40000}};
    std::vector<std::string> phases;
    for (const auto& step : steps) {
        now = step.Done / 10;  // 10,000 bytes a second throughout
        progress.Update("image", step.Done, total, step.Phase);
        const std::vector<std::string> drawn = Drawn(err.str());
        const std::string& line = drawn.back();
        EXPECT_EQ(line.rfind(step.Phase, 0), 0u) << line;
        TShown shown;
        if (step.Done > 0 && ParseShown(line, shown)) {
            EXPECT_NEAR(shown.Rate, 10000.0, 100.0) << line;
            EXPECT_NEAR(static_cast<double>(shown.Left), static_cast<double>(total - step.Done) / 10000.0, 1.0)
                << line;
        }
    }
    progress.End();
}

// Long work on a terminal: one line, redrawn in place, 79 columns at most,
// off the screen while a log line is written and drawn again after it; its
// rate is never above what the link carried, and the time left follows it.
TEST_F(TCliFixture, ProgressIsOneLineRedrawnInPlace)
{
    Sim->FillFlashWithPattern();
    TLinkClock link(*Sim);
    Host.Clock = &link;
    Host.ProgressOnTerminal = true;
    const std::string dir = Dir.Path().string();
    struct TCase {
        std::vector<std::string> Args;
        std::size_t LogLines;  // at least
    };
    for (const TCase& c : {
             TCase{{"flash", "dump", "--parts", "-C", dir}, 10},
             TCase{{"flash", "restore", dir, "--regions",
                    "bootloader,safe_mode,cpld,pic_library,guid,manufacturer_pid,embedded_configuration"},
                   0},
             TCase{{"flash", "read", "$100", "9000"}, 500},  // hex lines between chunks
         }) {
        // (The link clock counts reads only: a restore's writes would take
        // no time on it.)
        Host.Clock = c.Args[1] == "restore" ? static_cast<ops::IOpsClock*>(&Clock) : &link;
        // The restore leaves the two largest regions out, for time.
        if (c.Args[1] == "restore")
            for (const char* name : {"user_configuration", "normal_app"})
                std::filesystem::remove(Dir / ("20240229T123456_" + std::string(name) + ".bin"));
        TCliRun run = Run(c.Args);
        const std::string skipped = "that region is left as it is\n";
        if (const std::size_t at = run.Err.rfind(skipped); at != std::string::npos)
            run.Err.erase(0, at + skipped.size());
        ASSERT_EQ(run.Code, 0) << c.Args[1] << run.Err;
        EXPECT_GE(SplitLines(run.Out).size(), c.LogLines) << c.Args[1];
        // The one line end is the one that leaves the last line standing.
        EXPECT_EQ(std::count(run.Err.begin(), run.Err.end(), '\n'), 1) << c.Args[1] << run.Err;
        EXPECT_EQ(run.Err.back(), '\n') << c.Args[1];
        TShown last;
        for (const std::string& piece : Drawn(run.Err)) {
            EXPECT_LE(piece.size(), TProgressLine::Columns) << c.Args[1] << ": " << piece;
            TShown shown;
            if (!ParseShown(piece, shown))
                continue;
            if (c.Args[1] == "restore")
                continue;
            EXPECT_LE(shown.Rate, 62000.0) << c.Args[1] << ": " << piece;
            if (shown.Rate >= 50000.0) {
                EXPECT_NEAR(static_cast<double>(shown.Left),
                            static_cast<double>(shown.Total - shown.Done) / shown.Rate, 1.0)
                    << c.Args[1] << ": " << piece;
            }
            last = shown;
        }
        // Reads on this clock move at the link's speed, also across the
        // hex lines of a read of more than one chunk.
        if (c.Args[1] != "restore") {
            EXPECT_GE(last.Rate, 61000.0) << c.Args[1] << run.Err;
        }
    }
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
                             "flash dump [--parts | --region NAME] [--verify] [-C DIR]",
                             "flash erase ADDR... | --range ADDR SIZE", "flash write ADDR FILE | --region NAME FILE",
                             "--dry-run", "--base FILE", "--verify-all", "--no-verify", "--diff", "--force", "--raw",
                             "_before_AAAAAA.bin", "_manifest.json",
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
