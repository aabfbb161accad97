#ifndef VOXWARPKIT_H
#define VOXWARPKIT_H

#include "kernel/whole_grid.h"

#if !defined(VOXWARPKIT_KERNEL_ONLY)
#include <Python.h>
#include "bindings/numpy_api.h"  // numpy's types with the module's one API table
#endif

// Resamples every volume of `input` through the row-major 3x4 `matrix`, which
// maps an output voxel's physical (x, y, z) to the input's, with `voxel_size`
// (sx, sy, sz) serving both grids; writes the trilinear (or, in a one-voxel
// band at an edge, bilinear) blends into the zero-filled `output` and leaves
// every position it cannot sample untouched. Both buffers hold
// nvol * nz * ny * nx floats (fewer than 2**31) and do not overlap. Runs on
// the calling thread with the fastest usable kernel variant, under IEEE 754's
// default floating-point environment: transform's bits for the same floats.
void resample_volumes(const float *input, const volume_shape &shape, const float *voxel_size, const float *matrix,
                      float *output);

#if !defined(VOXWARPKIT_KERNEL_ONLY)
// The driver of the module _voxwarpkit: resamples a rank-3 or rank-4 image of
// any supported element type on the calling thread and returns a new float32
// array of its shape, or null with a Python error set.
PyObject *transform(PyArrayObject *image, PyArrayObject *voxel_size, PyArrayObject *matrix);
#endif

#endif
