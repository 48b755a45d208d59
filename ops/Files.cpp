#include "Files.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <system_error>

#include <fcntl.h>
#include <sys/stat.h>
#ifdef _WIN32
#include <io.h>
#include <process.h>
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace ops {

namespace {

// --- The few file calls, for POSIX and for Windows' C runtime ------------------------

#ifdef _WIN32
// Binary: the C runtime opens files in text mode unless told, and would write
// every 0x0A byte of a dump as 0x0D 0x0A. Not inherited by child processes.
int OpenForWriting(const char* path, bool exclusive)
{
    return ::_open(path, _O_WRONLY | _O_CREAT | (exclusive ? _O_EXCL : _O_TRUNC) | _O_BINARY | _O_NOINHERIT,
                   _S_IREAD | _S_IWRITE);
}
long WriteSome(int fd, const std::uint8_t* data, std::size_t size)
{
    return ::_write(fd, data, static_cast<unsigned>(std::min<std::size_t>(size, 1u << 30)));
}
int FlushToDisk(int fd) { return ::_commit(fd); }
int CloseFile(int fd) { return ::_close(fd); }
int RemoveFile(const char* path) { return ::_unlink(path); }
int ProcessId() { return ::_getpid(); }
bool Exists(const std::string& path)
{
    struct _stat info;
    return ::_stat(path.c_str(), &info) == 0;
}
// 0, or the error.
int Rename(const std::string& from, const std::string& to, bool replace)
{
    if (::MoveFileExA(from.c_str(), to.c_str(), replace ? MOVEFILE_REPLACE_EXISTING : 0)) return 0;
    return ::GetLastError() == ERROR_ALREADY_EXISTS || ::GetLastError() == ERROR_FILE_EXISTS ? EEXIST : EACCES;
}
#else
int OpenForWriting(const char* path, bool exclusive)
{
    return ::open(path, O_WRONLY | O_CREAT | (exclusive ? O_EXCL : O_TRUNC) | O_CLOEXEC, 0666);
}
long WriteSome(int fd, const std::uint8_t* data, std::size_t size) { return ::write(fd, data, size); }
int FlushToDisk(int fd) { return ::fsync(fd) == 0 || errno == EINVAL || errno == EROFS ? 0 : -1; }
int CloseFile(int fd) { return ::close(fd); }
int RemoveFile(const char* path) { return ::unlink(path); }
int ProcessId() { return static_cast<int>(::getpid()); }
bool Exists(const std::string& path)
{
    struct stat info;
    return ::lstat(path.c_str(), &info) == 0;
}
int Rename(const std::string& from, const std::string& to, bool replace)
{
    if (replace) return ::rename(from.c_str(), to.c_str()) == 0 ? 0 : errno;
    // Atomically, never over an existing file. File systems without
    // renameat2's flag (some network and FUSE ones) get link and unlink,
    // which refuses an existing name as well.
#ifdef RENAME_NOREPLACE
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return 0;
    if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP) return errno;
#endif
    if (::link(from.c_str(), to.c_str()) != 0) return errno;
    ::unlink(from.c_str());
    return 0;
}
#endif

[[noreturn]] void Throw(const char* what, const std::string& path, int error)
{
    throw EFileError(std::string(what) + " \"" + path + "\": " + std::generic_category().message(error));
}

// Writes all of size bytes; false with errno set otherwise.
bool WriteAll(int fd, const std::uint8_t* data, std::size_t size)
{
    while (size > 0) {
        const long written = WriteSome(fd, data, size);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) {
            if (written == 0) errno = ENOSPC;
            return false;
        }
        data += written;
        size -= static_cast<std::size_t>(written);
    }
    return true;
}

// A file of the plain factory: created new or truncated, written unbuffered.
class TDiskFile : public IOutFile {
public:
    explicit TDiskFile(std::string path) : FPath(std::move(path))
    {
        FFd = OpenForWriting(FPath.c_str(), false);
        if (FFd < 0) Throw("Cannot create file", FPath, errno);
    }

    ~TDiskFile() override
    {
        if (FFd >= 0) CloseFile(FFd);  // after an error: the error is reported already
    }

    void Write(const std::uint8_t* data, std::size_t size) override
    {
        if (!WriteAll(FFd, data, size)) Fail("Cannot write file", errno);
    }

    void Close() override
    {
        if (FFd < 0) return;
        const int fd = FFd;
        FFd = -1;
        if (CloseFile(fd) != 0 && errno != EINTR) Fail("Cannot write file", errno);
    }

private:
    [[noreturn]] void Fail(const char* what, int error)
    {
        if (FFd >= 0) CloseFile(FFd);
        FFd = -1;
        Throw(what, FPath, error);
    }

    std::string FPath;
    int FFd = -1;
};

}  // namespace

std::string JoinPath(const std::string& dir, const std::string& name)
{
    if (dir.empty()) return name;
    const char last = dir.back();
    if (last == '/' || last == '\\') return dir + name;
#ifdef _WIN32
    // The system's own separator, so that the paths in messages read as
    // Windows shows them; a folder the user gave with slashes keeps them.
    const bool slashes = dir.find('/') != std::string::npos && dir.find('\\') == std::string::npos;
    return dir + (slashes ? '/' : '\\') + name;
#else
    return dir + '/' + name;
#endif
}

