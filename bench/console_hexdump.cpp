// console_hexdump: how long the window takes to show a 65,535-byte hex dump
// (4,097 log lines) once the transfer has ended.
//
// The real TfrmMain, shown (offscreen unless QT_QPA_PLATFORM says otherwise),
// on the simulated remote, paced like the real one. Each run presses Read
// with Size 65535 and measures from the log's first change (the transfer and
// the formatting are done by then) until the new lines are painted: the
// append to the log control, the scroll and the standard output mirror
// (to /dev/null here). On the same connection it also runs the same read into
// a sink that drops the lines, for the transfer's own time. For comparison it
// appends the same 4,097 lines one at a time to a log control of the same
// kind, as the window did before.
//
//   console_hexdump [--runs N]

#include "Operations.h"
#include "SimRemote.h"
#include "frmMain.h"

#include <QApplication>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTabWidget>
#include <QTextDocument>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

namespace {

using TClock = std::chrono::steady_clock;

double Seconds(TClock::duration d)
{
    return std::chrono::duration<double>(d).count();
}

double Median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

struct TDropSink : ops::IOpsSink {
    std::size_t Count = 0;
    void Line(const std::string&) override { ++Count; }
    void Lines(const std::vector<std::string>& lines) override { Count += lines.size(); }
    void Progress(const ops::TProgress&) override {}
    bool KeepGoing() override { return true; }
};

// Standard output to /dev/null while it lives: the window mirrors every
// line there, and a terminal would be measured instead of the window.
class TQuietStdout {
public:
    TQuietStdout()
    {
        std::fflush(stdout);
        FSaved = dup(STDOUT_FILENO);
        const int null = open("/dev/null", O_WRONLY);
        dup2(null, STDOUT_FILENO);
        close(null);
    }
    ~TQuietStdout()
    {
        std::fflush(stdout);
        dup2(FSaved, STDOUT_FILENO);
        close(FSaved);
    }

private:
    int FSaved;
};

}  // namespace

int main(int argc, char** argv)
{
    int runs = 5;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--runs") == 0 && i + 1 < argc) {
            runs = std::max(1, std::atoi(argv[++i]));
        } else {
            std::fprintf(stderr, "usage: console_hexdump [--runs N]\n");
            return 2;
        }
    }
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);

    TSimHidBus bus;
    auto remote = TSimRemote::Demo();
    remote->SetPaced(true);
    bus.Plug(remote);

    std::vector<double> click, shown, transfer, oneByOne;
    std::size_t lines = 0;
    {
        TQuietStdout quiet;
        TfrmMain form(bus);
        TClock::time_point firstChange{};
        QObject::connect(form.mmoInfo->document(), &QTextDocument::contentsChange, [&] {
            if (firstChange == TClock::time_point{}) firstChange = TClock::now();
        });
        form.show();
        form.pgFunctions->setCurrentWidget(form.tsFlash);
        form.edtReadWriteFlashIndex->setText(QStringLiteral("0"));
        form.edtReadWriteFlashSize->setText(QStringLiteral("65535"));
        QApplication::processEvents();

        ops::TSystemClock clock;
        ops::TDiskFiles files;
        for (int run = 0; run < runs; ++run) {
            const qsizetype before = form.LogLines().size();
            firstChange = {};
            auto start = TClock::now();
            form.btnReadFlashClick();
            QApplication::processEvents();  // the paint of the new lines
            const auto end = TClock::now();
            click.push_back(Seconds(end - start));
            shown.push_back(Seconds(end - firstChange));
            lines = static_cast<std::size_t>(form.LogLines().size() - before);

            TDropSink sink;
            ops::TOpsContext ctx{*form.Remote(), sink, clock, files};
            start = TClock::now();
            ops::ReadFlash(ctx, 0, 65535);
            transfer.push_back(Seconds(TClock::now() - start));
        }

        // The same lines appended one at a time, each scrolled into view and
        // written to standard output on its own.
        const QStringList dump = form.LogLines().mid(form.LogLines().size() - static_cast<qsizetype>(lines));
        QPlainTextEdit log(&form);
        log.setGeometry(form.mmoInfo->geometry());
        log.setFont(form.mmoInfo->font());
        log.show();
        for (int run = 0; run < std::min(runs, 3); ++run) {
            log.clear();
            const auto start = TClock::now();
            for (const QString& line : dump) {
                log.appendPlainText(line);
                log.verticalScrollBar()->setValue(log.verticalScrollBar()->maximum());
                const QByteArray bytes = line.toLocal8Bit() + '\n';
                std::fwrite(bytes.constData(), 1, static_cast<std::size_t>(bytes.size()), stdout);
                std::fflush(stdout);
            }
            QApplication::processEvents();
            oneByOne.push_back(Seconds(TClock::now() - start));
        }
    }

    std::printf("hex dump of 65,535 bytes: %zu log lines, median of %d runs\n", lines, runs);
    std::printf("  Read pressed until painted:       %.3f s\n", Median(click));
    std::printf("  the same read, lines dropped:     %.3f s (transfer and formatting)\n", Median(transfer));
    std::printf("  shown after the transfer:         %.3f s (one block: log, scroll, stdout, paint)\n",
                Median(shown));
    std::printf("  one line at a time, for comparison: %.3f s\n", Median(oneByOne));
    return lines == 4097 ? 0 : 1;
}
