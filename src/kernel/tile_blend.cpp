#include "kernel/tile_blend.h"

#include <cstddef>

namespace {

// Taylor coefficients (-1)^k / (2k+1)! of the sine, each the double nearest
// to it. With |x| <= pi/2 the first left out, x^21 / 21!, is below 3e-16.
constexpr double sine_terms[9] = {
    -0x1.5555555555555p-3,   // -1/3!
    0x1.1111111111111p-7,    // 1/5!
    -0x1.a01a01a01a01ap-13,  // -1/7!
    0x1.71de3a556c734p-19,   // 1/9!
    -0x1.ae64567f544e4p-26,  // -1/11!
    0x1.6124613a86d09p-33,   // 1/13!
    -0x1.ae7f3e733b81fp-41,  // -1/15!
    0x1.952c77030ad4ap-49,   // 1/17!
    -0x1.2f49b46814157p-57,  // -1/19!
};
constexpr double pi = 0x1.921fb54442d18p+1;

// sin(x) for |x| <= pi/2: x + x * (x^2 * (c1 + x^2 * (c2 + ... + x^2 * c9))),
// evaluated from the innermost term out.
double sine(double x)
{
    const double x2 = x * x;
    double sum = sine_terms[8];
    for (int k = 7; k >= 0; --k) {
        sum = sine_terms[k] + x2 * sum;
    }
    return x + x * (x2 * sum);
}

// The weight of one axis: `index` the position along it, `last` the index of
// its last voxel centre. The distance counts from one voxel beyond the
// outermost centre, so that every voxel the tile holds weighs more than 0.
double axis_weight(tile_blending blending, double index, double last, double spacing, double width)
{
    const double inner = last - index;
    const double nearer = index < inner ? index : inner;
    const double t = ((nearer + 1.0) * spacing) / width;
    if (!(t < 1.0)) {
        return 1.0;
    }
    if (blending == tile_blending::linear) {
        return t;
    }
    return 0.5 - 0.5 * cos_pi(t);
}

}  // namespace

double cos_pi(double t)
{
    return sine(pi * (0.5 - t));
}

double tile_weight(const tile_blend_job &job, const double p[3])
{
    for (int a = 0; a < 3; ++a) {
        if (!(p[a] >= 0.0 && p[a] <= static_cast<double>(job.tile_extent[a] - 1))) {
            return 0.0;
        }
    }
    if (job.blending == tile_blending::average || job.blending == tile_blending::maximum) {
        return 1.0;
    }
    double w[3];
    for (int a = 0; a < 3; ++a) {
        w[a] =
            axis_weight(job.blending, p[a], static_cast<double>(job.tile_extent[a] - 1), job.spacing[a], job.width[a]);
    }
    return (w[0] * w[1]) * w[2];
}

void blend_tile(const tile_blend_job &job)
{
    const ptrdiff_t row = job.extent[0];
    const ptrdiff_t slice = row * job.extent[1];
    const ptrdiff_t volume = slice * job.extent[2];
    const double *m = job.matrix;
    for (int32_t k = 0; k < job.extent[2]; ++k) {
        const double z = static_cast<double>(job.origin[2] + k);
        for (int32_t j = 0; j < job.extent[1]; ++j) {
            const double y = static_cast<double>(job.origin[1] + j);
            // Each index is m[4a] * x + ((m[4a+1] * y + m[4a+2] * z) + m[4a+3]): the row's part first.
            const double row_part[3] = {(m[1] * y + m[2] * z) + m[3], (m[5] * y + m[6] * z) + m[7],
                                        (m[9] * y + m[10] * z) + m[11]};
            const ptrdiff_t first = k * slice + j * row;
            for (int32_t i = 0; i < job.extent[0]; ++i) {
                const double x = static_cast<double>(job.origin[0] + i);
                const double p[3] = {m[0] * x + row_part[0], m[4] * x + row_part[1], m[8] * x + row_part[2]};
                const double w = tile_weight(job, p);
                if (w == 0.0) {
                    continue;
                }
                const ptrdiff_t at = first + i;
                if (job.blending == tile_blending::maximum) {
                    const bool first_tile = job.weights[at] == 0.0;
                    for (int64_t v = 0; v < job.volumes; ++v) {
                        const double value = job.values[v * volume + at];
                        double &largest = job.sums[v * volume + at];
                        // np.maximum's rule: a NaN wins, and the first NaN stays.
                        if (first_tile || (largest == largest && (value != value || value > largest))) {
                            largest = value;
                        }
                    }
                    job.weights[at] += 1.0;
                    continue;
                }
                for (int64_t v = 0; v < job.volumes; ++v) {
                    job.sums[v * volume + at] += w * job.values[v * volume + at];
                }
                job.weights[at] += w;
            }
        }
    }
}
