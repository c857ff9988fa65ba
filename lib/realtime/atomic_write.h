// Products written so that a reader never sees half a file: each goes to a
// temporary name in a staging folder on the same file system and is renamed
// into place only when all of a volume's products are written. A full disk
// while writing leaves every product as it was.
//
// (A general form of this, with result folders swapped into place and a
// marker of the folders velmora wrote, belongs in lib/io; this one serves
// the watcher's products until then.)
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace velmora::realtime {

// Writes bytes to path through a temporary name beside it, flushed and
// renamed. std::runtime_error naming the file and the system's reason.
void write_atomically(const std::string& path, std::string_view bytes);

// Files made ready in a staging folder, moved into place together.
class StagedFiles {
public:
    // staging: a folder on the file system of the products (made if needed,
    // emptied of what a process that died there left).
    explicit StagedFiles(std::string staging);
    ~StagedFiles();   // removes what was not moved into place
    StagedFiles(const StagedFiles&) = delete;
    StagedFiles& operator=(const StagedFiles&) = delete;

    // Writes a product for path; std::runtime_error when it cannot be
    // written (nothing is in place yet).
    void add(const std::string& path, std::string_view bytes);
    // The same for a file that grows at its end: the first keep bytes of the
    // file now at path (copied by the kernel; they must be there), then tail.
    void add_grown(const std::string& path, std::uint64_t keep, std::string_view tail);
    // Renames every product into place, in the order added; std::runtime_error
    // when one cannot be (those before it are in place).
    void commit();

private:
    std::string staging_;
    std::vector<std::pair<std::string, std::string>> files_;   // staged, final
};

}  // namespace velmora::realtime
