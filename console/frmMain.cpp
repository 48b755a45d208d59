#include "frmMainPrivate.h"

#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QCoreApplication>
#include <QFontDatabase>
#include <QFontMetrics>
#include <QLocale>
#include <QMessageBox>
#include <QPalette>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QTabWidget>
#include <QTimer>

#include <cstdio>

namespace {

void ChainTabOrder(const std::vector<QWidget*>& widgets)
{
    QWidget* previous = nullptr;
    for (QWidget* w : widgets) {
        if (previous) QWidget::setTabOrder(previous, w);
        previous = w;
    }
}

}  // namespace

// --- Construction ---------------------------------------------------------------

TfrmMain::TfrmMain(IHidPlatform& platform, std::string devicePath, QWidget* parent,
                   std::function<void(const std::string&)> logTap)
    : QWidget(parent), FPlatform(platform), FDevicePath(std::move(devicePath)), FLogTap(std::move(logTap))
{
    Now = [] { return QDateTime::currentDateTime(); };
    TickMs = [] { return ops::TSystemClock().TickMs(); };
    ReportError = [this](const QString& text) {
        std::fprintf(stderr, "%s\n", text.toLocal8Bit().constData());
        QMessageBox::critical(this, QCoreApplication::applicationName(), text);
    };
    // Hotplug notifications run posted calls; their errors must not unwind
    // through Qt's event loop.
    FLoop.OnError = [this](const QString& text) { ReportError(text); };

    CreateControls();
    ConnectHandlers();
    FormCreate();

    // A consistency error of the first connection: shown once the window
    // is up, as any other.
    if (FRemote && !FRemote->ConstructionError().empty())
        QMetaObject::invokeMethod(
            this, [this, text = QString::fromLocal8Bit(FRemote->ConstructionError().c_str())] { ReportError(text); },
            Qt::QueuedConnection);
}

TfrmMain::~TfrmMain()
{
    FormDestroy();
}

void TfrmMain::CreateControls()
{
    setObjectName(QStringLiteral("frmMain"));
    setWindowTitle(QStringLiteral("Test"));
    resize(1062, 583);
    move(372, 177);

    QFont font = QApplication::font();
    font.setStyleHint(QFont::SansSerif);
    font.setPixelSize(13);
    setFont(font);

    QPalette palette = this->palette();
    palette.setColor(QPalette::Window, palette.color(QPalette::Button));
    setPalette(palette);
    setAutoFillBackground(true);

    // Top level, in tab order.
    btnExit = NewButton(this, "btnExit", "EXIT", 8, 551, 1046, 25);

    mmoInfo = new QPlainTextEdit(this);
    mmoInfo->setObjectName(QStringLiteral("mmoInfo"));
    mmoInfo->setGeometry(571, 38, 483, 507);
    {
        // Platforms without a desktop theme (offscreen, a bare X server)
        // report a proportional "fixed" font; ask fontconfig for one then.
        QFont fixed = QFontDatabase::systemFont(QFontDatabase::FixedFont);
        const QFontMetrics metrics(fixed);
        if (metrics.horizontalAdvance(QLatin1Char('i')) != metrics.horizontalAdvance(QLatin1Char('W'))) {
            fixed.setFamily(QStringLiteral("monospace"));
            fixed.setStyleHint(QFont::TypeWriter);
            fixed.setFixedPitch(true);
        }
        mmoInfo->setFont(fixed);
    }
    {
        QPalette logPalette = mmoInfo->palette();
        logPalette.setColor(QPalette::Base, QApplication::palette("QMenu").color(QPalette::Window));
        mmoInfo->setPalette(logPalette);
    }

    btnReinitializeUsb = NewButton(this, "btnReinitializeUsb", "Reinitialize USB", 13, 8, 236, 25);

    pgFunctions = new QTabWidget(this);
    pgFunctions->setObjectName(QStringLiteral("pgFunctions"));
    pgFunctions->setGeometry(13, 39, 552, 506);

    tmrUpdate = new QTimer(this);
    tmrUpdate->setObjectName(QStringLiteral("tmrUpdate"));
    tmrUpdate->setInterval(100);

    std::vector<QWidget*> order{btnExit, mmoInfo, btnReinitializeUsb, pgFunctions};
    for (auto create : {&TfrmMain::CreateVersionPage, &TfrmMain::CreateResetPage,
                        &TfrmMain::CreateMiscellaneousPage, &TfrmMain::CreateFlashPage,
                        &TfrmMain::CreateInfraredPage}) {
        const std::vector<QWidget*> page = (this->*create)();
        order.insert(order.end(), page.begin(), page.end());
    }

    pgFunctions->setCurrentWidget(tbIr);
    ChainTabOrder(order);
}

// The top level's handlers; each page connects its own.
void TfrmMain::ConnectHandlers()
{
    connect(btnExit, &QPushButton::clicked, this, &TfrmMain::btnExitClick);
    connect(btnReinitializeUsb, &QPushButton::clicked, this, &TfrmMain::btnReinitializeUsbClick);
}

// --- Shared helpers -----------------------------------------------------------------

int TfrmMain::Tag(const QPushButton* button)
{
    return button->property("Tag").toInt();
}

void TfrmMain::SetTag(QPushButton* button, int tag)
{
    button->setProperty("Tag", tag);
}

