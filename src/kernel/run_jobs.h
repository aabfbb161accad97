#ifndef VOXWARPKIT_RUN_JOBS_H
#define VOXWARPKIT_RUN_JOBS_H

// Runs kernel jobs without Python: on the calling thread, or split into pieces
// across worker threads. A piece is a box of the target, and every position is
// computed from its global index alone, so the bits do not depend on the
// number of threads or on how the target is split.

#include "kernel/resample_scalar.h"

#include <cstddef>

// Runs the sound `job` with `kernel` on the calling thread under IEEE 754's
// default floating-point environment, and restores the caller's afterwards.
void run_resample_job(const resample_job &job, resample_function kernel);

// Asked on the calling thread between pieces, at most every 50 ms or so:
// whether to go on (keep_going(context) returns true). Null `keep_going` never
// stops the run.
struct progress_check {
    bool (*keep_going)(void *context);
    void *context;
};

// Runs `count` sound jobs with `kernel` on up to `threads` threads, the
// calling one included; each thread computes under the default environment.
// Returns false when `check` stopped the run, whose targets are then partly
// written. Never throws: if the system refuses a thread, the others do its work.
bool run_resample_jobs(const resample_job *jobs, size_t count, resample_function kernel, int threads,
                       progress_check check);

#endif
