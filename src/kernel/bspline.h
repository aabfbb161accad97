#ifndef VOXWARPKIT_KERNEL_BSPLINE_H
#define VOXWARPKIT_KERNEL_BSPLINE_H

// Cubic B-spline interpolation of coefficients (made from the image by
// bspline_prefilter): four taps per axis, floor(I) - 1 .. floor(I) + 2, each
// index reflected about the first and last voxel centres (the mirror-symmetric
// extension the coefficients were made for), weights the cubic B-spline's at
// the fraction, terms summed axis by axis.

#include "kernel/separable.h"

namespace voxwarp {
namespace {

constexpr int bspline_taps = 4;

// Index reflected about the centres of voxels 0 and n - 1 until it lies in
// [0, n - 1]: -1 reads 1, n reads n - 2. Taps reach at most two voxels past
// an edge, so this takes a step or two.
inline int32_t mirrored(int32_t index, int32_t n)
{
    if (n == 1) {
        return 0;
    }
    while (index < 0 || index > n - 1) {
        index = index < 0 ? -index : 2 * (n - 1) - index;
    }
    return index;
}

// The four weights for the fraction t = I - floor(I) in [0, 1), in double:
//   (1 - t)^3 / 6,  (3t^3 - 6t^2 + 4) / 6,  (-3t^3 + 3t^2 + 3t + 1) / 6,  t^3 / 6,
// each step rounded as written.
inline void bspline_weights(double t, double weights[bspline_taps])
{
    const double s = 1.0 - t;
    const double s2 = s * s;
    const double s3 = s2 * s;
    const double t2 = t * t;
    const double t3 = t2 * t;
    const double three_t3 = 3.0 * t3;
    const double six_t2 = 6.0 * t2;
    const double three_t2 = 3.0 * t2;
    const double three_t = 3.0 * t;
    const double second = three_t3 - six_t2;
    const double second_sum = second + 4.0;
    const double third = three_t2 - three_t3;
    const double third_with_t = third + three_t;
    const double third_sum = third_with_t + 1.0;
    weights[0] = s3 / 6.0;
    weights[1] = second_sum / 6.0;
    weights[2] = third_sum / 6.0;
    weights[3] = t3 / 6.0;
}

// One axis: false unless the nearest voxel of I lies in [0, n - 1]; else the
// four taps' indices, mirrored into [0, n - 1], and their weights.
inline bool bspline_axis(float I, int32_t n, int32_t index[bspline_taps], double weights[bspline_taps])
{
    if (nearest_index(I, n) < 0) {
        return false;
    }
    const float below = std::floor(I);
    const float fraction = I - below;  // exact
    const int32_t base = static_cast<int32_t>(below);
    for (int tap = 0; tap < bspline_taps; ++tap) {
        index[tap] = mirrored(base + tap - 1, n);
    }
    bspline_weights(double{fraction}, weights);
    return true;
}

// Cubic B-spline interpolation as a separable method: sums axis by axis.
struct cubic_bspline {
    static constexpr int taps = bspline_taps;
    static bool axis(float I, int32_t n, int32_t index[taps], double weights[taps])
    {
        return bspline_axis(I, n, index, weights);
    }
    template <typename Math, typename Source>
    static double sum(Source v, const ptrdiff_t offsets[3][taps], const double weights[3][taps])
    {
        return nested_sum<Math, taps>(v, offsets, weights);
    }
};

}  // namespace
}  // namespace voxwarp

#endif
