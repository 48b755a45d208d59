#include "TracePlatform.h"

#include <cerrno>
#include <cinttypes>
#include <cstring>
#include <ctime>
#include <system_error>

#ifndef _WIN32
#include <fcntl.h>
#include <unistd.h>
#endif

// ---------------------------------------------------------------------------
// A traced handle
// ---------------------------------------------------------------------------

class TTracePlatform::TTraceHandle : public IHidHandle {
public:
    TTraceHandle(TTracePlatform& trace, std::unique_ptr<IHidHandle> inner, std::string path)
        : FTrace(trace), FInner(std::move(inner)), FPath(std::move(path))
    {
    }

    ~TTraceHandle() override
    {
        // The line follows the close itself.
        FInner.reset();
        FTrace.WriteLine("EV close " + FPath);
    }

    bool GetAttributes(std::uint16_t& vendorId, std::uint16_t& productId) override
    {
        return FInner->GetAttributes(vendorId, productId);
    }

    bool GetReportLengths(int& inputLength, int& outputLength) override
    {
        return FInner->GetReportLengths(inputLength, outputLength);
    }

    bool GetReportDescriptor(std::vector<std::uint8_t>& descriptor) override
    {
        return FInner->GetReportDescriptor(descriptor);
    }

    long Write(const std::uint8_t* data, std::size_t length) override
    {
        FTrace.WriteLine(FormatReport("TX", data, length));
        const long written = FInner->Write(data, length);
        if (written != static_cast<long>(length))
            FTrace.WriteLine("EV write failed " + FPath);
        return written;
    }

    THidReadStatus Read(std::uint8_t* buffer, std::size_t length, std::chrono::milliseconds wait) override
    {
        const THidReadStatus status = FInner->Read(buffer, length, wait);
        if (status == THidReadStatus::Ok)
            FTrace.WriteLine(FormatReport("RX", buffer, length));
        return status;
    }

    void EndReads() override { FInner->EndReads(); }

private:
    TTracePlatform& FTrace;
    std::unique_ptr<IHidHandle> FInner;
    const std::string FPath;
};

// ---------------------------------------------------------------------------
// TTracePlatform
// ---------------------------------------------------------------------------

TTracePlatform::TTracePlatform(IHidPlatform& inner, std::ostream& out) : TTracePlatform(inner, &out, nullptr) {}

TTracePlatform::TTracePlatform(IHidPlatform& inner, std::ostream* out, std::unique_ptr<std::FILE, TFileCloser> file)
    : FInner(inner), FOut(out), FFile(std::move(file)), FStart(std::chrono::steady_clock::now())
{
    char stamp[32] = "";
    const std::time_t now = std::time(nullptr);
    std::tm utc{};
#ifdef _WIN32
    if (gmtime_s(&utc, &now) == 0)  // the same, with the arguments the other way round
#else
    if (gmtime_r(&now, &utc))
#endif
        std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%SZ", &utc);
    WriteLine(std::string("EV trace started ") + stamp);
}

namespace {

// Opens a file for appending, created if missing, so that a program started
// from this one does not inherit it. Null with errno set on failure.
std::FILE* OpenNotInherited(const std::string& path)
{
#ifdef _WIN32
    // "N": the C runtime's handle is not inheritable (it is by default).
    return std::fopen(path.c_str(), "aN");
#else
    // What fopen's "a" does, with close-on-exec set as the file is opened.
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
    if (fd < 0)
        return nullptr;
    std::FILE* file = ::fdopen(fd, "a");
    if (file == nullptr) {
        const int saved = errno;
        ::close(fd);
        errno = saved;
    }
    return file;
#endif
}

}  // namespace

std::unique_ptr<TTracePlatform> TTracePlatform::AppendToFile(IHidPlatform& inner, const std::string& path,
                                                             std::string& error)
{
    // A program started from the console must not inherit the trace.
    std::unique_ptr<std::FILE, TFileCloser> file(OpenNotInherited(path));
    if (!file) {
        error = "Cannot open trace file " + path + ": " + std::generic_category().message(errno);
        return nullptr;
    }
    error.clear();
    return std::unique_ptr<TTracePlatform>(new TTracePlatform(inner, nullptr, std::move(file)));
}

TTracePlatform::~TTracePlatform() = default;

std::vector<THidInterfaceInfo> TTracePlatform::Enumerate()
{
    return FInner.Enumerate();
}

std::unique_ptr<IHidHandle> TTracePlatform::Open(const std::string& path, std::error_code& error)
{
    return Traced(FInner.Open(path, error), path, error);
}

std::unique_ptr<IHidHandle> TTracePlatform::OpenForReading(const std::string& path, std::error_code& error)
{
    return Traced(FInner.OpenForReading(path, error), path, error);
}

std::unique_ptr<IHidHandle> TTracePlatform::Traced(std::unique_ptr<IHidHandle> handle, const std::string& path,
                                                   const std::error_code& error)
{
    if (!handle) {
        WriteLine("EV open " + path + " failed: " + error.message());
        return nullptr;
    }
    if (error)
        WriteLine("EV open " + path + " for queries only: " + error.message());
    else
        WriteLine("EV open " + path);
    Describe(*handle, path);
    return std::make_unique<TTraceHandle>(*this, std::move(handle), path);
}

