#ifndef VOXWARPKIT_RESAMPLE_SCALAR_H
#define VOXWARPKIT_RESAMPLE_SCALAR_H

// The signature every form of the resampling kernel shares, and the scalar
// form, which is the definition the vectorised ones must match bit for bit.

#include "kernel/resample_job.h"

// Runs `job` once: reads its source window and writes every position of its
// target box, as the job's interpolation says; the job must be sound
// (job_is_sound), and its source and target must not overlap. A kernel
// allocates nothing, reports nothing and computes under whatever
// floating-point environment its caller set (run_resample_job sets IEEE's).
using resample_function = void (*)(const resample_job &job);

// The scalar kernel, position by position in C order: the definition.
void resample_scalar(const resample_job &job);

#endif
