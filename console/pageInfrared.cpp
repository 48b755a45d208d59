// The Infrared page: a capture into CAPTURED.BIN, stopped by a second press.

#include "frmMainPrivate.h"

#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTabWidget>
#include <QTimer>

// What a capture shows while it runs; it appears when the capture starts and
// goes when the handler leaves, however it leaves.
class TfrmMain::TCaptureDisplay {
public:
    TCaptureDisplay(TfrmMain& form, TSink& sink) : FForm(form)
    {
        sink.OnProgress = [this](const ops::TProgress&) { Show(); };
    }

    ~TCaptureDisplay()
    {
        if (!FStarted) return;
        FForm.tmrUpdate->stop();
        FForm.pbCapture->hide();
        FForm.lblCaptureProgress->hide();
        SetTag(FForm.btnIrcapture, 0);
        FForm.btnIrcapture->setText(QStringLiteral("Capture (learn)"));
    }

    TCaptureDisplay(const TCaptureDisplay&) = delete;
    TCaptureDisplay& operator=(const TCaptureDisplay&) = delete;

private:
    void Show()
    {
        if (FStarted) return;
        FStarted = true;
        // The timer's ticks are the messages that keep the capture reading,
        // and they refresh the byte count: it runs for the whole capture.
        FForm.tmrUpdate->start();
        FForm.pbCapture->show();
        FForm.lblCaptureProgress->show();
        SetTag(FForm.btnIrcapture, 1);
        FForm.btnIrcapture->setText(QStringLiteral("End capture (learn)"));
        FForm.repaint();  // on screen before the capture holds the GUI thread
    }

    TfrmMain& FForm;
    bool FStarted = false;
};

std::vector<QWidget*> TfrmMain::CreateInfraredPage()
{
    tbIr = NewPage(pgFunctions, "tbIr", "Infrared");
    btnIrcapture = NewButton(tbIr, "btnIrcapture", "Capture (learn)", 13, 16, 236, 25);
    pbCapture = NewProgressBar(tbIr, "pbCapture", 255, 80, 286, 13);
    lblCaptureProgress = NewFixedLabel(tbIr, "lblCaptureProgress", "0000000 bytes read", 255, 99, 286, 16);
    SetTag(btnIrcapture, 0);

    connect(btnIrcapture, &QPushButton::clicked, this, &TfrmMain::btnIrcaptureClick);
    connect(tmrUpdate, &QTimer::timeout, this, &TfrmMain::tmrUpdateTimer);
    return {btnIrcapture};
}

void TfrmMain::btnIrcaptureClick()
{
    Guard([&] {
        if (Tag(btnIrcapture) != 0) {
            FRemote->Abort = true;  // the running capture stops at the end of its turn
            return;
        }
        TLongOperation running(*this);
        TSink sink(*this);
        ops::TCaptureResult result;
        {
            TCaptureDisplay display(*this, sink);
            ops::TOpsContext ctx = Context(sink);
            result = ops::CaptureIr(ctx);
        }
        ReportFileError(result);
    });
}

void TfrmMain::tmrUpdateTimer()
{
    lblCaptureProgress->setText(QString::number(FRemote ? FRemote->Progress : 0));
}
