#ifndef VOXWARPKIT_KERNEL_WHOLE_GRID_H
#define VOXWARPKIT_KERNEL_WHOLE_GRID_H

// The job of a whole grid: one voxel size and one matrix for input and output
// alike, as transform and resample_volumes run it.

#include "kernel/resample_job.h"

#include <cstdint>

// Counts of a stack of identical volumes, outermost first. Input and output
// buffers hold nvol * nz * ny * nx floats in the order [volume][z][y][x].
struct volume_shape {
    int32_t nvol;
    int32_t nz;
    int32_t ny;
    int32_t nx;
};

// The job resample_volumes and transform run: linear interpolation from the
// whole of `input` into the whole of `output`, one voxel size and one matrix
// for every volume.
// Copies `voxel_size` and `matrix`; the job refers to both buffers, which must
// outlive it (`output` may be null until the job is run).
resample_job whole_grid_job(const float *input, const volume_shape &shape, const float *voxel_size, const float *matrix,
                            float *output);

#endif
