// The main window: its controls, the connection display, Reinitialize USB
// and EXIT.

#include "test_console_support.h"

#include <QFontMetrics>
#include <QScrollBar>
#include <QTextDocument>

#include <csignal>
#include <cstdio>
#include <system_error>

#include <fcntl.h>
#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#define WIN32_LEAN_AND_MEAN
#include <io.h>
#include <windows.h>
#define STDOUT_FILENO 1
#else
#include <unistd.h>
#endif

namespace {

using TWindowTest = TConsoleFixture;

struct TPlace {
    const char* Name;
    const char* Text;  // caption or text; null where there is none
    int Left, Top, Width, Height;
};

const TPlace Places[] = {
    {"btnExit", "EXIT", 8, 551, 1046, 25},
    {"mmoInfo", nullptr, 571, 38, 483, 507},
    {"btnReinitializeUsb", "Reinitialize USB", 13, 8, 236, 25},
    {"pgFunctions", nullptr, 13, 39, 552, 506},
    // Version
    {"btnVersion", "Get version information", 13, 16, 236, 25},
    {"btnDecodedVersion", "Get decoded version information", 13, 47, 236, 25},
    // Reset
    {"btnReset", "Reset", 13, 16, 236, 25},
    {"cbResetType", "USB", 329, 17, 212, 24},
    {"Label3", "Type:", 288, 20, 35, 16},
    // Miscellaneous
    {"btnReadMiscByte", "Read miscellaneous (byte)", 13, 16, 236, 25},
    {"cbReadWriteMiscType", "EEPROM", 329, 17, 212, 24},
    {"edtReadWriteMiscIndex", "0", 329, 47, 50, 24},
    {"edtReadWriteMiscData", "0", 329, 77, 50, 24},
    {"btnReadMiscWord", "Read miscellaneous (word)", 13, 47, 236, 25},
    {"btnReadMiscBatteryLevel", "Read battery level", 97, 108, 152, 25},
    {"btnReadMiscHardwareFlag", "Read hardware flag", 97, 77, 152, 25},
    {"btnReadMiscTime", "Read time/date", 97, 139, 152, 25},
    {"btnWriteMiscByte", "Write miscellaneous (byte)", 13, 170, 236, 25},
    {"btnWriteMiscWord", "Write miscellaneous (word)", 13, 201, 236, 25},
    {"btnWriteMiscTime", "Write time/date", 97, 232, 152, 25},
    {"Label2", "Type:", 288, 20, 35, 16},
    {"Label1", "Index:", 288, 50, 35, 16},
    {"Label4", "Data:", 288, 80, 32, 16},
    // Flash
    {"btnReadFlash", "Read", 13, 16, 236, 25},
    {"edtReadWriteFlashIndex", "0", 329, 16, 60, 24},
    {"btnWriteFlash", "Write (fixed data ...)", 13, 47, 236, 25},
    {"edtReadWriteFlashSize", "16", 329, 46, 60, 24},
    {"btnReadFlashAll", "Read whole flash", 97, 78, 152, 25},
    {"pbReadFlash", nullptr, 255, 80, 286, 13},
    {"btnEraseFlashSector", "Erase sector", 13, 145, 236, 25},
    {"btnReadFlashParts", "Read parts flash", 97, 109, 152, 25},
    {"Label5", "Index:", 288, 19, 35, 16},
    {"Label6", "Size:", 288, 49, 29, 16},
    {"lblFlashBytesRead", "0000000 bytes read", 255, 99, 286, 16},
    // Infrared
    {"btnIrcapture", "Capture (learn)", 13, 16, 236, 25},
    {"pbCapture", nullptr, 255, 80, 286, 13},
    {"lblCaptureProgress", "0000000 bytes read", 255, 99, 286, 16},
};

QString TextOf(QWidget* w)
{
    if (auto* b = qobject_cast<QPushButton*>(w)) return b->text();
    if (auto* l = qobject_cast<QLabel*>(w)) return l->text();
    if (auto* e = qobject_cast<QLineEdit*>(w)) return e->text();
    if (auto* c = qobject_cast<QComboBox*>(w)) return c->currentText();
    return {};
}

TEST_F(TWindowTest, EveryControlHasItsNameCaptionAndPlace)
{
    Start();
    EXPECT_EQ(Form->windowTitle(), "Test");
    EXPECT_EQ(Form->size(), QSize(1062, 583));
    EXPECT_EQ(Form->pos(), QPoint(372, 177));
    EXPECT_EQ(Form->font().pixelSize(), 13);
    const QFontMetrics log(Form->mmoInfo->font());
    EXPECT_EQ(log.horizontalAdvance('i'), log.horizontalAdvance('W'));  // fixed pitch

    for (const TPlace& p : Places) {
        SCOPED_TRACE(p.Name);
        QWidget* w = Find<QWidget>(p.Name);
        ASSERT_NE(w, nullptr);
        if (QString::fromLatin1(p.Name).startsWith("Label")) {
            // Caption labels grow to fit their text from the designed place.
            EXPECT_EQ(w->pos(), QPoint(p.Left, p.Top));
            EXPECT_GE(w->width(), p.Width);
            EXPECT_GE(w->height(), p.Height);
            EXPECT_GE(w->width(), w->sizeHint().width());
        } else {
            EXPECT_EQ(w->geometry(), QRect(p.Left, p.Top, p.Width, p.Height));
        }
        if (p.Text) {
            EXPECT_EQ(TextOf(w), QString::fromLatin1(p.Text));
        }
    }

    auto* timer = Find<QTimer>("tmrUpdate");
    ASSERT_NE(timer, nullptr);
    EXPECT_EQ(timer->interval(), 100);
    EXPECT_FALSE(timer->isActive());

    // Pages in order, the Infrared page first on screen.
    const char* pages[] = {"tsVersion", "tsReset", "tsMiscellaneous", "tsFlash", "tbIr"};
    const char* captions[] = {"Version", "Reset", "Miscellaneous", "Flash", "Infrared"};
    ASSERT_EQ(Form->pgFunctions->count(), 5);
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(Form->pgFunctions->widget(i)->objectName(), pages[i]);
        EXPECT_EQ(Form->pgFunctions->tabText(i), captions[i]);
    }
    EXPECT_EQ(Form->pgFunctions->currentWidget(), Form->tbIr);

