/* Object manager operations of the host: object lookup by name and by path
 * text, typed parameter get and set, array access, string arrays, object names
 * and progress reporting. Usable from C and C++. */
#ifndef VELMORA_HOST_OM_H
#define VELMORA_HOST_OM_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* A 16-byte handle of an object of the host's tree. Passed to operations by
 * reference, returned by value; an id is compared with OMnull_obj on its
 * first 8 bytes. */
typedef struct OMobj_id {
    int64_t obj;
    int64_t aux;
} OMobj_id;

/* A name as the host knows it; made from a text with OMstr_to_name. */
typedef int32_t OMobj_name;

/* Data type codes of arrays and node data. */
#define DTYPE_BYTE 0
#define DTYPE_CHAR 1
#define DTYPE_SHORT 2
#define DTYPE_INT 3
#define DTYPE_FLOAT 4
#define DTYPE_DOUBLE 5
#define DTYPE_LONG 6

/* Array access modes. */
#define OM_GET_ARRAY_RD 0
#define OM_GET_ARRAY_WR 2

/* Object lookup modes. */
#define OM_OBJ_RD 0
#define OM_OBJ_RW 1

extern OMobj_id OMnull_obj;

OMobj_name OMstr_to_name(const char *text);

OMobj_id OMfind_subobj(OMobj_id *parent, OMobj_name name, int mode);
OMobj_id OMfind_str_subobj(OMobj_id *parent, const char *path, int mode);

int OMget_name_int_val(OMobj_id *obj, OMobj_name name, int *value);
int OMget_name_long_val(OMobj_id *obj, OMobj_name name, int64_t *value);
int OMget_name_real_val(OMobj_id *obj, OMobj_name name, double *value);
/* With size 0 the host stores a new copy in *value (released with free);
 * otherwise it copies at most size - 1 characters into the buffer *value. */
int OMget_name_str_val(OMobj_id *obj, OMobj_name name, char **value, int size);

int OMset_name_int_val(OMobj_id *obj, OMobj_name name, int value);
int OMset_name_real_val(OMobj_id *obj, OMobj_name name, double value);
int OMset_name_str_val(OMobj_id *obj, OMobj_name name, const char *value);

/* The array's elements, valid until ARRfree_f; *size receives the element
 * count and *type, when type is not null, its data type code. Null when the
 * array is missing or empty. */
void *OMret_name_array_ptr(OMobj_id *obj, OMobj_name name, int mode, int64_t *size, int *type);

/* Copies element index of a string array into the buffer *value of size bytes. */
int OMget_str_array_val(OMobj_id *obj, int64_t index, char **value, int size);
int OMset_str_array_val(OMobj_id *obj, int64_t index, const char *value);

/* The object's name, owned by the host. */
const char *OMret_obj_name(OMobj_id *obj);

int OMstatus_check(int percent, const char *text, int *interrupt);
int OMpush_status_range(int low, int high);
int OMpop_status_range(void);

#ifdef __cplusplus
}
#endif

#endif
