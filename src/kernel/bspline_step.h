#ifndef VOXWARPKIT_BSPLINE_STEP_H
#define VOXWARPKIT_BSPLINE_STEP_H

// A cubic B-spline deformation as a step of a chain, ITK's BSplineTransform
// in a frame where its control grid is axis-aligned: p <- p + d(p), with d
// the sum in double over the 4 x 4 x 4 control points around p, rounded once
// to float32. Where p lies outside the grid's support there is no
// displacement.

#include "kernel/resample_job.h"

#include <cstdint>

// The control grid: a displacement (dx, dy, dz) per control point, the
// points `spacing` apart from `origin`.
struct bspline_grid {
    const double *coefficients;  // dx, dy, dz of point (x, y, z) at 3 * ((z * ny + y) * nx + x)
    xyz extent;                  // points along x, y, z, each at least 4
    double origin[3];            // x, y, z of point (0, 0, 0)
    double spacing[3];           // positive, along x, y, z
};

// p <- p + d(p): along each axis the grid index u = (p - origin) / spacing in
// double; where u lies in [1, n - 2] on all three axes, each component of d
// is the cubic B-spline sum of the coefficients at b - 1 .. b + 2 with the
// weights of cubic interpolation at u - b (b = floor(u), or n - 3 at the last
// knot u = n - 2), summed along x, then y, then z, each sum from the left,
// rounded once to float; then p + d in float. Elsewhere, and for NaN
// positions, p is left as it is.
void apply_bspline(const bspline_grid &grid, float p[3]);

// The d of apply_bspline at every position (xs[i], ys[j], zs[k]) of a box,
// with the same bits, written as float32 into displacements (3, nz, ny, nx);
// 0 where p lies outside the support. Sums shared by positions with the same
// taps are formed once.
void bspline_displacements(const bspline_grid &grid, const float *xs, int32_t nx, const float *ys, int32_t ny,
                           const float *zs, int32_t nz, float *displacements);

#endif