void TTracePlatform::Describe(IHidHandle& handle, const std::string& path)
{
    {
        std::lock_guard lock(FMutex);
        if (!FDescribed.insert(path).second)
            return;
    }
    std::uint16_t vendor = 0, product = 0;
    int input = 0, output = 0;
    if (!handle.GetAttributes(vendor, product) || !handle.GetReportLengths(input, output))
        return;
    char ids[16];
    std::snprintf(ids, sizeof ids, "%04x:%04x", vendor, product);
    WriteLine("HDR device " + path + " " + ids + " input " + std::to_string(input) + " output " +
              std::to_string(output));
    std::vector<std::uint8_t> descriptor;
    if (handle.GetReportDescriptor(descriptor) && !descriptor.empty()) {
        const std::string hex = FormatReport("", descriptor.data(), descriptor.size());
        WriteLine("HDR descriptor " + path + hex);
    }
}

void TTracePlatform::WriteHeader(const std::string& program, const std::string& version,
                                 const std::vector<std::string>& args)
{
    WriteLine("HDR program " + program + " " + version);
    std::vector<std::string> words{program};
    words.insert(words.end(), args.begin(), args.end());
    WriteLine("HDR command " + JoinCommandLine(words));
}

void TTracePlatform::Log(const std::string& text)
{
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = text.find('\n', start);
        WriteLine("LOG " + text.substr(start, end == std::string::npos ? std::string::npos : end - start));
        if (end == std::string::npos)
            return;
        start = end + 1;
    }
}

std::string TTracePlatform::JoinCommandLine(const std::vector<std::string>& words)
{
    std::string line;
    for (const std::string& word : words) {
        if (!line.empty())
            line += ' ';
        if (!word.empty() && word.find_first_of(" \t'\"\\") == std::string::npos) {
            line += word;
            continue;
        }
        line += '\'';
        for (char c : word) {
            if (c == '\'')
                line += "'\\''";
            else
                line += c;
        }
        line += '\'';
    }
    return line;
}

std::vector<std::string> TTracePlatform::SplitCommandLine(const std::string& line)
{
    std::vector<std::string> words;
    std::string word;
    bool inWord = false;
    for (std::size_t i = 0; i < line.size(); ++i) {
        const char c = line[i];
        if (c == ' ' || c == '\t') {
            if (inWord)
                words.push_back(word);
            word.clear();
            inWord = false;
        } else if (c == '\'') {
            inWord = true;
            for (++i; i < line.size() && line[i] != '\''; ++i)
                word += line[i];
        } else if (c == '\\' && i + 1 < line.size()) {
            inWord = true;
            word += line[++i];
        } else {
            inWord = true;
            word += c;
        }
    }
    if (inWord)
        words.push_back(word);
    return words;
}

std::unique_ptr<IHotplugWatch> TTracePlatform::Watch(IGuiEventLoop& loop,
                                                     std::function<void(const THotplugEvent&)> callback)
{
    return FInner.Watch(loop, [this, callback = std::move(callback)](const THotplugEvent& event) {
        std::string line = event.Kind == THotplugKind::Arrival ? "EV arrival " : "EV removal ";
        line += event.Interface.Path;
        if (event.Interface.IdsKnown) {
            char ids[16];
            std::snprintf(ids, sizeof ids, " %04x:%04x", event.Interface.VendorId, event.Interface.ProductId);
            line += ids;
        }
        WriteLine(line);
        // The callback may destroy the watch, and with it this lambda: it
        // runs from a copy, as the last thing here.
        auto call = callback;
        call(event);
    });
}

bool TTracePlatform::Failed() const
{
    std::lock_guard lock(FMutex);
    return static_cast<bool>(FError);
}

std::error_code TTracePlatform::Error() const
{
    std::lock_guard lock(FMutex);
    return FError;
}

std::error_code TTracePlatform::Close()
{
    std::lock_guard lock(FMutex);
    if (FFile) {
        errno = 0;
        const int closed = std::fclose(FFile.release());
        if (closed != 0 && !FError)
            FError = std::error_code(errno ? errno : EIO, std::generic_category());
    }
    FOut = nullptr;
    return FError;
}

std::string TTracePlatform::FormatReport(const char* direction, const std::uint8_t* data, std::size_t length)
{
    static constexpr char Digits[] = "0123456789ABCDEF";
    std::string text(direction);
    text.reserve(text.size() + 3 * length);
    for (std::size_t i = 0; i < length; ++i) {
        text += ' ';
        text += Digits[data[i] >> 4];
        text += Digits[data[i] & 0x0F];
    }
    return text;
}

void TTracePlatform::WriteLine(const std::string& text)
{
    // The time is taken under the lock, so that the lines of the two handles'
    // threads stand in the file in the order of their times.
    std::lock_guard lock(FMutex);
    const auto elapsed =
        std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - FStart).count();
    char time[32];
    std::snprintf(time, sizeof time, "%" PRId64 ".%06" PRId64 " ", static_cast<std::int64_t>(elapsed / 1000000),
                  static_cast<std::int64_t>(elapsed % 1000000));
    std::string line = time + text + '\n';
    if (FFile) {
        // Flushed line by line: a trace is read after a crash or a Ctrl-C as
        // often as after a clean exit.
        errno = 0;
        if (std::fwrite(line.data(), 1, line.size(), FFile.get()) != line.size() || std::fflush(FFile.get()) != 0) {
            if (!FError)
                FError = std::error_code(errno ? errno : EIO, std::generic_category());
            std::clearerr(FFile.get());
        }
    } else if (FOut) {
        FOut->write(line.data(), static_cast<std::streamsize>(line.size()));
        FOut->flush();
        if (!*FOut) {
            if (!FError)
                FError = std::make_error_code(std::errc::io_error);
            FOut->clear();
        }
    } else if (!FError) {
        // Closed.
        FError = std::make_error_code(std::errc::bad_file_descriptor);
    }
}
