/* Field library of the host: geometry, cell sets, connectivity and node data
 * of fields. The first argument is the field (or cell set) id; arrays are host
 * arrays released with ARRfree_f; mode 0 reads, mode 2 fills. Every operation
 * returns 1 on success. Usable from C and C++. */
#ifndef VELMORA_HOST_FLD_H
#define VELMORA_HOST_FLD_H

#include <stdint.h>

#include "om.h"

#ifdef __cplusplus
extern "C" {
#endif

int FLDget_nnodes(OMobj_id *field, int64_t *nnodes);
int FLDset_nnodes(OMobj_id *field, int64_t nnodes);
int FLDget_nspace(OMobj_id *field, int *nspace);
int FLDset_nspace(OMobj_id *field, int nspace);

/* *dims receives a host array of *ndim 64-bit counts, null when absent. */
int FLDget_dims(OMobj_id *field, int64_t **dims, int *ndim);
int FLDset_dims(OMobj_id *field, int64_t *dims);
int FLDset_ndim(OMobj_id *field, int ndim);

int FLDget_coord(OMobj_id *field, float **coord, int64_t *size, int mode);
int FLDget_points(OMobj_id *field, float **points, int64_t *size, int mode);
int FLDset_points(OMobj_id *field, float *points, int64_t count, int mode);

int FLDget_ncell_sets(OMobj_id *field, int *ncell_sets);
int FLDset_ncell_sets(OMobj_id *field, int ncell_sets);
int FLDadd_cell_set(OMobj_id *field, const char *cell_type);
int FLDget_cell_set(OMobj_id *field, int index, OMobj_id *cell_set);
int FLDget_cell_set_name(OMobj_id *cell_set, char *buffer, int size);
int FLDget_ncells(OMobj_id *cell_set, int64_t *ncells);
int FLDset_ncells(OMobj_id *cell_set, int64_t ncells);
int FLDset_npolys(OMobj_id *cell_set, int64_t npolys);
int FLDget_node_connect(OMobj_id *cell_set, int64_t **connect, int64_t *size, int mode);
int FLDget_poly_connect(OMobj_id *cell_set, int64_t **connect, int64_t *size, int mode);

int FLDget_node_data_ncomp(OMobj_id *field, int *ncomp);
int FLDset_node_data_ncomp(OMobj_id *field, int ncomp);
int FLDget_node_data_type(OMobj_id *field, int comp, int *type);
int FLDset_node_data_type(OMobj_id *field, int comp, int type);
int FLDget_node_data_veclen(OMobj_id *field, int comp, int *veclen);
int FLDset_node_data_veclen(OMobj_id *field, int comp, int veclen);
int FLDget_node_data_label(OMobj_id *field, int comp, char *buffer, int size);
int FLDset_node_data_label(OMobj_id *field, int comp, const char *label);
int FLDget_node_data_units(OMobj_id *field, int comp, char *buffer, int size);
int FLDset_node_data_units(OMobj_id *field, int comp, const char *units);
int FLDset_node_data_comp(OMobj_id *field, int comp, int veclen, const char *label, const char *units);
int FLDset_node_data_id(OMobj_id *field, int comp, int id);

/* *data receives nnodes x veclen values of the component's type *type. */
int FLDget_node_data(OMobj_id *field, int comp, int *type, char **data, int64_t *size, int mode);
/* Minimum and maximum written in the component's type. */
int FLDget_node_data_minmax(OMobj_id *field, int comp, char *min, char *max);
/* The null value is written in the component's type, only when one is set. */
int FLDget_node_null_data(OMobj_id *field, int comp, int *null_flag, char *null_value);
int FLDset_node_null_data(OMobj_id *field, int comp, char *null_value, int type);
int FLDset_node_null_flag(OMobj_id *field, int comp, int null_flag);

#ifdef __cplusplus
}
#endif

#endif
