/* Every operation the library needs of its host. */
#ifndef VELMORA_HOST_OPS_H
#define VELMORA_HOST_OPS_H

#include "fld.h"
#include "om.h"
#include "tool.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The signature of every exported update and clear function. */
typedef int (*OMupdate_fn)(OMobj_id *instance, int event_mask, int seq_num);

#ifdef __cplusplus
}
#endif

#endif
