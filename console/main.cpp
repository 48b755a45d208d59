// corvane-console: the engineering console for the remote.
//
//   corvane-console              talk to the remote on this machine's USB
//   corvane-console --simulate   talk to a simulated remote instead
//   --device PATH                use that interface and no other
//   --trace FILE                 append every report, device event and log line to FILE
//   --sim-fault, --sim-flash, ... the simulated remote's options (with --simulate)
//   --replay TRACE               talk to a remote replayed from a trace instead
//
// Qt's own options (-platform offscreen, -style fusion, ...) pass to Qt.

#include "frmMain.h"

#include "../hid/HidPlatform.h"
#include "../hid/TimerResolution.h"
#include "../hid/TracePlatform.h"
#include "../sim/SimHidBus.h"
#include "../sim/SimRemote.h"
#include "../sim/TraceReplay.h"

#include <QApplication>
#include <QStringList>
#include <QTabWidget>
#include <QTimer>

#include <algorithm>
#include <array>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>

#ifdef _WIN32
#include <windows.h>
#endif

namespace {

const char* const Usage =
    "usage: corvane-console [--simulate [SIM OPTIONS] | --replay TRACE] [--device PATH]\n"
    "                       [--trace FILE] [Qt options]\n"
    "\n"
    "  --simulate      use a simulated remote inside the program instead of the\n"
    "                  remote attached over USB; it keeps the real one's pace (one\n"
    "                  report per millisecond each way, 45 ms per sector erase)\n"
#ifdef _WIN32
    "  --device PATH   use that interface (a device path as corvane-cli list shows\n"
    "                  it, or a simulated remote's path) and no other; without it\n"
    "                  the first remote found\n"
#else
    "  --device PATH   use that interface (a hidraw node, or a simulated remote's\n"
    "                  path) and no other; without it the first remote found\n"
#endif
    "  --trace FILE    append every report to and from the remote, and every\n"
    "                  arrival, removal, open, close and log line, one line\n"
    "                  each, to FILE\n"
    "  --replay TRACE  use a remote that answers as the remote recorded in TRACE\n"
    "                  (a --trace file) answered the same requests\n"
    "  --replay-timing paced|recorded\n"
    "                  send the recorded answers one per millisecond (paced, the\n"
    "                  default) or at their recorded spacing\n"
    "\n"
    "The simulated remote's options (only with --simulate):\n"
    "  --sim-flash FILE      its flash starts from FILE (exactly 16 MiB), or from\n"
    "                        the default content when FILE does not exist, and is\n"
    "                        saved back to FILE when the console ends (also on\n"
#ifdef _WIN32
    "                        Ctrl-C, Ctrl-Break or closing the console window)\n"
#else
    "                        Ctrl-C or SIGTERM)\n"
#endif
    "  --sim-erase-ms MS     a sector erase takes MS milliseconds (0 to 60000)\n"
    "  --sim-battery MV      the battery reads MV millivolts (default 3912)\n"
    "  --sim-fault NAME[=N]  inject a fault; repeatable; the names are corvane-sim's\n"
    "                        (corvane-sim --help or corvane-cli --help lists them)\n"
    "\n"
    "Qt's own options are passed to Qt, for example -platform offscreen or\n"
#ifdef _WIN32
    "-style fusion. With QT_QPA_PLATFORM=offscreen the console runs without a\n"
    "window and only writes its log to standard output.\n";
#else
    "-style fusion. The console needs a graphical session (DISPLAY or\n"
    "WAYLAND_DISPLAY); with QT_QPA_PLATFORM=offscreen it runs without a window\n"
    "and only writes its log to standard output.\n";
#endif

#ifndef _WIN32
const char* const NoSessionText =
    "corvane-console: no graphical session: neither DISPLAY nor WAYLAND_DISPLAY is set.\n"
    "The console is a window and needs one. Start it from a desktop session, over\n"
    "SSH with X forwarding (ssh -X), or with DISPLAY or WAYLAND_DISPLAY naming a\n"
    "running session (under sudo they are dropped: run it as the desktop user).\n"
    "To record a session's log without a window:\n"
    "    QT_QPA_PLATFORM=offscreen corvane-console --simulate | tee session.log\n";
#endif

// Qt's options that take a value (with one or two dashes, as Qt accepts
// them). Qt takes out what its platform uses; the rest is left to it too.
constexpr std::array<std::string_view, 20> QtValueOptions{
    "platform", "platformpluginpath", "platformtheme", "plugin", "qwindowgeometry", "geometry", "qwindowtitle",
    "title", "qwindowicon", "icon", "session", "display", "name", "style", "stylesheet", "visual", "ncols", "cmap",
    "im", "inputstyle"};

// "-platform" or "--platform" as "platform"; empty for anything else.
std::string_view QtOptionName(std::string_view arg)
{
    if (arg.size() < 2 || arg[0] != '-') return {};
    arg.remove_prefix(arg[1] == '-' ? 2 : 1);
    return arg;
}

bool TakesValue(std::string_view arg)
{
    const std::string_view name = QtOptionName(arg);
    return std::find(QtValueOptions.begin(), QtValueOptions.end(), name) != QtValueOptions.end();
}

#ifndef _WIN32
bool HasEnv(const char* name)
{
    const char* value = std::getenv(name);
    return value && *value;
}
#endif

volatile std::sig_atomic_t GQuitSignal = 0;

extern "C" void OnQuitSignal(int)
{
    GQuitSignal = 1;
}

#ifdef _WIN32
// Closing the console window, logging off and shutting down end a console
// program as soon as its control handler returns, or about 5 s after the
// event. The handler runs on a thread of its own: it asks the window to end
// as Ctrl-C does and holds the program until the flash is saved. Ctrl-Break,
// which the C runtime would let end the program, is taken the same way.
HANDLE GSavedEvent = nullptr;  // set once the flash file is written (or failed)

BOOL WINAPI OnConsoleEnd(DWORD event)
{
    if (event != CTRL_CLOSE_EVENT && event != CTRL_LOGOFF_EVENT && event != CTRL_SHUTDOWN_EVENT &&
        event != CTRL_BREAK_EVENT)
        return FALSE;  // Ctrl-C goes on to the C runtime's SIGINT
    GQuitSignal = 1;
    if (event != CTRL_BREAK_EVENT) ::WaitForSingleObject(GSavedEvent, 4500);
    return TRUE;
}
#endif

void InstallQuitSignals()
{
    std::signal(SIGINT, OnQuitSignal);
#ifdef SIGTERM
    std::signal(SIGTERM, OnQuitSignal);
#endif
#ifdef _WIN32
    GSavedEvent = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ::SetConsoleCtrlHandler(OnConsoleEnd, TRUE);
#endif
}

// The flash file is written: a console control handler waiting for it may
// let the program end.
void FlashSaved()
{
#ifdef _WIN32
    if (GSavedEvent) ::SetEvent(GSavedEvent);
#endif
}

struct TOptions {
    bool Simulate = false;
    TSimSetup Sim;              // --sim-...
    std::string SimOption;      // the first --sim-... option given
    std::string Device;
    std::string Trace;
    std::string Replay;
    bool ReplayRecorded = false;
    int Page = -1;              // undocumented: the page to show first (screenshots)
    bool QuitWhenUp = false;    // undocumented: quit once the event loop runs (tests)
    bool PlatformGiven = false; // -platform on the command line
};

// Our options among Qt's: anything with one dash that is not ours is Qt's,
// and a Qt option that takes a value takes the next argument with it.
// Returns false (and says why) for an argument neither ours nor Qt's.
template <typename TArgs>
bool ParseArguments(const TArgs& args, int count, TOptions& options)
{
    for (int i = 1; i < count; ++i) {
        const std::string_view arg = args(i);
        if (arg == "--simulate") {
            options.Simulate = true;
        } else if (arg.rfind("--sim-", 0) == 0 && IsSimOption(arg.substr(6))) {
            std::string error;
            if (i + 1 >= count) {
                error = std::string(arg) + " needs a value";
            } else if (SetSimOption(arg.substr(6), arg, args(++i), options.Sim, error).value_or(false)) {
                if (options.SimOption.empty()) options.SimOption = std::string(arg);
                continue;
            }
            std::fprintf(stderr, "corvane-console: %s\nTry 'corvane-console --help'.\n", error.c_str());
            return false;
        } else if (arg == "--quit-when-up") {
            options.QuitWhenUp = true;
        } else if (arg == "--device" || arg == "--trace" || arg == "--replay" || arg == "--replay-timing") {
            if (i + 1 >= count) {
                std::fprintf(stderr, "corvane-console: %.*s needs a value\n%s", static_cast<int>(arg.size()),
                             arg.data(), Usage);
                return false;
            }
            const std::string value(args(++i));
            if (arg == "--replay-timing") {
                if (value != "paced" && value != "recorded") {
                    std::fprintf(stderr, "corvane-console: --replay-timing takes paced or recorded\n%s", Usage);
                    return false;
                }
                options.ReplayRecorded = value == "recorded";
            } else {
                (arg == "--device" ? options.Device : arg == "--trace" ? options.Trace : options.Replay) = value;
            }
        } else if (arg == "--page") {
            if (i + 1 >= count) {
                std::fputs(Usage, stderr);
                return false;
            }
            char* end = nullptr;
            const std::string value(args(++i));
            options.Page = static_cast<int>(std::strtol(value.c_str(), &end, 10));
            if (value.empty() || *end != '\0') {
                std::fputs(Usage, stderr);
                return false;
            }
        } else if (TakesValue(arg)) {
            if (QtOptionName(arg) == "platform") options.PlatformGiven = true;
            ++i;
        } else if (arg.size() < 2 || arg[0] != '-' || arg[1] == '-') {
            std::fprintf(stderr, "corvane-console: unknown argument '%.*s'\n%s", static_cast<int>(arg.size()),
                         arg.data(), Usage);
            return false;
        }
        // else: a Qt option without a value (-reverse, -widgetcount, ...)
    }
    return true;
}

}  // namespace

