// Files as they arrive in a watched folder: which names are still being
// written, which entries may be read at all, and whether a file's format
// says it is whole. A volume is read only when it is complete: not under a
// name writers use while writing (dot-files, .tmp, .part), unchanged for the
// settling time, and whole by its format (HDF5 and NetCDF files reach the
// end their headers give and every dataset reads, a NEXRAD volume reaches
// its end-of-volume radial, a VTK file its closing tag).
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace velmora::realtime {

// Dot-files, *.tmp and *.part (any case): names of files being written.
bool writing_name(const std::string& name);

// An entry of the watched folder.
struct Entry {
    enum class Kind { File, Refused, Folder, Gone } kind = Kind::Gone;
    std::string path;                       // what to read: the file, or a link's target within the folder
    std::int64_t size = 0, mtime_ns = 0;
    std::string reason;                     // why it is refused
};
// Only regular files are read: FIFOs, devices and sockets are refused, and
// links whose target lies outside the folder (or is no regular file).
Entry look_at(const std::string& dir, const std::string& name);

// Whether a file is whole by its format: empty when it is (or its format
// is not one of those above: the reader will say), else what is missing.
std::string missing_by_format(const std::string& path);

// The CRC-32 of a file's bytes, 8 hex digits; std::runtime_error when it
// cannot be read.
std::string checksum_of(const std::string& path);

// A NEXRAD real-time chunk's name: YYYYMMDD-HHMMSS-NNN-S|I|E, the volume's
// start, the chunk's number and type (start, intermediate, end).
struct ChunkName {
    std::string volume;   // YYYYMMDD-HHMMSS
    int number = 0;
    char type = 'I';
};
std::optional<ChunkName> chunk_name(const std::string& name);

}  // namespace velmora::realtime