void TfrmMain::Log(const QString& line)
{
    FLogLines.append(line);
    if (FLogTap)
        FLogTap(line.toStdString());
    mmoInfo->appendPlainText(line);
    QScrollBar* bar = mmoInfo->verticalScrollBar();
    bar->setValue(bar->maximum());  // keep the newest line in view
    WriteStandardOutput(line);
}

void TfrmMain::LogBlock(const std::vector<std::string>& lines)
{
    if (lines.empty()) return;
    QString block;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const QString line = QString::fromStdString(lines[i]);
        FLogLines.append(line);
        if (FLogTap) FLogTap(lines[i]);
        if (i > 0) block += QLatin1Char('\n');
        block += line;
    }
    // One append for the whole block: the control lays out and the scroll
    // bar moves once, not once per line.
    mmoInfo->appendPlainText(block);
    QScrollBar* bar = mmoInfo->verticalScrollBar();
    bar->setValue(bar->maximum());
    WriteStandardOutput(block);
}

void TfrmMain::WriteStandardOutput(const QString& text)
{
    // The same lines on standard output, at once and in one write. A closed
    // pipe (SIGPIPE is ignored by the program) or a full disk must neither
    // stop nor stall the log: the error is cleared and forgotten.
    QByteArray bytes = text.toLocal8Bit();
    bytes.append('\n');
    if (std::fwrite(bytes.constData(), 1, static_cast<std::size_t>(bytes.size()), stdout)
            != static_cast<std::size_t>(bytes.size())
        || std::fflush(stdout) != 0)
        std::clearerr(stdout);
}

void TfrmMain::TSink::Line(const std::string& line)
{
    FForm.Log(QString::fromStdString(line));
}

void TfrmMain::TSink::Lines(const std::vector<std::string>& lines)
{
    FForm.LogBlock(lines);
}

void TfrmMain::TSink::Progress(const ops::TProgress& progress)
{
    if (OnProgress) OnProgress(progress);
}

bool TfrmMain::TSink::KeepGoing()
{
    return OnKeepGoing ? OnKeepGoing() : true;
}

ops::TLocalTime TfrmMain::TClock::Now()
{
    const QDateTime now = FForm.Now();
    const QDate d = now.date();
    const QTime t = now.time();
    return {d.year(), d.month(), d.day(), t.hour(), t.minute(), t.second(), d.dayOfWeek()};
}

std::uint64_t TfrmMain::TClock::TickMs()
{
    return FForm.TickMs();
}

ops::TOpsContext TfrmMain::Context(TSink& sink)
{
    // Only the decimal separator follows the locale (QLocale() is the
    // system's unless a default was set).
    return {*FRemote, sink, FClock, FFiles, QLocale().decimalPoint().toStdString()};
}

void TfrmMain::ReportFileError(const ops::TResult& result)
{
    if (result.Outcome == ops::TOutcome::FileError) ReportError(QString::fromStdString(result.Error));
}

int TfrmMain::SelectedItem(QComboBox* box)
{
    // Typed text leaves no item selected, even when an item was selected
    // before; only text equal to an item's counts as that item.
    int index = box->findText(box->currentText(), Qt::MatchExactly | Qt::MatchCaseSensitive);
    if (index < 0) {
        index = 0;
        box->setCurrentIndex(0);
        box->setEditText(box->itemText(0));
    }
    return index;
}

void TfrmMain::ProcessMessages()
{
    FLoop.DispatchMessages(false);
}

// --- Window, connection and exit -----------------------------------------------------

void TfrmMain::FormCreate()
{
    FRemote = std::make_unique<TCorvaneOne>(FPlatform, FLoop, FDevicePath);
    FRemote->OnStatusChange = [this] { UpdateConnectionState(); };
    pgFunctions->setVisible(FRemote->Connected());
    TSink sink(*this);
    ops::TOpsContext ctx = Context(sink);
    ops::Status(ctx);
}

void TfrmMain::FormDestroy()
{
    for (QPushButton* b : {btnReadFlashAll, btnReadFlashParts, btnIrcapture}) SetTag(b, 0);
    if (!FRemote) return;
    FRemote->Abort = true;
    FRemote->OnStatusChange = nullptr;
    FRemote.reset();
}

void TfrmMain::UpdateConnectionState()
{
    pgFunctions->setVisible(FRemote && FRemote->Connected());
    if (FRemote) RunOperation([](ops::TOpsContext& ctx) { ops::ConnectionLine(ctx); });
}

void TfrmMain::btnReinitializeUsbClick()
{
    // Refused while a flash write or capture underneath uses the link.
    RunOperation([this](ops::TOpsContext& ctx) {
        ops::Reinitialize(ctx);
        pgFunctions->setVisible(FRemote->Connected());
    });
}

void TfrmMain::btnExitClick()
{
    SetTag(btnReadFlashAll, 0);
    SetTag(btnReadFlashParts, 0);
    close();
}

void TfrmMain::closeEvent(QCloseEvent* event)
{
    if (FLongDepth > 0) {
        // The operation on the stack still uses the connection; the window
        // closes when the outermost one returns (TLongOperation).
        FCloseRequested = true;
        event->ignore();
        return;
    }
    FCloseRequested = false;
    event->accept();
}

