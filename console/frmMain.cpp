#include "frmMain.h"

#include "FlashParts.h"
#include "NumberEntry.h"

#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QCoreApplication>
#include <QFile>
#include <QFontDatabase>
#include <QFontMetrics>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QMessageBox>
#include <QPalette>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollBar>
#include <QTabWidget>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <optional>
#include <stdexcept>
#include <system_error>
#include <vector>

namespace {

constexpr std::uint16_t FlashChunk = 0x8000;     // bytes per ReadFlash call of a dump
constexpr std::uint32_t FlashSize = 0x1000000;   // 16 MiB: the whole-flash dump stops here

const char* const ArchitectureLine = "Incorrect/unknown architecture (must use get version)";

// A dump file or CAPTURED.BIN: created new or truncated, written unbuffered
// so that every failed write is seen where it happens. Failures raise
// std::runtime_error with the file name and the system's reason.
class TOutFile {
public:
    explicit TOutFile(const QString& name) : FFile(name)
    {
        if (!FFile.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered))
            Fail("Cannot create file");
    }

    ~TOutFile()
    {
        if (FFile.isOpen()) FFile.close();  // after an error: the error is reported already
    }

    TOutFile(const TOutFile&) = delete;
    TOutFile& operator=(const TOutFile&) = delete;

    void Write(const TByteArray& data)
    {
        if (data.empty()) return;
        const auto length = static_cast<qint64>(data.size());
        if (FFile.write(reinterpret_cast<const char*>(data.data()), length) != length)
            Fail("Cannot write file");
    }

    void Close()
    {
        if (!FFile.isOpen()) return;
        FFile.close();
        if (FFile.error() != QFileDevice::NoError) Fail("Cannot write file");
    }

private:
    [[noreturn]] void Fail(const char* what)
    {
        const QString text = QStringLiteral("%1 \"%2\": %3").arg(QLatin1String(what), FFile.fileName(), FFile.errorString());
        FFile.close();
        throw std::runtime_error(text.toLocal8Bit().toStdString());
    }

    QFile FFile;
};

// Runs a function when the scope is left, also by an error.
template <typename F>
class TFinally {
public:
    explicit TFinally(F f) : FFunction(std::move(f)) {}
    ~TFinally() { FFunction(); }
    TFinally(const TFinally&) = delete;
    TFinally& operator=(const TFinally&) = delete;

private:
    F FFunction;
};

// The transfer rate of a dump: recomputed only when more than a second has
// passed since the last update, so a short run shows 0 throughout.
class TRate {
public:
    explicit TRate(quint64 tick) : FLastTick(tick) {}

    void Update(quint64 tick, quint64 bytes)
    {
        const quint64 elapsed = tick - FLastTick;  // unsigned: a wrap does no harm
        if (elapsed > 1000) {
            FRate = static_cast<int>((bytes - FLastBytes) * 1000 / elapsed);
            FLastTick = tick;
            FLastBytes = bytes;
        }
    }

    int Value() const { return FRate; }

private:
    quint64 FLastTick;
    quint64 FLastBytes = 0;
    int FRate = 0;
};

// The progress bar of a dump shows activity, not a percentage: 0, 1, ..., 100, 1, ...
void AdvanceProgress(QProgressBar* bar)
{
    bar->setValue(bar->value() == 100 ? 1 : bar->value() + 1);
}

QString BytesReadText(quint64 bytes, int rate)
{
    return QString::asprintf("%7.7d bytes read @%6.6d /s", static_cast<int>(bytes), rate);
}

QString DumpFileName(const QDateTime& time, std::string_view name)
{
    const QDate d = time.date();
    const QTime t = time.time();
    return QString::asprintf("%4.4d%2.2d%2.2dT%2.2d%2.2d%2.2d_", d.year(), d.month(), d.day(), t.hour(),
                             t.minute(), t.second())
           + QString::fromLatin1(name.data(), static_cast<qsizetype>(name.size())) + QStringLiteral(".bin");
}

