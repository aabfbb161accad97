#ifndef VOXWARPKIT_KERNEL_NDIMAGE_SPLINE_WEIGHTS_H
#define VOXWARPKIT_KERNEL_NDIMAGE_SPLINE_WEIGHTS_H

// The B-splines of orders 0 to 5 as interpolation methods of the index-space
// path: where an axis's taps start and how they weigh, in double. Odd orders
// start their taps from floor(c), even ones from the nearest whole index
// floor(c + 0.5); each weighs order + 1 taps. Order 1 weighs as linear
// interpolation does (1 - f, f) and order 3 by the cubic B-spline of
// bspline.h; orders 2, 4 and 5 are their B-splines' polynomials, the last
// weight being 1 less the others, subtracted in order.

#include "kernel/bspline.h"

#include <cmath>
#include <cstdint>

namespace voxwarp {
namespace {

constexpr int largest_spline_order = 5;

// floor(c) for |c| < 2**52, through a truncation to a 64-bit integer: the
// same double as std::floor (+0.0 where std::floor keeps -0.0), without the
// library call x86-64's baseline needs for it.
inline double floor_below_2_52(double c)
{
    const double truncated = static_cast<double>(static_cast<int64_t>(c));
    return truncated > c ? truncated - 1.0 : truncated;
}
constexpr int most_spline_taps = largest_spline_order + 1;

// The first tap of position c (|c| < 2**52) for `order`.
inline int64_t first_tap(double c, int order)
{
    const double base = (order & 1) != 0 ? floor_below_2_52(c) : floor_below_2_52(c + 0.5);
    return static_cast<int64_t>(base) - order / 2;
}

// The weights of the taps of position c, first_tap(c, Order) on, from the
// offset x = c - floor(c) (odd orders) or c - floor(c + 0.5) (even ones),
// which is exact.
template <int Order>
inline void spline_weights_at(double x, double weights[most_spline_taps])
{
    if constexpr (Order == 0) {
        weights[0] = 1.0;
        return;
    } else if constexpr (Order == 1) {
        weights[0] = 1.0 - x;
        weights[1] = x;
        return;
    } else if constexpr (Order == 3) {
        bspline_weights<plain_doubles>(x, weights);
        return;
    } else {
        if constexpr (Order == 2) {
            weights[1] = 0.75 - x * x;
            const double y = 0.5 - x;
            weights[0] = (0.5 * y) * y;
        } else if constexpr (Order == 4) {
            const double t = x * x;
            weights[2] = t * (t * 0.25 - 0.625) + 115.0 / 192.0;
            const double y = 1.0 + x;
            weights[1] = y * (y * ((y * (5.0 - y)) / 6.0 - 1.25) + 5.0 / 24.0) + 55.0 / 96.0;
            const double z = 1.0 - x;
            weights[3] = z * (z * ((z * (5.0 - z)) / 6.0 - 1.25) + 5.0 / 24.0) + 55.0 / 96.0;
            const double w = 0.5 - x;
            const double w2 = w * w;
            weights[0] = (w2 * w2) / 24.0;
        } else {
            static_assert(Order == 5, "B-splines of orders 0 to 5");
            const double y = x, z = 1.0 - x;
            const double y2 = y * y, z2 = z * z;
            weights[2] = y2 * (y2 * (0.25 - y / 12.0) - 0.5) + 0.55;
            weights[3] = z2 * (z2 * (0.25 - z / 12.0) - 0.5) + 0.55;
            const double y1 = y + 1.0, z1 = z + 1.0;
            weights[1] = y1 * (y1 * (y1 * (y1 * (y1 / 24.0 - 0.375) + 1.25) - 1.75) + 0.625) + 0.425;
            weights[4] = z1 * (z1 * (z1 * (z1 * (z1 / 24.0 - 0.375) + 1.25) - 1.75) + 0.625) + 0.425;
            const double w = 1.0 - x;
            const double w2 = w * w;
            weights[0] = ((w * w2) * w2) / 120.0;
        }
        double last = 1.0;
        for (int k = 0; k < Order; ++k) {
            last = last - weights[k];
        }
        weights[Order] = last;
    }
}

// The whole index the taps of position c count from: floor(c) for odd
// orders, floor(c + 0.5) for even ones.
template <int Order>
inline double tap_base(double c)
{
    return (Order & 1) != 0 ? floor_below_2_52(c) : floor_below_2_52(c + 0.5);
}

// The weights of the taps of position c (|c| < 2**52) for a run-time order.
inline void spline_weights(double c, int order, double weights[most_spline_taps])
{
    const double base = (order & 1) != 0 ? floor_below_2_52(c) : floor_below_2_52(c + 0.5);
    const double x = c - base;
    switch (order) {
    case 0: spline_weights_at<0>(x, weights); return;
    case 1: spline_weights_at<1>(x, weights); return;
    case 2: spline_weights_at<2>(x, weights); return;
    case 3: spline_weights_at<3>(x, weights); return;
    case 4: spline_weights_at<4>(x, weights); return;
    default: spline_weights_at<5>(x, weights); return;
    }
}

// The poles of the B-spline of `order` (2 to 5), as scipy lists them, into
// `poles`; returns how many.
inline int spline_poles(int order, double poles[2])
{
    switch (order) {
    case 2: poles[0] = -0.171572875253809902396622551580603843; return 1;
    case 3: poles[0] = -0.267949192431122706472553658494127633; return 1;
    case 4:
        poles[0] = -0.361341225900220177092212841325675255;
        poles[1] = -0.013725429297339121360331226939128204;
        return 2;
    case 5:
        poles[0] = -0.430575347099973791851434783493520110;
        poles[1] = -0.043096288203264653822712376822550182;
        return 2;
    }
    return 0;
}

}  // namespace
}  // namespace voxwarp

#endif
