#pragma once
// The console's main window: the log, the connection display and the five
// function pages (Version, Reset, Miscellaneous, Flash, Infrared).
//
// Everything here runs on the GUI thread. Handlers run synchronously; the long
// operations (the two flash dumps, a flash write, an infrared capture) keep
// the window alive by processing events between their steps, so any handler
// can run nested inside one of them. The only guard is the running mark
// ("Tag") of the button that started a dump or a capture.

#include "QtEventLoop.h"

#include "../protocol/CorvaneInterface.h"

#include <QDateTime>
#include <QString>
#include <QStringList>
#include <QWidget>

#include <exception>
#include <functional>
#include <memory>

class QCloseEvent;
class QComboBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QTabWidget;
class QTimer;

class TfrmMain : public QWidget {
    Q_OBJECT

public:
    // Builds the window and runs FormCreate, which connects to the remote on
    // the given platform. The platform must outlive the window.
    explicit TfrmMain(IHidPlatform& platform, QWidget* parent = nullptr);
    // Runs FormDestroy.
    ~TfrmMain() override;

    TfrmMain(const TfrmMain&) = delete;
    TfrmMain& operator=(const TfrmMain&) = delete;

    // --- Hooks (tests replace them) -------------------------------------------

    // Local date and time, for the dump file names and for setting the clock.
    std::function<QDateTime()> Now;
    // A millisecond tick, for the dumps' transfer rate.
    std::function<quint64()> TickMs;
    // Shows an error that a handler did not handle itself (a file that cannot
    // be written, a failed consistency check of the protocol layer). The
    // default shows a message box; the window stays usable.
    std::function<void(const QString&)> ReportError;

    // --- Handlers ---------------------------------------------------------------
    // Each catches the errors of its own work and passes them to ReportError.

    void FormCreate();
    void FormDestroy();
    void UpdateConnectionState();
    void btnReinitializeUsbClick();
    void btnExitClick();

    // Version, Reset, Miscellaneous
    void btnVersionClick();
    void btnDecodedVersionClick();
    void btnResetClick();
    void btnReadMiscByteClick();
    void btnReadMiscWordClick();
    void btnWriteMiscByteClick();
    void btnWriteMiscWordClick();
    void btnReadMiscHardwareFlagClick();
    void btnReadMiscBatteryLevelClick();
    void btnReadMiscTimeClick();
    void btnWriteMiscTimeClick();

    // Flash
    void btnReadFlashClick();
    void btnReadFlashAllClick();
    void btnReadFlashPartsClick();
    void btnEraseFlashSectorClick();
    void btnWriteFlashClick();

    // Infrared
    void btnIrcaptureClick();
    void tmrUpdateTimer();

    // --- State, for tests -------------------------------------------------------

    // The running mark of a long-operation button: 0 idle, 1 running.
    static int Tag(const QPushButton* button);
    static void SetTag(QPushButton* button, int tag);

    // Every line appended to the log so far, oldest first.
    QStringList LogLines() const { return FLogLines; }

    // The connection (null only after FormDestroy).
    TCorvaneOne* Remote() const { return FRemote.get(); }

    // True while a dump, a flash write or a capture is on the stack.
    bool LongOperationRunning() const { return FLongDepth > 0; }

    // --- Controls (their objectName is the member's name) ------------------------

    QPushButton* btnExit;
    QPlainTextEdit* mmoInfo;
    QPushButton* btnReinitializeUsb;
    QTabWidget* pgFunctions;
    QTimer* tmrUpdate;

    QWidget* tsVersion;
    QPushButton* btnVersion;
    QPushButton* btnDecodedVersion;

    QWidget* tsReset;
    QPushButton* btnReset;
    QComboBox* cbResetType;
    QLabel* Label3;

    QWidget* tsMiscellaneous;
    QPushButton* btnReadMiscByte;
    QComboBox* cbReadWriteMiscType;
    QLineEdit* edtReadWriteMiscIndex;
    QLineEdit* edtReadWriteMiscData;
    QPushButton* btnReadMiscWord;
    QPushButton* btnReadMiscBatteryLevel;
    QPushButton* btnReadMiscHardwareFlag;
    QPushButton* btnReadMiscTime;
    QPushButton* btnWriteMiscByte;
    QPushButton* btnWriteMiscWord;
    QPushButton* btnWriteMiscTime;
    QLabel* Label2;
    QLabel* Label1;
    QLabel* Label4;

    QWidget* tsFlash;
    QPushButton* btnReadFlash;
    QLineEdit* edtReadWriteFlashIndex;
    QPushButton* btnWriteFlash;
    QLineEdit* edtReadWriteFlashSize;
    QPushButton* btnReadFlashAll;
    QProgressBar* pbReadFlash;
    QPushButton* btnEraseFlashSector;
    QPushButton* btnReadFlashParts;
    QLabel* Label5;
    QLabel* Label6;
    QLabel* lblFlashBytesRead;

    QWidget* tbIr;
    QPushButton* btnIrcapture;
    QProgressBar* pbCapture;
    QLabel* lblCaptureProgress;

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    class TLongOperation;
    class TDumpDisplay;

    void CreateControls();
    void ConnectHandlers();

    // Appends one line to the log and writes it to standard output.
    void Log(const QString& line);
    void LogOpenFailure();

    // Runs work; an error it raises goes to ReportError.
    template <typename F>
    void Guard(F&& work);

    // The index of the combo box's selected item: the item whose text is the
    // edit text; when there is none, item 0 is selected first.
    static int SelectedItem(QComboBox* box);

    // The Flash page's Index and Size boxes, narrowed to what is sent; a
    // text that does not parse logs "Invalid index" or "Invalid size".
    bool ParseFlashIndex(std::uint32_t& address);
    bool ParseFlashSize(std::uint16_t& size);

    void ReadMisc(bool word);
    void WriteMisc(bool word);
    bool CheckArchitecture(bool needs12);

    void ProcessMessages();

    IHidPlatform& FPlatform;
    TQtEventLoop FLoop;
    std::unique_ptr<TCorvaneOne> FRemote;
    QStringList FLogLines;
    int FLongDepth = 0;          // long operations on the stack
    bool FCloseRequested = false;  // a close arrived while one ran
};
