#pragma once
// Files on disk for the operations: the plain factory the window uses, and
// the staged one of the command line, which never leaves a half-written file
// under a final name.
//
// Staged files: every file is written as "NAME.partial", created exclusively
// beside its final name, and gets NAME only by Commit, once the operation has
// succeeded. A run that fails or is stopped leaves what it wrote in the
// partial file and touches no existing NAME. Two runs never write the same
// partial file: the second one's Create fails. A file whose final name must
// not be replaced (a dump, named by its time) is refused when NAME exists,
// and its Commit never replaces a NAME that appeared meanwhile.
//
// Plain C++ and the operating system's file calls; single-threaded use.

#include "Operations.h"

#include <list>
#include <memory>
#include <string>
#include <vector>

namespace ops {

// dir joined with a bare file name; the name alone when dir is empty.
std::string JoinPath(const std::string& dir, const std::string& name);

class TStagedFiles : public IFileFactory {
public:
    enum class TReplace {
        Never,   // dumps: an existing NAME is never replaced
        Always,  // a file the user named (-o FILE, CAPTURED.BIN): replaced on success
    };

    TStagedFiles(std::string dir, TReplace replace) : FDir(std::move(dir)), FReplace(replace) {}
    ~TStagedFiles() override;  // removes empty partial files that were never committed
    TStagedFiles(const TStagedFiles&) = delete;
    TStagedFiles& operator=(const TStagedFiles&) = delete;

    // Creates NAME.partial, or hands out the file Reserve made for name.
    // EFileError when the partial file exists (another run writes it, or an
    // earlier one left it), when NAME exists and must not be replaced, or when
    // the system refuses.
    std::unique_ptr<IOutFile> Create(const std::string& name) override;

    // Creates NAME.partial now, before the remote is used, so that an output
    // that cannot be written costs no transfer; a later Create(name) gets it.
    // EFileError as Create.
    void Reserve(const std::string& name);

    // Checks, before the remote is used, that files can be created in the
    // folder (a dump's names are known only when it starts). EFileError with
    // the system's reason otherwise.
    void CheckFolder() const;

    // Gives every file that was closed its final name, in the order created.
    // EFileError on the first that fails (the rest stay partial).
    void Commit();

    // The partial files that hold data and are left under their partial
    // names (for the message of a failed or stopped run), in order.
    std::vector<std::string> Kept() const;

    // The partial path of a final name in this folder.
    std::string PartialPath(const std::string& name) const { return JoinPath(FDir, name) + PartialSuffix; }
    std::string FinalPath(const std::string& name) const { return JoinPath(FDir, name); }

    static constexpr const char* PartialSuffix = ".partial";

    struct TEntry;  // one staged file (Files.cpp)

private:
    std::string FDir;
    TReplace FReplace;
    std::list<std::shared_ptr<TEntry>> FEntries;  // in order of creation
};

}  // namespace ops
