#include "TraceReplay.h"

#include "RemoteDescriptor.h"
#include "../hid/TracePlatform.h"
#include "../protocol/UsbIds.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <set>
#include <sstream>
#include <system_error>
#include <thread>

namespace {

// The register write of the clock: header 0xA5 (write, five payload bytes),
// type 1, a 16-bit index, a 16-bit value. Offsets count the report-ID byte.
constexpr std::uint8_t ClockWriteHeader = 0xA5;
constexpr std::uint8_t ClockType = 1;
constexpr std::size_t ValueOffset = 6;  // the value's two bytes

bool IsClockWrite(const TByteArray& report)
{
    return report.size() > ValueOffset + 1 && report[1] == ClockWriteHeader && report[2] == ClockType;
}

bool Matches(const TByteArray& request, const TByteArray& recorded)
{
    if (request.size() != recorded.size())
        return false;
    if (IsClockWrite(request) && IsClockWrite(recorded)) {
        for (std::size_t i = 0; i < request.size(); ++i)
            if (i != ValueOffset && i != ValueOffset + 1 && request[i] != recorded[i])
                return false;
        return true;
    }
    return request == recorded;
}

std::string Hex(const TByteArray& bytes)
{
    static constexpr char Digits[] = "0123456789ABCDEF";
    std::string text;
    for (std::uint8_t b : bytes) {
        if (!text.empty())
            text += ' ';
        text += Digits[b >> 4];
        text += Digits[b & 0x0F];
    }
    return text;
}

int HexDigit(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// "00 10 FF": two hex digits a byte, one space between.
bool ParseHex(const std::string& text, TByteArray& bytes)
{
    bytes.clear();
    std::istringstream in(text);
    std::string word;
    while (in >> word) {
        if (word.size() != 2 || HexDigit(word[0]) < 0 || HexDigit(word[1]) < 0)
            return false;
        bytes.push_back(static_cast<std::uint8_t>(HexDigit(word[0]) << 4 | HexDigit(word[1])));
    }
    return true;
}

// "12.345678" as microseconds.
bool ParseTime(const std::string& text, std::chrono::microseconds& time)
{
    if (text.empty() || !std::isdigit(static_cast<unsigned char>(text[0])))
        return false;
    char* end = nullptr;
    errno = 0;
    const double seconds = std::strtod(text.c_str(), &end);
    // Beyond a year a trace's clock is no clock (and the microseconds would
    // not fit).
    if (errno != 0 || *end != '\0' || seconds < 0 || seconds > 366.0 * 24 * 3600)
        return false;
    time = std::chrono::microseconds(static_cast<std::int64_t>(seconds * 1e6 + 0.5));
    return true;
}

struct TLine {
    int Number = 0;
    std::string Text;
    std::chrono::microseconds Time{0};
    std::string Kind;  // EV, TX, RX, HDR, LOG
    std::string Rest;  // after the kind and one space
};

}  // namespace

// ---------------------------------------------------------------------------
// Reading a trace
// ---------------------------------------------------------------------------

bool TTraceRecording::Load(const std::string& path, TTraceRecording& recording, std::string& error)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = "Cannot open trace file " + path + ": " + std::generic_category().message(errno);
        return false;
    }
    return Parse(in, path, recording, error);
}

