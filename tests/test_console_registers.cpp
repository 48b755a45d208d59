// The Version, Reset and Miscellaneous pages against the simulated remote.

#include "test_console_support.h"

#include <QLocale>

namespace {

using TRegisterPageTest = TConsoleFixture;

const QString ArchitectureLine = "Incorrect/unknown architecture (must use get version)";

// The word-read requests the remote received (type, index), in order.
std::vector<std::pair<int, int>> WordReads(const std::vector<TByteArray>& received)
{
    std::vector<std::pair<int, int>> reads;
    for (const TByteArray& p : received)
        if (p.size() >= 4 && p[0] == 0xB3) reads.emplace_back(p[1], p[2] * 256 + p[3]);
    return reads;
}

// The word writes the remote received (index, value) for the given type.
std::vector<std::pair<int, int>> WordWrites(const std::vector<TByteArray>& received, int type)
{
    std::vector<std::pair<int, int>> writes;
    for (const TByteArray& p : received)
        if (p.size() >= 6 && p[0] == 0xA5 && p[1] == type) writes.emplace_back(p[2] * 256 + p[3], p[4] * 256 + p[5]);
    return writes;
}

// A value reply to a word read of the given type.
TByteArray WordReply(std::uint8_t type, std::uint16_t value)
{
    return {0xC3, type, static_cast<std::uint8_t>(value >> 8), static_cast<std::uint8_t>(value)};
}

TEST_F(TRegisterPageTest, VersionRawAndDecoded)
{
    Remote->SetVersionPayload(
        {0x35, 0x02, 0x01, 0x20, 0xC3, 0x04, 0x0C, 0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC, 0xDE, 0x07});
    Start();
    NewLines();

    Form->btnVersion->click();
    EXPECT_EQ(NewLines(), QStringList{"Received (hex): 28 35 02 01 20 C3 04 0C 12 34 56 78 9A BC DE 07"});

    Form->btnDecodedVersion->click();
    EXPECT_EQ(NewLines(), (QStringList{
                              "Version information:",
                              "  Firmware             3.5",
                              "  Board revision       2",
                              "  Memory device        1",
                              "  Memory manufacturer  32",
                              "  Architecture         12",
                              "  Firmware type        3",
                              "  Skin                 4",
                              "  Protocol             12",
                              "  Bootloader           1.2",
                              "  PIC library          3.4",
                              "  CPLD                 5.6",
                              "  Safe mode            7.8",
                              "  Normal mode          9.10",
                              "  Zwave                11.12",
                              "  Zwave revision       222",
                          }));

    TSimFaults silent;
    silent.Silent = true;
    Remote->SetFaults(silent);
    Form->btnVersionClick();
    Form->btnDecodedVersionClick();
    EXPECT_EQ(NewLines(),
              (QStringList{"Error reading version information", "Error reading decoded version information"}));
}

TEST_F(TRegisterPageTest, ResetUsesTheSelectedItemOrFallsBackToUsb)
{
    Start();
    NewLines();

    Form->cbResetType->setCurrentIndex(2);
    Form->btnResetClick();
    EXPECT_EQ(NewLines(), QStringList{"Reset device disconnect successful"});
    ASSERT_TRUE(Remote->WaitIdle());
    EXPECT_EQ(Remote->LastResetType(), 3);

    // Typed text that is no item: item 0 is selected and used.
    Form->cbResetType->setEditText("warm");
    Form->btnResetClick();
    EXPECT_EQ(NewLines(), QStringList{"Reset USB successful"});
    EXPECT_EQ(Form->cbResetType->currentText(), "USB");
    EXPECT_EQ(Form->cbResetType->currentIndex(), 0);
    ASSERT_TRUE(Remote->WaitIdle());
    EXPECT_EQ(Remote->LastResetType(), 1);

    // Typed text equal to an item is that item.
    Form->cbResetType->setEditText("(invalidate) test firmware");
    Form->btnResetClick();
    EXPECT_EQ(NewLines(), QStringList{"Reset (invalidate) test firmware successful"});

    Unplug();
    ASSERT_TRUE(WaitFor([&] { return !Form->Remote()->Connected(); }));
    NewLines();
    Form->cbResetType->setCurrentIndex(1);
    Form->btnResetClick();
    EXPECT_EQ(NewLines(), QStringList{"Reset device failed"});
}

TEST_F(TRegisterPageTest, ReadAndWriteNarrowToTheSentWidth)
{
    Start();
    NewLines();
    Remote->SetRegister(0, 0, 0x5A);
    Remote->SetRegister(0, 0xFFFF, 0x1234);

    // Index 256 is sent as 0 by the byte read.
    Form->edtReadWriteMiscIndex->setText("256");
    Form->cbReadWriteMiscType->setEditText("no such type");
    Remote->ClearReceived();
    Form->btnReadMiscByteClick();
    EXPECT_EQ(NewLines(), QStringList{"Read    (hex):    5A @   00"});
    EXPECT_EQ(Form->edtReadWriteMiscData->text(), "90");
    EXPECT_EQ(Form->cbReadWriteMiscType->currentText(), "EEPROM");
    ASSERT_EQ(Remote->Received().size(), 1u);
    EXPECT_EQ(Remote->Received()[0][0], 0xB2);
    EXPECT_EQ(Remote->Received()[0][2], 0x00);

    // Index -1 is sent as 0xFFFF by the word read.
    Form->edtReadWriteMiscIndex->setText("-1");
    Form->btnReadMiscWordClick();
    EXPECT_EQ(NewLines(), QStringList{"Read    (hex):  1234 @ FFFF"});
    EXPECT_EQ(Form->edtReadWriteMiscData->text(), "4660");

    // Data 300 is written as 0x2C by the byte write.
    Form->cbReadWriteMiscType->setCurrentIndex(6);  // RAM
    Form->edtReadWriteMiscIndex->setText("$41");
    Form->edtReadWriteMiscData->setText("300");
    Remote->ClearReceived();
    Form->btnWriteMiscByteClick();
    EXPECT_EQ(NewLines(), QStringList{"Written (hex):    2C @   41"});
    ASSERT_EQ(Remote->Received().size(), 1u);
    EXPECT_EQ(Remote->Received()[0][0], 0xA3);
    EXPECT_EQ(Remote->Received()[0][1], 6);
    EXPECT_EQ(Remote->Received()[0][2], 0x41);
    EXPECT_EQ(Remote->Received()[0][3], 0x2C);

    Form->edtReadWriteMiscIndex->setText("70000");
    Form->edtReadWriteMiscData->setText("-2");
    Form->btnWriteMiscWordClick();
    EXPECT_EQ(NewLines(), QStringList{"Written (hex):  FFFE @ 1170"});
    EXPECT_EQ(Remote->Register(6, 0x1170), 0xFFFE);
}

TEST_F(TRegisterPageTest, UnparsableTextsStopBeforeAnythingIsSent)
{
    Start();
    NewLines();
    Remote->ClearReceived();

    Form->edtReadWriteMiscIndex->setText("1 ");
    Form->edtReadWriteMiscData->setText("zz");
    Form->btnReadMiscByteClick();
    Form->btnReadMiscWordClick();
    Form->btnWriteMiscByteClick();
    Form->btnWriteMiscWordClick();
    EXPECT_EQ(NewLines(), (QStringList{"Invalid index", "Invalid index", "Invalid index", "Invalid index"}));

    Form->edtReadWriteMiscIndex->setText("1");
    Form->btnWriteMiscByteClick();
    Form->btnWriteMiscWordClick();
    EXPECT_EQ(NewLines(), (QStringList{"Invalid data", "Invalid data"}));
    EXPECT_TRUE(Remote->Received().empty());
}

TEST_F(TRegisterPageTest, FailedRegisterAccessIsOneLine)
{
    Start();
    NewLines();
    TSimFaults wrongEcho;
    wrongEcho.EchoOverride = 0x77;
    Remote->SetFaults(wrongEcho);
    Form->btnReadMiscByteClick();
    Form->btnReadMiscWordClick();
    Form->btnWriteMiscByteClick();
    Form->btnWriteMiscWordClick();
    EXPECT_EQ(NewLines(), (QStringList{"Read failed", "Read failed", "Write failed", "Write failed"}));
}

TEST_F(TRegisterPageTest, BatteryLevelAndPercentage)
{
    Start();
    NewLines();
    const QChar point = QLocale::system().decimalPoint().at(0);
    auto line = [&](const char* volts, int percent) {
        return QStringLiteral("Battery level: %1 V (%2%)").arg(QString::fromLatin1(volts).replace('.', point)).arg(percent);
    };
    const std::pair<int, QString> cases[] = {
        {3400, line("3.400", 0)},    {3559, line("3.559", 0)},   {3560, line("3.560", 10)},
        {3912, line("3.912", 60)},   {4100, line("4.100", 100)}, {4200, line("4.200", 100)},
        {65535, line("65.535", 100)}, {0, line("0.000", 0)},
    };
    for (const auto& [millivolts, expected] : cases) {
        Remote->SetRegister(12, 1, static_cast<std::uint16_t>(millivolts));
        Form->btnReadMiscBatteryLevelClick();
        EXPECT_EQ(NewLines(), QStringList{expected}) << millivolts;
    }

    TSimFaults silent;
    silent.Silent = true;
    Remote->SetFaults(silent);
    Form->btnReadMiscBatteryLevelClick();
    Form->btnReadMiscHardwareFlagClick();
    EXPECT_EQ(NewLines(), (QStringList{"Reading battery level failed", "Reading hardware flag"}));
}

TEST_F(TRegisterPageTest, HardwareFlagIsBitZero)
{
    Start();
    NewLines();
    Remote->SetRegister(12, 0, 0xFFFE);
    Form->btnReadMiscHardwareFlagClick();
    Remote->SetRegister(12, 0, 0x0001);
    Form->btnReadMiscHardwareFlagClick();
    EXPECT_EQ(NewLines(), (QStringList{"Hardware flag NOT SET", "Hardware flag SET"}));
}

TEST_F(TRegisterPageTest, ArchitectureDecidesWhatMayBeAsked)
{
    Start();
    NewLines();

    // A reconnection whose version request fails leaves the architecture unknown.
    TSimFaults silent;
    silent.Silent = true;
    Remote->SetFaults(silent);
    Form->btnReinitializeUsbClick();
    Remote->SetFaults({});
    NewLines();
    ASSERT_EQ(Form->Remote()->Architecture(), -1);
    Remote->ClearReceived();
    Form->btnReadMiscHardwareFlagClick();
    Form->btnReadMiscBatteryLevelClick();
    Form->btnReadMiscTimeClick();
    Form->btnWriteMiscTimeClick();
    EXPECT_EQ(NewLines(), QStringList(4, ArchitectureLine));
    EXPECT_TRUE(Remote->Received().empty());

    // 11: the clock, but not the hardware-feature registers.
    SetArchitecture(11);
    Form->btnReadMiscHardwareFlagClick();
    Form->btnReadMiscBatteryLevelClick();
    EXPECT_EQ(NewLines(), QStringList(2, ArchitectureLine));

    // 7: six clock registers; 8 and above: seven, with the day of week at 4.
    for (int architecture : {7, 8, 11, 12}) {
        SCOPED_TRACE(architecture);
        SetArchitecture(architecture);
        Remote->ClearReceived();
        Form->btnReadMiscTimeClick();
        const QStringList lines = NewLines();
        ASSERT_EQ(lines.size(), 1);
        EXPECT_TRUE(lines[0].startsWith("Data/time: ")) << lines[0].toStdString();
        const auto reads = WordReads(Remote->Received());
        const std::size_t expected = architecture >= 8 ? 7 : 6;
        ASSERT_EQ(reads.size(), expected);
        for (std::size_t i = 0; i < expected; ++i) EXPECT_EQ(reads[i], (std::pair<int, int>(1, static_cast<int>(i))));
    }
}

TEST_F(TRegisterPageTest, ReadClockShowsTheDateAndNinesForFailedReads)
{
    Start();
    NewLines();

    // Architecture 12: seconds, minutes, hours, day, day of week, month, year.
    Remote->ScriptReplies({WordReply(1, 5), WordReply(1, 28), WordReply(1, 17), WordReply(1, 5), WordReply(1, 1),
                           WordReply(1, 11), WordReply(1, 26)});
    Form->btnReadMiscTimeClick();
    EXPECT_EQ(NewLines(), QStringList{"Data/time: 20261206T172805"});

    // The minutes read fails; the other fields are the values read.
    Remote->ScriptReplies({WordReply(1, 5), {}, WordReply(1, 17), WordReply(1, 5), WordReply(1, 1),
                           WordReply(1, 11), WordReply(1, 26)});
    Form->btnReadMiscTimeClick();
    EXPECT_EQ(NewLines(), (QStringList{"Reading minutes failed", "Data/time: 20261206T179905"}));

    // Every read fails.
    TSimFaults silent;
    silent.Silent = true;
    Remote->SetFaults(silent);
    Form->btnReadMiscTimeClick();
    EXPECT_EQ(NewLines(), (QStringList{"Reading seconds failed", "Reading minutes failed", "Reading hours failed",
                                       "Reading day failed", "Reading day fo the week failed",
                                       "Reading month failed", "Reading year failed", "Data/time: 99999999T999999"}));

    // Architecture 7 has no day of week: the month is at 4, the year at 5.
    Remote->SetFaults({});
    SetArchitecture(7);
    Remote->ScriptReplies({WordReply(1, 7), WordReply(1, 8), WordReply(1, 9), WordReply(1, 4), WordReply(1, 0),
                           WordReply(1, 25)});
    Form->btnReadMiscTimeClick();
    EXPECT_EQ(NewLines(), QStringList{"Data/time: 20250105T090807"});
}

TEST_F(TRegisterPageTest, WriteClockFromLocalTime)
{
    Start();
    NewLines();
    // Sunday 5 January 2025, 09:08:07.
    Form->Now = [] { return QDateTime(QDate(2025, 1, 5), QTime(9, 8, 7, 654)); };

    Remote->ClearReceived();
    Form->btnWriteMiscTimeClick();
    EXPECT_EQ(NewLines(), QStringList{"Current date/time written"});
    EXPECT_EQ(WordWrites(Remote->Received(), 1),
              (std::vector<std::pair<int, int>>{{0, 7}, {1, 8}, {2, 9}, {3, 4}, {4, 1}, {5, 0}, {6, 25}}));

    SetArchitecture(7);
    Remote->ClearReceived();
    Form->btnWriteMiscTimeClick();
    EXPECT_EQ(NewLines(), QStringList{"Current date/time written"});
    EXPECT_EQ(WordWrites(Remote->Received(), 1),
              (std::vector<std::pair<int, int>>{{0, 7}, {1, 8}, {2, 9}, {3, 4}, {4, 0}, {5, 25}}));
}

TEST_F(TRegisterPageTest, WriteClockReportsEachFailedWriteAndNoSuccess)
{
    Start();
    NewLines();
    Form->Now = [] { return QDateTime(QDate(2025, 1, 5), QTime(9, 8, 7)); };
    const TByteArray ack{0xF1, 0xA0};

    // Only the hours write fails.
    Remote->ScriptReplies({ack, ack, {}, ack, ack, ack, ack});
    Form->btnWriteMiscTimeClick();
    EXPECT_EQ(NewLines(), QStringList{"Writing hours failed"});

    TSimFaults silent;
    silent.Silent = true;
    Remote->SetFaults(silent);
    Form->btnWriteMiscTimeClick();
    EXPECT_EQ(NewLines(), (QStringList{"Writing seconds failed", "Writing minutes failed", "Writing hours failed",
                                       "Writing day failed", "Writing day fo the week failed",
                                       "Writing month failed", "Writing year failed"}));

    Remote->SetFaults({});
    SetArchitecture(7);
    Remote->SetFaults(silent);
    Form->btnWriteMiscTimeClick();
    EXPECT_EQ(NewLines().size(), 6);
}

// Only the decimal separator follows the locale; the digits stay 0-9 also
// where the locale writes its own digits.
TEST_F(TRegisterPageTest, BatteryDigitsStayLatinInEveryLocale)
{
    struct TRestoreLocale {
        QLocale Saved;
        ~TRestoreLocale() { QLocale::setDefault(Saved); }
    } restore;
    Start();
    NewLines();
    Remote->SetRegister(12, 1, 3912);
    const std::pair<QLocale, QString> cases[] = {
        {QLocale(QLocale::Arabic, QLocale::Egypt), QString::fromUtf8("Battery level: 3\u066B912 V (60%)")},
        {QLocale(QLocale::Persian, QLocale::Iran), QString::fromUtf8("Battery level: 3\u066B912 V (60%)")},
        {QLocale(QLocale::German, QLocale::Germany), QStringLiteral("Battery level: 3,912 V (60%)")},
        {QLocale::c(), QStringLiteral("Battery level: 3.912 V (60%)")},
    };
    for (const auto& [locale, expected] : cases) {
        QLocale::setDefault(locale);
        Form->btnReadMiscBatteryLevelClick();
        EXPECT_EQ(NewLines(), QStringList{expected}) << locale.name().toStdString();
    }
}

}  // namespace
