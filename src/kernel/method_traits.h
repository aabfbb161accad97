#ifndef VOXWARPKIT_KERNEL_METHOD_TRAITS_H
#define VOXWARPKIT_KERNEL_METHOD_TRAITS_H

// What each interpolation method is, as compile-time traits: whether it
// blends floats and how far a position reads. visit_method turns a job's
// method into its traits once per job, so the kernels and the source box ask
// the traits instead of each testing every method; the kernels' loops are
// templates of the method, with nothing to look up inside them.

#include "kernel/bspline.h"
#include "kernel/lanczos.h"
#include "kernel/resample_job.h"

#include <cstdint>

namespace voxwarp {
namespace {

// The voxel along an axis that a position's reads are counted from.
enum class first_voxel {
    nearest,    // the nearest voxel, half up
    floor,      // floor(I)
    edge_rule,  // linear's first of the pair: truncated toward zero with the bands, floor(I) clamped
};

// A method's traits, as static members:
//   method       its interpolation
//   blends       a float32 blend of the source's values, else elements copied as bits
//   prefiltered  its source holds float32 coefficients a prefilter made, not the image
//   first        the voxel its reads are counted from
//   reads_below, reads_above
//                how many voxels it reads along each axis before and after the first
//   mirrored     taps past an edge read their mirror images inside it; otherwise
//                such taps are clamped to the edge or the position is not sampled
template <interpolation Method>
struct method_traits;

template <>
struct method_traits<interpolation::nearest> {
    static constexpr interpolation method = interpolation::nearest;
    static constexpr bool blends = false;
    static constexpr bool prefiltered = false;
    static constexpr first_voxel first = first_voxel::nearest;
    static constexpr int32_t reads_below = 0;
    static constexpr int32_t reads_above = 0;
    static constexpr bool mirrored = false;
};

template <>
struct method_traits<interpolation::linear> {
    static constexpr interpolation method = interpolation::linear;
    static constexpr bool blends = true;
    static constexpr bool prefiltered = false;
    static constexpr first_voxel first = first_voxel::edge_rule;
    static constexpr int32_t reads_below = 0;
    static constexpr int32_t reads_above = 1;
    static constexpr bool mirrored = false;
};

// Label weighs the eight neighbours of linear's clamped rule.
template <>
struct method_traits<interpolation::label> {
    static constexpr interpolation method = interpolation::label;
    static constexpr bool blends = false;
    static constexpr bool prefiltered = false;
    static constexpr first_voxel first = first_voxel::floor;
    static constexpr int32_t reads_below = 0;
    static constexpr int32_t reads_above = 1;
    static constexpr bool mirrored = false;
};

// The separable methods read their taps from floor(I) - before on.
template <>
struct method_traits<interpolation::lanczos> {
    static constexpr interpolation method = interpolation::lanczos;
    static constexpr bool blends = true;
    static constexpr bool prefiltered = false;
    static constexpr first_voxel first = first_voxel::floor;
    static constexpr int32_t reads_below = lanczos::before;
    static constexpr int32_t reads_above = lanczos::taps - 1 - lanczos::before;
    static constexpr bool mirrored = false;
};

template <>
struct method_traits<interpolation::cubic> {
    static constexpr interpolation method = interpolation::cubic;
    static constexpr bool blends = true;
    static constexpr bool prefiltered = true;
    static constexpr first_voxel first = first_voxel::floor;
    static constexpr int32_t reads_below = cubic_bspline::before;
    static constexpr int32_t reads_above = cubic_bspline::taps - 1 - cubic_bspline::before;
    static constexpr bool mirrored = true;
};

// Calls visit(method_traits<M>{}) for the method M of `method` and returns
// what it returns. A value outside the enum is taken for nearest, which reads
// least and writes the job's own element size.
template <typename Visit>
inline decltype(auto) visit_method(interpolation method, Visit &&visit)
{
    switch (method) {
    case interpolation::linear: return visit(method_traits<interpolation::linear>{});
    case interpolation::label: return visit(method_traits<interpolation::label>{});
    case interpolation::lanczos: return visit(method_traits<interpolation::lanczos>{});
    case interpolation::cubic: return visit(method_traits<interpolation::cubic>{});
    case interpolation::nearest: break;
    }
    return visit(method_traits<interpolation::nearest>{});
}

// visit_method for the job's interpolation.
template <typename Visit>
inline decltype(auto) visit_method(const resample_job &job, Visit &&visit)
{
    return visit_method(job.interpolation, static_cast<Visit &&>(visit));
}

// A method's traits as run-time values, for code that asks once per job.
struct method_facts {
    bool blends, prefiltered;
    first_voxel first;
    int32_t reads_below, reads_above;
    bool mirrored;
};

inline method_facts facts_of(interpolation method)
{
    return visit_method(method, [](auto traits) {
        using T = decltype(traits);
        return method_facts{T::blends, T::prefiltered, T::first, T::reads_below, T::reads_above, T::mirrored};
    });
}

// Whether `method` blends floats into a float32 result (linear, lanczos,
// cubic) rather than copying source elements as bits (nearest, label).
inline bool blends_floats(interpolation method)
{
    return facts_of(method).blends;
}

}  // namespace
}  // namespace voxwarp

#endif
