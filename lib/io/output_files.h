// Results written so that a run that fails never costs the results of an
// earlier one. A file is written under a temporary name in its own folder
// (or a staging folder beside), synced (WholeFile), and renamed over what
// stood there; files staged together are renamed together; a folder of results is made
// beside its place and swapped in when the run has succeeded, after its
// input was read. velmora replaces only what it wrote: a folder of its
// results lists them (kResultsList), and a folder holding anything else is
// refused before any work.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace velmora {

// An output that cannot be used, said before anything was written there:
// a folder that is not velmora's, an output that is an input, a path whose
// folder does not exist. Commands end with status 2.
struct OutputRefused : std::invalid_argument {
    using std::invalid_argument::invalid_argument;
};
// Writing results failed ("can not write PATH: REASON"); what stood at the
// path before is still there. Commands end with status 1.
struct WriteFailed : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// The list of what velmora wrote in a folder of results, inside it.
inline constexpr const char* kResultsList = ".velmora-results";

// Whether a and b name the same file (through links too); false when either
// does not exist.
bool same_file(const std::string& a, const std::string& b);

// Why path cannot take an output file, nothing when it can: it is a folder
// or a device, its folder does not exist or does not let one write, or it is
// one of the inputs (the same file, through links too).
std::optional<std::string> output_file_problem(const std::string& path, std::span<const std::string> inputs = {});

// How a file is put in place whole.
struct WholeFile {
    // Synced to disk before it replaces the earlier file, and its folder
    // after, so that what a command leaves is on disk when it ends. Without,
    // only renamed: every process sees the old file or the new one, and file
    // systems that replace by rename (ext4's auto_da_alloc, XFS, btrfs)
    // write the new data before the rename; for files made again after a
    // power cut (the watcher's products, from its database), where a flush
    // per file would cost more than the rest of their writing.
    bool sync = true;
    // The folder of the temporary file, on the file system of the path;
    // empty: the path's own folder.
    std::string staging;
};

// A file written under a temporary name (".NAME.velmora-XXXXXXXXXXXXXXXX",
// in the folder of its path or in how.staging; a link is followed to the
// file it names) and put at its path by commit().
class AtomicFile {
public:
    // Creates the temporary file; OutputRefused naming path when it cannot.
    explicit AtomicFile(const std::string& path, WholeFile how = {});
    // Removes the temporary file unless it was committed.
    ~AtomicFile();
    AtomicFile(const AtomicFile&) = delete;
    AtomicFile& operator=(const AtomicFile&) = delete;

    // The path as given, and where to write meanwhile.
    const std::string& path() const { return path_; }
    const std::string& temp() const { return temp_; }
    // Syncs the temporary file and renames it over the path, with the mode
    // of the file it replaces. WriteFailed when it cannot.
    void commit();

    // Writes bytes to the temporary file, after the first keep bytes of the
    // file at from (copied by the kernel; they must be there). WriteFailed
    // naming the path and the reason.
    void write(std::string_view bytes, const std::string& from = {}, std::uint64_t keep = 0);

private:
    std::string path_, target_, temp_;
    bool sync_ = true;
    bool committed_ = false;
};

// Writes the file path through a stream that fill writes to, safely as
// AtomicFile does; WriteFailed naming the file and the reason.
void write_file(const std::string& path, const std::function<void(std::FILE*)>& fill, const WholeFile& how = {});
// The same with the file's bytes.
void write_file(const std::string& path, std::string_view bytes, const WholeFile& how = {});

// Files made ready one by one and put in place together, in the order
// added: until commit() every file is as it was, and a failure while making
// them (a full disk) leaves them so.
class StagedFiles {
public:
    // how.staging, when given, is made if needed and removed when empty.
    explicit StagedFiles(WholeFile how = {});
    ~StagedFiles();   // removes the temporary files of what was not put in place
    StagedFiles(const StagedFiles&) = delete;
    StagedFiles& operator=(const StagedFiles&) = delete;