bool TTraceRecording::Parse(std::istream& in, const std::string& name, TTraceRecording& recording,
                            std::string& error)
{
    auto refuse = [&](const TLine& line, const std::string& reason) {
        error = "Bad trace " + name + ", line " + std::to_string(line.Number) + ": " + reason + ": " + line.Text;
        return false;
    };

    // Every line first, so that the header, wherever it stands, sets the
    // lengths the reports are checked against.
    std::vector<TLine> lines;
    std::string text;
    int number = 0;
    while (std::getline(in, text)) {
        ++number;
        if (!text.empty() && text.back() == '\r')
            text.pop_back();
        if (text.find_first_not_of(" \t") == std::string::npos)
            continue;
        TLine line;
        line.Number = number;
        line.Text = text;
        const std::size_t space = text.find(' ');
        if (space == std::string::npos || !ParseTime(text.substr(0, space), line.Time))
            return refuse(line, "not a trace line");
        const std::size_t kindEnd = text.find(' ', space + 1);
        line.Kind = text.substr(space + 1, kindEnd == std::string::npos ? std::string::npos : kindEnd - space - 1);
        line.Rest = kindEnd == std::string::npos ? std::string() : text.substr(kindEnd + 1);
        static const std::set<std::string> Kinds{"EV", "TX", "RX", "HDR", "LOG", "EXIT"};
        if (!Kinds.count(line.Kind))
            return refuse(line, "not a trace line");
        lines.push_back(std::move(line));
    }
    if (in.bad()) {
        error = "Cannot read trace file " + name;
        return false;
    }
    if (lines.empty()) {
        error = "Bad trace " + name + ": no trace lines in it";
        return false;
    }

    TTraceRecording result;
    result.VendorId = CORVANE_USB_IDS.VendorId;
    result.ProductId = CORVANE_USB_IDS.ProductId;
    result.Descriptor.assign(std::begin(SimRemoteDescriptor), std::end(SimRemoteDescriptor));

    // The device header: the remote's if the trace has one for it, else the
    // first device's. "HDR device PATH vvvv:pppp input N output N" and
    // "HDR descriptor PATH HEX".
    struct TDevice {
        std::string Path;
        unsigned Vendor = 0, Product = 0;
        int Input = 0, Output = 0;
    };
    std::vector<TDevice> devices;
    for (const TLine& line : lines) {
        if (line.Kind != "HDR" || line.Rest.rfind("device ", 0) != 0)
            continue;
        std::istringstream words(line.Rest.substr(7));
        TDevice device;
        std::string ids, inputWord, outputWord;
        if (!(words >> device.Path >> ids >> inputWord >> device.Input >> outputWord >> device.Output) ||
            inputWord != "input" || outputWord != "output" ||
            std::sscanf(ids.c_str(), "%4x:%4x", &device.Vendor, &device.Product) != 2 || device.Input < 1 ||
            device.Output < 1 || device.Input > 65536 || device.Output > 65536)
            return refuse(line, "malformed device header");
        devices.push_back(device);
    }
    const TDevice* chosen = nullptr;
    for (const TDevice& device : devices)
        if (!chosen && device.Vendor == CORVANE_USB_IDS.VendorId && device.Product == CORVANE_USB_IDS.ProductId)
            chosen = &device;
    if (!chosen && !devices.empty())
        chosen = &devices.front();
    if (chosen) {
        result.VendorId = static_cast<std::uint16_t>(chosen->Vendor);
        result.ProductId = static_cast<std::uint16_t>(chosen->Product);
        result.InputLength = chosen->Input;
        result.OutputLength = chosen->Output;
        for (const TLine& line : lines) {
            const std::string prefix = "descriptor " + chosen->Path + " ";
            if (line.Kind == "HDR" && line.Rest.rfind(prefix, 0) == 0) {
                if (!ParseHex(line.Rest.substr(prefix.size()), result.Descriptor) || result.Descriptor.empty())
                    return refuse(line, "malformed descriptor header");
                break;
            }
        }
    }

    // The request that the following answers belong to (an index: the
    // vector grows).
    std::size_t current = SIZE_MAX;
    constexpr std::chrono::microseconds Zero{0};
    for (const TLine& line : lines) {
        if (line.Kind == "EV" && line.Rest.rfind("trace started", 0) == 0) {
            result.Sessions.emplace_back();
            current = SIZE_MAX;
            continue;
        }
        if (result.Sessions.empty())
            result.Sessions.emplace_back();  // a trace cut before its first line
        TSession& session = result.Sessions.back();
        if (line.Kind == "HDR" && line.Rest.rfind("command ", 0) == 0) {
            session.Command = TTracePlatform::SplitCommandLine(line.Rest.substr(8));
        } else if (line.Kind == "LOG") {
            session.Log.push_back(line.Rest);
        } else if (line.Kind == "EXIT") {
            char* end = nullptr;
            session.Exit = static_cast<int>(std::strtol(line.Rest.c_str(), &end, 10));
            if (line.Rest.empty() || *end != '\0')
                return refuse(line, "malformed exit code");
        } else if (line.Kind == "TX" || line.Kind == "RX") {
            TByteArray report;
            if (!ParseHex(line.Rest, report) || report.empty())
                return refuse(line, "malformed report");
            const bool tx = line.Kind == "TX";
            const std::size_t expected = static_cast<std::size_t>(tx ? result.OutputLength : result.InputLength);
            if (report.size() != expected)
                return refuse(line, "report of " + std::to_string(report.size()) + " bytes, expected " +
                                        std::to_string(expected));
            if (tx) {
                result.Exchanges.push_back({report, line.Number, line.Text, line.Time, {}});
                current = result.Exchanges.size() - 1;
            } else if (current != SIZE_MAX) {
                // Replies always follow a request; a report before the
                // session's first request (a stray one) has nothing to follow.
                TExchange& exchange = result.Exchanges[current];
                exchange.Answers.push_back({report, std::max(line.Time - exchange.Time, Zero), false});
            }
        } else if (line.Kind == "EV" && line.Rest.rfind("removal", 0) == 0 && current != SIZE_MAX) {
            TExchange& exchange = result.Exchanges[current];
            exchange.Answers.push_back({{}, std::max(line.Time - exchange.Time, Zero), true});
            current = SIZE_MAX;  // nothing more comes from a remote that went
        }
    }
    recording = std::move(result);
    error.clear();
    return true;
}

