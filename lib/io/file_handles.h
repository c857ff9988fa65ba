// Handles of HDF5 and NetCDF files closed on every path, HDF5 kept quiet
// while a file is probed or read, and what a deflated store can hold.
#pragma once

#include <hdf5.h>
#include <netcdf.h>

#include <mutex>
#include <utility>

namespace velmora {

// An HDF5 id closed with the function that matches its kind.
class Hid {
public:
    Hid() = default;
    Hid(hid_t id, herr_t (*close)(hid_t)) : id_(id), close_(close) {}
    Hid(Hid&& o) noexcept : id_(std::exchange(o.id_, -1)), close_(o.close_) {}
    Hid& operator=(Hid&& o) noexcept {
        std::swap(id_, o.id_);
        std::swap(close_, o.close_);
        return *this;
    }
    Hid(const Hid&) = delete;
    Hid& operator=(const Hid&) = delete;
    ~Hid() {
        if (id_ >= 0 && close_) close_(id_);
    }
    hid_t get() const { return id_; }
    explicit operator bool() const { return id_ >= 0; }

private:
    hid_t id_ = -1;
    herr_t (*close_)(hid_t) = nullptr;
};

// HDF5 prints a trace of every failed call by default; a file it cannot take
// is reported by the reader's own message instead, or is simply not of the
// kind probed for.
class QuietHdf5 {
public:
    QuietHdf5() {
        H5Eget_auto2(H5E_DEFAULT, &handler_, &data_);
        H5Eset_auto2(H5E_DEFAULT, nullptr, nullptr);
    }
    ~QuietHdf5() { H5Eset_auto2(H5E_DEFAULT, handler_, data_); }
    QuietHdf5(const QuietHdf5&) = delete;
    QuietHdf5& operator=(const QuietHdf5&) = delete;

private:
    H5E_auto2_t handler_ = nullptr;
    void* data_ = nullptr;
};

// The NetCDF library keeps process-wide tables of open files and is not safe
// to call from two threads at once (Python's threads and Dask's workers read
// files side by side). Every use of it, from opening a file to closing it,
// holds this one lock; recursive, as a reader may open a second file while
// it holds the first.
inline std::recursive_mutex& netcdf_lock() {
    static std::recursive_mutex lock;
    return lock;
}

// A NetCDF file id, closed on every path, with the library's lock held while
// it is open. HDF5 keeps quiet on this thread meanwhile: the NetCDF library
// silences HDF5's error stack only on the thread that first used it, and a
// reader's own message says what is wrong with a file.
struct NcFile {
    const std::lock_guard<std::recursive_mutex> lock{netcdf_lock()};
    const QuietHdf5 quiet;
    int id = -1;
    NcFile() = default;
    NcFile(const NcFile&) = delete;
    NcFile& operator=(const NcFile&) = delete;
    ~NcFile() {
        if (id >= 0) nc_close(id);
    }
};

// Deflate shrinks data by at most about 1032:1: a variable claiming more
// values than that from the bytes stored is damaged, and is refused before
// a reader allocates for it.
inline constexpr double kMaxDeflateRatio = 1100.0;

}  // namespace velmora
