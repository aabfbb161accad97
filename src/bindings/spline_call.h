#ifndef VOXWARPKIT_SPLINE_CALL_H
#define VOXWARPKIT_SPLINE_CALL_H

// The Python-facing part of the index-space spline path: its arguments
// checked and read into a job, and its prefilter's.

#include "kernel/ndimage/spline_filter.h"
#include "kernel/ndimage/spline_job.h"

#include <Python.h>

// Reads (source, target, input_rank, output_rank, order, mode, cval, prepad,
// matrix, shift, zoom, grid_mode, coordinates, input_origin, input_grid,
// output_origin, vectors): source and target rank-4
// arrays (volumes, three axes, the moving ones last), aligned and native,
// the target writeable and of a numeric type; matrix float64 (input_rank,
// output_rank) or None, shift and zoom float64 (input_rank,) or None,
// coordinates float64 C-contiguous (input_rank, output voxels) or None; the
// origins and grid (z, y, x) triples; vectors false for the scalar loop alone.
// False with a Python error set.
bool prepare_spline_transform(PyObject *args, spline_job &job);

// Reads (values, axis, order, mode): values a C-contiguous, aligned,
// writeable, native float64 array of any rank, filtered in place along axis.
bool prepare_spline_filter(PyObject *args, spline_filter_job &job);

// The names of the modes, in the order of their codes.
PyObject *spline_mode_names();

#endif
