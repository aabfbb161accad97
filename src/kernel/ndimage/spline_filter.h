#ifndef VOXWARPKIT_KERNEL_NDIMAGE_SPLINE_FILTER_H
#define VOXWARPKIT_KERNEL_NDIMAGE_SPLINE_FILTER_H

// The B-spline prefilter of orders 2 to 5 in double, in place along one axis
// of a C-ordered float64 array, as scipy.ndimage's spline_filter1d computes
// it. Each line is filtered alone, so neither threads nor how lines are
// grouped change a bit. For a line c[0 .. n-1] (n >= 2) and the poles z of
// the order, every step rounded in double:
//   gain  g = 1; g = g * ((1 - z) * (1 - 1 / z)) pole by pole; c[i] = c[i] * g
//   then for each pole in turn: the causal start of the boundary, c[i] = c[i] + z * c[i - 1]
//   for i = 1 .. n - 1, the anticausal start, c[i] = z * (c[i + 1] - c[i]) for i = n - 2 .. 0.
// The starts are spline_filter.cpp's, with z**k made by repeated products.
// Every NaN is stored as the quiet NaN 0x7FF8000000000000, whatever NaN the
// processor made.

#include "kernel/ndimage/spline_modes.h"
#include "kernel/run_jobs.h"

#include <cstdint>

struct spline_filter_job {
    double *data;
    int64_t before;  // lines' count of the axes before `axis` (their product)
    int64_t length;  // samples along the axis
    int64_t after;   // the product of the axes after it: the elements between two samples of a line
    int order;       // 2 to 5
    filter_boundary boundary;
};

// Filters every line of the job on up to `threads` threads under the default
// floating-point environment; false when `check` stopped it (lines then
// partly filtered) or when no working memory could be had (nothing changed
// then: `out_of_memory` is set).
bool spline_filter_along_axis(const spline_filter_job &job, int threads, progress_check check, bool &out_of_memory);

#endif
