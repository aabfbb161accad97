#ifndef VOXWARPKIT_H
#define VOXWARPKIT_H

#include "kernel/resample_job.h"

#include <cstdint>

#if !defined(VOXWARPKIT_KERNEL_ONLY)
#include <Python.h>
#include <numpy/ndarraytypes.h>
#endif

// Counts of a stack of identical volumes, outermost first. Input and output
// buffers hold nvol * nz * ny * nx floats in the order [volume][z][y][x].
struct volume_shape {
    int32_t nvol;
    int32_t nz;
    int32_t ny;
    int32_t nx;
};

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

// The job resample_volumes runs: linear interpolation from the whole of `input`
// into the whole of `output`, one voxel size and one matrix for every volume.
// Copies `voxel_size` and `matrix`; the job refers to both buffers, which must
// outlive it (`output` may be null until the job is run).
resample_job whole_grid_job(const float *input, const volume_shape &shape, const float *voxel_size, const float *matrix,
                            float *output);

#if !defined(VOXWARPKIT_KERNEL_ONLY)
// The driver of the module _voxwarpkit: resamples a rank-3 or rank-4 image of
// any supported element type on the calling thread and returns a new float32
// array of its shape, or null with a Python error set.
PyObject *transform(PyArrayObject *image, PyArrayObject *voxel_size, PyArrayObject *matrix);
#endif

#endif
