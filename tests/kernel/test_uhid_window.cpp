// The window, offscreen, on a remote the kernel sees: it starts connected,
// shows the version and a hex dump, and follows the remote's removal and
// return through the Qt event loop.

#include "KernelSupport.h"

#include "CorvaneInterface.h"
#include "QtTestApp.h"
#include "frmMain.h"

#include <QLineEdit>
#include <QTabWidget>

namespace {

using TWindowFixture = TKernelFixture;

TEST_F(TWindowFixture, StartVersionHexDumpAndReplug)
{
    TUhidRemote remote(RemoteOptions());
    Plug(remote);
    TByteArray version;
    remote.WithFirmware([&](TRemoteFirmware& firmware, auto) {
        firmware.SetFlash(0x001000, TByteArray{0xC0, 0xFF, 0xEE, 0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77,
                                               0x88, 0x99, 0xAA, 0xBB, 0xCC, 0xDD});
        version = firmware.VersionPayload();
    });

    TfrmMain form(*Platform);
    QStringList errors;
    form.ReportError = [&](const QString& text) { errors.append(text); };
    EXPECT_TRUE(form.LogLines().contains("Device connected"));
    EXPECT_TRUE(form.pgFunctions->isVisibleTo(&form));

    form.btnVersionClick();
    TByteArray header(1 + version.size());
    SetPacketType(header, PKT_VERSION);
    SetPacketLength(header, static_cast<std::uint32_t>(version.size()));
    QString expected = QString::asprintf("Received (hex): %2.2X", header[0]);
    for (std::uint8_t byte : version)
        expected += QString::asprintf(" %2.2X", byte);
    EXPECT_EQ(form.LogLines().last(), expected);

    const qsizetype before = form.LogLines().size();
    form.edtReadWriteFlashIndex->setText("$1000");
    form.edtReadWriteFlashSize->setText("17");
    form.btnReadFlashClick();
    EXPECT_EQ(form.LogLines().mid(before),
              (QStringList{"Flash dump (hex):", "001000: C0 FF EE 00 11 22 33 44 55 66 77 88 99 AA BB CC",
                           "001010: DD"}));

    remote.Destroy();
    ASSERT_TRUE(WaitFor([&] { return form.LogLines().last() == "Device not connected"; }, 10000));
    EXPECT_FALSE(form.pgFunctions->isVisibleTo(&form));
    ASSERT_TRUE(remote.Create());
    ASSERT_TRUE(WaitFor([&] { return form.LogLines().last() == "Device connected"; }, 10000));
    EXPECT_TRUE(form.pgFunctions->isVisibleTo(&form));
    form.btnVersionClick();
    EXPECT_EQ(form.LogLines().last(), expected);
    EXPECT_TRUE(errors.isEmpty()) << errors.join('\n').toStdString();
}

}  // namespace
