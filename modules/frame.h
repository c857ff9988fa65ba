// The update frame every module shares: the 1024-byte message buffer and its
// formatter, parameter reads through the host, move-only guards for host
// arrays (released with ARRfree_f), heap buffers and host text copies
// (released with free), the single report through ERRverror, and the rule
// that the exported functions always return 1 and never let an exception out.
//
// One rule for the steps of an update: a step returns 1 when the update goes
// on, and -1 when it stops, with its message formatted (Frame::fail) or, where
// there is nothing to do, without one. The report depends on the message
// alone.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <utility>

#include "host_ops.h"

#define VELMORA_EXPORT extern "C" __attribute__((visibility("default")))

namespace velmora {

constexpr int kMessageSize = 1024;
constexpr int kSeverity = 32;

constexpr int kLabelSize = 64;

// Bounds on counts that come from parameters, so that a mistyped or hostile
// value ends in a message instead of gigabytes of memory or disk. A radar
// volume holds hundreds of storm cells at a usual level, a continental
// composite thousands; a stack of slices needs no more planes on a side than
// a grid has rows. Each message states its bound.
constexpr std::int64_t kMaxAreas = 100000;    // area numbers no_min .. no_max
constexpr int kMaxPlanesEachSide = 10000;     // CreateRainSlice's plane_num

// The message formatter: sprintf into the message buffer from its first byte,
// cut at the buffer's end (an object name near 1024 bytes truncates safely).
inline void __attribute__((format(printf, 2, 3))) msgf(char* msg, const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(msg, kMessageSize, fmt, ap);
    va_end(ap);
}

// Nodes of a grid with the given dims, -1 when a dim is negative or the
// product does not fit.
inline std::int64_t dims_product(const std::int64_t* dims, int ndim) {
    std::int64_t n = 1;
    for (int a = 0; a < ndim; ++a) {
        if (dims[a] < 0) return -1;
        if (dims[a] > 0 && n > INT64_MAX / dims[a]) return -1;
        n *= dims[a];
    }
    return n;
}

// An id is missing when its first 8 bytes equal the host's null object.
inline bool is_null(const OMobj_id& id) { return std::memcmp(&id, &OMnull_obj, 8) == 0; }

struct FreeDeleter {
    void operator()(void* p) const noexcept { std::free(p); }
};

// A buffer of our own or a text the host copied for us; released with free.
template <class T>
using Heap = std::unique_ptr<T, FreeDeleter>;
using HeapText = Heap<char>;

// malloc of n elements of T (null for n < 1 or on failure), owned by the guard.
template <class T>
Heap<T[]> heap_array(std::int64_t n) {
    if (n < 1 || static_cast<std::uint64_t>(n) > SIZE_MAX / sizeof(T)) return Heap<T[]>();
    return Heap<T[]>(static_cast<T*>(std::malloc(static_cast<std::size_t>(n) * sizeof(T))));
}

// An array handed out by the host, released with ARRfree_f when the guard
// goes (or earlier with release()). Host getters fill it through out().
template <class T>
class HostArray {
public:
    HostArray() = default;
    HostArray(const HostArray&) = delete;
    HostArray& operator=(const HostArray&) = delete;
    HostArray(HostArray&& o) noexcept : p_(std::exchange(o.p_, nullptr)), size_(std::exchange(o.size_, 0)) {}
    HostArray& operator=(HostArray&& o) noexcept {
        if (this != &o) {
            release();
            p_ = std::exchange(o.p_, nullptr);
            size_ = std::exchange(o.size_, 0);
        }
        return *this;
    }
    ~HostArray() { release(); }

    void release() noexcept {
        if (p_) ARRfree_f(p_, __FILE__, __LINE__);
        p_ = nullptr;
    }
    // For a host getter: the pointer slot (emptied first) and the count slot.
    T** out() {
        release();
        size_ = 0;
        return &p_;
    }
    char** out_chars() { return reinterpret_cast<char**>(out()); }
    std::int64_t* size_out() { return &size_; }
    // Takes a pointer returned by OMret_name_array_ptr.
    void reset(void* p) {
        release();
        p_ = static_cast<T*>(p);
    }

    T* get() const { return p_; }
    std::int64_t size() const { return size_; }
    explicit operator bool() const { return p_ != nullptr; }
    T& operator[](std::int64_t i) const { return p_[i]; }

private:
    T* p_ = nullptr;
    std::int64_t size_ = 0;
};

// Component comp of a field's node data, handed out by the host into a
// guard (mode OM_GET_ARRAY_RD to read, OM_GET_ARRAY_WR to fill); returns its
// type code, 0 when the host gave none.
template <class T>
int node_data(OMobj_id& field, int comp, int mode, HostArray<T>& values) {
    int type = 0;
    FLDget_node_data(&field, comp, &type, values.out_chars(), values.size_out(), mode);
    return type;
}

// What an update function works with: its instance and its message buffer.
class Frame {
public:
    Frame(OMobj_id instance, char* msg, const char* report_as = nullptr)
        : self(instance), msg(msg), report_as_(report_as) {}

