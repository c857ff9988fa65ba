// The update frame every module shares: the 1024-byte message buffer and its
// formatter, parameter reads through the host, move-only guards for host
// arrays (released with ARRfree_f), heap buffers and host text copies
// (released with free), the single report through ERRverror, and the rule
// that the exported functions always return 1 and never let an exception out.
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

// Whether a module may take the wider instruction paths the processor offers
// (the modules choose at run time). The tests also build the library with
// VELMORA_BASELINE_ONLY, keeping every module to its baseline path, to check
// that both paths give the same results.
// VELMORA_CLONES(...) builds a function once per instruction set named, the
// processor choosing when the library is loaded; in the baseline build, once.
// Clang (the fuzz build) does not clone functions that are also noinline:
// there they are built once, for the baseline.
#ifdef VELMORA_BASELINE_ONLY
constexpr bool kWidePaths = false;
#define VELMORA_CLONES(...)
#else
constexpr bool kWidePaths = true;
#if defined(__clang__)
#define VELMORA_CLONES(...)
#else
#define VELMORA_CLONES(...) __attribute__((target_clones(__VA_ARGS__)))
#endif
#endif
constexpr int kLabelSize = 64;

// The message formatter: sprintf into the message buffer from its first byte,
// cut at the buffer's end (an object name near 1024 bytes truncates safely).
inline void __attribute__((format(printf, 2, 3))) msgf(char* msg, const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(msg, kMessageSize, fmt, ap);
    va_end(ap);
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

// What an update function works with: its instance and its message buffer.
class Frame {
public:
    Frame(OMobj_id instance, char* msg) : self(instance), msg(msg) {}

    OMobj_id self;
    char* msg;

    const char* name() { return OMret_obj_name(&self); }
    bool failed() const { return msg[0] != '\0'; }

    // The parameter reads of the frame: true only when the host answers 1.
    bool get_int(const char* param, int& v) { return OMget_name_int_val(&self, OMstr_to_name(param), &v) == 1; }
    bool get_long(const char* param, std::int64_t& v) {
        return OMget_name_long_val(&self, OMstr_to_name(param), &v) == 1;
    }
    bool get_real(const char* param, double& v) { return OMget_name_real_val(&self, OMstr_to_name(param), &v) == 1; }
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
};

enum class Active { No, Yes };

// The frame of an update function: message buffer cleared, the `active`
// switch where the module has one, the body, one report, result 1. The body
// holds every array in guards, so all are released when it returns.
template <class Body>
int run_update(OMobj_id* instance, Active active, Body&& body) noexcept {
    char msg[kMessageSize];
    msg[0] = '\0';
    if (!instance) return 1;
    try {
        Frame frame(*instance, msg);
        bool run = true;
        if (active == Active::Yes) {
            int on = 0;
            frame.get_int("active", on);   // an unreadable switch counts as off
            run = on >= 1;
        }
        if (run) body(frame);
    } catch (...) {
        // Nothing may cross the C boundary; the only throw left is a failed
        // allocation inside the standard library.
        msgf(msg, "%s : can not allocate memory.\n", OMret_obj_name(instance));
    }
    if (msg[0] != '\0') ERRverror(OMret_obj_name(instance), kSeverity, msg);
    return 1;
}

}  // namespace velmora