    // Items of the combo boxes, in the order that gives their codes.
    EXPECT_EQ(Form->cbResetType->count(), 4);
    EXPECT_EQ(Form->cbResetType->itemText(3), "(invalidate) test firmware");
    EXPECT_EQ(Form->cbReadWriteMiscType->count(), 13);
    EXPECT_EQ(Form->cbReadWriteMiscType->itemText(12), "hardware feature");
    EXPECT_TRUE(Form->cbResetType->isEditable());

    // Hidden until a dump or capture runs; every mark idle.
    EXPECT_TRUE(Form->pbReadFlash->isHidden());
    EXPECT_TRUE(Form->lblFlashBytesRead->isHidden());
    EXPECT_TRUE(Form->pbCapture->isHidden());
    EXPECT_TRUE(Form->lblCaptureProgress->isHidden());
    EXPECT_EQ(TfrmMain::Tag(Form->btnReadFlashAll), 0);
    EXPECT_EQ(TfrmMain::Tag(Form->btnReadFlashParts), 0);
    EXPECT_EQ(TfrmMain::Tag(Form->btnIrcapture), 0);
}

TEST_F(TWindowTest, TabOrderFollowsTheDesign)
{
    Start();
    const char* order[] = {"btnExit", "mmoInfo", "btnReinitializeUsb", "pgFunctions",
                           "btnReadMiscByte", "cbReadWriteMiscType", "edtReadWriteMiscIndex",
                           "edtReadWriteMiscData", "btnReadMiscWord", "btnReadMiscBatteryLevel",
                           "btnReadMiscHardwareFlag", "btnReadMiscTime", "btnWriteMiscByte", "btnWriteMiscWord",
                           "btnWriteMiscTime", "btnReadFlash", "edtReadWriteFlashIndex", "btnWriteFlash",
                           "edtReadWriteFlashSize", "btnReadFlashAll", "btnEraseFlashSector", "btnReadFlashParts",
                           "btnIrcapture"};
    // Walk the focus chain once around from EXIT and note where each lands.
    QStringList chain;
    QWidget* w = Form->btnExit;
    do {
        chain.append(w->objectName());
        w = w->nextInFocusChain();
    } while (w != Form->btnExit && chain.size() < 1000);
    int previous = -1;
    for (const char* name : order) {
        const int at = static_cast<int>(chain.indexOf(QLatin1String(name)));
        EXPECT_GT(at, previous) << name;
        previous = at;
    }
}

