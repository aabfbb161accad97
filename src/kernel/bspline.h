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
constexpr int bspline_before = 1;  // taps before floor(I)

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
// each step rounded as written, with the double operations of D.
template <typename D>
inline void bspline_weights(typename D::doubles t, typename D::doubles weights[bspline_taps])
{
    using doubles = typename D::doubles;
    const doubles one = D::broadcast_double(1.0), three = D::broadcast_double(3.0);
    const doubles four = D::broadcast_double(4.0), six = D::broadcast_double(6.0);
    const doubles s = D::sub_double(one, t);
    const doubles s2 = D::mul_double(s, s);
    const doubles s3 = D::mul_double(s2, s);
    const doubles t2 = D::mul_double(t, t);
    const doubles t3 = D::mul_double(t2, t);
    const doubles three_t3 = D::mul_double(three, t3);
    const doubles six_t2 = D::mul_double(six, t2);
    const doubles three_t2 = D::mul_double(three, t2);
    const doubles three_t = D::mul_double(three, t);
    const doubles second = D::add_double(D::sub_double(three_t3, six_t2), four);
    const doubles third = D::add_double(D::add_double(D::sub_double(three_t2, three_t3), three_t), one);
    weights[0] = D::div_double(s3, six);
    weights[1] = D::div_double(second, six);
    weights[2] = D::div_double(third, six);
    weights[3] = D::div_double(t3, six);
}

// One axis: false unless the nearest voxel of I lies in [0, n - 1]; else the
// four taps' indices, mirrored into [0, n - 1], and their weights.
inline bool bspline_axis(float I, int32_t n, int32_t index[bspline_taps], double weights[bspline_taps])
{
    return tap_axis<bspline_taps>(I, n, bspline_before, index, weights, mirrored, bspline_weights<plain_doubles>);
}

// Cubic B-spline interpolation as a separable method: sums axis by axis.
struct cubic_bspline {
    static constexpr int taps = bspline_taps;
    static constexpr int before = bspline_before;
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
