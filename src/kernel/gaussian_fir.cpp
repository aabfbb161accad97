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

namespace {

// Lines summed side by side in one group of accumulators, held in registers.
constexpr ptrdiff_t group_width = 8;

// Output sample i of lines c0 .. c0 + count - 1 from the extended lines
// (`width` of them, interleaved), each sum added from offset -radius.
template <ptrdiff_t count>
void fir_group(const double *extended, ptrdiff_t width, ptrdiff_t i, ptrdiff_t c0, const double *weights,
               int32_t radius, double *sums)
{
    const double *row = extended + i * width + c0;
    double acc[count];
    for (ptrdiff_t c = 0; c < count; ++c) {
        acc[c] = weights[0] * row[c];
    }
    for (int32_t k = 1; k <= 2 * radius; ++k) {
        const double weight = weights[k];
        const double *shifted = row + ptrdiff_t{k} * width;
        for (ptrdiff_t c = 0; c < count; ++c) {
            const double term = weight * shifted[c];
            acc[c] = acc[c] + term;
        }
    }
    for (ptrdiff_t c = 0; c < count; ++c) {
        sums[c] = acc[c];
    }
}

}  // namespace

void fir_filter_lines(float *first, ptrdiff_t n, ptrdiff_t step, ptrdiff_t width, ptrdiff_t line_step,
                      const double *weights, int32_t radius, double *work)
{
    // The lines extended by `radius` mirrored samples at each end, interleaved:
    // sample j of line c at extended[j * width + c].
    const ptrdiff_t padded = n + 2 * ptrdiff_t{radius};
    double *extended = work;
    double *sums = work + padded * width;
    for (ptrdiff_t j = 0; j < padded; ++j) {
        const ptrdiff_t offset = j - radius;
        // Only the ends are mirrored: the division in `mirrored` would cost more than the copy.
        const ptrdiff_t i = offset >= 0 && offset < n ? offset : mirrored(offset < 0 ? -offset : offset, n);
        const float *sample = first + i * step;
        for (ptrdiff_t c = 0; c < width; ++c) {
            extended[j * width + c] = static_cast<double>(sample[c * line_step]);
        }
    }
    // Each output sample's terms in order, the sums of a group of lines kept in registers.
    for (ptrdiff_t i = 0; i < n; ++i) {
        ptrdiff_t c0 = 0;
        for (; c0 + group_width <= width; c0 += group_width) {
            fir_group<group_width>(extended, width, i, c0, weights, radius, sums + c0);
        }
        for (; c0 < width; ++c0) {
            fir_group<1>(extended, width, i, c0, weights, radius, sums + c0);
        }
        float *stored = first + i * step;
        if (line_step == 1) {  // a plain loop over contiguous samples, which the compiler vectorises
            for (ptrdiff_t c = 0; c < width; ++c) {
                stored[c] = stored_line_value(sums[c]);
            }
        } else {
            for (ptrdiff_t c = 0; c < width; ++c) {
                stored[c * line_step] = stored_line_value(sums[c]);
            }
        }
    }
}