int main(int argc, char** argv)
{
    // Every log line also goes to standard output; a reader that goes away
    // must not take the console with it.
#ifdef SIGPIPE  // Windows has no such signal: a write to a closed pipe just fails
    std::signal(SIGPIPE, SIG_IGN);
#endif

    // Answered before the GUI starts, so that they work without a display.
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::fputs(Usage, stdout);
            return 0;
        }
    }
    TOptions options;
    if (!ParseArguments([&](int i) { return std::string_view(argv[i]); }, argc, options)) return 2;
    if (!options.SimOption.empty() && !options.Simulate) {
        std::fprintf(stderr, "corvane-console: %s needs --simulate\nTry 'corvane-console --help'.\n",
                     options.SimOption.c_str());
        return 2;
    }
    if (options.Simulate && !options.Replay.empty()) {
        std::fprintf(stderr, "corvane-console: --simulate and --replay exclude each other\n%s", Usage);
        return 2;
    }

#ifndef _WIN32
    // Without a session Qt aborts with advice that does not apply; say what
    // is missing instead. (Windows has no such variables: its desktop is
    // always there for the program's windows.)
    if (!options.PlatformGiven && !HasEnv("DISPLAY") && !HasEnv("WAYLAND_DISPLAY") && !HasEnv("QT_QPA_PLATFORM")) {
        std::fputs(NoSessionText, stderr);
        return 1;
    }
