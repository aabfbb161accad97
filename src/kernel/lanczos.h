#ifndef VOXWARPKIT_KERNEL_LANCZOS_H
#define VOXWARPKIT_KERNEL_LANCZOS_H

// Lanczos windowed-sinc interpolation of radius 3: six taps per axis, weights
// as products of the one-dimensional windowed sinc, not normalised, taps
// clamped to the source. The sines come from fixed polynomials in double, so
// the weights have the same bits on every machine (a libm's sin need not).

#include "kernel/separable.h"

namespace voxwarp {
namespace {

constexpr int lanczos_radius = 3;
constexpr int lanczos_taps = 2 * lanczos_radius;
constexpr double pi = 3.141592653589793;
constexpr double pi_squared = 9.869604401089358;
// sin(pi k / 3) and cos(pi k / 3) for the taps k = -2 .. 3.
constexpr double sin_third[lanczos_taps] = {-0.8660254037844386, -0.8660254037844386, 0.0,
                                            0.8660254037844386,  0.8660254037844386,  0.0};
constexpr double cos_third[lanczos_taps] = {-0.5, 0.5, 1.0, 0.5, -0.5, -1.0};

// sin(y) for y in [0, pi / 2] by its Taylor series to y^23, in Horner's
// order, with the double operations of D (plain_doubles or a vector's).
template <typename D>
inline typename D::doubles sine(typename D::doubles y)
{
    using doubles = typename D::doubles;
    const doubles y2 = D::mul_double(y, y);
    doubles sum = D::broadcast_double(-1.0 / 25852016738884976640000.0);  // -1/23!
    const double inverse_factorials[] = {
        1.0 / 51090942171709440000.0,  // 1/21!
        -1.0 / 121645100408832000.0,   // -1/19!
        1.0 / 355687428096000.0,       // 1/17!
        -1.0 / 1307674368000.0,        // -1/15!
        1.0 / 6227020800.0,            // 1/13!
        -1.0 / 39916800.0,             // -1/11!
        1.0 / 362880.0,                // 1/9!
        -1.0 / 5040.0,                 // -1/7!
        1.0 / 120.0,                   // 1/5!
        -1.0 / 6.0,                    // -1/3!
        1.0,
    };
    for (const double coefficient : inverse_factorials) {
        const doubles scaled = D::mul_double(sum, y2);
        sum = D::add_double(scaled, D::broadcast_double(coefficient));
    }
    return D::mul_double(sum, y);
}

// cos(y) for y in [0, pi / 2] by its Taylor series to y^22, in Horner's order.
template <typename D>
inline typename D::doubles cosine(typename D::doubles y)
{
    using doubles = typename D::doubles;
    const doubles y2 = D::mul_double(y, y);
    doubles sum = D::broadcast_double(-1.0 / 1124000727777607680000.0);  // -1/22!
    const double inverse_factorials[] = {
        1.0 / 2432902008176640000.0,  // 1/20!
        -1.0 / 6402373705728000.0,    // -1/18!
        1.0 / 20922789888000.0,       // 1/16!
        -1.0 / 87178291200.0,         // -1/14!
        1.0 / 479001600.0,            // 1/12!
        -1.0 / 3628800.0,             // -1/10!
        1.0 / 40320.0,                // 1/8!
        -1.0 / 720.0,                 // -1/6!
        1.0 / 24.0,                   // 1/4!
        -1.0 / 2.0,                   // -1/2!
        1.0,
    };
    for (const double coefficient : inverse_factorials) {
        const doubles scaled = D::mul_double(sum, y2);
        sum = D::add_double(scaled, D::broadcast_double(coefficient));
    }
    return sum;
}

// The six weights of one axis for the fraction d = I - floor(I) in [0, 1):
// tap k (k = -2 .. 3, at floor(I) + k) sits at t = d - k and weighs
// sinc(t) sinc(t / 3) = 3 sin(pi t) sin(pi t / 3) / (pi^2 t^2), or 1 at t = 0,
// with sin(pi t) = (-1)^k sin(pi d) and sin(pi t / 3) from sin and cos of
// pi d / 3 by the angle-difference rule. One definition for the scalar
// routine and every vector, each step rounded as written.
template <typename D>
inline void lanczos_weights(typename D::doubles d, typename D::doubles weights[lanczos_taps])
{
    using doubles = typename D::doubles;
    const doubles one = D::broadcast_double(1.0);
    const doubles pi_lanes = D::broadcast_double(pi);
    // sin(pi d) = sin(pi (1 - d)); both exact.
    const doubles half = D::select_double(D::greater_double(d, D::broadcast_double(0.5)), D::sub_double(one, d), d);
    const doubles s1 = sine<D>(D::mul_double(pi_lanes, half));
    const doubles angle = D::mul_double(pi_lanes, d);
    const doubles third = D::div_double(angle, D::broadcast_double(3.0));
    const doubles s3 = sine<D>(third);
    const doubles c3 = cosine<D>(third);
    // -s1 as a product by -1: the same bits, zero's sign included, s1 being a number.
    const doubles minus_s1 = D::mul_double(s1, D::broadcast_double(-1.0));
    for (int tap = 0; tap < lanczos_taps; ++tap) {
        const int k = tap - (lanczos_radius - 1);
        const doubles t = D::sub_double(d, D::broadcast_double(k));  // exact
        const doubles s1k = (k % 2 == 0) ? s1 : minus_s1;
        const doubles a = D::mul_double(s3, D::broadcast_double(cos_third[tap]));
        const doubles b = D::mul_double(c3, D::broadcast_double(sin_third[tap]));
        const doubles s3k = D::sub_double(a, b);
        const doubles numerator = D::mul_double(s1k, s3k);
        const doubles scaled = D::mul_double(D::broadcast_double(3.0), numerator);
        const doubles t2 = D::mul_double(t, t);
        const doubles denominator = D::mul_double(D::broadcast_double(pi_squared), t2);
        // At t = 0 the quotient is 0 / 0, computed and discarded.
        weights[tap] =
            D::select_double(D::equal_double(t, D::broadcast_double(0.0)), one, D::div_double(scaled, denominator));
    }
}

// One axis of a Lanczos position: false unless the nearest voxel of I lies in
// [0, n - 1]; else the six taps' indices, clamped to [0, n - 1], and weights.
inline bool lanczos_axis(float I, int32_t n, int32_t taps[lanczos_taps], double weights[lanczos_taps])
{
    const auto clamped = [](int32_t index, int32_t count) {
        return index < 0 ? 0 : index > count - 1 ? count - 1 : index;
    };
    return tap_axis<lanczos_taps>(I, n, lanczos_radius - 1, taps, weights, clamped, lanczos_weights<plain_doubles>);
}

// Lanczos interpolation as a separable method: its terms added one by one.
struct lanczos {
    static constexpr int taps = lanczos_taps;
    static constexpr int before = lanczos_radius - 1;
    static bool axis(float I, int32_t n, int32_t index[taps], double weights[taps])
    {
        return lanczos_axis(I, n, index, weights);
    }
    template <typename Math, typename Source>
    static double sum(Source v, const ptrdiff_t offsets[3][taps], const double weights[3][taps])
    {
        return flat_sum<Math, taps>(v, offsets, weights);
    }
};

}  // namespace
}  // namespace voxwarp

#endif
