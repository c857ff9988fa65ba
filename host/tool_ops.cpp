// Tool library operations of the substitute host.
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "host.h"

extern "C" {

void ERRverror(const char* object_name, int severity, const char* text) {
    vhost::host().report(object_name, severity, text);
}

void ARRfree_f(void* array, const char* /*file*/, int /*line*/) { vhost::host().take_back(array); }

FILE* FILEfopen(const char* path, const char* mode) {
    if (!path || !mode) return nullptr;
    // Writing where the program was not told to write fails like a folder
    // that does not let one write.
    const bool writes = std::strpbrk(mode, "wa+") != nullptr;
    if (writes && !vhost::host().may_write(path)) {
        vhost::host().note_refused_write(path);
        errno = EACCES;
        return nullptr;
    }
    return std::fopen(path, mode);
}

}  // extern "C"
