#ifndef VOXWARPKIT_KERNEL_NDIMAGE_SPLINE_MODES_H
#define VOXWARPKIT_KERNEL_NDIMAGE_SPLINE_MODES_H

// scipy.ndimage's boundary modes, as the index-space spline path applies them:
// how a position beyond the input is brought back into it, where the taps of
// the spline read past an edge, and which start the prefilter's recursions
// take. Every step is a double or 64-bit integer operation in the order
// written, so that a position decides the same voxels as scipy's does.

#include <cmath>
#include <cstdint>

// The modes, numbered as scipy numbers them; grid-mirror is reflect.
enum class spline_mode : int32_t { nearest, wrap, reflect, mirror, constant, grid_wrap, grid_constant };

constexpr int spline_mode_count = 7;

// How the prefilter starts its causal and anticausal recursions.
enum class filter_boundary : int32_t { mirror, reflect, wrap };

namespace voxwarp {
namespace {

// Positions of this magnitude or more, NaN and infinities are not sampled:
// below it every quotient and floor of the rules fits a 64-bit integer.
constexpr double largest_position = 4503599627370496.0;  // 2**52

// The prefilter's start for each mode: scipy's, which is mirror's wherever a
// mode has no exact start of its own (constant, grid-constant, wrap), and
// reflect's for nearest, whose input is padded first.
inline filter_boundary filter_boundary_of(spline_mode mode)
{
    switch (mode) {
    case spline_mode::nearest:
    case spline_mode::reflect: return filter_boundary::reflect;
    case spline_mode::grid_wrap: return filter_boundary::wrap;
    case spline_mode::wrap:
    case spline_mode::mirror:
    case spline_mode::constant:
    case spline_mode::grid_constant: break;
    }
    return filter_boundary::mirror;
}

// The mode that places taps past an edge: constant and wrap read mirror
// images, the others their own rule.
inline spline_mode tap_mode_of(spline_mode mode)
{
    return mode == spline_mode::constant || mode == spline_mode::wrap ? spline_mode::mirror : mode;
}

// A position `in` (|in| < 2**52) outside [0, n - 1] brought back by `mode`;
// -1 for constant, which samples nothing outside. Inside, `in` itself.
inline double mapped_position(double in, int64_t n, spline_mode mode)
{
    const double last = static_cast<double>(n - 1);
    if (in < 0.0) {
        if (mode == spline_mode::nearest) {
            return 0.0;
        }
        if (mode == spline_mode::constant) {
            return -1.0;
        }
        if (n <= 1 || mode == spline_mode::grid_constant) {
            return mode == spline_mode::grid_constant ? in : 0.0;
        }
        switch (mode) {
        case spline_mode::mirror: {
            const int64_t period = 2 * n - 2;
            const double turns = -in / static_cast<double>(period);
            const double moved = static_cast<double>(period * static_cast<int64_t>(turns)) + in;
            return moved <= static_cast<double>(1 - n) ? moved + static_cast<double>(period) : -moved;
        }
        case spline_mode::reflect: {
            const int64_t period = 2 * n;
            double moved = in;
            if (moved < -static_cast<double>(period)) {
                const double turns = -moved / static_cast<double>(period);
                moved = static_cast<double>(period * static_cast<int64_t>(turns)) + moved;
            }
            if (moved < -static_cast<double>(n)) {
                return moved + static_cast<double>(period);
            }
            // 1e-15, not -moved, just below 0: -moved - 1 would round to -1 and sample nothing
            const double reflected = moved > -1e-15 ? 1e-15 : -moved;
            return reflected - 1.0;
        }
        case spline_mode::wrap: {
            const int64_t period = n - 1;
            const double turns = -in / static_cast<double>(period);
            return in + static_cast<double>(period * (static_cast<int64_t>(turns) + 1));
        }
        case spline_mode::grid_wrap: {
            const double turns = (-1.0 - in) / static_cast<double>(n);
            return in + static_cast<double>(n * (static_cast<int64_t>(turns) + 1));
        }
        default: return in;
        }
    }
    if (in > last) {
        if (mode == spline_mode::nearest) {
            return last;
        }
        if (mode == spline_mode::constant) {
            return -1.0;
        }
        if (n <= 1 || mode == spline_mode::grid_constant) {
            return mode == spline_mode::grid_constant ? in : 0.0;
        }
        switch (mode) {
        case spline_mode::mirror: {
            const int64_t period = 2 * n - 2;
            const double turns = in / static_cast<double>(period);
            const double moved = in - static_cast<double>(period * static_cast<int64_t>(turns));
            return moved >= static_cast<double>(n) ? static_cast<double>(period) - moved : moved;
        }
        case spline_mode::reflect: {
            const int64_t period = 2 * n;
            const double turns = in / static_cast<double>(period);
            const double moved = in - static_cast<double>(period * static_cast<int64_t>(turns));
            return moved >= static_cast<double>(n) ? (static_cast<double>(period) - moved) - 1.0 : moved;
        }
        case spline_mode::wrap: {
            const int64_t period = n - 1;
            const double turns = in / static_cast<double>(period);
            return in - static_cast<double>(period * static_cast<int64_t>(turns));
        }
        case spline_mode::grid_wrap: {
            const double turns = in / static_cast<double>(n);
            return in - static_cast<double>(n * static_cast<int64_t>(turns));
        }
        default: return in;
        }
    }
    return in;
}

// The voxel a tap at whole index `index` reads on an axis of n, by the tap
// mode (never constant or grid-constant): in [0, n - 1].
inline int64_t tap_voxel(int64_t index, int64_t n, spline_mode tap_mode)
{
    if (index >= 0 && index < n) {
        return index;
    }
    return static_cast<int64_t>(mapped_position(static_cast<double>(index), n, tap_mode));
}

}  // namespace
}  // namespace voxwarp

#endif