quint64 SteadyTickMs()
{
    using namespace std::chrono;
    return static_cast<quint64>(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

QPushButton* NewButton(QWidget* parent, const char* name, const char* caption, int left, int top, int width,
                       int height)
{
    auto* button = new QPushButton(QString::fromLatin1(caption), parent);
    button->setObjectName(QLatin1String(name));
    button->setGeometry(left, top, width, height);
    return button;
}

// A caption label sizes itself to its text, growing from the designed place:
// the desktop's sans-serif is wider than the font the layout was drawn with,
// and a clipped "Index:" reads as "Index".
QLabel* NewLabel(QWidget* parent, const char* name, const char* caption, int left, int top, int width, int height)
{
    auto* label = new QLabel(QString::fromLatin1(caption), parent);
    label->setObjectName(QLatin1String(name));
    const QSize fit = label->sizeHint();
    label->setGeometry(left, top, std::max(width, fit.width()), std::max(height, fit.height()));
    return label;
}

// A fixed-size label with centred text (the byte counts of the dumps and the capture).
QLabel* NewFixedLabel(QWidget* parent, const char* name, const char* caption, int left, int top, int width,
                      int height)
{
    auto* label = new QLabel(QString::fromLatin1(caption), parent);
    label->setObjectName(QLatin1String(name));
    label->setGeometry(left, top, width, height);
    label->setAlignment(Qt::AlignCenter);
    label->hide();
    return label;
}

QLineEdit* NewEdit(QWidget* parent, const char* name, const char* text, int left, int top, int width, int height)
{
    auto* edit = new QLineEdit(QString::fromLatin1(text), parent);
    edit->setObjectName(QLatin1String(name));
    edit->setGeometry(left, top, width, height);
    return edit;
}

QComboBox* NewCombo(QWidget* parent, const char* name, const QStringList& items, int left, int top, int width,
                    int height)
{
    auto* box = new QComboBox(parent);
    box->setObjectName(QLatin1String(name));
    box->setEditable(true);                        // the user may type any text...
    box->setInsertPolicy(QComboBox::NoInsert);     // ...which never becomes an item
    box->addItems(items);
    box->setCurrentIndex(0);
    box->setGeometry(left, top, width, height);
    return box;
}

QProgressBar* NewProgressBar(QWidget* parent, const char* name, int left, int top, int width, int height)
{
    auto* bar = new QProgressBar(parent);
    bar->setObjectName(QLatin1String(name));
    bar->setRange(0, 100);
    bar->setValue(0);
    bar->setTextVisible(false);
    bar->setGeometry(left, top, width, height);
    bar->hide();
    return bar;
}

QWidget* NewPage(QTabWidget* pages, const char* name, const char* caption)
{
    auto* page = new QWidget;
    page->setObjectName(QLatin1String(name));
    pages->addTab(page, QString::fromLatin1(caption));
    return page;
}

void ChainTabOrder(std::initializer_list<QWidget*> widgets)
{
    QWidget* previous = nullptr;
    for (QWidget* w : widgets) {
        if (previous) QWidget::setTabOrder(previous, w);
        previous = w;
    }
}

}  // namespace

// Counts a dump, flash write or capture as on the stack. A close that arrived
// meanwhile is carried out once the outermost one has returned, so the
// connection is never torn down under a running operation.
class TfrmMain::TLongOperation {
public:
    explicit TLongOperation(TfrmMain& form) : FForm(form) { ++FForm.FLongDepth; }
    ~TLongOperation()
    {
        if (--FForm.FLongDepth == 0 && FForm.FCloseRequested)
            QMetaObject::invokeMethod(&FForm, [form = &FForm] { form->close(); }, Qt::QueuedConnection);
    }
    TLongOperation(const TLongOperation&) = delete;
    TLongOperation& operator=(const TLongOperation&) = delete;

private:
    TfrmMain& FForm;
};

// What the two flash dumps show while they run: the button's running mark and
// its stop caption, the activity bar, the byte count and the rate.
class TfrmMain::TDumpDisplay {
public:
    TDumpDisplay(TfrmMain& form, QPushButton* button) : FForm(form), FButton(button), FRate(form.TickMs())
    {
        SetTag(FButton, 1);
        FButton->setText(QStringLiteral("Abort reading flash"));
        FForm.pbReadFlash->setValue(0);
        FForm.pbReadFlash->show();
        FForm.lblFlashBytesRead->show();
    }

    TDumpDisplay(const TDumpDisplay&) = delete;
    TDumpDisplay& operator=(const TDumpDisplay&) = delete;

    // After each chunk written: shows the total so far and serves pending
    // events (a second press, EXIT). False once the run was asked to stop.
    bool ChunkDone(quint64 total)
    {
        AdvanceProgress(FForm.pbReadFlash);
        FRate.Update(FForm.TickMs(), total);
        FForm.lblFlashBytesRead->setText(BytesReadText(total, FRate.Value()));
        FForm.ProcessMessages();
        return Tag(FButton) == 1;
    }

    // The closing steps, however the run ended.
    void Finish(bool done, const QString& idleCaption)
    {
        FForm.pbReadFlash->hide();
        FForm.lblFlashBytesRead->hide();
        SetTag(FButton, 0);
        if (done)
            FForm.Log(QStringLiteral("Reading done"));
        FButton->setText(idleCaption);
    }

private:
    TfrmMain& FForm;
    QPushButton* FButton;
    TRate FRate;
};

// --- Construction ---------------------------------------------------------------

TfrmMain::TfrmMain(IHidPlatform& platform, QWidget* parent)
    : QWidget(parent), FPlatform(platform)
{
    Now = [] { return QDateTime::currentDateTime(); };
    TickMs = [] { return SteadyTickMs(); };
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

    // Version
    tsVersion = NewPage(pgFunctions, "tsVersion", "Version");
    btnVersion = NewButton(tsVersion, "btnVersion", "Get version information", 13, 16, 236, 25);
    btnDecodedVersion = NewButton(tsVersion, "btnDecodedVersion", "Get decoded version information", 13, 47, 236, 25);

    // Reset
    tsReset = NewPage(pgFunctions, "tsReset", "Reset");
    btnReset = NewButton(tsReset, "btnReset", "Reset", 13, 16, 236, 25);
    cbResetType = NewCombo(tsReset, "cbResetType",
                           {QStringLiteral("USB"), QStringLiteral("device"), QStringLiteral("device disconnect"),
                            QStringLiteral("(invalidate) test firmware")},
                           329, 17, 212, 24);
    Label3 = NewLabel(tsReset, "Label3", "Type:", 288, 20, 35, 16);

    // Miscellaneous, in tab order
    tsMiscellaneous = NewPage(pgFunctions, "tsMiscellaneous", "Miscellaneous");
    btnReadMiscByte = NewButton(tsMiscellaneous, "btnReadMiscByte", "Read miscellaneous (byte)", 13, 16, 236, 25);
    cbReadWriteMiscType = NewCombo(
        tsMiscellaneous, "cbReadWriteMiscType",
        {QStringLiteral("EEPROM"), QStringLiteral("state"), QStringLiteral("invalidate flash"),
         QStringLiteral("queue action"), QStringLiteral("program"), QStringLiteral("interrupt"), QStringLiteral("RAM"),
         QStringLiteral("register"), QStringLiteral("clock recalculate"), QStringLiteral("queue event"),
         QStringLiteral("restart config"), QStringLiteral("reserved"), QStringLiteral("hardware feature")},
        329, 17, 212, 24);
    edtReadWriteMiscIndex = NewEdit(tsMiscellaneous, "edtReadWriteMiscIndex", "0", 329, 47, 50, 24);
    edtReadWriteMiscData = NewEdit(tsMiscellaneous, "edtReadWriteMiscData", "0", 329, 77, 50, 24);
    btnReadMiscWord = NewButton(tsMiscellaneous, "btnReadMiscWord", "Read miscellaneous (word)", 13, 47, 236, 25);
    btnReadMiscBatteryLevel =
        NewButton(tsMiscellaneous, "btnReadMiscBatteryLevel", "Read battery level", 97, 108, 152, 25);
    btnReadMiscHardwareFlag =
        NewButton(tsMiscellaneous, "btnReadMiscHardwareFlag", "Read hardware flag", 97, 77, 152, 25);
    btnReadMiscTime = NewButton(tsMiscellaneous, "btnReadMiscTime", "Read time/date", 97, 139, 152, 25);
    btnWriteMiscByte = NewButton(tsMiscellaneous, "btnWriteMiscByte", "Write miscellaneous (byte)", 13, 170, 236, 25);
    btnWriteMiscWord = NewButton(tsMiscellaneous, "btnWriteMiscWord", "Write miscellaneous (word)", 13, 201, 236, 25);
    btnWriteMiscTime = NewButton(tsMiscellaneous, "btnWriteMiscTime", "Write time/date", 97, 232, 152, 25);
    Label2 = NewLabel(tsMiscellaneous, "Label2", "Type:", 288, 20, 35, 16);
    Label1 = NewLabel(tsMiscellaneous, "Label1", "Index:", 288, 50, 35, 16);
    Label4 = NewLabel(tsMiscellaneous, "Label4", "Data:", 288, 80, 32, 16);

    // Flash, in tab order
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

    // Infrared
    tbIr = NewPage(pgFunctions, "tbIr", "Infrared");
    btnIrcapture = NewButton(tbIr, "btnIrcapture", "Capture (learn)", 13, 16, 236, 25);
    pbCapture = NewProgressBar(tbIr, "pbCapture", 255, 80, 286, 13);
    lblCaptureProgress = NewFixedLabel(tbIr, "lblCaptureProgress", "0000000 bytes read", 255, 99, 286, 16);

    for (QPushButton* b : {btnReadFlashAll, btnReadFlashParts, btnIrcapture}) SetTag(b, 0);

    pgFunctions->setCurrentWidget(tbIr);

    ChainTabOrder({btnExit, mmoInfo, btnReinitializeUsb, pgFunctions,
                   btnVersion, btnDecodedVersion,
                   btnReset, cbResetType,
                   btnReadMiscByte, cbReadWriteMiscType, edtReadWriteMiscIndex, edtReadWriteMiscData,
                   btnReadMiscWord, btnReadMiscBatteryLevel, btnReadMiscHardwareFlag, btnReadMiscTime,
                   btnWriteMiscByte, btnWriteMiscWord, btnWriteMiscTime,
                   btnReadFlash, edtReadWriteFlashIndex, btnWriteFlash, edtReadWriteFlashSize, btnReadFlashAll,
                   btnEraseFlashSector, btnReadFlashParts,
                   btnIrcapture});
}

void TfrmMain::ConnectHandlers()
{
    connect(btnExit, &QPushButton::clicked, this, &TfrmMain::btnExitClick);
    connect(btnReinitializeUsb, &QPushButton::clicked, this, &TfrmMain::btnReinitializeUsbClick);
    connect(tmrUpdate, &QTimer::timeout, this, &TfrmMain::tmrUpdateTimer);

    connect(btnVersion, &QPushButton::clicked, this, &TfrmMain::btnVersionClick);
    connect(btnDecodedVersion, &QPushButton::clicked, this, &TfrmMain::btnDecodedVersionClick);
    connect(btnReset, &QPushButton::clicked, this, &TfrmMain::btnResetClick);
    connect(btnReadMiscByte, &QPushButton::clicked, this, &TfrmMain::btnReadMiscByteClick);
    connect(btnReadMiscWord, &QPushButton::clicked, this, &TfrmMain::btnReadMiscWordClick);
    connect(btnWriteMiscByte, &QPushButton::clicked, this, &TfrmMain::btnWriteMiscByteClick);
    connect(btnWriteMiscWord, &QPushButton::clicked, this, &TfrmMain::btnWriteMiscWordClick);
    connect(btnReadMiscHardwareFlag, &QPushButton::clicked, this, &TfrmMain::btnReadMiscHardwareFlagClick);
    connect(btnReadMiscBatteryLevel, &QPushButton::clicked, this, &TfrmMain::btnReadMiscBatteryLevelClick);
    connect(btnReadMiscTime, &QPushButton::clicked, this, &TfrmMain::btnReadMiscTimeClick);
    connect(btnWriteMiscTime, &QPushButton::clicked, this, &TfrmMain::btnWriteMiscTimeClick);

    connect(btnReadFlash, &QPushButton::clicked, this, &TfrmMain::btnReadFlashClick);
    connect(btnReadFlashAll, &QPushButton::clicked, this, &TfrmMain::btnReadFlashAllClick);
    connect(btnReadFlashParts, &QPushButton::clicked, this, &TfrmMain::btnReadFlashPartsClick);
    connect(btnEraseFlashSector, &QPushButton::clicked, this, &TfrmMain::btnEraseFlashSectorClick);
    connect(btnWriteFlash, &QPushButton::clicked, this, &TfrmMain::btnWriteFlashClick);

    connect(btnIrcapture, &QPushButton::clicked, this, &TfrmMain::btnIrcaptureClick);
}

// --- Shared helpers -----------------------------------------------------------------

template <typename F>
void TfrmMain::Guard(F&& work)
{
    try {
        work();
    } catch (const std::exception& e) {
        ReportError(QString::fromLocal8Bit(e.what()));
    }
}

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
    mmoInfo->appendPlainText(line);
    QScrollBar* bar = mmoInfo->verticalScrollBar();
    bar->setValue(bar->maximum());  // keep the newest line in view

    // The same line on standard output, at once. A closed pipe (SIGPIPE is
    // ignored by the program) or a full disk must neither stop nor stall the
    // log: the error is cleared and forgotten.
    QByteArray bytes = line.toLocal8Bit();
    bytes.append('\n');
    if (std::fwrite(bytes.constData(), 1, static_cast<std::size_t>(bytes.size()), stdout)
            != static_cast<std::size_t>(bytes.size())
        || std::fflush(stdout) != 0)
        std::clearerr(stdout);
}

