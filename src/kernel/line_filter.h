#ifndef VOXWARPKIT_KERNEL_LINE_FILTER_H
#define VOXWARPKIT_KERNEL_LINE_FILTER_H

// Passes over the lines of one axis of a float32 stack, in place: the cubic
// B-spline prefilter (bspline_prefilter.h) or a symmetric FIR such as the
// Gaussian of anti-aliasing (gaussian_fir.h). Each line is filtered alone, in
// double, and rounded to float32 once, so the result depends on neither the
// threads nor how lines are grouped. A line of one sample is left as it is. A
// NaN result is stored as the quiet NaN 0x7FC00000, whatever NaN the
// processor made.

#include "kernel/resample_job.h"
#include "kernel/run_jobs.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

enum class line_filter_kind { bspline, fir };

// A C-ordered float32 stack of `volumes` volumes of `extent` voxels,
// filtered in place along one axis.
struct line_filter_job {
    float *data;
    int64_t volumes;
    xyz extent;
    int axis;  // 0: along x, 1: along y, 2: along z
    line_filter_kind kind = line_filter_kind::bspline;
    const double *weights = nullptr;  // fir: 2 radius + 1 weights, for offsets -radius .. radius
    int32_t radius = 0;
};

// Index k >= 0 of the mirror-symmetric extension of a line of n >= 2
// samples: sample -k is sample k, sample n - 1 + k is sample n - 1 - k.
inline ptrdiff_t mirrored(ptrdiff_t k, ptrdiff_t n)
{
    const ptrdiff_t period = 2 * (n - 1);
    const ptrdiff_t within = k % period;
    return within < n ? within : period - within;
}

// A filtered value as a pass stores it.
inline float stored_line_value(double value)
{
    const uint32_t quiet_nan = 0x7FC00000u;
    float nan_stored;
    std::memcpy(&nan_stored, &quiet_nan, sizeof nan_stored);
    const float converted = static_cast<float>(value);
    return value == value ? converted : nan_stored;  // a select, not a branch: the stores vectorise
}

// Filters every line of `job` along its axis on up to `threads` threads
// under the default floating-point environment. Returns false when `check`
// stopped it (lines then partly filtered) or when no working memory could be
// had (nothing changed then: `out_of_memory` is set).
bool filter_lines_along_axis(const line_filter_job &job, int threads, progress_check check, bool &out_of_memory);

#endif
