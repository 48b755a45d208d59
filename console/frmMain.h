#pragma once
// The console's main window: the log, the connection display and the five
// function pages (Version, Reset, Miscellaneous, Flash, Infrared).
//
// Everything here runs on the GUI thread. Handlers run synchronously; the long
// operations (the two flash dumps, a flash write, an infrared capture) keep
// the window alive by processing events between their steps, so any handler
// can run nested inside one of them. The only guard is the running mark
// ("Tag") of the button that started a dump or a capture.
//
// What each page action does on the remote and how its log lines read is in
// ops/Operations.h; the handlers here take the controls' values, call the
// operation and show what it reports. The source is split by page:
// frmMain.cpp holds the frame, the log and the connection, pageVersion.cpp,
// pageReset.cpp, pageMiscellaneous.cpp, pageFlash.cpp and pageInfrared.cpp
// one page each (its controls and its handlers).

#include "QtEventLoop.h"

#include "../ops/Operations.h"
#include "../protocol/CorvaneInterface.h"

#include <QDateTime>
#include <QString>
#include <QStringList>
#include <QWidget>

#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <vector>

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
    // the given platform. The platform must outlive the window. A consistency
    // error of that first connection is passed to ReportError once the event
    // loop runs (after the caller has had the chance to replace it).
    // With a devicePath the connection uses that interface and no other.
    // logTap receives every log line as it is logged, from the first (the
    // program's trace keeps them).
    explicit TfrmMain(IHidPlatform& platform, std::string devicePath = {}, QWidget* parent = nullptr,
                      std::function<void(const std::string&)> logTap = {});
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
    class TCaptureDisplay;

    // What the operations report through: lines into the log, progress and
    // the keep-going question to the display of the running operation.
    class TSink final : public ops::IOpsSink {
    public:
        explicit TSink(TfrmMain& form) : FForm(form) {}
        void Line(const std::string& line) override;
        void Lines(const std::vector<std::string>& lines) override;
        void Progress(const ops::TProgress& progress) override;
        bool KeepGoing() override;

        std::function<void(const ops::TProgress&)> OnProgress;
        std::function<bool()> OnKeepGoing;

    private:
        TfrmMain& FForm;
    };

    // The Now and TickMs hooks, as the operations' clock.
    class TClock final : public ops::IOpsClock {
    public:
        explicit TClock(TfrmMain& form) : FForm(form) {}
        ops::TLocalTime Now() override;
        std::uint64_t TickMs() override;

    private:
        TfrmMain& FForm;
    };

    void CreateControls();
    void ConnectHandlers();
    // Each page's controls and handlers; returns its controls in tab order.
    std::vector<QWidget*> CreateVersionPage();
    std::vector<QWidget*> CreateResetPage();
    std::vector<QWidget*> CreateMiscellaneousPage();
    std::vector<QWidget*> CreateFlashPage();
    std::vector<QWidget*> CreateInfraredPage();

    // Appends one line to the log and writes it to standard output.
    void Log(const QString& line);
    // Appends lines at once: one append to the log control and one write to
    // standard output, however many lines (a hex dump has thousands).
    void LogBlock(const std::vector<std::string>& lines);
    void WriteStandardOutput(const QString& text);

    // The context an operation runs in, reporting through sink.
    ops::TOpsContext Context(TSink& sink);
    // Runs operation(context) under Guard, with a sink of its own.
    template <typename F>
    void RunOperation(F&& operation);
    // A dump button's handler: a second press stops the running dump;
    // otherwise runs dump with the running display on button.
    void RunDump(QPushButton* button, const char* idleCaption,
                 const std::function<ops::TDumpResult(ops::TOpsContext&)>& dump);
    // A file the operation could not create or write goes to ReportError.
    void ReportFileError(const ops::TResult& result);

    // Runs work; an error it raises goes to ReportError.
    template <typename F>
    void Guard(F&& work);

    // The index of the combo box's selected item: the item whose text is the
    // edit text; when there is none, item 0 is selected first.
    static int SelectedItem(QComboBox* box);

    void ReadMisc(bool word);
    void WriteMisc(bool word);

    void ProcessMessages();

    IHidPlatform& FPlatform;
    std::string FDevicePath;
    TQtEventLoop FLoop;
    TClock FClock{*this};
    ops::TDiskFiles FFiles;  // the current directory
    std::unique_ptr<TCorvaneOne> FRemote;
    QStringList FLogLines;
    std::function<void(const std::string&)> FLogTap;
    int FLongDepth = 0;          // long operations on the stack
    bool FCloseRequested = false;  // a close arrived while one ran
};