TEST_F(TWindowTest, StartWithoutRemoteThenPlugIn)
{
    Start(false);
    EXPECT_EQ(NewLines(), (QStringList{"Device not connected", "Connect device and use Reinitialize USB"}));
    EXPECT_FALSE(PagesShown());

    Plug();
    ASSERT_TRUE(WaitFor([&] { return Form->LogLines().contains("Device connected"); }));
    EXPECT_EQ(NewLines(), QStringList{"Device connected"});
    EXPECT_TRUE(PagesShown());
    EXPECT_TRUE(Form->Remote()->Connected());

    // Removal hides the pages again, one line per notification.
    Unplug();
    ASSERT_TRUE(WaitFor([&] { return !PagesShown(); }));
    EXPECT_EQ(NewLines(), QStringList{"Device not connected"});
}

TEST_F(TWindowTest, StartWithRemoteShowsPages)
{
    Start();
    EXPECT_EQ(NewLines(), QStringList{"Device connected"});
    EXPECT_TRUE(PagesShown());
    EXPECT_EQ(Form->Remote()->Architecture(), 12);
}

TEST_F(TWindowTest, ReinitializeUsbLogsTheStateEachPress)
{
    Start(false);
    NewLines();
    Form->btnReinitializeUsbClick();
    Form->btnReinitializeUsbClick();
    EXPECT_EQ(NewLines(), (QStringList{"Device not connected", "Device not connected"}));

    Bus.Plug(Remote);
    WaitFor([&] { return PagesShown(); });  // the arrival may reconnect by itself
    NewLines();
    Remote->ClearReceived();
    Form->btnReinitializeUsbClick();
    EXPECT_EQ(NewLines(), QStringList{"Device connected"});
    EXPECT_TRUE(PagesShown());
    const auto sent = Remote->Received();
    ASSERT_EQ(sent.size(), 2u);  // the USB reset and the version request
    EXPECT_EQ(sent[0][0], 0xE1);
    EXPECT_EQ(sent[1][0], 0x10);
}

TEST_F(TWindowTest, PermissionTroubleIsNamed)
{
    Remote->SetOpenError(std::make_error_code(std::errc::permission_denied));
    Start();
    const QStringList lines = NewLines();
    ASSERT_EQ(lines.size(), 3) << lines.join('|').toStdString();
    EXPECT_EQ(lines[0], "Device not connected");
    EXPECT_TRUE(lines[1].startsWith("Permission denied on sim:")) << lines[1].toStdString();
    EXPECT_TRUE(lines[1].endsWith(": the udev rule 69-corvane-one.rules is needed, see man corvane-console"));
    EXPECT_EQ(lines[2], "Connect device and use Reinitialize USB");

    Remote->SetOpenError(std::make_error_code(std::errc::device_or_resource_busy));
    Form->btnReinitializeUsbClick();
    const QStringList again = NewLines();
    ASSERT_EQ(again.size(), 2);
    EXPECT_TRUE(again[1].startsWith("Cannot open sim:")) << again[1].toStdString();

    Remote->SetOpenError({});
    Form->btnReinitializeUsbClick();
    EXPECT_EQ(NewLines(), QStringList{"Device connected"});
}

TEST_F(TWindowTest, ExitClosesTheWindow)
{
    Start();
    Form->show();
    ASSERT_TRUE(Form->isVisible());
    Form->btnExit->click();
    EXPECT_FALSE(Form->isVisible());
    EXPECT_TRUE(Errors.isEmpty());
}