    OMobj_id self;
    char* msg;

    // The name messages and the report carry: the instance's, unless the
    // module reports under a fixed name of its own.
    const char* name() { return report_as_ ? report_as_ : OMret_obj_name(&self); }
    bool failed() const { return msg[0] != '\0'; }

    // The parameter reads of the frame: true only when the host answers 1.
    bool get_int(const char* param, int& v) { return OMget_name_int_val(&self, OMstr_to_name(param), &v) == 1; }
    bool get_long(const char* param, std::int64_t& v) {
        return OMget_name_long_val(&self, OMstr_to_name(param), &v) == 1;
    }
    bool get_real(const char* param, double& v) { return OMget_name_real_val(&self, OMstr_to_name(param), &v) == 1; }
    // Reads of parameters the update cannot go without: a parameter that
    // cannot be read fails with "<object> : can not get <param>.".
    bool require(const char* param, int& v) { return get_int(param, v) || missing(param); }
    bool require(const char* param, std::int64_t& v) { return get_long(param, v) || missing(param); }
    bool require(const char* param, double& v) { return get_real(param, v) || missing(param); }
    // The same for a parameter of another object (an entry of a group).
    bool require_of(OMobj_id obj, const char* param, int& v) {
        return OMget_name_int_val(&obj, OMstr_to_name(param), &v) == 1 || missing(param);
    }

    // An input field with its node count; false, with no message, when it
    // has no node (nothing to do).
    bool input(const char* sub, int mode, OMobj_id& field, std::int64_t& nnodes) {
        field = find(sub, mode);
        nnodes = 0;
        FLDget_nnodes(&field, &nnodes);
        return nnodes >= 1;
    }

    // A new copy of a string parameter, null when it cannot be read.
    HeapText get_str(const char* param) { return get_str_of(self, param); }
    static HeapText get_str_of(OMobj_id obj, const char* param) {
        char* s = nullptr;
        if (OMget_name_str_val(&obj, OMstr_to_name(param), &s, 0) != 1) {
            // A host that failed may still have handed out a copy.
            std::free(s);
            return HeapText();
        }
        return HeapText(s);
    }
    void set_int(const char* param, int v) { OMset_name_int_val(&self, OMstr_to_name(param), v); }
    void set_done() { set_int("done", 1); }

    OMobj_id find(const char* sub, int mode) { return OMfind_subobj(&self, OMstr_to_name(sub), mode); }

    // Formats a message whose leading %s is the object name, in the house
    // style "%s : can not get x.\n"; returns -1 so a step can `return fail(...)`.
    template <class... Args>
    int fail(const char* fmt, Args... args) {
        msgf(msg, fmt, name(), args...);
        return -1;
    }

private:
    bool missing(const char* param) {
        fail("%s : can not get %s.\n", param);
        return false;
    }

    const char* report_as_;
};

enum class Active { No, Yes };

// How an update reports: under the instance's name (the rule), or under a
// fixed name of the module's own.
struct Report {
    Active active = Active::No;
    const char* name = nullptr;
};

// The frame of an update function: message buffer cleared, the `active`
// switch where the module has one, the body, one report, result 1. The body
// holds every array in guards, so all are released when it returns.
template <class Body>
int run_update(OMobj_id* instance, Report report, Body&& body) noexcept {
    char msg[kMessageSize];
    msg[0] = '\0';
    if (!instance) return 1;
    const auto reporter = [&] { return report.name ? report.name : OMret_obj_name(instance); };
    try {
        Frame frame(*instance, msg, report.name);
        bool run = true;
        if (report.active == Active::Yes) {
            int on = 0;
            frame.get_int("active", on);   // an unreadable switch counts as off
            run = on >= 1;
        }
        if (run) body(frame);
    } catch (...) {
        // Nothing may cross the C boundary; the only throw left is a failed
        // allocation inside the standard library.
        msgf(msg, "%s : can not allocate memory.\n", reporter());
    }
    if (msg[0] != '\0') ERRverror(reporter(), kSeverity, msg);
    return 1;
}

template <class Body>
int run_update(OMobj_id* instance, Active active, Body&& body) noexcept {
    return run_update(instance, Report{active, nullptr}, std::forward<Body>(body));
}

}  // namespace velmora
