#include "kernel/gaussian_fir.h"

#include "kernel/line_filter.h"

#include <cmath>

namespace {

constexpr double inverse_ln2 = 1.4426950408889634;       // 1 / ln 2
constexpr double ln2_high = 6.93147180369123816490e-01;  // its last 21 bits are zero: n ln2_high is exact
constexpr double ln2_low = 1.90821492927058770002e-10;   // ln 2 - ln2_high
constexpr int degree = 13;

// 1 / k! for k = 0 .. degree, each the double nearest to it.
constexpr double inverse_factorials[degree + 1] = {
    1.0,
    1.0,
    1.0 / 2.0,
    1.0 / 6.0,
    1.0 / 24.0,
    1.0 / 120.0,
    1.0 / 720.0,
    1.0 / 5040.0,
    1.0 / 40320.0,
    1.0 / 362880.0,
    1.0 / 3628800.0,
    1.0 / 39916800.0,
    1.0 / 479001600.0,
    1.0 / 6227020800.0,
};

}  // namespace

double fixed_exp(double x)
{
    if (!(x >= -745.0)) {
        return 0.0;
    }
    const double scaled = x * inverse_ln2;
    const double n = std::floor(scaled + 0.5);
    const double high = n * ln2_high;
    const double low = n * ln2_low;
    const double t = (x - high) - low;
    double sum = inverse_factorials[degree];
    for (int k = degree - 1; k >= 0; --k) {
        const double product = sum * t;
        sum = product + inverse_factorials[k];
    }
    return std::ldexp(sum, static_cast<int>(n));
}

int32_t gaussian_radius(double sigma)
{
    const double reach = std::ceil(4.0 * sigma);
    return reach > static_cast<double>(largest_fir_radius) ? -1 : static_cast<int32_t>(reach);
}

void gaussian_weights(double sigma, int32_t radius, double *weights)
{
    const double twice_variance = 2.0 * (sigma * sigma);
    for (int32_t k = -radius; k <= radius; ++k) {
        const double square = static_cast<double>(k) * static_cast<double>(k);
        weights[k + radius] = fixed_exp(-(square / twice_variance));
    }
    double sum = weights[0];
    for (int32_t k = 1; k <= 2 * radius; ++k) {
        sum = sum + weights[k];
    }
    for (int32_t k = 0; k <= 2 * radius; ++k) {
        weights[k] = weights[k] / sum;
    }
}

void fir_filter_lines(float *first, ptrdiff_t n, ptrdiff_t step, ptrdiff_t width, const double *weights, int32_t radius,
                      double *work)
{
    // The line extended by `radius` mirrored samples at each end, then the sums.
    const ptrdiff_t padded = n + 2 * ptrdiff_t{radius};
    double *extended = work;
    double *sums = work + padded * width;
    for (ptrdiff_t j = 0; j < padded; ++j) {
        const ptrdiff_t offset = j - radius;
        const ptrdiff_t i = mirrored(offset < 0 ? -offset : offset, n);
        for (ptrdiff_t c = 0; c < width; ++c) {
            extended[j * width + c] = static_cast<double>(first[i * step + c]);
        }
    }
    // Term by term over the whole line, so that each sum still adds its terms from offset -radius.
    const ptrdiff_t count = n * width;
    for (ptrdiff_t e = 0; e < count; ++e) {
        sums[e] = weights[0] * extended[e];
    }
    for (int32_t k = 1; k <= 2 * radius; ++k) {
        const double weight = weights[k];
        const double *shifted = extended + ptrdiff_t{k} * width;
        for (ptrdiff_t e = 0; e < count; ++e) {
            const double term = weight * shifted[e];
            sums[e] = sums[e] + term;
        }
    }
    for (ptrdiff_t i = 0; i < n; ++i) {
        for (ptrdiff_t c = 0; c < width; ++c) {
            first[i * step + c] = stored_line_value(sums[i * width + c]);
        }
    }
}
