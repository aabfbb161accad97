#ifndef VOXWARPKIT_BSPLINE_CHAIN_H
#define VOXWARPKIT_BSPLINE_CHAIN_H

// The kernel of jobs whose chain holds a B-spline deformation: the scalar
// kernel's sampling of every method, at the positions any_chain_indices
// makes. The same bits on every processor; no vectorised variant.

#include "kernel/resample_job.h"

// Whether the job's chain holds a B-spline step, which only this kernel runs.
bool chain_has_bspline(const resample_job &job);

// resample_scalar's contract for any sound job, B-spline steps included.
void resample_bspline_chain(const resample_job &job);

#endif