// ---------------------------------------------------------------------------
// The replayed remote
// ---------------------------------------------------------------------------

class TTraceReplay::TRemote : public TSimHidDevice {
public:
    TRemote(TTraceRecording recording, TReplayTiming timing, std::function<void(const std::string&)> onMessage)
        : TSimHidDevice(recording.VendorId, recording.ProductId, recording.InputLength, recording.OutputLength),
          FRecording(std::move(recording)),
          FTiming(timing),
          FOnMessage(std::move(onMessage)),
          FUsed(FRecording.Exchanges.size(), false),
          FThread([this] { Run(); })
    {
        SetReportDescriptor(FRecording.Descriptor);
    }

    ~TRemote() override { Stop(); }

    void Stop()
    {
        {
            std::lock_guard lock(FMutex);
            FStop = true;
        }
        FWake.notify_all();
        if (FThread.joinable())
            FThread.join();
    }

    void OnOutputReport(const TByteArray& report) override
    {
        std::string message;
        {
            std::lock_guard lock(FMutex);
            if (FGone)
                return;
            const TTraceRecording::TExchange* match = nullptr;
            for (std::size_t i = 0; i < FRecording.Exchanges.size() && !match; ++i) {
                if (!FUsed[i] && Matches(report, FRecording.Exchanges[i].Request)) {
                    FUsed[i] = true;
                    match = &FRecording.Exchanges[i];
                }
            }
            if (match) {
                Schedule(*match);
            } else if (FReported.insert(report).second) {
                message = NoAnswerText(report);
                FMessages.push_back(message);
            }
        }
        FWake.notify_all();
        if (!message.empty() && FOnMessage)
            FOnMessage(message);
    }

    void OnUnplugged() override
    {
        std::lock_guard lock(FMutex);
        FGone = true;
        FPending.clear();
        FIdle.notify_all();
    }

    std::vector<std::string> Messages() const
    {
        std::lock_guard lock(FMutex);
        return FMessages;
    }

    bool WaitIdle(std::chrono::milliseconds limit)
    {
        std::unique_lock lock(FMutex);
        return FIdle.wait_for(lock, limit, [&] { return FPending.empty() && !FSending; });
    }

    const TTraceRecording& Recording() const { return FRecording; }

private:
    using TClock = std::chrono::steady_clock;
    struct TPending {
        TClock::time_point Due;
        TByteArray Report;
        bool Removal;
    };

    // Under FMutex.
    void Schedule(const TTraceRecording::TExchange& exchange)
    {
        const TClock::time_point now = TClock::now();
        TClock::time_point due = std::max(now, FLastDue);
        for (const auto& answer : exchange.Answers) {
            if (FTiming == TReplayTiming::Recorded)
                due = std::max(FLastDue, now + answer.After);
            else if (!answer.Removal)
                due = std::max(due, FLastDue + std::chrono::milliseconds(1));
            FPending.push_back({due, answer.Report, answer.Removal});
            FLastDue = due;
        }
    }