void TfrmMain::LogOpenFailure()
{
    if (!FRemote || FRemote->Connected()) return;
    const TUsbDevice* device = FRemote->Device();
    if (!device || !device->OpenFailure()) return;
    const TOpenFailure& failure = *device->OpenFailure();
    const QString path = QString::fromLocal8Bit(failure.Path.c_str());
    if (failure.Error == std::errc::permission_denied || failure.Error == std::errc::operation_not_permitted)
        Log(QStringLiteral("Permission denied on %1: install the udev rule from the README").arg(path));
    else
        Log(QStringLiteral("Cannot open %1: %2").arg(path, QString::fromLocal8Bit(failure.Error.message().c_str())));
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
    FRemote = std::make_unique<TCorvaneOne>(FPlatform, FLoop);
    FRemote->OnStatusChange = [this] { UpdateConnectionState(); };
    UpdateConnectionState();
    LogOpenFailure();
    if (!FRemote->Connected()) Log(QStringLiteral("Connect device and use Reinitialize USB"));
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
    Log(pgFunctions->isVisibleTo(this) ? QStringLiteral("Device connected") : QStringLiteral("Device not connected"));
}

void TfrmMain::btnReinitializeUsbClick()
{
    Guard([&] {
        // A flash write or capture underneath is using the link: replacing it
        // would pull it out from under that operation.
        if (FRemote->Busy()) {
            Log(QStringLiteral("Operation in progress"));
            return;
        }
        FRemote->Reconnect();
        UpdateConnectionState();
        LogOpenFailure();
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

// --- Version and reset -----------------------------------------------------------------

void TfrmMain::btnVersionClick()
{
    Guard([&] {
        TByteArray reply;
        if (!FRemote->GetVersion(reply)) {
            Log(QStringLiteral("Error reading version information"));
            return;
        }
        QString line = QStringLiteral("Received (hex): ");
        for (std::size_t i = 0; i < reply.size(); ++i)
            line += QString::asprintf(i == 0 ? "%2.2X" : " %2.2X", reply[i]);
        Log(line);
    });
}

void TfrmMain::btnDecodedVersionClick()
{
    Guard([&] {
        TDecodedVersion v;
        if (!FRemote->GetDecodedVersion(v)) {
            Log(QStringLiteral("Error reading decoded version information"));
            return;
        }
        Log(QStringLiteral("Version information:"));
        Log(QString::asprintf("  Firmware             %d.%d", v.FirmwareMajor, v.FirmwareMinor));
        Log(QString::asprintf("  Board revision       %d", v.BoardRevision));
        Log(QString::asprintf("  Memory device        %d", v.MemoryDevice));
        Log(QString::asprintf("  Memory manufacturer  %d", v.MemoryManufacturer));
        Log(QString::asprintf("  Architecture         %d", v.Architecture));
        Log(QString::asprintf("  Firmware type        %d", v.FirmwareType));
        Log(QString::asprintf("  Skin                 %d", v.Skin));
        Log(QString::asprintf("  Protocol             %d", v.Protocol));
        Log(QString::asprintf("  Bootloader           %d.%d", v.BootloaderMajor, v.BootloaderMinor));
        Log(QString::asprintf("  PIC library          %d.%d", v.PicLibraryMajor, v.PicLibraryMinor));
        Log(QString::asprintf("  CPLD                 %d.%d", v.CpldMajor, v.CpldMinor));
        Log(QString::asprintf("  Safe mode            %d.%d", v.SafeModeMajor, v.SafeModeMinor));
        Log(QString::asprintf("  Normal mode          %d.%d", v.NormalModeMajor, v.NormalModeMinor));
        Log(QString::asprintf("  Zwave                %d.%d", v.ZwaveMajor, v.ZwaveMinor));
        Log(QString::asprintf("  Zwave revision       %d", v.ZwaveRevision));
    });
}

void TfrmMain::btnResetClick()
{
    Guard([&] {
        const int item = SelectedItem(cbResetType);
        const bool ok = FRemote->Reset(static_cast<std::uint8_t>(item + 1));
        Log(QString::fromLatin1(ok ? "Reset %1 successful" : "Reset %1 failed").arg(cbResetType->itemText(item)));
    });
}

// --- Miscellaneous registers ---------------------------------------------------------

void TfrmMain::ReadMisc(bool word)
{
    std::int32_t index = 0;
    if (!ParseInteger(edtReadWriteMiscIndex->text().toStdString(), index)) {
        Log(QStringLiteral("Invalid index"));
        return;
    }
    const auto type = static_cast<std::uint8_t>(SelectedItem(cbReadWriteMiscType));
    int value = 0;
    QString line;
    if (word) {
        std::uint16_t v = 0;
        const auto narrowed = static_cast<std::uint16_t>(index);
        if (!FRemote->ReadMiscWord(v, type, narrowed)) {
            Log(QStringLiteral("Read failed"));
            return;
        }
        value = v;
        line = QString::asprintf("Read    (hex):  %4.4X @ %4.4X", v, narrowed);
    } else {
        std::uint8_t v = 0;
        const auto narrowed = static_cast<std::uint8_t>(index);
        if (!FRemote->ReadMiscByte(v, type, narrowed)) {
            Log(QStringLiteral("Read failed"));
            return;
        }
        value = v;
        line = QString::asprintf("Read    (hex):    %2.2X @   %2.2X", v, narrowed);
    }
    Log(line);
    edtReadWriteMiscData->setText(QString::number(value));
}

void TfrmMain::WriteMisc(bool word)
{
    std::int32_t index = 0;
    if (!ParseInteger(edtReadWriteMiscIndex->text().toStdString(), index)) {
        Log(QStringLiteral("Invalid index"));
        return;
    }
    std::int32_t data = 0;
    if (!ParseInteger(edtReadWriteMiscData->text().toStdString(), data)) {
        Log(QStringLiteral("Invalid data"));
        return;
    }
    const auto type = static_cast<std::uint8_t>(SelectedItem(cbReadWriteMiscType));
    if (word) {
        const auto v = static_cast<std::uint16_t>(data);
        const auto i = static_cast<std::uint16_t>(index);
        if (!FRemote->WriteMiscWord(v, type, i)) {
            Log(QStringLiteral("Write failed"));
            return;
        }
        Log(QString::asprintf("Written (hex):  %4.4X @ %4.4X", v, i));
    } else {
        const auto v = static_cast<std::uint8_t>(data);
        const auto i = static_cast<std::uint8_t>(index);
        if (!FRemote->WriteMiscByte(v, type, i)) {
            Log(QStringLiteral("Write failed"));
            return;
        }
        Log(QString::asprintf("Written (hex):    %2.2X @   %2.2X", v, i));
    }
}

void TfrmMain::btnReadMiscByteClick() { Guard([&] { ReadMisc(false); }); }
void TfrmMain::btnReadMiscWordClick() { Guard([&] { ReadMisc(true); }); }
void TfrmMain::btnWriteMiscByteClick() { Guard([&] { WriteMisc(false); }); }
void TfrmMain::btnWriteMiscWordClick() { Guard([&] { WriteMisc(true); }); }

// The hardware-feature registers exist only on architecture 12; the clock
// needs any known architecture, for its register layout.
bool TfrmMain::CheckArchitecture(bool needs12)
{
    const int architecture = FRemote->Architecture();
    if (needs12 ? architecture != 12 : architecture < 0) {
        Log(QLatin1String(ArchitectureLine));
        return false;
    }
    return true;
}

void TfrmMain::btnReadMiscHardwareFlagClick()
{
    Guard([&] {
        if (!CheckArchitecture(true)) return;
        std::uint16_t value = 0;
        if (!FRemote->ReadMiscWord(value, 12, 0)) {
            Log(QStringLiteral("Reading hardware flag"));
            return;
        }
        Log((value & 1) ? QStringLiteral("Hardware flag SET") : QStringLiteral("Hardware flag NOT SET"));
    });
}

void TfrmMain::btnReadMiscBatteryLevelClick()
{
    Guard([&] {
        if (!CheckArchitecture(true)) return;
        std::uint16_t millivolts = 0;
        if (!FRemote->ReadMiscWord(millivolts, 12, 1)) {
            Log(QStringLiteral("Reading battery level failed"));
            return;
        }
        const int percent = (std::clamp<int>(millivolts, 3500, 4100) - 3500) / 60 * 10;
        QLocale locale = QLocale::system();  // the user's decimal separator
        locale.setNumberOptions(QLocale::OmitGroupSeparator);
        const QString volts = locale.toString(millivolts / 1000.0, 'f', 3);
        Log(QStringLiteral("Battery level: %1 V (%2%)").arg(volts, 4).arg(percent));
    });
}

void TfrmMain::btnReadMiscTimeClick()
{
    Guard([&] {
        if (!CheckArchitecture(false)) return;
        const bool withDayOfWeek = FRemote->Architecture() >= 8;

        struct TField {
            const char* FailureLine;
            std::uint16_t Value = 0;
            bool Ok = false;
        };
        TField seconds{"Reading seconds failed"}, minutes{"Reading minutes failed"}, hours{"Reading hours failed"},
            day{"Reading day failed"}, dayOfWeek{"Reading day fo the week failed"}, month{"Reading month failed"},
            year{"Reading year failed"};
        std::vector<TField*> order{&seconds, &minutes, &hours, &day};
        if (withDayOfWeek) order.push_back(&dayOfWeek);
        order.push_back(&month);
        order.push_back(&year);

        for (std::size_t index = 0; index < order.size(); ++index) {
            TField& f = *order[index];
            f.Ok = FRemote->ReadMiscWord(f.Value, 1, static_cast<std::uint16_t>(index));
            if (!f.Ok) Log(QLatin1String(f.FailureLine));
        }

        // A register that could not be read shows as nines, which no clock
        // value can be mistaken for.
        auto shown = [](const TField& f, int offset, int failed) {
            return f.Ok ? static_cast<int>(static_cast<std::uint16_t>(f.Value + offset)) : failed;
        };
        Log(QString::asprintf("Data/time: %4.4d%2.2d%2.2dT%2.2d%2.2d%2.2d", shown(year, 2000, 9999),
                              shown(month, 1, 99), shown(day, 1, 99), shown(hours, 0, 99), shown(minutes, 0, 99),
                              shown(seconds, 0, 99)));
    });
}

void TfrmMain::btnWriteMiscTimeClick()
{
    Guard([&] {
        if (!CheckArchitecture(false)) return;
        const bool withDayOfWeek = FRemote->Architecture() >= 8;

        const QDateTime now = Now();
        const QDate date = now.date();
        const QTime time = now.time();
        // Qt counts Monday = 1 to Sunday = 7; the remote Sunday = 1 to Saturday = 7.
        const int dayOfWeek = date.dayOfWeek() % 7 + 1;

        struct TField {
            int Value;
            const char* FailureLine;
        };
        std::vector<TField> order{{time.second(), "Writing seconds failed"},
                                  {time.minute(), "Writing minutes failed"},
                                  {time.hour(), "Writing hours failed"},
                                  {date.day() - 1, "Writing day failed"}};
        if (withDayOfWeek) order.push_back({dayOfWeek, "Writing day fo the week failed"});
        order.push_back({date.month() - 1, "Writing month failed"});
        order.push_back({date.year() - 2000, "Writing year failed"});

        bool allWritten = true;
        for (std::size_t index = 0; index < order.size(); ++index) {
            if (!FRemote->WriteMiscWord(static_cast<std::uint16_t>(order[index].Value), 1,
                                        static_cast<std::uint16_t>(index))) {
                Log(QLatin1String(order[index].FailureLine));
                allWritten = false;
            }
        }
        // Claiming success after failed writes would tell the user a clock is
        // set that is not.
        if (allWritten) Log(QStringLiteral("Current date/time written"));
    });
}

// --- Flash ---------------------------------------------------------------------------

bool TfrmMain::ParseFlashIndex(std::uint32_t& address)
{
    // Any 64-bit number is taken and narrowed to 32 bits; the remote uses
    // the low 24 of them.
    std::int64_t index = 0;
    if (!ParseInteger64(edtReadWriteFlashIndex->text().toStdString(), index)) {
        Log(QStringLiteral("Invalid index"));
        return false;
    }
    address = static_cast<std::uint32_t>(index);
    return true;
}

bool TfrmMain::ParseFlashSize(std::uint16_t& size)
{
    std::int32_t value = 0;
    if (!ParseInteger(edtReadWriteFlashSize->text().toStdString(), value)) {
        Log(QStringLiteral("Invalid size"));
        return false;
    }
    size = static_cast<std::uint16_t>(value);
    return true;
}

void TfrmMain::btnReadFlashClick()
{
    Guard([&] {
        std::uint32_t address = 0;
        std::uint16_t size = 0;
        if (!ParseFlashIndex(address) || !ParseFlashSize(size))
            return;
        TByteArray data;
        if (!FRemote->ReadFlash(data, address, size)) {
            Log(QStringLiteral("Reading flash failed"));
            return;
        }
        QString pending = QStringLiteral("Flash dump (hex):");
        for (std::size_t i = 0; i < data.size(); ++i) {
            if (i % 16 == 0) {
                Log(pending);
                pending = QString::asprintf("%6.6X: %2.2X", static_cast<std::uint32_t>(address + i), data[i]);
            } else {
                pending += QString::asprintf(" %2.2X", data[i]);
            }
        }
        Log(pending);
    });
}

void TfrmMain::btnReadFlashAllClick()
{
    Guard([&] {
        if (Tag(btnReadFlashAll) != 0) {
            SetTag(btnReadFlashAll, 0);  // the running dump stops after its chunk
            return;
        }
        const QString fileName = DumpFileName(Now(), "flash");
        TOutFile file(fileName);  // failing here changes nothing else

        TLongOperation running(*this);
        TDumpDisplay display(*this, btnReadFlashAll);
        Log(QStringLiteral("Reading flash started, writing data to ") + fileName);

        std::uint32_t address = 0;
        bool lastReadOk = false;
        std::exception_ptr error;
        try {
            TByteArray data;
            for (;;) {
                lastReadOk = FRemote->ReadFlash(data, address, FlashChunk);
                if (!lastReadOk) {
                    Log(QStringLiteral("Read error"));
                    break;
                }
                if (data.empty()) break;  // the remote no longer answers: the end of its flash
                file.Write(data);
                address += static_cast<std::uint32_t>(data.size());
                // The flash has 24-bit addresses: reading on would only
                // return its first bytes again.
                if (!display.ChunkDone(address) || address >= FlashSize) break;
            }
        } catch (...) {
            error = std::current_exception();
        }

        try {
            file.Close();
        } catch (...) {
            if (!error) error = std::current_exception();
        }
        display.Finish(lastReadOk && !error, QStringLiteral("Read whole flash"));
        if (error) std::rethrow_exception(error);
    });
}

void TfrmMain::btnReadFlashPartsClick()
{
    Guard([&] {
        if (Tag(btnReadFlashParts) != 0) {
            SetTag(btnReadFlashParts, 0);
            return;
        }
        if (FRemote->Protocol() != 12) {
            Log(QStringLiteral("Only protocol 12 is supported"));
            return;
        }

        TLongOperation running(*this);
        TDumpDisplay display(*this, btnReadFlashParts);
        bool lastReadOk = false;
        quint64 total = 0;

        const QDateTime started = Now();  // one time stamp for all files of the run
        std::optional<TOutFile> file;
        std::exception_ptr error;
        try {
            TByteArray data;
            bool stop = false;
            for (const TPart& part : FlashParts) {
                const QString fileName = DumpFileName(started, part.Name);
                Log(QStringLiteral("Writing data to ") + fileName);
                file.emplace(fileName);

                std::int64_t remaining = part.Size;
                auto address = static_cast<std::uint32_t>(part.Start);
                while (remaining > 0) {
                    const auto chunk = static_cast<std::uint16_t>(std::min<std::int64_t>(remaining, FlashChunk));
                    // Success without data means the remote did not answer:
                    // those bytes are missing, so the region file is incomplete.
                    lastReadOk = FRemote->ReadFlash(data, address, chunk) && data.size() == chunk;
                    if (!lastReadOk) {
                        Log(QStringLiteral("Read error"));
                        stop = true;
                        break;
                    }
                    file->Write(data);
                    address += chunk;
                    remaining -= chunk;
                    total += chunk;
                    if (!display.ChunkDone(total)) {
                        stop = true;
                        break;
                    }
                }
                file->Close();
                file.reset();
                if (stop) break;
            }
        } catch (...) {
            error = std::current_exception();
        }

        if (file) {
            try {
                file->Close();
            } catch (...) {
                if (!error) error = std::current_exception();
            }
            file.reset();
        }
        display.Finish(lastReadOk && !error, QStringLiteral("Read parts flash"));
        if (error) std::rethrow_exception(error);
    });
}

void TfrmMain::btnEraseFlashSectorClick()
{
    Guard([&] {
        std::uint32_t sector = 0;
        if (!ParseFlashIndex(sector))
            return;
        if (!FRemote->EraseFlashSector(sector)) {
            Log(QStringLiteral("Erase flash sector failed"));
            return;
        }
        Log(QString::asprintf("Flash sector %d erased", static_cast<std::int32_t>(sector)));
    });
}

void TfrmMain::btnWriteFlashClick()
{
    Guard([&] {
        std::uint32_t address = 0;
        std::uint16_t size = 0;
        if (!ParseFlashIndex(address) || !ParseFlashSize(size))
            return;
        const TByteArray data(size, 0xAB);

        TLongOperation running(*this);  // the write dispatches events between its packets
        if (FRemote->WriteFlash(data, address, size))
            Log(QStringLiteral("Write flash success, but migth contain incorrect values if it was not erased!"));
        else
            Log(QStringLiteral("Write flash failed"));
    });
}

// --- Infrared ------------------------------------------------------------------------

void TfrmMain::btnIrcaptureClick()
{
    Guard([&] {
        if (Tag(btnIrcapture) != 0) {
            FRemote->Abort = true;  // the running capture stops at the end of its turn
            return;
        }
        Log(QStringLiteral("Starting capture"));

        TLongOperation running(*this);
        // The timer's ticks are the messages that keep the capture reading,
        // and they refresh the byte count: it runs for the whole capture.
        tmrUpdate->start();
        pbCapture->show();
        lblCaptureProgress->show();
        SetTag(btnIrcapture, 1);
        btnIrcapture->setText(QStringLiteral("End capture (learn)"));
        repaint();  // on screen before the capture holds the GUI thread

        TFinally idle([this] {
            tmrUpdate->stop();
            pbCapture->hide();
            lblCaptureProgress->hide();
            SetTag(btnIrcapture, 0);
            btnIrcapture->setText(QStringLiteral("Capture (learn)"));
        });

        TByteArray data;
        if (!FRemote->IrCapture(data)) {
            Log(QStringLiteral("IR capture failed"));
            return;
        }
        Log(QStringLiteral("IR capture success"));
        TOutFile file(QStringLiteral("CAPTURED.BIN"));
        file.Write(data);
        file.Close();
    });
}

void TfrmMain::tmrUpdateTimer()
{
    lblCaptureProgress->setText(QString::number(FRemote ? FRemote->Progress : 0));
}
