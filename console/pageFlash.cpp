// The Flash page: the hex dump of Index/Size, the test-pattern write, the
// sector erase, and the two dumps into files with their running display.

#include "frmMainPrivate.h"

#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTabWidget>

namespace {

QString BytesReadText(std::uint64_t bytes, int rate)
{
    return QString::asprintf("%7.7d bytes read @%6.6d /s", static_cast<int>(bytes), rate);
}

}  // namespace

// What a flash dump shows while it runs: the button's running mark and its
// stop caption, the activity bar, the byte count and the rate. It appears at
// the dump's first progress (so a dump refused before it starts shows
// nothing) and goes when the handler leaves, however it leaves.
class TfrmMain::TDumpDisplay {
public:
    TDumpDisplay(TfrmMain& form, TSink& sink, QPushButton* button, const char* idleCaption)
        : FForm(form), FButton(button), FIdleCaption(idleCaption)
    {
        sink.OnProgress = [this](const ops::TProgress& progress) { Show(progress); };
        sink.OnKeepGoing = [this] { return Tag(FButton) == 1; };
    }

    ~TDumpDisplay()
    {
        if (!FStarted) return;
        FForm.pbReadFlash->hide();
        FForm.lblFlashBytesRead->hide();
        SetTag(FButton, 0);
        FButton->setText(QString::fromLatin1(FIdleCaption));
    }

    TDumpDisplay(const TDumpDisplay&) = delete;
    TDumpDisplay& operator=(const TDumpDisplay&) = delete;

private:
    void Show(const ops::TProgress& progress)
    {
        if (!FStarted) {
            FStarted = true;
            SetTag(FButton, 1);
            FButton->setText(QStringLiteral("Abort reading flash"));
            FForm.pbReadFlash->setValue(0);
            FForm.pbReadFlash->show();
            FForm.lblFlashBytesRead->show();
        }
        if (progress.Done == 0) return;
        // The bar shows activity, not a percentage: 0, 1, ..., 100, 1, ...
        QProgressBar* bar = FForm.pbReadFlash;
        bar->setValue(bar->value() == 100 ? 1 : bar->value() + 1);
        FForm.lblFlashBytesRead->setText(BytesReadText(progress.Done, progress.RateBytesPerSecond));
        FForm.ProcessMessages();  // a second press, EXIT
    }

    TfrmMain& FForm;
    QPushButton* FButton;
    const char* FIdleCaption;
    bool FStarted = false;
};

std::vector<QWidget*> TfrmMain::CreateFlashPage()
{
    tsFlash = NewPage(pgFunctions, "tsFlash", "Flash");
    btnReadFlash = NewButton(tsFlash, "btnReadFlash", "Read", 13, 16, 236, 25);
    edtReadWriteFlashIndex = NewEdit(tsFlash, "edtReadWriteFlashIndex", "0", 329, 16, 60, 24);
    btnWriteFlash = NewButton(tsFlash, "btnWriteFlash", "Write (fixed data ...)", 13, 47, 236, 25);
    edtReadWriteFlashSize = NewEdit(tsFlash, "edtReadWriteFlashSize", "16", 329, 46, 60, 24);
    btnReadFlashAll = NewButton(tsFlash, "btnReadFlashAll", "Read whole flash", 97, 78, 152, 25);
    pbReadFlash = NewProgressBar(tsFlash, "pbReadFlash", 255, 80, 286, 13);
    btnEraseFlashSector = NewButton(tsFlash, "btnEraseFlashSector", "Erase sector", 13, 145, 236, 25);
    btnReadFlashParts = NewButton(tsFlash, "btnReadFlashParts", "Read parts flash", 97, 109, 152, 25);
    Label5 = NewLabel(tsFlash, "Label5", "Index:", 288, 19, 35, 16);
    Label6 = NewLabel(tsFlash, "Label6", "Size:", 288, 49, 29, 16);
    lblFlashBytesRead = NewFixedLabel(tsFlash, "lblFlashBytesRead", "0000000 bytes read", 255, 99, 286, 16);
    SetTag(btnReadFlashAll, 0);
    SetTag(btnReadFlashParts, 0);

    connect(btnReadFlash, &QPushButton::clicked, this, &TfrmMain::btnReadFlashClick);
    connect(btnReadFlashAll, &QPushButton::clicked, this, &TfrmMain::btnReadFlashAllClick);
    connect(btnReadFlashParts, &QPushButton::clicked, this, &TfrmMain::btnReadFlashPartsClick);
    connect(btnEraseFlashSector, &QPushButton::clicked, this, &TfrmMain::btnEraseFlashSectorClick);
    connect(btnWriteFlash, &QPushButton::clicked, this, &TfrmMain::btnWriteFlashClick);

    return {btnReadFlash,    edtReadWriteFlashIndex, btnWriteFlash,    edtReadWriteFlashSize,
            btnReadFlashAll, btnEraseFlashSector,    btnReadFlashParts};
}

void TfrmMain::btnReadFlashClick()
{
    Guard([&] {
        TSink sink(*this);
        const auto address = ops::ParseFlashIndex(sink, edtReadWriteFlashIndex->text().toStdString());
        if (!address) return;
        const auto size = ops::ParseFlashSize(sink, edtReadWriteFlashSize->text().toStdString());
        if (!size) return;
        ops::TOpsContext ctx = Context(sink);
        ops::ReadFlash(ctx, *address, *size);
    });
}

void TfrmMain::btnReadFlashAllClick()
{
    Guard([&] {
        if (Tag(btnReadFlashAll) != 0) {
            SetTag(btnReadFlashAll, 0);  // the running dump stops after its chunk
            return;
        }
        TLongOperation running(*this);
        TSink sink(*this);
        ops::TDumpResult result;
        {
            TDumpDisplay display(*this, sink, btnReadFlashAll, "Read whole flash");
            ops::TOpsContext ctx = Context(sink);
            result = ops::DumpWholeFlash(ctx);
        }
        ReportFileError(result);
    });
}

void TfrmMain::btnReadFlashPartsClick()
{
    Guard([&] {
        if (Tag(btnReadFlashParts) != 0) {
            SetTag(btnReadFlashParts, 0);
            return;
        }
        TLongOperation running(*this);
        TSink sink(*this);
        ops::TDumpResult result;
        {
            TDumpDisplay display(*this, sink, btnReadFlashParts, "Read parts flash");
            ops::TOpsContext ctx = Context(sink);
            result = ops::DumpFlashParts(ctx);
        }
        ReportFileError(result);
    });
}

void TfrmMain::btnEraseFlashSectorClick()
{
    Guard([&] {
        TSink sink(*this);
        const auto sector = ops::ParseFlashIndex(sink, edtReadWriteFlashIndex->text().toStdString());
        if (!sector) return;
        ops::TOpsContext ctx = Context(sink);
        ops::EraseSector(ctx, *sector);
    });
}

void TfrmMain::btnWriteFlashClick()
{
    Guard([&] {
        TSink sink(*this);
        const auto address = ops::ParseFlashIndex(sink, edtReadWriteFlashIndex->text().toStdString());
        if (!address) return;
        const auto size = ops::ParseFlashSize(sink, edtReadWriteFlashSize->text().toStdString());
        if (!size) return;
        TLongOperation running(*this);  // the write dispatches events between its packets
        ops::TOpsContext ctx = Context(sink);
        ops::WriteTestPattern(ctx, *address, *size);
    });
}