    // Under FMutex.
    std::string NoAnswerText(const TByteArray& report) const
    {
        std::string text = "replay: no recorded answer for TX " + Hex(report);
        // The nearest recorded request: the most bytes in common.
        const TTraceRecording::TExchange* nearest = nullptr;
        std::size_t best = 0;
        for (const auto& exchange : FRecording.Exchanges) {
            std::size_t same = 0;
            for (std::size_t i = 0; i < std::min(report.size(), exchange.Request.size()); ++i)
                same += report[i] == exchange.Request[i];
            if (!nearest || same > best) {
                nearest = &exchange;
                best = same;
            }
        }
        if (nearest)
            text += "; nearest is line " + std::to_string(nearest->Line) + ": " + nearest->Text;
        else
            text += "; the trace records no request";
        return text;
    }

    void Run()
    {
        std::unique_lock lock(FMutex);
        for (;;) {
            if (FStop)
                return;
            if (FPending.empty()) {
                FIdle.notify_all();
                FWake.wait(lock);
                continue;
            }
            const TClock::time_point due = FPending.front().Due;
            if (TClock::now() < due) {
                FWake.wait_until(lock, due);
                continue;
            }
            TPending next = std::move(FPending.front());
            FPending.pop_front();
            FSending = true;
            lock.unlock();
            // Outside the lock: sending waits for room in the readers' queues,
            // and unplugging calls OnUnplugged.
            if (next.Removal)
                UnplugSelf();
            else
                SendInput(next.Report);
            lock.lock();
            FSending = false;
        }
    }

    const TTraceRecording FRecording;
    const TReplayTiming FTiming;
    const std::function<void(const std::string&)> FOnMessage;

    mutable std::mutex FMutex;
    std::condition_variable FWake;
    std::condition_variable FIdle;
    std::vector<bool> FUsed;
    std::set<TByteArray> FReported;
    std::vector<std::string> FMessages;
    std::deque<TPending> FPending;
    TClock::time_point FLastDue{};
    bool FSending = false;
    bool FGone = false;
    bool FStop = false;
    std::thread FThread;  // last: it starts on a complete object
};

// ---------------------------------------------------------------------------
// TTraceReplay
// ---------------------------------------------------------------------------

TTraceReplay::TTraceReplay(TTraceRecording recording, TReplayTiming timing,
                           std::function<void(const std::string&)> onMessage)
    : FRemote(std::make_shared<TRemote>(std::move(recording), timing, std::move(onMessage)))
{
    FBus.Plug(FRemote);
}

TTraceReplay::~TTraceReplay()
{
    // Nothing may be sent to a bus that is going.
    FRemote->Stop();
}

std::unique_ptr<TTraceReplay> TTraceReplay::Open(const std::string& path, TReplayTiming timing,
                                                 std::function<void(const std::string&)> onMessage,
                                                 std::string& error)
{
    TTraceRecording recording;
    if (!TTraceRecording::Load(path, recording, error))
        return nullptr;
    return std::make_unique<TTraceReplay>(std::move(recording), timing, std::move(onMessage));
}

const TTraceRecording& TTraceReplay::Recording() const
{
    return FRemote->Recording();
}

std::vector<std::string> TTraceReplay::Messages() const
{
    return FRemote->Messages();
}

bool TTraceReplay::WaitIdle(std::chrono::milliseconds limit)
{
    return FRemote->WaitIdle(limit);
}

std::vector<THidInterfaceInfo> TTraceReplay::Enumerate()
{
    return FBus.Enumerate();
}

std::unique_ptr<IHidHandle> TTraceReplay::Open(const std::string& path, std::error_code& error)
{
    return FBus.Open(path, error);
}

std::unique_ptr<IHotplugWatch> TTraceReplay::Watch(IGuiEventLoop& loop,
                                                   std::function<void(const THotplugEvent&)> callback)
{
    return FBus.Watch(loop, std::move(callback));
}
