// corvane-console: the engineering console for the remote.
//
//   corvane-console              talk to the remote on this machine's USB
//   corvane-console --simulate   talk to a simulated remote instead

#include "frmMain.h"

#include "../hid/HidPlatform.h"
#include "../sim/SimHidBus.h"
#include "../sim/SimRemote.h"

#include <QApplication>
#include <QStringList>
#include <QTabWidget>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>

namespace {

const char* const Usage = "usage: corvane-console [--simulate]\n";

}  // namespace

int main(int argc, char** argv)
{
    // Every log line also goes to standard output; a reader that goes away
    // must not take the console with it.
#ifdef SIGPIPE  // Windows has no such signal: a write to a closed pipe just fails
    std::signal(SIGPIPE, SIG_IGN);
#endif

    // Answered before the GUI starts, so that they work without a display.
    // Qt's own options begin with a single dash and are left to Qt.
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        if (std::strcmp(arg, "--help") == 0 || std::strcmp(arg, "-h") == 0) {
            std::fputs(Usage, stdout);
            return 0;
        }
        if (std::strcmp(arg, "--page") == 0) {
            ++i;
            continue;
        }
        if (std::strcmp(arg, "--simulate") != 0 && (arg[0] != '-' || arg[1] == '-')) {
            std::fprintf(stderr, "corvane-console: unknown argument '%s'\n%s", arg, Usage);
            return 2;
        }
    }

    QApplication app(argc, argv);  // takes Qt's own options (-platform, ...) out of the arguments

    bool simulate = false;
    int page = -1;  // undocumented: the page to show first (screenshots)
    const QStringList args = QApplication::arguments();
    for (qsizetype i = 1; i < args.size(); ++i) {
        if (args[i] == QLatin1String("--simulate")) {
            simulate = true;
        } else if (args[i] == QLatin1String("--page") && i + 1 < args.size()) {
            bool ok = false;
            page = args[++i].toInt(&ok);
            if (!ok) {
                std::fputs(Usage, stderr);
                return 2;
            }
        } else {
            std::fprintf(stderr, "corvane-console: unknown argument '%s'\n%s", args[i].toLocal8Bit().constData(),
                         Usage);
            return 2;
        }
    }

    // Both the platform and, when simulating, the remote live as long as the
    // program: the window's connection refers to them until it is destroyed.
    std::unique_ptr<IHidPlatform> platform;
    std::shared_ptr<TSimRemote> remote;
    if (simulate) {
        auto bus = std::make_unique<TSimHidBus>();
        remote = TSimRemote::Demo();
        bus->Plug(remote);
        platform = std::move(bus);
    } else {
        platform = CreateSystemHidPlatform();
    }

    int result = 0;
    {
        TfrmMain frmMain(*platform);
        if (page >= 0 && page < frmMain.pgFunctions->count()) frmMain.pgFunctions->setCurrentIndex(page);
        frmMain.show();
        result = QApplication::exec();
    }
    return result;
}
