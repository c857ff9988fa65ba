/* Tool library of the host: the error channel, release of host arrays and
 * opening of files. Usable from C and C++. */
#ifndef VELMORA_HOST_TOOL_H
#define VELMORA_HOST_TOOL_H

#include <stdio.h>

#ifdef __cplusplus
extern "C" {
#endif

#define ERR_ORIG 32

/* Reports text to the user under the object name; the text is not a format. */
void ERRverror(const char *object_name, int severity, const char *text);

/* Releases an array handed out by the host; file and line name the caller. */
void ARRfree_f(void *array, const char *file, int line);

/* A C runtime stream, or null; closed with fclose. */
FILE *FILEfopen(const char *path, const char *mode);

#ifdef __cplusplus
}
#endif

#endif
