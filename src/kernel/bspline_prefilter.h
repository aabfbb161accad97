#ifndef VOXWARPKIT_KERNEL_BSPLINE_PREFILTER_H
#define VOXWARPKIT_KERNEL_BSPLINE_PREFILTER_H

// The cubic B-spline coefficients of an image, made in place one axis at a
// time by the recursive filter of pole z = sqrt(3) - 2, with mirror-symmetric
// boundaries (sample -k is sample k; sample n - 1 + k is sample n - 1 - k).
// Each line of n samples is filtered in double and rounded to float32 once
// at the end, which is what a pass stores:
//   c[i] = 6 x[i]                                     gain
//   c[0] = sum over k = 0 .. 27 of z^k c[mirror(k)]    z^k by repeated products,
//                                                     added from k = 0; z^28 < 1e-16
//   c[i] = c[i] + z c[i - 1]                          i = 1 .. n - 1
//   c[n - 1] = (z / (z z - 1)) (z c[n - 2] + c[n - 1])
//   c[i] = z (c[i + 1] - c[i])                        i = n - 2 .. 0
// A line of one sample is its own coefficient. A NaN coefficient is stored as
// the quiet NaN 0x7FC00000, whatever NaN the processor made. Every line is
// filtered alone, so the coefficients do not depend on threads or on how
// lines are grouped, only on the axes' order: x, then y, then z.

#include "kernel/resample_job.h"
#include "kernel/run_jobs.h"

#include <cstddef>
#include <cstdint>

// A C-ordered float32 stack of `volumes` volumes of `extent` voxels,
// filtered in place.
struct prefilter_job {
    float *data;
    int64_t volumes;
    xyz extent;
    int axis;  // 0: along x, 1: along y, 2: along z
};

// Filters every line of `job` along its axis on up to `threads` threads
// under the default floating-point environment. Returns false when `check`
// stopped it (lines then partly filtered) or when no working memory could be
// had (nothing changed then: `out_of_memory` is set).
bool bspline_prefilter(const prefilter_job &job, int threads, progress_check check, bool &out_of_memory);

#endif
