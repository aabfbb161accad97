#ifndef VOXWARPKIT_SOURCE_BOX_H
#define VOXWARPKIT_SOURCE_BOX_H

// Which source voxels a job reads, and whether a job is safe to run: what the
// Python-facing code checks before it hands a job to a kernel, and what a
// caller asks to cut the source window a block of the target needs.

#include "kernel/resample_job.h"

// Half-open ranges of source voxels, per axis, that the job's positions can
// read; `empty` when no position can be sampled at all.
struct source_range {
    xyz first, end;
    bool empty;
};

// The source voxels the target box's positions read, found from the exact
// arithmetic at the box's eight corners: every rounded step of a source index
// is monotone in each output index, so its extremes lie at corners. An axis
// whose corner indices are not all finite gets its whole extent. Reads only
// the full extent, spacings, matrix, interpolation and target box of `job`; computes under
// the default floating-point environment, as the kernel does.
source_range source_voxels_read(const resample_job &job);

// True when the job's window holds every voxel its positions read, its
// offsets fit the kernel's integers and its element size suits its interpolation.
bool job_is_sound(const resample_job &job);

#endif