std::unique_ptr<IOutFile> TDiskFiles::Create(const std::string& name)
{
    return std::make_unique<TDiskFile>(JoinPath(FDir, name));
}

// --- Staged files ------------------------------------------------------------------------

struct TStagedFiles::TEntry {
    std::string Name;     // the final name, as the operation gave it
    std::string Final;    // its path
    std::string Partial;  // the path written
    int Fd = -1;          // open while written
    bool HandedOut = false;
    bool Closed = false;  // closed, every byte written and flushed
    bool Committed = false;
    std::uint64_t Size = 0;

    [[noreturn]] void Fail(const char* what, int error)
    {
        if (Fd >= 0) CloseFile(Fd);
        Fd = -1;
        Throw(what, Partial, error);
    }
};

namespace {

class TStagedFile : public IOutFile {
public:
    explicit TStagedFile(std::shared_ptr<TStagedFiles::TEntry> entry) : FEntry(std::move(entry)) {}

    ~TStagedFile() override
    {
        if (FEntry->Fd >= 0) {
            CloseFile(FEntry->Fd);
            FEntry->Fd = -1;
        }
    }

    void Write(const std::uint8_t* data, std::size_t size) override
    {
        if (FEntry->Fd < 0) Throw("Cannot write file", FEntry->Partial, EBADF);
        if (!WriteAll(FEntry->Fd, data, size)) FEntry->Fail("Cannot write file", errno);
        FEntry->Size += size;
    }

    // Every byte on the disk before the file can get its final name: a
    // backup that is renamed into place and then lost to a power cut would
    // be worse than none.
    void Close() override
    {
        if (FEntry->Fd < 0) return;
        if (FlushToDisk(FEntry->Fd) != 0) FEntry->Fail("Cannot write file", errno);
        const int fd = FEntry->Fd;
        FEntry->Fd = -1;
        if (CloseFile(fd) != 0 && errno != EINTR) Throw("Cannot write file", FEntry->Partial, errno);
        FEntry->Closed = true;
    }

private:
    std::shared_ptr<TStagedFiles::TEntry> FEntry;
};

}  // namespace

TStagedFiles::~TStagedFiles()
{
    for (const auto& entry : FEntries) {
        if (entry->Fd >= 0) CloseFile(entry->Fd);
        entry->Fd = -1;
        // An empty partial file holds nothing worth keeping.
        if (!entry->Committed && entry->Size == 0) RemoveFile(entry->Partial.c_str());
    }
}

void TStagedFiles::Reserve(const std::string& name)
{
    auto entry = std::make_shared<TEntry>();
    entry->Name = name;
    entry->Final = FinalPath(name);
    entry->Partial = PartialPath(name);
    entry->Fd = OpenForWriting(entry->Partial.c_str(), true);
    if (entry->Fd < 0) {
        const int error = errno;
        if (error == EEXIST)
            throw EFileError("\"" + entry->Partial + "\" exists: another run is writing " + entry->Final +
                             ", or an earlier one stopped and left what it had (move it away first)");
        Throw("Cannot create file", entry->Partial, error);
    }
    FEntries.push_back(entry);
    // Checked once the partial file is ours: a run that gets past this point
    // knows no other run will commit this name before it does.
    if (FReplace == TReplace::Never && Exists(entry->Final))
        throw EFileError("\"" + entry->Final + "\" exists already: a dump never replaces a file");
}

std::unique_ptr<IOutFile> TStagedFiles::Create(const std::string& name)
{
    for (const auto& entry : FEntries)
        if (entry->Name == name && !entry->HandedOut && entry->Fd >= 0) {
            entry->HandedOut = true;
            return std::make_unique<TStagedFile>(entry);
        }
    Reserve(name);
    FEntries.back()->HandedOut = true;
    return std::make_unique<TStagedFile>(FEntries.back());
}

void TStagedFiles::CheckFolder() const
{
    static std::atomic<int> counter{0};
    const std::string probe =
        JoinPath(FDir, ".corvane-probe-" + std::to_string(ProcessId()) + "-" + std::to_string(++counter));
    const int fd = OpenForWriting(probe.c_str(), true);
    if (fd < 0) {
        const int error = errno;
        throw EFileError("Cannot create files in \"" + (FDir.empty() ? std::string(".") : FDir) +
                         "\": " + std::generic_category().message(error));
    }
    CloseFile(fd);
    RemoveFile(probe.c_str());
}

void TStagedFiles::Commit()
{
    for (const auto& entry : FEntries) {
        if (!entry->Closed || entry->Committed) continue;
        const int error = Rename(entry->Partial, entry->Final, FReplace == TReplace::Always);
        if (error == EEXIST)
            throw EFileError("\"" + entry->Final + "\" appeared while the dump ran; the data is in \"" +
                             entry->Partial + "\"");
        if (error != 0) Throw("Cannot rename to", entry->Final, error);
        entry->Committed = true;
    }
}

std::vector<std::string> TStagedFiles::Kept() const
{
    std::vector<std::string> kept;
    for (const auto& entry : FEntries)
        if (!entry->Committed && entry->Size > 0) kept.push_back(entry->Partial);
    return kept;
}

}  // namespace ops
