#ifndef VOXWARPKIT_KERNEL_SEPARABLE_H
#define VOXWARPKIT_KERNEL_SEPARABLE_H

// Interpolation by a separable kernel of a fixed number of taps per axis, the
// mechanism that Lanczos and cubic B-spline interpolation share. A method
// supplies, as static members of a struct:
//   taps                       taps per axis
//   before                     taps before floor(I), the first voxel
//   axis(I, n, index, weight)  false when the position is not sampled along
//                              an axis of n; else each tap's source index
//                              (within [0, n - 1]) and weight, as doubles
//   sum<Math>(v, offsets, w)   the terms of volume v added in the method's
//                              fixed order, with Math's operations; v is
//                              any Source of element_types.h
// and this file runs it position by position, with the NaN rule of the
// linear blends: a sum that comes out NaN is replayed with first_nan_math.

#include "kernel/resample_position.h"

#include <type_traits>

namespace voxwarp {
namespace {

// Plain doubles under the names of the vector kernels' operations, so that
// one definition of a method's weights serves the scalar routine and every
// variant.
struct plain_doubles {
    using doubles = double;
    using double_mask = bool;
    static double broadcast_double(double value) { return value; }
    static double mul_double(double a, double b) { return a * b; }
    static double add_double(double a, double b) { return a + b; }
    static double sub_double(double a, double b) { return a - b; }
    static double div_double(double a, double b) { return a / b; }
    static bool greater_double(double a, double b) { return a > b; }
    static bool equal_double(double a, double b) { return a == b; }
    static double select_double(bool m, double if_set, double if_not) { return m ? if_set : if_not; }
};

// One axis of a method: false unless the nearest voxel of I lies in
// [0, n - 1]; else the taps floor(I) - before .. floor(I) - before + taps - 1,
// each brought into [0, n - 1] by place(index, n), and weigh(fraction,
// weights) of the fraction I - floor(I), which is exact.
template <int taps, typename Place, typename Weigh>
inline bool tap_axis(float I, int32_t n, int32_t before, int32_t index[taps], double weights[taps], Place place,
                     Weigh weigh)
{
    if (nearest_index(I, n) < 0) {
        return false;
    }
    const float below = std::floor(I);
    const float fraction = I - below;
    const int32_t base = static_cast<int32_t>(below);
    for (int tap = 0; tap < taps; ++tap) {
        index[tap] = place(base + tap - before, n);
    }
    weigh(double{fraction}, weights);
    return true;
}

// The sum of every term, each the voxel times its x, y and z weights from
// left to right, added one by one: z outermost, then y, x fastest.
template <typename Math, int taps, typename Source>
inline double flat_sum(Source v, const ptrdiff_t offsets[3][taps], const double weights[3][taps])
{
    double sum = 0.0;
    bool first = true;
    for (int kz = 0; kz < taps; ++kz) {
        for (int ky = 0; ky < taps; ++ky) {
            const ptrdiff_t row = offsets[2][kz] + offsets[1][ky];
            for (int kx = 0; kx < taps; ++kx) {
                const double value =
                    term<Math>(v[row + offsets[0][kx]], weights[0][kx], weights[1][ky], weights[2][kz]);
                sum = first ? value : Math::add(sum, value);
                first = false;
            }
        }
    }
    return sum;
}

// w[0] * values[0] + w[1] * values[1] + ..., added from the left.
template <typename Math, int taps>
inline double weighted_sum(const double values[taps], const double w[taps])
{
    double sum = Math::multiply(values[0], w[0]);
    for (int k = 1; k < taps; ++k) {
        sum = Math::add(sum, Math::multiply(values[k], w[k]));
    }
    return sum;
}

// The sum axis by axis: each row's voxels weighted along x, those row sums
// weighted along y into plane sums, and those along z, every sum from the
// left. A quarter of flat_sum's multiplications.
template <typename Math, int taps, typename Source>
inline double nested_sum(Source v, const ptrdiff_t offsets[3][taps], const double weights[3][taps])
{
    double planes[taps];
    for (int kz = 0; kz < taps; ++kz) {
        double rows[taps];
        for (int ky = 0; ky < taps; ++ky) {
            const Source row = v + offsets[2][kz] + offsets[1][ky];
            double voxels[taps];
            for (int kx = 0; kx < taps; ++kx) {
                voxels[kx] = Math::widen(row[offsets[0][kx]]);
            }
            rows[ky] = weighted_sum<Math, taps>(voxels, weights[0]);
        }
        planes[kz] = weighted_sum<Math, taps>(rows, weights[1]);
    }
    return weighted_sum<Math, taps>(planes, weights[2]);
}

// Interpolation of the target position at `offset` in every volume, whose
// elements `Source` reads as floats and `Result` writes.
template <typename Method, typename Source, typename Result = float32_results>
inline void separable_position(const job_constants &jc, ptrdiff_t offset, float I, float J, float K)
{
    using stored = typename Result::stored;
    constexpr int taps = Method::taps;
    int32_t index[3][taps];
    double weights[3][taps];
    if (!Method::axis(I, jc.nx, index[0], weights[0]) || !Method::axis(J, jc.ny, index[1], weights[1])
        || !Method::axis(K, jc.nz, index[2], weights[2])) {
        if (jc.write_fill) {
            store_in_every_volume(jc, offset, fill_value<stored>(jc));
        }
        return;
    }
    ptrdiff_t offsets[3][taps];
    for (int tap = 0; tap < taps; ++tap) {
        offsets[0][tap] = ptrdiff_t{index[0][tap]} - jc.wx;
        offsets[1][tap] = (ptrdiff_t{index[1][tap]} - jc.wy) * jc.row_size;
        offsets[2][tap] = (ptrdiff_t{index[2][tap]} - jc.wz) * jc.slice_size;
    }
    const Source input = static_cast<Source>(jc.input);
    stored *output = static_cast<stored *>(jc.output);
    for (int32_t vol = 0; vol < jc.nvol; ++vol) {
        const Source v = input + vol * jc.volume_size;
        const double sum = Method::template sum<hardware_math>(v, offsets, weights);
        if constexpr (std::is_same_v<Result, float32_results>) {
            output[vol * jc.out_volume + offset] =
                sum == sum ? static_cast<float>(sum)
                           : first_nan_math::narrow_nan(Method::template sum<first_nan_math>(v, offsets, weights));
        } else {
            const double replayed = sum == sum ? sum : Method::template sum<first_nan_math>(v, offsets, weights);
            output[vol * jc.out_volume + offset] = Result::of_double(replayed, fill_value<stored>(jc));
        }
    }
}

// Runs a job of `Method` position by position, reading the job's element type
// and writing its result type.
template <typename Method>
inline void separable_job(const job_constants &jc, const resample_job &job)
{
    visit_source_type(job.source_type, [&](auto source) {
        visit_result_type(job.result_type, [&](auto result) {
            for_each_position(
                jc, job.target,
                separable_position<Method, typename decltype(source)::type, typename decltype(result)::type>);
        });
    });
}

}  // namespace
}  // namespace voxwarp

#endif
