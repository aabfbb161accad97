#include "kernel/tile_blend.h"

#include "kernel/float_environment.h"
#include "kernel/result_types.h"

#include <cstddef>
#include <cstring>
#include <limits>
#include <vector>

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
double axis_weight(tile_blending blending, double index, double last, double scale)
{
    const double inner = last - index;
    const double nearer = index < inner ? index : inner;
    const double t = (nearer + 1.0) * scale;
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
        w[a] = axis_weight(job.blending, p[a], static_cast<double>(job.tile_extent[a] - 1), job.scale[a]);
    }
    return (w[0] * w[1]) * w[2];
}

void blend_tile(const tile_blend_job &job)
{
    const ieee_default_environment environment;
    const ptrdiff_t row = job.extent[0];
    const ptrdiff_t slice = row * job.extent[1];
    const ptrdiff_t volume = slice * job.extent[2];
    const double *m = job.matrix;
    std::vector<double> row_weights(static_cast<size_t>(row));
    for (int32_t k = 0; k < job.extent[2]; ++k) {
        const double z = static_cast<double>(job.origin[2] + k);
        for (int32_t j = 0; j < job.extent[1]; ++j) {
            const double y = static_cast<double>(job.origin[1] + j);
            // Each index is m[4a] * x + ((m[4a+1] * y + m[4a+2] * z) + m[4a+3]): the row's part first.
            const double row_part[3] = {(m[1] * y + m[2] * z) + m[3], (m[5] * y + m[6] * z) + m[7],
                                        (m[9] * y + m[10] * z) + m[11]};
            bool any = false;
            for (int32_t i = 0; i < job.extent[0]; ++i) {
                const double x = static_cast<double>(job.origin[0] + i);
                const double p[3] = {m[0] * x + row_part[0], m[4] * x + row_part[1], m[8] * x + row_part[2]};
                row_weights[i] = tile_weight(job, p);
                any = any || row_weights[i] != 0.0;
            }
            if (!any) {
                continue;
            }
            const ptrdiff_t first = k * slice + j * row;
            double *weights = job.weights + first;
            if (job.blending == tile_blending::maximum) {
                for (int64_t v = 0; v < job.volumes; ++v) {
                    const double *values = job.values + v * volume + first;
                    double *largest = job.sums + v * volume + first;
                    for (ptrdiff_t i = 0; i < row; ++i) {
                        // np.maximum's rule: a NaN wins, and the first NaN stays.
                        const double value = values[i];
                        if (row_weights[i] != 0.0
                            && (weights[i] == 0.0
                                || (largest[i] == largest[i] && (value != value || value > largest[i])))) {
                            largest[i] = value;
                        }
                    }
                }
            } else {
                for (int64_t v = 0; v < job.volumes; ++v) {
                    const double *values = job.values + v * volume + first;
                    double *sums = job.sums + v * volume + first;
                    for (ptrdiff_t i = 0; i < row; ++i) {
                        // A tile adds nothing where it weighs 0: not even a NaN or an infinity of its value.
                        if (row_weights[i] != 0.0) {
                            sums[i] += row_weights[i] * values[i];
                        }
                    }
                }
            }
            for (ptrdiff_t i = 0; i < row; ++i) {
                weights[i] += row_weights[i];
            }
        }
    }
}

namespace {

template <typename Result>
void finish_as(const blend_finish_job &job)
{
    using stored = typename Result::stored;
    stored fill;
    std::memcpy(&fill, job.fill, sizeof fill);
    stored *result = static_cast<stored *>(job.result);
    for (int64_t v = 0; v < job.volumes; ++v) {
        const double *sums = job.sums + v * job.voxels;
        stored *out = result + v * job.voxels;
        for (int64_t i = 0; i < job.voxels; ++i) {
            const double weight = job.weights[i];
            if (!(weight > 0.0)) {
                out[i] = fill;
                continue;
            }
            double mean = job.maximum ? sums[i] : sums[i] / weight;
            if (mean != mean) {
                mean = std::numeric_limits<double>::quiet_NaN();
            }
            out[i] = Result::of_double(mean, fill);
        }
    }
}

}  // namespace

void finish_blend(const blend_finish_job &job)
{
    const ieee_default_environment environment;
    voxwarp::visit_result_type(job.result_type, [&](auto tag) { finish_as<typename decltype(tag)::type>(job); });
}