TEST_F(TWindowTest, LogIsNewestLineInView)
{
    Start();
    Form->show();
    for (int i = 0; i < 60; ++i) Form->btnReinitializeUsbClick();
    QScrollBar* bar = Form->mmoInfo->verticalScrollBar();
    EXPECT_GT(bar->maximum(), 0);
    EXPECT_EQ(bar->value(), bar->maximum());
    EXPECT_EQ(Form->mmoInfo->document()->blockCount(), Form->LogLines().size());
    EXPECT_FALSE(Form->mmoInfo->isReadOnly());
}

TEST_F(TWindowTest, AssertionInsideANotificationIsReported)
{
    Start(false);
    TSimFaults badLength;
    badLength.LengthCode = 11;  // the version reply of the reconnection
    Remote->SetFaults(badLength);
    Plug();
    ASSERT_TRUE(WaitFor([&] { return !Errors.isEmpty(); }));
    EXPECT_TRUE(Errors[0].startsWith("Invalid number of bytes (CorvaneInterface, line ")) << Errors[0].toStdString();

    // The window goes on working.
    Remote->SetFaults({});
    NewLines();
    Form->btnReinitializeUsbClick();
    EXPECT_EQ(NewLines(), QStringList{"Device connected"});
}

// Every log line also goes to standard output at once; a reader that went
// away neither stops the log nor raises.
TEST_F(TWindowTest, LogLinesGoToStandardOutput)
{
    Start();
    std::fflush(stdout);
    const int saved = dup(STDOUT_FILENO);
    int fds[2];
#ifdef _WIN32
    // Binary, so that the bytes read are those the log wrote.
    ASSERT_EQ(_pipe(fds, 65536, _O_BINARY), 0);
#else
    ASSERT_EQ(pipe(fds), 0);
    fcntl(fds[0], F_SETFL, O_NONBLOCK);
#endif
    dup2(fds[1], STDOUT_FILENO);
    close(fds[1]);
    Form->btnVersionClick();  // no flush of our own: the log flushes
    char buffer[4096];
#ifdef _WIN32
    // Windows' pipes do not read without blocking: read only what is there.
    DWORD waiting = 0;
    ::PeekNamedPipe(reinterpret_cast<HANDLE>(_get_osfhandle(fds[0])), nullptr, 0, nullptr, &waiting, nullptr);
    const int got = waiting > 0 ? read(fds[0], buffer, sizeof buffer) : -1;
#else
    const ssize_t got = read(fds[0], buffer, sizeof buffer);
#endif

    // Now with nobody reading.
    close(fds[0]);
#ifdef SIGPIPE  // Windows has none: the write just fails
    const auto previous = std::signal(SIGPIPE, SIG_IGN);
#endif
    Form->btnVersionClick();
    Form->btnVersionClick();
#ifdef SIGPIPE
    std::signal(SIGPIPE, previous);
#endif
    dup2(saved, STDOUT_FILENO);
    close(saved);
    std::clearerr(stdout);

    ASSERT_GT(got, 0);
    const QString written = QString::fromLocal8Bit(buffer, static_cast<int>(got));
    EXPECT_EQ(written, Form->LogLines()[1] + "\n");
    EXPECT_TRUE(written.startsWith("Received (hex): "));
    EXPECT_EQ(Form->LogLines().size(), 4);
    EXPECT_EQ(Form->LogLines()[3], Form->LogLines()[1]);
}

// A remote whose version reply breaks the packet rules at start: the window
// still comes up connected, and the error is shown once it is up.
TEST_F(TWindowTest, BrokenVersionReplyAtStartIsShownOnceTheWindowIsUp)
{
    TSimFaults badLength;
    badLength.LengthCode = 11;
    Remote->SetFaults(badLength);
    Start();
    EXPECT_EQ(NewLines(), QStringList{"Device connected"});
    EXPECT_EQ(Form->Remote()->Architecture(), -1);
    EXPECT_TRUE(Errors.isEmpty());  // not before the test could install its ReportError

    ASSERT_TRUE(WaitFor([&] { return !Errors.isEmpty(); }));
    EXPECT_TRUE(Errors[0].startsWith("Invalid number of bytes (CorvaneInterface, line ")) << Errors[0].toStdString();
    QCoreApplication::processEvents();
    EXPECT_EQ(Errors.size(), 1);
}

}  // namespace
