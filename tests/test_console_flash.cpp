// The Flash page against the simulated remote: the hex dump, erase, the test
// pattern write, and the two dumps into files.

#include "test_console_support.h"

#include "FlashParts.h"

#include <QDir>
#include <QFileInfo>

namespace {

using TFlashPageTest = TConsoleFixture;

const QDateTime Pressed(QDate(2026, 12, 6), QTime(17, 28, 5));
const QString WholeFile = "20261206T172805_flash.bin";

class TFlashDumpTest : public TConsoleFixture {
protected:
    void SetUp() override
    {
        TConsoleFixture::SetUp();
        Remote->FillFlashWithPattern();
        Start();
        NewLines();
        Form->Now = [] { return Pressed; };
        // Each chunk of a dump reads the tick once; OnTick sees the count.
        Form->TickMs = [this] {
            ++Ticks;
            if (OnTick) OnTick(Ticks);
            return static_cast<quint64>(Ticks) * TickStep;
        };
    }

    int Ticks = 0;
    quint64 TickStep = 0;
    std::function<void(int)> OnTick;
};

TEST_F(TFlashPageTest, HexDumpLines)
{
    Start();
    NewLines();
    TByteArray bytes(17);
    for (int i = 0; i < 17; ++i) bytes[i] = static_cast<std::uint8_t>(0xA0 + i);
    Remote->SetFlash(0, bytes);

    Form->edtReadWriteFlashIndex->setText("0");
    Form->edtReadWriteFlashSize->setText("16");
    Form->btnReadFlashClick();
    EXPECT_EQ(NewLines(), (QStringList{"Flash dump (hex):",
                                       "000000: A0 A1 A2 A3 A4 A5 A6 A7 A8 A9 AA AB AC AD AE AF"}));

    Form->edtReadWriteFlashSize->setText("17");
    Form->btnReadFlashClick();
    EXPECT_EQ(NewLines(), (QStringList{"Flash dump (hex):",
                                       "000000: A0 A1 A2 A3 A4 A5 A6 A7 A8 A9 AA AB AC AD AE AF", "000010: B0"}));

    Form->edtReadWriteFlashSize->setText("0");
    Form->btnReadFlashClick();
    EXPECT_EQ(NewLines(), QStringList{"Flash dump (hex):"});

    // Beyond 24 bits the remote reads from the low bits; the lines show the
    // address typed.
    Form->edtReadWriteFlashIndex->setText("16777216");
    Form->edtReadWriteFlashSize->setText("2");
    Form->btnReadFlashClick();
    EXPECT_EQ(NewLines(), (QStringList{"Flash dump (hex):", "1000000: A0 A1"}));

    // Size 65536 is sent as 0.
    Remote->ClearReceived();
    Form->edtReadWriteFlashIndex->setText("0");
    Form->edtReadWriteFlashSize->setText("65536");
    Form->btnReadFlashClick();
    EXPECT_EQ(NewLines(), QStringList{"Flash dump (hex):"});
    ASSERT_FALSE(Remote->Received().empty());
    EXPECT_EQ(Remote->Received()[0][4], 0);
    EXPECT_EQ(Remote->Received()[0][5], 0);
}

TEST_F(TFlashPageTest, BadTextsAndFailures)
{
    Start();
    NewLines();
    Form->edtReadWriteFlashIndex->setText("one");
    Form->edtReadWriteFlashSize->setText("two");
    Form->btnReadFlashClick();
    Form->btnWriteFlashClick();
    Form->btnEraseFlashSectorClick();
    Form->edtReadWriteFlashIndex->setText("$10");
    Form->btnReadFlashClick();
    Form->btnWriteFlashClick();
    EXPECT_EQ(NewLines(), (QStringList{"Invalid index", "Invalid index", "Invalid index", "Invalid size",
                                       "Invalid size"}));

    TSimFaults faults;
    faults.FlashAckShortBy = 1;
    faults.FlashWriteNoAck = true;
    faults.EchoOverride = 0x30;
    Remote->SetFaults(faults);
    Form->edtReadWriteFlashSize->setText("16");
    Form->btnReadFlashClick();
    Form->btnWriteFlashClick();
    Form->btnEraseFlashSectorClick();
    EXPECT_EQ(NewLines(),
              (QStringList{"Reading flash failed", "Write flash failed", "Erase flash sector failed"}));
}

TEST_F(TFlashPageTest, EraseAndWrite)
{
    Start();
    NewLines();
    Remote->ClearReceived();
    Form->edtReadWriteFlashIndex->setText("$FFFFFFFF");
    Form->btnEraseFlashSectorClick();
    EXPECT_EQ(NewLines(), QStringList{"Flash sector -1 erased"});
    ASSERT_EQ(Remote->Received().size(), 1u);
    const TByteArray erase = Remote->Received()[0];
    ASSERT_GE(erase.size(), 4u);
    EXPECT_EQ(TByteArray(erase.begin(), erase.begin() + 4), (TByteArray{0xD3, 0xFF, 0xFF, 0xFF}));

    Form->edtReadWriteFlashIndex->setText("$2000");
    Form->btnEraseFlashSectorClick();
    Form->edtReadWriteFlashSize->setText("3");
    Form->btnWriteFlashClick();
    EXPECT_EQ(NewLines(), (QStringList{"Flash sector 8192 erased",
                                       "Write flash success, but migth contain incorrect values if it was not erased!"}));
    ASSERT_TRUE(Remote->WaitIdle());
    EXPECT_EQ(Remote->Flash(0x2000, 4), (TByteArray{0xAB, 0xAB, 0xAB, 0xFF}));

    Form->edtReadWriteFlashSize->setText("0");
    Form->btnWriteFlashClick();
    EXPECT_EQ(NewLines(),
              QStringList{"Write flash success, but migth contain incorrect values if it was not erased!"});
}

TEST_F(TFlashPageTest, NestedOperationsAreRefusedDuringAWrite)
{
    Start();
    NewLines();
    Form->edtReadWriteFlashIndex->setText("0");
    Form->edtReadWriteFlashSize->setText("4000");
    // Clicks that arrive while the write dispatches events between packets.
    Later(Form.get(), [this] {
        Form->btnVersionClick();
        Form->btnReinitializeUsbClick();
        Form->btnWriteFlashClick();
        EXPECT_TRUE(Form->LongOperationRunning());
    });
    Form->btnWriteFlashClick();
    EXPECT_EQ(NewLines(), (QStringList{"Error reading version information", "Operation in progress",
                                       "Write flash failed",
                                       "Write flash success, but migth contain incorrect values if it was not erased!"}));
    EXPECT_FALSE(Form->LongOperationRunning());
    EXPECT_TRUE(Form->Remote()->Connected());
}

TEST_F(TFlashDumpTest, WholeFlashEndsAtSixteenMebibytes)
{
    TickStep = 600;  // a rate update every second chunk
    QStringList labels;
    OnTick = [&](int) { labels.append(Form->lblFlashBytesRead->text()); };
    Later(Form.get(), [this] {
        EXPECT_EQ(Form->btnReadFlashAll->text(), "Abort reading flash");
        EXPECT_EQ(TfrmMain::Tag(Form->btnReadFlashAll), 1);
        EXPECT_FALSE(Form->pbReadFlash->isHidden());
        EXPECT_FALSE(Form->lblFlashBytesRead->isHidden());
    });
    Form->btnReadFlashAllClick();

    EXPECT_EQ(NewLines(), (QStringList{"Reading flash started, writing data to " + WholeFile, "Reading done"}));
    EXPECT_TRUE(Errors.isEmpty()) << Errors.join('|').toStdString();
    const QByteArray file = ReadFile(WholeFile);
    ASSERT_EQ(file.size(), 0x1000000);
    EXPECT_TRUE(file == Bytes(Remote->Flash(0, 0x1000000)));

    // Idle again.
    EXPECT_EQ(Form->btnReadFlashAll->text(), "Read whole flash");
    EXPECT_EQ(TfrmMain::Tag(Form->btnReadFlashAll), 0);
    EXPECT_TRUE(Form->pbReadFlash->isHidden());
    EXPECT_TRUE(Form->lblFlashBytesRead->isHidden());

    // 512 chunks, one tick each after the one at the start; a tick sees the
    // label of two chunks before. The rate is updated once more than 1000 ms
    // have passed.
    ASSERT_EQ(Ticks, 513);
    EXPECT_EQ(labels[2], "0032768 bytes read @000000 /s");
    EXPECT_EQ(labels[3], "0065536 bytes read @054613 /s");  // 65536 * 1000 / 1200
    EXPECT_EQ(Form->lblFlashBytesRead->text(), "16777216 bytes read @054613 /s");
    EXPECT_EQ(Form->pbReadFlash->value(), 12);  // 1..100, then 1..100 again: chunk 512 shows 12
}

TEST_F(TFlashDumpTest, RateIsUpdatedOnlyAfterMoreThanASecond)
{
    // Ticks 500 (or 501) ms apart: after two chunks exactly 1000 ms (or 1002)
    // have passed since the start.
    struct TCase {
        quint64 Step;
        const char* AfterTwoChunks;
    };
    for (TCase c : {TCase{500, "0065536 bytes read @000000 /s"}, TCase{501, "0065536 bytes read @065405 /s"}}) {
        SCOPED_TRACE(c.Step);
        TickStep = c.Step;
        Ticks = 0;
        QStringList labels;
        OnTick = [&](int tick) {
            labels.append(Form->lblFlashBytesRead->text());
            if (tick == 6) Later(Form.get(), [this] { Form->btnReadFlashAll->click(); });
        };
        Form->btnReadFlashAllClick();
        EXPECT_TRUE(labels.contains(c.AfterTwoChunks)) << labels.join('|').toStdString();
        NewLines();
    }
}

TEST_F(TFlashDumpTest, WholeFlashStopsBySecondPressAndByExit)
{
    OnTick = [&](int tick) {
        if (tick == 4) Later(Form.get(), [this] { Form->btnReadFlashAll->click(); });
    };
    Form->btnReadFlashAllClick();
    EXPECT_EQ(NewLines(), (QStringList{"Reading flash started, writing data to " + WholeFile, "Reading done"}));
    EXPECT_EQ(ReadFile(WholeFile).size(), 3 * 0x8000);
    EXPECT_EQ(Form->btnReadFlashAll->text(), "Read whole flash");

    // EXIT: the dump ends after its chunk, then the window closes.
    Form->show();
    Ticks = 0;
    OnTick = [&](int tick) {
        if (tick == 3) Later(Form.get(), [this] {
                Form->btnExitClick();
                EXPECT_TRUE(Form->isVisible());  // held open by the running dump
            });
    };
    Form->btnReadFlashAllClick();
    EXPECT_EQ(NewLines(), (QStringList{"Reading flash started, writing data to " + WholeFile, "Reading done"}));
    EXPECT_EQ(ReadFile(WholeFile).size(), 2 * 0x8000);
    EXPECT_TRUE(WaitFor([&] { return !Form->isVisible(); }));
}

TEST_F(TFlashDumpTest, WholeFlashReadErrorAndSilentEnd)
{
    TSimFaults broken;
    broken.FlashSequenceErrorAt = 3;
    OnTick = [&](int tick) {
        if (tick == 3) Remote->SetFaults(broken);
    };
    Form->btnReadFlashAllClick();
    EXPECT_EQ(NewLines(), (QStringList{"Reading flash started, writing data to " + WholeFile, "Read error"}));
    EXPECT_EQ(ReadFile(WholeFile).size(), 2 * 0x8000);
    EXPECT_EQ(Form->btnReadFlashAll->text(), "Read whole flash");
    EXPECT_TRUE(Form->pbReadFlash->isHidden());

    // A remote that no longer answers ends the dump normally.
    Remote->SetFaults({});
    TSimFaults silent;
    silent.FlashSilentFrom = 0;
    Ticks = 0;
    OnTick = [&](int tick) {
        if (tick == 2) Remote->SetFaults(silent);
    };
    Form->btnReadFlashAllClick();
    EXPECT_EQ(NewLines(), (QStringList{"Reading flash started, writing data to " + WholeFile, "Reading done"}));
    EXPECT_EQ(ReadFile(WholeFile).size(), 0x8000);
}

TEST_F(TFlashDumpTest, WholeFlashFileThatCannotBeCreated)
{
    ASSERT_TRUE(QDir().mkdir(WholeFile));
    Form->btnReadFlashAllClick();
    ASSERT_EQ(Errors.size(), 1);
    EXPECT_TRUE(Errors[0].contains(WholeFile)) << Errors[0].toStdString();
    EXPECT_TRUE(NewLines().isEmpty());
    EXPECT_EQ(TfrmMain::Tag(Form->btnReadFlashAll), 0);
    EXPECT_EQ(Form->btnReadFlashAll->text(), "Read whole flash");
    EXPECT_TRUE(Form->pbReadFlash->isHidden());
}

TEST_F(TFlashDumpTest, WholeFlashFileThatCannotBeWritten)
{
    if (!QFile::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
    ASSERT_TRUE(QFile::link("/dev/full", WholeFile));  // opens, but every write fails
    Form->btnReadFlashAllClick();
    EXPECT_EQ(NewLines(), QStringList{"Reading flash started, writing data to " + WholeFile});
    ASSERT_EQ(Errors.size(), 1);
    EXPECT_TRUE(Errors[0].contains(WholeFile)) << Errors[0].toStdString();
    EXPECT_EQ(TfrmMain::Tag(Form->btnReadFlashAll), 0);
    EXPECT_EQ(Form->btnReadFlashAll->text(), "Read whole flash");
    EXPECT_TRUE(Form->pbReadFlash->isHidden());
    EXPECT_TRUE(Form->lblFlashBytesRead->isHidden());
    EXPECT_FALSE(Form->LongOperationRunning());
}

TEST_F(TFlashDumpTest, PartsDumpWritesNineFiles)
{
    Form->btnReadFlashPartsClick();
    QStringList expected;
    for (const TPart& part : FlashParts)
        expected.append("Writing data to 20261206T172805_" + QString::fromLatin1(part.Name.data(), part.Name.size())
                        + ".bin");
    expected.append("Reading done");
    EXPECT_EQ(NewLines(), expected);
    EXPECT_TRUE(Errors.isEmpty()) << Errors.join('|').toStdString();

    const int sizes[] = {4096, 61440, 16384, 4096, 64, 64, 122880, 131072, 3932160};
    for (std::size_t i = 0; i < FlashParts.size(); ++i) {
        const TPart& part = FlashParts[i];
        SCOPED_TRACE(std::string(part.Name));
        const QByteArray file = ReadFile(expected[static_cast<int>(i)].mid(16));
        ASSERT_EQ(file.size(), sizes[i]);
        EXPECT_TRUE(file == Bytes(Remote->Flash(static_cast<std::uint32_t>(part.Start),
                                                static_cast<std::uint32_t>(part.Size))));
    }
    EXPECT_EQ(Form->btnReadFlashParts->text(), "Read parts flash");
    EXPECT_EQ(TfrmMain::Tag(Form->btnReadFlashParts), 0);
    EXPECT_TRUE(Form->lblFlashBytesRead->isHidden());
    // 1 + 2 + 1 + 1 + 1 + 1 + 4 + 4 + 120 chunks, and the tick at the start.
    EXPECT_EQ(Ticks, 136);
}

TEST_F(TFlashDumpTest, PartsDumpNeedsProtocol12)
{
    Remote->SetProtocol(11);
    Form->btnVersionClick();
    NewLines();
    Form->btnReadFlashPartsClick();
    EXPECT_EQ(NewLines(), QStringList{"Only protocol 12 is supported"});
    EXPECT_TRUE(QDir().entryList(QDir::Files).isEmpty());
}

TEST_F(TFlashDumpTest, PartsDumpWithoutAKnownProtocolIsRefused)
{
    // The reconnection's version request goes unanswered: connected, but
    // the protocol is not known (-1).
    Remote->ScriptReplies({TByteArray{}});
    Form->btnReinitializeUsbClick();
    ASSERT_TRUE(Form->Remote()->Connected());
    ASSERT_EQ(Form->Remote()->Protocol(), -1);
    NewLines();
    Form->btnReadFlashPartsClick();
    EXPECT_EQ(NewLines(), QStringList{"Only protocol 12 is supported"});
    EXPECT_TRUE(QDir().entryList(QDir::Files).isEmpty());
}

TEST_F(TFlashDumpTest, PartsDumpStopsBySecondPressAndByExit)
{
    // Stopped inside safe_mode (its second chunk): no files after it.
    OnTick = [&](int tick) {
        if (tick == 3) Later(Form.get(), [this] { Form->btnReadFlashPartsClick(); });
    };
    Form->btnReadFlashPartsClick();
    EXPECT_EQ(NewLines(), (QStringList{"Writing data to 20261206T172805_bootloader.bin",
                                       "Writing data to 20261206T172805_safe_mode.bin", "Reading done"}));
    EXPECT_EQ(ReadFile("20261206T172805_safe_mode.bin").size(), 0x8000);
    EXPECT_EQ(QDir().entryList(QDir::Files).size(), 2);
    EXPECT_EQ(Form->btnReadFlashParts->text(), "Read parts flash");

    Form->show();
    Ticks = 0;
    OnTick = [&](int tick) {
        if (tick == 2) Later(Form.get(), [this] { Form->btnExit->click(); });
    };
    Form->btnReadFlashPartsClick();
    EXPECT_EQ(NewLines(), (QStringList{"Writing data to 20261206T172805_bootloader.bin", "Reading done"}));
    EXPECT_TRUE(WaitFor([&] { return !Form->isVisible(); }));
}

TEST_F(TFlashDumpTest, PartsDumpReadErrors)
{
    // A broken stream in the third region.
    TSimFaults broken;
    broken.FlashWrongTypeAt = 0;
    OnTick = [&](int tick) {
        if (tick == 4) Remote->SetFaults(broken);
    };
    Form->btnReadFlashPartsClick();
    EXPECT_EQ(NewLines(), (QStringList{"Writing data to 20261206T172805_bootloader.bin",
                                       "Writing data to 20261206T172805_safe_mode.bin",
                                       "Writing data to 20261206T172805_cpld.bin", "Read error"}));
    EXPECT_EQ(ReadFile("20261206T172805_cpld.bin").size(), 0);

    // A region read answered by silence is missing data, not the end.
    Remote->SetFaults({});
    TSimFaults silent;
    silent.FlashSilentFrom = 0;
    Remote->SetFaults(silent);
    Ticks = 0;
    OnTick = nullptr;
    Form->btnReadFlashPartsClick();
    EXPECT_EQ(NewLines(), (QStringList{"Writing data to 20261206T172805_bootloader.bin", "Read error"}));
    EXPECT_EQ(ReadFile("20261206T172805_bootloader.bin").size(), 0);
    EXPECT_EQ(Form->btnReadFlashParts->text(), "Read parts flash");
    EXPECT_TRUE(Form->pbReadFlash->isHidden());
}

TEST_F(TFlashDumpTest, PartsDumpFileThatCannotBeCreated)
{
    ASSERT_TRUE(QDir().mkdir("20261206T172805_cpld.bin"));
    Form->btnReadFlashPartsClick();
    EXPECT_EQ(NewLines(), (QStringList{"Writing data to 20261206T172805_bootloader.bin",
                                       "Writing data to 20261206T172805_safe_mode.bin",
                                       "Writing data to 20261206T172805_cpld.bin"}));
    ASSERT_EQ(Errors.size(), 1);
    EXPECT_TRUE(Errors[0].contains("20261206T172805_cpld.bin")) << Errors[0].toStdString();
    EXPECT_EQ(TfrmMain::Tag(Form->btnReadFlashParts), 0);
    EXPECT_EQ(Form->btnReadFlashParts->text(), "Read parts flash");
    EXPECT_TRUE(Form->pbReadFlash->isHidden());
    EXPECT_TRUE(Form->lblFlashBytesRead->isHidden());
}

// A dump pressed while a flash write or a capture holds the link is refused
// before any file exists, with the line Reinitialize USB uses.
TEST_F(TFlashDumpTest, DumpsPressedDuringAWriteOrCaptureAreRefusedBeforeAnyFile)
{
    auto pressBoth = [this] {
        Later(Form.get(), [this] {
            Form->btnReadFlashAllClick();
            Form->btnReadFlashPartsClick();
        });
    };
    Form->edtReadWriteFlashIndex->setText("0");
    Form->edtReadWriteFlashSize->setText("4096");
    pressBoth();
    Form->btnWriteFlashClick();
    EXPECT_EQ(NewLines(), (QStringList{"Operation in progress", "Operation in progress",
                                       "Write flash success, but migth contain incorrect values if it was not erased!"}));

    Remote->SetIrCapture(TByteArray(40, 0x11), std::chrono::milliseconds(20));
    pressBoth();
    Form->btnIrcaptureClick();
    EXPECT_EQ(NewLines(), (QStringList{"Starting capture", "Operation in progress", "Operation in progress",
                                       "IR capture success"}));

    EXPECT_EQ(QDir::current().entryList(QDir::Files), QStringList{"CAPTURED.BIN"});
    EXPECT_TRUE(Errors.isEmpty()) << Errors.join('|').toStdString();
    for (QPushButton* button : {Form->btnReadFlashAll, Form->btnReadFlashParts})
        EXPECT_EQ(TfrmMain::Tag(button), 0);
    EXPECT_EQ(Form->btnReadFlashAll->text(), "Read whole flash");
    EXPECT_EQ(Form->btnReadFlashParts->text(), "Read parts flash");
    EXPECT_TRUE(Form->pbReadFlash->isHidden());
}

}  // namespace
