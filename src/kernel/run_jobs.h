#ifndef VOXWARPKIT_RUN_JOBS_H
#define VOXWARPKIT_RUN_JOBS_H

// Runs kernel jobs without Python: on the calling thread, or split into pieces
// across worker threads. A piece is a box of the target, and every position is
// computed from its global index alone, so the bits do not depend on the
// number of threads or on how the target is split.

#include "kernel/resample_scalar.h"

#include <cstddef>
#include <cstdint>

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

// One unit of work: work(context, unit, worker).
struct unit_work {
    void (*work)(void *context, int64_t unit, int worker);
    void *context;
};

// Calls work(unit, worker) for every unit from 0 to count - 1 on up to
// `threads` threads, each call under the default floating-point environment;
// `worker` (0 for the calling thread) tells a call which thread's scratch
// memory it may use. Units are handed out one at a time, so threads that run
// at different speeds even out. Returns false when `check` stopped the run,
// whose units are then partly done. Never throws: if the system refuses a
// thread, the others do its work.
bool run_units(int64_t count, int threads, progress_check check, unit_work work);

// Runs `count` sound jobs with `kernel` on up to `threads` threads, the
// calling one included; each thread computes under the default environment.
// Returns false when `check` stopped the run, whose targets are then partly
// written. Never throws: if the system refuses a thread, the others do its work.
bool run_resample_jobs(const resample_job *jobs, size_t count, resample_function kernel, int threads,
                       progress_check check);

#endif