    void add(const std::string& path, std::string_view bytes);
    // A file that grows at its end: the first keep bytes of the file now at
    // path (copied by the kernel; they must be there), then tail.
    void add_grown(const std::string& path, std::uint64_t keep, std::string_view tail);
    // Renames every file into place, in the order added; WriteFailed when one
    // cannot be (those before it are in place).
    void commit();

private:
    WholeFile how_;
    std::vector<std::unique_ptr<AtomicFile>> files_;
};

// Why the folder target cannot be replaced by a run reading inputs, nothing
// when it can: it is not a folder, it holds the current folder, or it holds
// an entry velmora did not write (its inputs excepted, which are kept).
std::optional<std::string> folder_problem(const std::string& target, std::span<const std::string> inputs = {});

// A folder of results made beside its target (".NAME.velmora-XXXX..." in
// the same folder) and swapped into place by commit(). The inputs of the run
// that lie inside the target are carried into the new folder unless a
// result took their name.
class ResultFolder {
public:
    // Refuses a target folder_problem() names (OutputRefused), then makes the
    // work folder and the folders leading to it.
    explicit ResultFolder(const std::string& target, std::span<const std::string> inputs = {});
    // Removes the work folder unless it was committed or kept.
    ~ResultFolder();
    ResultFolder(const ResultFolder&) = delete;
    ResultFolder& operator=(const ResultFolder&) = delete;

    // The target, absolute, links followed; the folder to write into.
    const std::string& target() const { return target_; }
    const std::string& work() const { return work_; }
    std::string path(const std::string& name) const { return work_ + "/" + name; }
    // Lists what the work folder holds, syncs it and swaps it in for the
    // target; the earlier folder is removed. WriteFailed when it cannot: the
    // earlier folder stays; when the target took something velmora did not
    // write meanwhile, the new results stay in the work folder, named.
    void commit();
    // Removes the work folder now, as the destructor would.
    void discard();

private:
    void carry_inputs(std::set<std::string>& foreign) const;
    void swap_in();

    std::string given_, target_, work_;
    std::vector<std::string> inputs_;   // absolute, links followed
    bool done_ = false;
};

// A stream that passes what is written to it on to another, line by line,
// with the path of a folder's work folder replaced by its target's: the
// messages of a run name the results where they are going.
class ShownAtTarget {
public:
    ShownAtTarget(const ResultFolder& folder, std::FILE* to);
    ~ShownAtTarget();
    ShownAtTarget(const ShownAtTarget&) = delete;
    ShownAtTarget& operator=(const ShownAtTarget&) = delete;
    // The stream to write to; `to` itself when no stream could be made.
    std::FILE* stream() const { return stream_ ? stream_ : to_; }
    // text with the work folder's path replaced.
    std::string shown(std::string text) const;

private:
    std::string work_, target_, line_;
    std::FILE* to_;
    std::FILE* stream_ = nullptr;
    friend struct ShownAtTargetIo;
};

// Removes what runs that died before they ended left in folder: their
// temporary files and work folders (never anything else).
void remove_left_overs(const std::string& folder);

// Adds name (relative to folder) to the list of what velmora wrote in a
// folder of results, for a file written there after its commit.
void note_written(const std::string& folder, const std::string& name);

// A volume's folder as a series' volumes.csv names it: a folder of volumes/
// by its name alone, so that nothing outside the series' folder is read.
// std::runtime_error "<table> names a folder outside volumes/: "<name>"" otherwise.
void check_volume_folder(const std::string& name, const std::string& table);

// The folder of each volume among the results of a run over paths: its
// file's stem; where several share a stem, the later ones (in the order of
// the paths) get stem-2, stem-3, ..., skipping names another path's stem or
// a name in reserved (the run's own files) already takes.
std::vector<std::string> volume_folder_names(std::span<const std::string> paths,
                                             const std::set<std::string>& reserved = {});

}  // namespace velmora
