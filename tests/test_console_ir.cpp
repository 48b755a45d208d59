// The Infrared page against the simulated remote.

#include "test_console_support.h"

#include <QDir>

namespace {

class TIrPageTest : public TConsoleFixture {
protected:
    // The page is idle: nothing of a capture left on screen or running.
    void ExpectIdle()
    {
        EXPECT_EQ(Form->btnIrcapture->text(), "Capture (learn)");
        EXPECT_EQ(TfrmMain::Tag(Form->btnIrcapture), 0);
        EXPECT_FALSE(Form->tmrUpdate->isActive());
        EXPECT_TRUE(Form->pbCapture->isHidden());
        EXPECT_TRUE(Form->lblCaptureProgress->isHidden());
        EXPECT_FALSE(Form->LongOperationRunning());
    }

    static TByteArray Signal(int bytes)
    {
        TByteArray s(static_cast<std::size_t>(bytes));
        for (int i = 0; i < bytes; ++i) s[i] = static_cast<std::uint8_t>(i * 7 + 1);
        return s;
    }
};

TEST_F(TIrPageTest, SuccessWritesTheStreamToCapturedBin)
{
    Start();
    NewLines();
    {
        QFile old("CAPTURED.BIN");
        ASSERT_TRUE(old.open(QIODevice::WriteOnly));
        old.write(QByteArray(5000, 'x'));
    }
    const TByteArray stream = Signal(300);
    Remote->SetIrCapture(stream, std::chrono::milliseconds(0));

    bool sawRunning = false;
    Later(Form.get(), [&] {
        sawRunning = TfrmMain::Tag(Form->btnIrcapture) == 1 && Form->btnIrcapture->text() == "End capture (learn)"
                     && Form->tmrUpdate->isActive() && !Form->pbCapture->isHidden()
                     && !Form->lblCaptureProgress->isHidden();
    });
    Form->btnIrcaptureClick();

    EXPECT_TRUE(sawRunning);
    EXPECT_EQ(NewLines(), (QStringList{"Starting capture", "IR capture success"}));
    TByteArray expected = stream;
    expected.push_back(0x80);  // the end marker ends the stream
    expected.push_back(0x00);
    EXPECT_TRUE(ReadFile("CAPTURED.BIN") == Bytes(expected));
    EXPECT_TRUE(Errors.isEmpty());
    ExpectIdle();
}

TEST_F(TIrPageTest, EmptyStreamGivesAnEmptyFile)
{
    Start();
    NewLines();
    TSimFaults ackOnly;
    ackOnly.IrEndWithAck = true;
    Remote->SetFaults(ackOnly);
    Remote->SetIrCapture({}, std::chrono::milliseconds(0));
    Form->btnIrcaptureClick();
    EXPECT_EQ(NewLines(), (QStringList{"Starting capture", "IR capture success"}));
    EXPECT_TRUE(QFile::exists("CAPTURED.BIN"));
    EXPECT_EQ(ReadFile("CAPTURED.BIN").size(), 0);
    ExpectIdle();
}

TEST_F(TIrPageTest, FailureLeavesAnOlderFileAlone)
{
    Start(false);
    NewLines();
    {
        QFile old("CAPTURED.BIN");
        ASSERT_TRUE(old.open(QIODevice::WriteOnly));
        old.write("older");
    }
    Form->btnIrcaptureClick();
    EXPECT_EQ(NewLines(), (QStringList{"Starting capture", "IR capture failed"}));
    EXPECT_EQ(ReadFile("CAPTURED.BIN"), "older");
    ExpectIdle();

    // With the remote, a broken stream fails the same way.
    Plug();
    ASSERT_TRUE(WaitFor([&] { return PagesShown(); }));
    NewLines();
    TSimFaults broken;
    broken.IrSequenceErrorAt = 1;
    Remote->SetFaults(broken);
    Remote->SetIrCapture(Signal(200), std::chrono::milliseconds(0));
    Form->btnIrcaptureClick();
    EXPECT_EQ(NewLines(), (QStringList{"Starting capture", "IR capture failed"}));
    EXPECT_EQ(ReadFile("CAPTURED.BIN"), "older");
    ExpectIdle();
}

TEST_F(TIrPageTest, SecondPressStopsTheCaptureAndTheCountIsShown)
{
    Start();
    NewLines();
    Remote->SetPaced(true);
    Remote->SetIrChunk(2);
    Remote->SetIrCapture(Signal(40000), std::chrono::milliseconds(0));  // many seconds of packets

    // Watch the label while the capture runs; once the timer has shown a
    // count, press the button again.
    QString shown;
    QTimer watch;
    watch.setInterval(20);
    QObject::connect(&watch, &QTimer::timeout, [&] {
        if (!shown.isEmpty() || TfrmMain::Tag(Form->btnIrcapture) != 1) return;
        const QString text = Form->lblCaptureProgress->text();
        bool number = false;
        if (text.toInt(&number) > 0 && number) {
            shown = text;
            Form->btnIrcapture->click();
            EXPECT_EQ(TfrmMain::Tag(Form->btnIrcapture), 1);  // the press only asks to stop
            EXPECT_TRUE(Form->Remote()->Abort);
        }
    });
    watch.start();
    Form->btnIrcaptureClick();
    watch.stop();

    ASSERT_FALSE(shown.isEmpty());
    EXPECT_EQ(NewLines(), (QStringList{"Starting capture", "IR capture success"}));
    const QByteArray file = ReadFile("CAPTURED.BIN");
    EXPECT_GE(file.size(), shown.toInt());
    EXPECT_LT(file.size(), 40000);
    EXPECT_TRUE(file == Bytes(Signal(40000)).left(file.size()));
    ExpectIdle();

    // EXIT does not stop a capture: it ends on its own, then the window closes.
    Remote->SetPaced(false);
    Remote->SetIrChunk(60);
    Remote->SetIrCapture(Signal(1000), std::chrono::milliseconds(0));
    Form->show();
    Later(Form.get(), [this] {
        Form->btnExitClick();
        EXPECT_TRUE(Form->isVisible());
        EXPECT_FALSE(Form->Remote()->Abort);
    });
    Form->btnIrcaptureClick();
    EXPECT_EQ(NewLines(), (QStringList{"Starting capture", "IR capture success"}));
    EXPECT_EQ(ReadFile("CAPTURED.BIN").size(), 1002);
    EXPECT_TRUE(WaitFor([&] { return !Form->isVisible(); }));
}

TEST_F(TIrPageTest, AssertionInsideTheCaptureLeavesThePageIdle)
{
    Start();
    NewLines();
    TSimFaults odd;
    odd.IrLengthByteAt = 0;
    odd.IrLengthByte = 5;
    Remote->SetFaults(odd);
    Remote->SetIrCapture(Signal(100), std::chrono::milliseconds(0));
    Form->btnIrcaptureClick();

    EXPECT_EQ(NewLines(), QStringList{"Starting capture"});
    ASSERT_EQ(Errors.size(), 1);
    EXPECT_TRUE(Errors[0].startsWith("IrCapture expected even length (CorvaneInterface, line "))
        << Errors[0].toStdString();
    EXPECT_FALSE(QFile::exists("CAPTURED.BIN"));
    ExpectIdle();

    // The next press starts a new capture.
    Remote->SetFaults({});
    Form->btnIrcaptureClick();
    EXPECT_EQ(NewLines(), (QStringList{"Starting capture", "IR capture success"}));
    EXPECT_EQ(ReadFile("CAPTURED.BIN").size(), 102);
}

TEST_F(TIrPageTest, CapturedBinThatCannotBeCreated)
{
    Start();
    NewLines();
    ASSERT_TRUE(QDir().mkdir("CAPTURED.BIN"));
    Remote->SetIrCapture(Signal(10), std::chrono::milliseconds(0));
    Form->btnIrcaptureClick();
    EXPECT_EQ(NewLines(), (QStringList{"Starting capture", "IR capture success"}));
    ASSERT_EQ(Errors.size(), 1);
    EXPECT_TRUE(Errors[0].contains("CAPTURED.BIN")) << Errors[0].toStdString();
    ExpectIdle();
}

TEST_F(TIrPageTest, CapturedBinThatCannotBeWritten)
{
    if (!QFile::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
    Start();
    NewLines();
    ASSERT_TRUE(QFile::link("/dev/full", "CAPTURED.BIN"));
    Remote->SetIrCapture(Signal(10), std::chrono::milliseconds(0));
    Form->btnIrcaptureClick();
    EXPECT_EQ(NewLines(), (QStringList{"Starting capture", "IR capture success"}));
    ASSERT_EQ(Errors.size(), 1);
    EXPECT_TRUE(Errors[0].startsWith("Cannot write file \"CAPTURED.BIN\"")) << Errors[0].toStdString();
    ExpectIdle();
}

TEST_F(TIrPageTest, TimerShowsTheCountAsAPlainNumber)
{
    Start();
    Form->Remote()->Progress = 1234;
    Form->tmrUpdateTimer();
    EXPECT_EQ(Form->lblCaptureProgress->text(), "1234");
}

}  // namespace