#endif

    // Millisecond waits where the system would round them up (Windows).
    const TFineTimers fineTimers;

    // Both the platform and, when simulating, the remote live as long as the
    // program: the window's connection refers to them until it is destroyed.
    std::unique_ptr<IHidPlatform> platform;
    std::unique_ptr<TSimDemo> simulated;
    std::string error;
    if (options.Simulate) {
        simulated = TSimDemo::Create(options.Sim, error);
        if (!simulated) {
            std::fprintf(stderr, "corvane-console: %s\n", error.c_str());
            return 2;
        }
    } else if (!options.Replay.empty()) {
        // Read before the window starts; requests without a recorded answer
        // are told on standard error.
        platform = TTraceReplay::Open(
            options.Replay, options.ReplayRecorded ? TReplayTiming::Recorded : TReplayTiming::Paced,
            [](const std::string& message) { std::fprintf(stderr, "%s\n", message.c_str()); }, error);
        if (!platform) {
            std::fprintf(stderr, "corvane-console: %s\n", error.c_str());
            return 2;
        }
    } else {
        platform = CreateSystemHidPlatform();
    }
    IHidPlatform& chosen = simulated ? static_cast<IHidPlatform&>(simulated->Bus()) : *platform;
    std::unique_ptr<TTracePlatform> trace;
    if (!options.Trace.empty()) {
        trace = TTracePlatform::AppendToFile(chosen, options.Trace, error);
        if (!trace) {
            std::fprintf(stderr, "corvane-console: %s\n", error.c_str());
            return 1;
        }
        trace->WriteHeader("corvane-console", CORVANE_VERSION, std::vector<std::string>(argv + 1, argv + argc));
    }
    IHidPlatform& used = trace ? static_cast<IHidPlatform&>(*trace) : chosen;

    QApplication app(argc, argv);  // takes Qt's own options out of the arguments

    // What Qt left: ours again, and Qt options its platform did not use.
    const QStringList args = QApplication::arguments();
    std::vector<QByteArray> left;
    for (const QString& arg : args) left.push_back(arg.toLocal8Bit());
    TOptions remaining;
    if (!ParseArguments([&](int i) { return std::string_view(left[static_cast<std::size_t>(i)].constData()); },
                        static_cast<int>(left.size()), remaining))
        return 2;

    int result = 0;
    {
        std::function<void(const std::string&)> logTap;
        if (trace) logTap = [&trace](const std::string& line) { trace->Log(line); };
        TfrmMain frmMain(used, options.Device, nullptr, logTap);
        if (options.Page >= 0 && options.Page < frmMain.pgFunctions->count())
            frmMain.pgFunctions->setCurrentIndex(options.Page);
        frmMain.show();
        if (options.QuitWhenUp) QTimer::singleShot(0, &app, &QCoreApplication::quit);
        // With a flash file, Ctrl-C and SIGTERM (on Windows also Ctrl-Break
        // and closing the console window) close the window instead of killing
        // the program, so that the flash is saved.
        QTimer quitOnSignal;
        if (simulated && !simulated->FlashFile().empty()) {
            InstallQuitSignals();
            QObject::connect(&quitOnSignal, &QTimer::timeout, &app, [] {
                if (GQuitSignal) QCoreApplication::quit();
            });
            quitOnSignal.start(100);
        }
        result = QApplication::exec();
    }
    if (simulated && !simulated->Save(error)) {
        std::fprintf(stderr, "corvane-console: %s\n", error.c_str());
        if (result == 0) result = 1;
    }
    std::fflush(nullptr);
    FlashSaved();
    return result;
}
