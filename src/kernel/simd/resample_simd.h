#ifndef VOXWARPKIT_RESAMPLE_SIMD_H
#define VOXWARPKIT_RESAMPLE_SIMD_H

// The resampling kernel across V::lanes columns of a row at a time, written
// once for any instruction set that supplies the operations of `V` (see
// resample_avx2.cpp). Each vector step is the scalar kernel's step on every
// lane: single-precision coordinates with separate multiplies, adds and true
// divisions, truncation with the INT32_MIN rule, double weights and blends in
// the listed order. Lanes that are sampled but not inside on all three axes
// go through the scalar routine, as do blends that come out NaN (whose bits
// the scalar routine fixes). Like the scalar routine, it has internal
// linkage, so each variant's file compiles its own copy with its own flags.

#include "kernel/bspline.h"
#include "kernel/lanczos.h"
#include "kernel/method_traits.h"
#include "kernel/resample_position.h"
#include "kernel/simd/sums_to_results.h"

#include <cstddef>
#include <cstdint>
#include <cmath>
#include <cstring>
#include <type_traits>
#include <vector>

namespace voxwarp {
namespace {

// A source spacing that positions are divided by. Where it is a power of two
// its reciprocal is exact, and the product by the reciprocal is the correctly
// rounded quotient, as the division is: the same bits for every value (NaN,
// infinities and subnormal results included), for less time.
template <typename V>
struct spacing_divisor {
    typename V::floats spacing, reciprocal;
    bool by_reciprocal;
};

// True when `spacing` is a normal power of two (of either sign), whose
// reciprocal is then exact: 2**-127 for 2**127 is still a float.
inline bool has_exact_reciprocal(float spacing)
{
    uint32_t bits;
    std::memcpy(&bits, &spacing, sizeof bits);
    const uint32_t exponent = (bits >> 23) & 0xFFu;
    return (bits & 0x7FFFFFu) == 0 && exponent != 0 && exponent != 0xFFu;
}

template <typename V>
spacing_divisor<V> divisor_of(float spacing)
{
    const bool exact = has_exact_reciprocal(spacing);
    return {V::broadcast(spacing), V::broadcast(exact ? 1.0f / spacing : 1.0f), exact};
}

// a / spacing, each lane's quotient rounded once.
template <typename V>
typename V::floats divide(typename V::floats a, const spacing_divisor<V> &d)
{
    return d.by_reciprocal ? V::mul(a, d.reciprocal) : V::div(a, d.spacing);
}

// The job's constants that the vector steps use, in every lane.
template <typename V>
struct block_constants {
    typename V::floats m0, m3, m4, m7, m8, m11, osx;
    spacing_divisor<V> by_sx, by_sy, by_sz;
    typename V::ints one, row_size, slice_size, wx, wy, wz;
    // The largest first neighbour x0, y0, z0 of an interior lane (n - 2 on
    // each axis), and whether any lane can be interior (n >= 2 on all three).
    typename V::ints last_x0, last_y0, last_z0;
    bool interior_possible;
    // About how far, in elements, a lane's neighbours move in the source
    // over prefetch_slices slices of the target: the interior blend
    // prefetches there, for the same tile's rows that many slices on. 0 for
    // no prefetching (a chain, whose positions move as its fields say).
    ptrdiff_t ahead;
    int32_t x_origin;  // the target box's first global column
};

// A row's products of Y and Z with the matrix (row_terms), in every lane;
// for a job with a chain, the row's source indices from column `first` on,
// made by the scalar chain_indices (null for an affine job).
template <typename V>
struct block_row {
    typename V::floats m1y, m5y, m9y, m2z, m6z, m10z;
    const float *I, *J, *K;
    int32_t first;
};

// source_index on every lane: the same steps in the same order.
template <typename V>
typename V::floats source_indices(typename V::floats a, typename V::floats X, typename V::floats bY,
                                  typename V::floats cZ, typename V::floats d, const spacing_divisor<V> &spacing)
{
    const typename V::floats aX = V::mul(a, X);
    const typename V::floats sum1 = V::add(aX, bY);
    const typename V::floats sum2 = V::add(sum1, cZ);
    const typename V::floats sum3 = V::add(sum2, d);
    return divide<V>(sum3, spacing);
}

// The weights of half of the lanes, as doubles: f is the fraction, g = 1 - f.
template <typename V>
struct half_weights {
    typename V::doubles fx, fy, fz, gx, gy, gz;
};

// The weights of the fractions fx, fy, fz, as the scalar locate forms them.
template <typename V>
half_weights<V> weights_of(typename V::doubles fx, typename V::doubles fy, typename V::doubles fz)
{
    const typename V::doubles one = V::broadcast_double(1.0);
    return {fx, fy, fz, V::sub_double(one, fx), V::sub_double(one, fy), V::sub_double(one, fz)};
}

// One interior term, as the scalar term: the element times its weights, left to right.
template <typename V>
typename V::doubles term(typename V::doubles value, typename V::doubles w1, typename V::doubles w2,
                         typename V::doubles w3)
{
    const typename V::doubles t1 = V::mul_double(value, w1);
    const typename V::doubles t2 = V::mul_double(t1, w2);
    return V::mul_double(t2, w3);
}

// Adds one term to each half's sum: the neighbours' values times their x, y
// and z weights.
template <typename V>
void add_terms(typename V::doubles &low_sum, typename V::doubles &high_sum, typename V::floats values,
               typename V::doubles low_wx, typename V::doubles low_wy, typename V::doubles low_wz,
               typename V::doubles high_wx, typename V::doubles high_wy, typename V::doubles high_wz)
{
    low_sum = V::add_double(low_sum, term<V>(V::low_half(values), low_wx, low_wy, low_wz));
    high_sum = V::add_double(high_sum, term<V>(V::high_half(values), high_wx, high_wy, high_wz));
}

// Samples the lanes in `lane_bits` through the scalar routine `sample`.
template <typename V, typename Sample>
void sample_lanes_scalar(const job_constants &jc, ptrdiff_t offset, unsigned lane_bits, typename V::floats I,
                         typename V::floats J, typename V::floats K, Sample &&sample)
{
    alignas(64) float is[V::lanes], js[V::lanes], ks[V::lanes];
    V::store_all(is, I);
    V::store_all(js, J);
    V::store_all(ks, K);
    for (int lane = 0; lane < V::lanes; ++lane) {
        if (lane_bits & (1u << lane)) {
            sample(jc, offset + lane, is[lane], js[lane], ks[lane]);
        }
    }
}

// Rewrites the NaN results of volume `vol` with the scalar routine's bits.
// Out of line: NaN sums are rare, and their replay is long.
template <typename V, typename Source, typename Result = float32_results>
[[gnu::noinline]] void fix_nan_lanes(const job_constants &jc, int32_t vol, ptrdiff_t offset, unsigned lane_bits,
                                     typename V::floats I, typename V::floats J, typename V::floats K)
{
    using stored = typename Result::stored;
    alignas(64) float is[V::lanes], js[V::lanes], ks[V::lanes];
    V::store_all(is, I);
    V::store_all(js, J);
    V::store_all(ks, K);
    const Source v = static_cast<Source>(jc.input) + vol * jc.volume_size;
    stored *output = static_cast<stored *>(jc.output) + vol * jc.out_volume + offset;
    const stored fill = fill_value<stored>(jc);
    for (int lane = 0; lane < V::lanes; ++lane) {
        sample_point p;
        if ((lane_bits & (1u << lane)) && locate(jc, is[lane], js[lane], ks[lane], p)) {
            output[lane] = Result::of_double(blend_sum(v, p), fill);
        }
    }
}

// Writes the results of the lanes of `m` from their sums: float32 narrowed
// in the vector; float64 the sums themselves, whole vectors when every lane
// is in `m`. The kernels run for these two result types only: the others are
// made from float64 sums by a sums_writer (for_each_block_through_sums).
// NaN lanes are rewritten afterwards with the replayed NaN.
template <typename V, typename Result>
void store_sums(const job_constants &jc, ptrdiff_t at, typename V::mask m, typename V::doubles low_sum,
                typename V::doubles high_sum)
{
    static_assert(std::is_same_v<Result, float32_results> || std::is_same_v<Result, float64_results>);
    static_assert(V::lanes < 32, "lane bits are an unsigned");
    if constexpr (std::is_same_v<Result, float32_results>) {
        // A masked store costs several plain ones on some processors (AMD):
        // vectors whose every lane is interior, most of them, take a plain one.
        float *output = static_cast<float *>(jc.output) + at;
        if (V::bits(m) == (1u << V::lanes) - 1) {
            V::store_all(output, V::narrow(low_sum, high_sum));
        } else {
            V::store(output, V::narrow(low_sum, high_sum), m);
        }
    } else {
        double *output = static_cast<double *>(jc.output) + at;
        const unsigned lane_bits = V::bits(m);
        if (lane_bits == (1u << V::lanes) - 1) {
            V::store_doubles(output, low_sum);
            V::store_doubles(output + V::lanes / 2, high_sum);
            return;
        }
        alignas(64) double sums[V::lanes];
        V::store_doubles(sums, low_sum);
        V::store_doubles(sums + V::lanes / 2, high_sum);
        for (int lane = 0; lane < V::lanes; ++lane) {
            if (lane_bits & (1u << lane)) {
                output[lane] = sums[lane];
            }
        }
    }
}

// The elements at each lane's offset and the next in the four rows of the
// interior blend, (row 0, slice 0), (row 1, slice 0), (row 0, slice 1) and
// (row 1, slice 1), as floats: a float32 source pair by pair as it lies in
// memory, with V's loads.
template <typename V>
void load_pair_rows(const float *v, ptrdiff_t row, ptrdiff_t slice, const int32_t *offsets,
                    typename V::floats at_first[4], typename V::floats at_second[4])
{
    V::load_pair_rows(v, row, slice, offsets, at_first, at_second);
}

// Any other element type. 16-bit integers: each pair one 32-bit load, both
// halves converted in the vector (exactly, as every 16-bit integer is a
// float). The others: each lane's pair converted to floats, then loaded as
// vectors.
template <typename V, typename Elements>
void load_pair_rows(converted<Elements> v, ptrdiff_t row, ptrdiff_t slice, const int32_t *offsets,
                    typename V::floats at_first[4], typename V::floats at_second[4])
{
    if constexpr (std::is_same_v<Elements, uint16_elements> || std::is_same_v<Elements, int16_elements>) {
        typename V::ints pairs[4];
        // int16_t may be read through its unsigned counterpart: the same bits.
        V::load_word_pair_rows(reinterpret_cast<const uint16_t *>(v.data), row, slice, offsets, pairs);
        for (int r = 0; r < 4; ++r) {
            if constexpr (std::is_same_v<Elements, uint16_elements>) {
                V::unsigned_words(pairs[r], at_first[r], at_second[r]);
            } else {
                V::signed_words(pairs[r], at_first[r], at_second[r]);
            }
        }
    } else {
        const ptrdiff_t starts[4] = {0, row, slice, slice + row};
        for (int r = 0; r < 4; ++r) {
            alignas(64) float firsts[V::lanes], seconds[V::lanes];
            const converted<Elements> rows = v + starts[r];
            for (int lane = 0; lane < V::lanes; ++lane) {
                firsts[lane] = rows[offsets[lane]];
                seconds[lane] = rows[offsets[lane] + 1];
            }
            at_first[r] = V::load_all(firsts);
            at_second[r] = V::load_all(seconds);
        }
    }
}

// The address of element i of a source, as an integer, with i modulo the
// address space: a prefetch may name an element past the source's ends,
// where no pointer may point.
inline uintptr_t element_address(const float *v, uintptr_t i)
{
    return reinterpret_cast<uintptr_t>(v) + i * sizeof(float);
}

template <typename Elements>
uintptr_t element_address(converted<Elements> v, uintptr_t i)
{
    return reinterpret_cast<uintptr_t>(v.data) + i * sizeof(typename Elements::stored);
}

// Asks for the lines that some lanes of this block will read `c.ahead`
// elements on, in the upper slice of their neighbours: as the target's
// slices advance, a tile's neighbours move along the source's z, and the
// lines they reach are read first there, scattered over rows that the
// hardware's prefetchers do not follow. Every eighth lane: its neighbours
// read the same lines or the next, which the following blocks and rows ask for.
template <typename V, typename Source>
void prefetch_ahead(const job_constants &jc, const block_constants<V> &c, Source v, const int32_t *first_neighbour)
{
    for (int lane = 0; lane < V::lanes; lane += 8) {
        const uintptr_t later = static_cast<uintptr_t>(first_neighbour[lane]) + static_cast<uintptr_t>(c.ahead)
                                + static_cast<uintptr_t>(jc.slice_size);
        V::prefetch(element_address(v, later));
        V::prefetch(element_address(v, later + static_cast<uintptr_t>(jc.row_size)));
    }
}

// The lanes inside the input on all three axes: indices and weights once,
// then every volume of the stack, whose elements `Source` reads as floats and
// `Result` writes.
template <typename V, typename Source, typename Result = float32_results>
void blend_interior_lanes(const job_constants &jc, const block_constants<V> &c, ptrdiff_t offset,
                          typename V::mask interior, typename V::floats I, typename V::floats J, typename V::floats K,
                          typename V::ints x0, typename V::ints y0, typename V::ints z0)
{
    // The differences are exact, as in the scalar routine.
    const typename V::floats fx = V::sub(I, V::to_float(x0));
    const typename V::floats fy = V::sub(J, V::to_float(y0));
    const typename V::floats fz = V::sub(K, V::to_float(z0));
    const half_weights<V> low = weights_of<V>(V::low_half(fx), V::low_half(fy), V::low_half(fz));
    const half_weights<V> high = weights_of<V>(V::high_half(fx), V::high_half(fy), V::high_half(fz));

    // Offsets within a volume of the window fit 32 bits (a sound job's window
    // does). Lanes outside the mask take offset 0, whose neighbours exist
    // whenever any lane is inside: the window then holds two voxels or more
    // along every axis.
    const typename V::ints slice_offset = V::mul_int(V::sub_int(z0, c.wz), c.slice_size);
    const typename V::ints row_offset = V::mul_int(V::sub_int(y0, c.wy), c.row_size);
    const typename V::ints o000 = V::add_int(V::add_int(slice_offset, row_offset), V::sub_int(x0, c.wx));
    alignas(64) int32_t first_neighbour[V::lanes];
    V::store_offsets(first_neighbour, o000, interior);
    const unsigned interior_bits = V::bits(interior);

    // The neighbours come in pairs along x, (x0, x1), from rows (y0, z0),
    // (y1, z0), (y0, z1) and (y1, z1): the order of the interior terms.
    for (int32_t vol = 0; vol < jc.nvol; ++vol) {
        const Source v = static_cast<Source>(jc.input) + vol * jc.volume_size;
        if (c.ahead != 0) {
            prefetch_ahead<V>(jc, c, v, first_neighbour);
        }
        typename V::floats at_x0[4], at_x1[4];
        load_pair_rows<V>(v, jc.row_size, jc.slice_size, first_neighbour, at_x0, at_x1);
        typename V::doubles low_sum = term<V>(V::low_half(at_x0[0]), low.gx, low.gy, low.gz);
        typename V::doubles high_sum = term<V>(V::high_half(at_x0[0]), high.gx, high.gy, high.gz);
        add_terms<V>(low_sum, high_sum, at_x1[0], low.fx, low.gy, low.gz, high.fx, high.gy, high.gz);
        add_terms<V>(low_sum, high_sum, at_x0[1], low.gx, low.fy, low.gz, high.gx, high.fy, high.gz);
        add_terms<V>(low_sum, high_sum, at_x1[1], low.fx, low.fy, low.gz, high.fx, high.fy, high.gz);
        add_terms<V>(low_sum, high_sum, at_x0[2], low.gx, low.gy, low.fz, high.gx, high.gy, high.fz);
        add_terms<V>(low_sum, high_sum, at_x1[2], low.fx, low.gy, low.fz, high.fx, high.gy, high.fz);
        add_terms<V>(low_sum, high_sum, at_x0[3], low.gx, low.fy, low.fz, high.gx, high.fy, high.fz);
        add_terms<V>(low_sum, high_sum, at_x1[3], low.fx, low.fy, low.fz, high.fx, high.fy, high.fz);
        store_sums<V, Result>(jc, vol * jc.out_volume + offset, interior, low_sum, high_sum);
        const unsigned nan_bits = V::nan_bits(low_sum, high_sum) & interior_bits;
        if (nan_bits != 0) {
            fix_nan_lanes<V, Source, Result>(jc, vol, offset, nan_bits, I, J, K);
        }
    }
}

// The source indices of lanes x .. x + lanes - 1 of a row (global columns).
template <typename V>
struct block_indices {
    typename V::floats I, J, K;
};

template <typename V>
block_indices<V> indices_of(const block_constants<V> &c, const block_row<V> &r, int32_t x)
{
    if (r.I != nullptr) {
        const int32_t at = x - r.first;
        return {V::load_all(r.I + at), V::load_all(r.J + at), V::load_all(r.K + at)};
    }
    const typename V::ints column = V::add_int(V::broadcast_int(x), V::lane_indices());
    const typename V::floats X = V::mul(V::to_float(column), c.osx);
    return {source_indices<V>(c.m0, X, r.m1y, r.m2z, c.m3, c.by_sx),
            source_indices<V>(c.m4, X, r.m5y, r.m6z, c.m7, c.by_sy),
            source_indices<V>(c.m8, X, r.m9y, r.m10z, c.m11, c.by_sz)};
}

// Stores the fill into the lanes of `valid` that are not in `sampled`: in
// the vector for float32, lane by lane for any other result type.
template <typename V, typename Result>
void fill_unsampled(const job_constants &jc, ptrdiff_t offset, typename V::mask valid, typename V::mask sampled)
{
    if constexpr (std::is_same_v<Result, float32_results>) {
        const typename V::floats fill = V::broadcast(fill_value<float>(jc));
        const typename V::mask unsampled = V::but_not(valid, sampled);
        if (V::bits(unsampled) == 0) {
            return;  // a masked store of no lane is not free
        }
        for (int32_t vol = 0; vol < jc.nvol; ++vol) {
            V::store(static_cast<float *>(jc.output) + vol * jc.out_volume + offset, fill, unsampled);
        }
    } else {
        using stored = typename Result::stored;
        const stored fill = fill_value<stored>(jc);
        const unsigned unsampled = V::bits(V::but_not(valid, sampled));
        for (int32_t vol = 0; vol < jc.nvol; ++vol) {
            stored *output = static_cast<stored *>(jc.output) + vol * jc.out_volume + offset;
            for (int lane = 0; lane < V::lanes; ++lane) {
                if (unsampled & (1u << lane)) {
                    output[lane] = fill;
                }
            }
        }
    }
}

// The nearest voxel of each lane along an axis of n, as nearest_index does it:
// the lanes where it lies in [0, n - 1] are set in `sampled`.
template <typename V>
typename V::ints nearest_indices(typename V::floats I, int32_t n, typename V::mask &sampled)
{
    const typename V::mask representable = V::both(V::at_least(I, -1.0f), V::below(I, 2147483648.0f));
    const typename V::floats below = V::floor(I);
    const typename V::floats fraction = V::sub(I, below);  // exact
    const typename V::ints index = V::add_where(V::truncate(below), V::at_least(fraction, 0.5f), V::broadcast_int(1));
    sampled = V::both(sampled, V::both(representable, V::in_range(index, 0, n - 1)));
    return index;
}

// Which lanes a linear block samples, which of those blend eight neighbours
// that need no clamping or band (the vector's own work), and the first
// neighbour of each such lane along x, y and z.
template <typename V>
struct linear_lanes {
    typename V::mask sampled, interior;
    typename V::ints x0, y0, z0;
};

// transform's rule: the gate 0 <= i1 <= n on every axis of the truncated
// index's pair; inside on an axis: i0 >= 0 and i1 < n, so 1 <= i1 <= n - 1.
template <typename V>
linear_lanes<V> banded_lanes(const job_constants &jc, const block_constants<V> &c, const block_indices<V> &at,
                             typename V::mask valid)
{
    linear_lanes<V> lanes;
    lanes.x0 = V::truncate(at.I);
    lanes.y0 = V::truncate(at.J);
    lanes.z0 = V::truncate(at.K);
    const typename V::ints x1 = V::add_int(lanes.x0, c.one);
    const typename V::ints y1 = V::add_int(lanes.y0, c.one);
    const typename V::ints z1 = V::add_int(lanes.z0, c.one);
    lanes.sampled = V::both(valid, V::in_range(x1, 0, jc.nx));
    lanes.sampled = V::both(lanes.sampled, V::in_range(y1, 0, jc.ny));
    lanes.sampled = V::both(lanes.sampled, V::in_range(z1, 0, jc.nz));
    lanes.interior = V::both(lanes.sampled, V::in_range(x1, 1, jc.nx - 1));
    lanes.interior = V::both(lanes.interior, V::in_range(y1, 1, jc.ny - 1));
    lanes.interior = V::both(lanes.interior, V::in_range(z1, 1, jc.nz - 1));
    return lanes;
}

// The clamped rule: sampled where the nearest voxel lies in the source on
// every axis; the pair floor(I), floor(I) + 1 needs no clamping where
// 0 <= floor(I) <= n - 2. There floor and truncation agree, so the interior
// blend's weights I - i0 are the scalar routine's.
template <typename V>
linear_lanes<V> clamped_lanes(const job_constants &jc, const block_indices<V> &at, typename V::mask valid)
{
    linear_lanes<V> lanes;
    lanes.sampled = valid;
    nearest_indices<V>(at.I, jc.nx, lanes.sampled);
    nearest_indices<V>(at.J, jc.ny, lanes.sampled);
    nearest_indices<V>(at.K, jc.nz, lanes.sampled);
    lanes.x0 = V::truncate(V::floor(at.I));
    lanes.y0 = V::truncate(V::floor(at.J));
    lanes.z0 = V::truncate(V::floor(at.K));
    lanes.interior = V::both(lanes.sampled, V::in_range(lanes.x0, 0, jc.nx - 2));
    lanes.interior = V::both(lanes.interior, V::in_range(lanes.y0, 0, jc.ny - 2));
    lanes.interior = V::both(lanes.interior, V::in_range(lanes.z0, 0, jc.nz - 2));
    return lanes;
}

// The first neighbours of every lane and the lanes whose eight neighbours
// are inside, under either rule: 0 <= x0 <= n - 2 on every axis, with x0 the
// truncated index for the bands (where 1 <= x1 <= n - 1 is the same test),
// floor(I) for the clamped rule (where that range implies the nearest voxel
// is in range, so such a lane is sampled). banded_lanes and clamped_lanes
// find the same interior lanes, and more.
template <typename V>
linear_lanes<V> interior_lanes(const job_constants &jc, const block_constants<V> &c, const block_indices<V> &at)
{
    linear_lanes<V> lanes;
    lanes.x0 = V::truncate(jc.clamp ? V::floor(at.I) : at.I);
    lanes.y0 = V::truncate(jc.clamp ? V::floor(at.J) : at.J);
    lanes.z0 = V::truncate(jc.clamp ? V::floor(at.K) : at.K);
    lanes.interior = V::at_most_unsigned(lanes.x0, c.last_x0);
    lanes.interior = V::both(lanes.interior, V::at_most_unsigned(lanes.y0, c.last_y0));
    lanes.interior = V::both(lanes.interior, V::at_most_unsigned(lanes.z0, c.last_z0));
    lanes.sampled = lanes.interior;
    return lanes;
}

// The lanes of a linear block that are not all interior, or not all valid:
// the interior ones in the vector, the others through the scalar routine.
// Out of line, so that the common case's loop stays small. Returns the bits
// of the lanes sampled.
template <typename V, typename Source, typename Result>
[[gnu::noinline]] unsigned resample_edge_block(const job_constants &jc, const block_constants<V> &c,
                                               const block_indices<V> &at, ptrdiff_t offset, int32_t x, int32_t end)
{
    const typename V::mask valid = V::first_lanes(end - x);
    const linear_lanes<V> lanes = jc.clamp ? clamped_lanes<V>(jc, at, valid) : banded_lanes<V>(jc, c, at, valid);
    if (jc.write_fill) {
        fill_unsampled<V, Result>(jc, offset, valid, lanes.sampled);
    }
    const unsigned sampled_bits = V::bits(lanes.sampled);
    if (sampled_bits == 0) {
        return 0;
    }
    if (V::bits(lanes.interior) != 0) {
        blend_interior_lanes<V, Source, Result>(jc, c, offset, lanes.interior, at.I, at.J, at.K, lanes.x0, lanes.y0,
                                                lanes.z0);
    }
    const unsigned edge_bits = sampled_bits & ~V::bits(lanes.interior);
    if (edge_bits != 0) {
        sample_lanes_scalar<V>(jc, offset, edge_bits, at.I, at.J, at.K, resample_position<Source, Result>);
    }
    return sampled_bits;
}

// Linear interpolation of the lanes from global column x up to column `end`.
// Returns the bits of the lanes sampled. A whole vector of interior lanes,
// the common case, needs none of the gates' other tests, and is made here
// with every step inlined.
template <typename V, typename Source, typename Result>
[[gnu::flatten]] unsigned resample_block(const job_constants &jc, const block_constants<V> &c, const block_row<V> &r,
                                         ptrdiff_t row_offset, int32_t x, int32_t end)
{
    constexpr unsigned every_lane = (1u << V::lanes) - 1;
    const block_indices<V> at = indices_of<V>(c, r, x);
    const ptrdiff_t offset = row_offset + (x - c.x_origin);
    if (end - x >= V::lanes && c.interior_possible) {
        const linear_lanes<V> inside = interior_lanes<V>(jc, c, at);
        if (V::bits(inside.interior) == every_lane) {
            blend_interior_lanes<V, Source, Result>(jc, c, offset, inside.interior, at.I, at.J, at.K, inside.x0,
                                                    inside.y0, inside.z0);
            return every_lane;
        }
    }
    return resample_edge_block<V, Source, Result>(jc, c, at, offset, x, end);
}

// The cubic weights of the fraction along one axis, for each half of the lanes.
template <typename V>
struct cubic_weights {
    typename V::doubles low[bspline_taps], high[bspline_taps];
};

template <typename V>
cubic_weights<V> cubic_weights_of(typename V::floats fraction)
{
    cubic_weights<V> w;
    bspline_weights<V>(V::low_half(fraction), w.low);
    bspline_weights<V>(V::high_half(fraction), w.high);
    return w;
}

// sum = values[0] * w[0] + values[1] * w[1] + ..., from the left, each half:
// weighted_sum of the scalar routine on every lane.
template <typename V>
void add_weighted(typename V::doubles &sum, typename V::doubles value, typename V::doubles weight, bool first)
{
    const typename V::doubles product = V::mul_double(value, weight);
    sum = first ? product : V::add_double(sum, product);
}

// The lanes whose four taps lie inside the source on all three axes: weights
// once, then every volume, summed as nested_sum sums them. `first_tap` is each
// lane's offset of its tap (floor(I) - 1, floor(J) - 1, floor(K) - 1).
template <typename V, typename Result>
void cubic_interior_lanes(const job_constants &jc, ptrdiff_t offset, typename V::mask interior,
                          const block_indices<V> &at, typename V::ints x0, typename V::ints y0, typename V::ints z0,
                          const int32_t *first_tap)
{
    const cubic_weights<V> wx = cubic_weights_of<V>(V::sub(at.I, V::to_float(x0)));  // exact differences
    const cubic_weights<V> wy = cubic_weights_of<V>(V::sub(at.J, V::to_float(y0)));
    const cubic_weights<V> wz = cubic_weights_of<V>(V::sub(at.K, V::to_float(z0)));
    const unsigned interior_bits = V::bits(interior);
    for (int32_t vol = 0; vol < jc.nvol; ++vol) {
        const float *v = static_cast<const float *>(jc.input) + vol * jc.volume_size;
        typename V::doubles low_sum{}, high_sum{};
        for (int kz = 0; kz < bspline_taps; ++kz) {
            typename V::doubles low_plane{}, high_plane{};
            for (int ky = 0; ky < bspline_taps; ++ky) {
                typename V::floats taps[bspline_taps];
                V::load_quads(v + kz * jc.slice_size + ky * jc.row_size, first_tap, taps);
                typename V::doubles low_row{}, high_row{};
                for (int kx = 0; kx < bspline_taps; ++kx) {
                    add_weighted<V>(low_row, V::low_half(taps[kx]), wx.low[kx], kx == 0);
                    add_weighted<V>(high_row, V::high_half(taps[kx]), wx.high[kx], kx == 0);
                }
                add_weighted<V>(low_plane, low_row, wy.low[ky], ky == 0);
                add_weighted<V>(high_plane, high_row, wy.high[ky], ky == 0);
            }
            add_weighted<V>(low_sum, low_plane, wz.low[kz], kz == 0);
            add_weighted<V>(high_sum, high_plane, wz.high[kz], kz == 0);
        }
        store_sums<V, Result>(jc, vol * jc.out_volume + offset, interior, low_sum, high_sum);
        const unsigned nan_bits = V::nan_bits(low_sum, high_sum) & interior_bits;
        if (nan_bits != 0) {
            // The scalar routine replays NaN sums for their bits (in every volume).
            sample_lanes_scalar<V>(jc, offset, nan_bits, at.I, at.J, at.K,
                                   separable_position<cubic_bspline, const float *, Result>);
        }
    }
}

// Cubic B-spline interpolation of the lanes from global column x up to
// column `end`: lanes whose taps need no mirroring in the vector, the others
// through the scalar routine. Returns the bits of the lanes sampled.
template <typename V, typename Result>
unsigned cubic_block(const job_constants &jc, const block_constants<V> &c, const block_row<V> &r, ptrdiff_t row_offset,
                     int32_t x, int32_t end)
{
    const block_indices<V> at = indices_of<V>(c, r, x);
    const typename V::mask valid = V::first_lanes(end - x);
    typename V::mask sampled = valid;
    nearest_indices<V>(at.I, jc.nx, sampled);
    nearest_indices<V>(at.J, jc.ny, sampled);
    nearest_indices<V>(at.K, jc.nz, sampled);
    const ptrdiff_t offset = row_offset + (x - c.x_origin);
    if (jc.write_fill) {
        fill_unsampled<V, Result>(jc, offset, valid, sampled);
    }
    const unsigned sampled_bits = V::bits(sampled);
    if (sampled_bits == 0) {
        return 0;
    }
    // Sampled lanes have floor(I) in [-1, n - 1]: it fits the integers.
    const typename V::ints x0 = V::truncate(V::floor(at.I));
    const typename V::ints y0 = V::truncate(V::floor(at.J));
    const typename V::ints z0 = V::truncate(V::floor(at.K));
    typename V::mask interior = V::both(sampled, V::in_range(x0, 1, jc.nx - 3));
    interior = V::both(interior, V::in_range(y0, 1, jc.ny - 3));
    interior = V::both(interior, V::in_range(z0, 1, jc.nz - 3));
    if (V::bits(interior) != 0) {
        // Lanes outside the mask read from offset 0, whose 4 x 4 x 4 taps lie
        // in the window whenever an interior lane's do.
        const typename V::ints slice_part = V::mul_int(V::sub_int(V::sub_int(z0, c.one), c.wz), c.slice_size);
        const typename V::ints row_part = V::mul_int(V::sub_int(V::sub_int(y0, c.one), c.wy), c.row_size);
        const typename V::ints column = V::sub_int(V::sub_int(x0, c.one), c.wx);
        alignas(64) int32_t first_tap[V::lanes];
        V::store_offsets(first_tap, V::add_int(V::add_int(slice_part, row_part), column), interior);
        cubic_interior_lanes<V, Result>(jc, offset, interior, at, x0, y0, z0, first_tap);
    }
    const unsigned edge_bits = sampled_bits & ~V::bits(interior);
    if (edge_bits != 0) {
        sample_lanes_scalar<V>(jc, offset, edge_bits, at.I, at.J, at.K,
                               separable_position<cubic_bspline, const float *, Result>);
    }
    return sampled_bits;
}

// Nearest interpolation of the lanes from global column x up to column `end`: the
// vector finds each lane's source element, and the copy, of elements of any
// size, is made lane by lane.
template <typename V, typename T>
void nearest_block(const job_constants &jc, const block_constants<V> &c, const block_row<V> &r, ptrdiff_t row_offset,
                   int32_t x, int32_t end)
{
    const block_indices<V> at = indices_of<V>(c, r, x);
    typename V::mask sampled = V::first_lanes(end - x);
    const typename V::ints ix = nearest_indices<V>(at.I, jc.nx, sampled);
    const typename V::ints iy = nearest_indices<V>(at.J, jc.ny, sampled);
    const typename V::ints iz = nearest_indices<V>(at.K, jc.nz, sampled);
    const typename V::ints slice_offset = V::mul_int(V::sub_int(iz, c.wz), c.slice_size);
    const typename V::ints row_part = V::mul_int(V::sub_int(iy, c.wy), c.row_size);
    alignas(64) int32_t source[V::lanes];
    V::store_offsets(source, V::add_int(V::add_int(slice_offset, row_part), V::sub_int(ix, c.wx)), sampled);
    const unsigned sampled_bits = V::bits(sampled);

    const int lanes = end - x < V::lanes ? end - x : V::lanes;
    const ptrdiff_t offset = row_offset + (x - c.x_origin);
    const T fill = fill_value<T>(jc);
    for (int32_t vol = 0; vol < jc.nvol; ++vol) {
        const T *input = static_cast<const T *>(jc.input) + vol * jc.volume_size;
        T *output = static_cast<T *>(jc.output) + vol * jc.out_volume + offset;
        for (int lane = 0; lane < lanes; ++lane) {
            if (sampled_bits & (1u << lane)) {
                output[lane] = input[source[lane]];
            } else if (jc.write_fill) {
                output[lane] = fill;
            }
        }
    }
}

// How many slices of the target on the interior blend prefetches the source:
// a tile's next slice is a tile's worth of blocks away.
constexpr int32_t prefetch_slices = 1;

// block_constants' `ahead`: the source offset, in elements, that one target
// slice moves a position by, times prefetch_slices, in double; 0 where it is
// not a modest finite number (a prefetch is only a hint, and need not be exact).
inline ptrdiff_t elements_ahead(const job_constants &jc)
{
    const double along_x = double{jc.m[2]} * jc.osz / jc.sx;
    const double along_y = double{jc.m[6]} * jc.osz / jc.sy;
    const double along_z = double{jc.m[10]} * jc.osz / jc.sz;
    const double elements = prefetch_slices * (along_x + along_y * jc.row_size + along_z * jc.slice_size);
    if (!(std::fabs(elements) < 1073741824.0)) {
        return 0;
    }
    return static_cast<ptrdiff_t>(std::llround(elements));
}

// The block constants of `jc` for a target box whose first global column is x_origin.
template <typename V>
block_constants<V> constants_of(const job_constants &jc, int32_t x_origin)
{
    block_constants<V> c;
    c.m0 = V::broadcast(jc.m[0]);
    c.m3 = V::broadcast(jc.m[3]);
    c.m4 = V::broadcast(jc.m[4]);
    c.m7 = V::broadcast(jc.m[7]);
    c.m8 = V::broadcast(jc.m[8]);
    c.m11 = V::broadcast(jc.m[11]);
    c.by_sx = divisor_of<V>(jc.sx);
    c.by_sy = divisor_of<V>(jc.sy);
    c.by_sz = divisor_of<V>(jc.sz);
    c.osx = V::broadcast(jc.osx);
    c.one = V::broadcast_int(1);
    c.row_size = V::broadcast_int(static_cast<int32_t>(jc.row_size));
    c.slice_size = V::broadcast_int(static_cast<int32_t>(jc.slice_size));
    c.wx = V::broadcast_int(jc.wx);
    c.wy = V::broadcast_int(jc.wy);
    c.wz = V::broadcast_int(jc.wz);
    c.interior_possible = jc.nx >= 2 && jc.ny >= 2 && jc.nz >= 2;
    c.last_x0 = V::broadcast_int(jc.nx - 2);
    c.last_y0 = V::broadcast_int(jc.ny - 2);
    c.last_z0 = V::broadcast_int(jc.nz - 2);
    c.ahead = jc.chain_length > 0 ? 0 : elements_ahead(jc);
    c.x_origin = x_origin;
    return c;
}

// p <- A p on every lane, each coordinate as matrix_row forms it.
template <typename V>
void apply_matrix_lanes(const float *a, typename V::floats p[3])
{
    typename V::floats moved[3];
    for (int row = 0; row < 3; ++row) {
        const typename V::floats aX = V::mul(V::broadcast(a[4 * row]), p[0]);
        const typename V::floats bY = V::mul(V::broadcast(a[4 * row + 1]), p[1]);
        const typename V::floats cZ = V::mul(V::broadcast(a[4 * row + 2]), p[2]);
        moved[row] = V::add(V::add(V::add(aX, bY), cZ), V::broadcast(a[4 * row + 3]));
    }
    p[0] = moved[0];
    p[1] = moved[1];
    p[2] = moved[2];
}

// p <- p + d(p) on the lanes of `valid`, as apply_field does it: the field's
// three components are a stack of three volumes that the clamped linear
// kernel blends into `displacements` (three runs of V::lanes floats), and
// each sampled lane adds its own; the others keep p as it is.
template <typename V>
void apply_field_lanes(const displacement_field &field, typename V::mask valid, float *displacements,
                       typename V::floats p[3])
{
    job_constants jc{};
    jc.input = field.data;
    jc.output = displacements;
    jc.nvol = 3;
    jc.nx = field.extent.x;
    jc.ny = field.extent.y;
    jc.nz = field.extent.z;
    jc.row_size = field.extent.x;
    jc.slice_size = jc.row_size * field.extent.y;
    jc.volume_size = jc.slice_size * field.extent.z;
    jc.out_volume = V::lanes;
    jc.clamp = true;
    const block_constants<V> c = constants_of<V>(jc, 0);
    block_indices<V> at;
    typename V::floats *index[3] = {&at.I, &at.J, &at.K};
    for (int axis = 0; axis < 3; ++axis) {
        const typename V::floats shifted = V::sub(p[axis], V::broadcast(field.origin[axis]));
        *index[axis] = V::div(shifted, V::broadcast(field.spacing[axis]));
    }
    const linear_lanes<V> lanes = clamped_lanes<V>(jc, at, valid);
    const unsigned sampled = V::bits(lanes.sampled);
    if (sampled == 0) {
        return;
    }
    if (V::bits(lanes.interior) != 0) {
        blend_interior_lanes<V, const float *>(jc, c, 0, lanes.interior, at.I, at.J, at.K, lanes.x0, lanes.y0,
                                               lanes.z0);
    }
    const unsigned edge_bits = sampled & ~V::bits(lanes.interior);
    if (edge_bits != 0) {
        sample_lanes_scalar<V>(jc, 0, edge_bits, at.I, at.J, at.K, resample_position<const float *>);
    }
    for (int axis = 0; axis < 3; ++axis) {
        alignas(64) float moved[V::lanes];
        V::store_all(moved, p[axis]);
        for (int lane = 0; lane < V::lanes; ++lane) {
            if (sampled & (1u << lane)) {
                moved[lane] = moved[lane] + displacements[axis * V::lanes + lane];
            }
        }
        p[axis] = V::load_all(moved);
    }
}

// The source indices of a chained job's lanes from global column x, as
// chain_indices makes them (lanes from `end` on are not used).
template <typename V>
block_indices<V> chain_lanes(const job_constants &jc, const block_constants<V> &c, const block_row<V> &r, int32_t x,
                             int32_t end)
{
    const typename V::ints column = V::add_int(V::broadcast_int(x), V::lane_indices());
    const typename V::floats X = V::mul(V::to_float(column), c.osx);
    typename V::floats p[3] = {V::add(V::add(V::add(V::mul(c.m0, X), r.m1y), r.m2z), c.m3),
                               V::add(V::add(V::add(V::mul(c.m4, X), r.m5y), r.m6z), c.m7),
                               V::add(V::add(V::add(V::mul(c.m8, X), r.m9y), r.m10z), c.m11)};
    const typename V::mask valid = V::first_lanes(end - x);
    alignas(64) float displacements[3 * V::lanes];
    for (int32_t step = 0; step < jc.chain_length; ++step) {
        if (jc.chain[step].matrix != nullptr) {
            apply_matrix_lanes<V>(jc.chain[step].matrix, p);
        } else {
            apply_field_lanes<V>(jc.chain[step].field, valid, displacements, p);
        }
    }
    return {divide<V>(p[0], c.by_sx), divide<V>(p[1], c.by_sy), divide<V>(p[2], c.by_sz)};
}

// Runs `block` over the target box in tiles of columns and rows, each through
// every slice of the box. From one slice to the next, a tile's source
// positions move by about a voxel, so most of the neighbours one slice reads
// are still in cache for the next; a whole slice (or a stack's several
// volumes) would spill it. The lines at a tile's sides are shared with the
// next tile, which reads them again after they have left the cache: wide
// tiles read fewer of them, and their rows are longer runs along the source's
// rows for the hardware's prefetchers.
template <typename V, typename Block>
void for_each_block(const job_constants &jc, const target_box &box, Block &&block)
{
    const block_constants<V> c = constants_of<V>(jc, box.origin.x);
    constexpr int32_t tile_width = 256;
    constexpr int32_t tile_height = 64;
    // A chain's source indices for one row of a tile, with room for a last
    // vector's lanes past its end (zeros, never sampled).
    alignas(64) float chain_I[tile_width + V::lanes] = {};
    alignas(64) float chain_J[tile_width + V::lanes] = {};
    alignas(64) float chain_K[tile_width + V::lanes] = {};
    const bool chained = jc.chain_length > 0;
    const int32_t x_end = box.origin.x + box.extent.x;  // a sound job keeps this within int32
    for (int32_t j0 = 0; j0 < box.extent.y; j0 += tile_height) {
        const int32_t j1 = box.extent.y - j0 <= tile_height ? box.extent.y : j0 + tile_height;
        for (int32_t tile = box.origin.x; tile < x_end; tile += tile_width) {
            const int32_t tile_end = x_end - tile <= tile_width ? x_end : tile + tile_width;
            for (int32_t k = 0; k < box.extent.z; ++k) {
                const int32_t z = box.origin.z + k;
                for (int32_t j = j0; j < j1; ++j) {
                    const int32_t y = box.origin.y + j;
                    const row_terms scalar_row = make_row_terms(jc, y, z);
                    block_row<V> r{V::broadcast(scalar_row.m1y),
                                   V::broadcast(scalar_row.m5y),
                                   V::broadcast(scalar_row.m9y),
                                   V::broadcast(scalar_row.m2z),
                                   V::broadcast(scalar_row.m6z),
                                   V::broadcast(scalar_row.m10z),
                                   nullptr,
                                   nullptr,
                                   nullptr,
                                   tile};
                    if (chained) {
                        for (int32_t x = tile; x < tile_end; x += V::lanes) {
                            const block_indices<V> at = chain_lanes<V>(jc, c, r, x, tile_end);
                            V::store_all(chain_I + (x - tile), at.I);
                            V::store_all(chain_J + (x - tile), at.J);
                            V::store_all(chain_K + (x - tile), at.K);
                            if (tile_end - x <= V::lanes) {
                                break;
                            }
                        }
                        r.I = chain_I;
                        r.J = chain_J;
                        r.K = chain_K;
                    }
                    const ptrdiff_t row_offset = k * box.slice + j * box.row;
                    for (int32_t x = tile; x < tile_end; x += V::lanes) {
                        block(jc, c, r, row_offset, x, tile_end);
                        if (tile_end - x <= V::lanes) {
                            break;  // x + lanes could overflow near 2**31 columns
                        }
                    }
                }
            }
            if (x_end - tile <= tile_width) {
                break;
            }
        }
        if (box.extent.y - j0 <= tile_height) {
            break;
        }
    }
}

// Runs the float64 `block` over the target box with its sums going to a
// buffer of the job's volumes, V::lanes sums each, from which `write` makes
// the sampled lanes' elements of the result type; the unsampled lanes get the
// fill when the job asks for one. The block sees a job whose output is that
// buffer, lane 0 at offset 0, and whose fill is a signalling NaN: a lane the
// block counts as sampled but the scalar routine finds outside (its gate is
// the last word at the edges) holds that fill, which no sum can be, since a
// NaN sum is quiet.
template <typename V, typename Block>
void for_each_block_through_sums(const job_constants &jc, const target_box &box, sums_writer write,
                                 int32_t element_size, Block &&block)
{
    constexpr uint64_t outside = 0x7FF0000000000001u;  // signalling: quiet bit clear
    std::vector<double> sums(static_cast<size_t>(jc.nvol) * V::lanes);
    job_constants to_sums = jc;
    to_sums.output = sums.data();
    to_sums.out_volume = V::lanes;
    to_sums.write_fill = true;
    std::memcpy(to_sums.fill, &outside, sizeof outside);
    unsigned char *output = static_cast<unsigned char *>(jc.output);
    for_each_block<V>(jc, box,
                      [&](const job_constants &, const block_constants<V> &c, const block_row<V> &r,
                          ptrdiff_t row_offset, int32_t x, int32_t end) {
                          // The block writes at row_offset + (x - x_origin): 0 in the buffer.
                          unsigned sampled = block(to_sums, c, r, c.x_origin - x, x, end);
                          for (int lane = 0; lane < V::lanes; ++lane) {
                              uint64_t bits;
                              std::memcpy(&bits, &sums[lane], sizeof bits);
                              if ((sampled & (1u << lane)) && bits == outside) {
                                  sampled &= ~(1u << lane);
                              }
                          }
                          const ptrdiff_t offset = row_offset + (x - c.x_origin);
                          const unsigned valid = V::bits(V::first_lanes(end - x));
                          for (int32_t vol = 0; vol < jc.nvol; ++vol) {
                              unsigned char *at = output + (vol * jc.out_volume + offset) * element_size;
                              if (sampled != 0) {
                                  write(sums.data() + vol * V::lanes, V::lanes, sampled, jc.fill, at);
                              }
                              if (jc.write_fill) {
                                  const unsigned unsampled = valid & ~sampled;
                                  for (int lane = 0; lane < V::lanes; ++lane) {
                                      if (unsampled & (1u << lane)) {
                                          std::memcpy(at + lane * element_size, jc.fill, element_size);
                                      }
                                  }
                              }
                          }
                      });
}
}  // namespace
}  // namespace voxwarp

// The methods with a file of their own, which build on the helpers above.
#include "kernel/simd/label_simd.h"
#include "kernel/simd/lanczos_simd.h"

namespace voxwarp {
namespace {

// Each method's kernel for the operations of `V`, chosen by overload on its
// traits.

// Runs a blend's blocks for the job's result type: `as_float32` and
// `as_float64` store those types themselves; every other type is made from
// the float64 blocks' sums by its writer.
template <typename V, typename Float32Block, typename Float64Block>
void for_each_block_of_result(const job_constants &jc, const resample_job &job, Float32Block &&as_float32,
                              Float64Block &&as_float64)
{
    if (job.result_type == element_type::float64) {
        for_each_block<V>(jc, job.target, as_float64);
        return;
    }
    const sums_writer writer = sums_writer_of(job.result_type);
    if (writer == nullptr) {
        for_each_block<V>(jc, job.target, as_float32);  // float32, and a type a blend does not write
        return;
    }
    for_each_block_through_sums<V>(jc, job.target, writer, element_size_of(job.result_type), as_float64);
}

template <typename V>
void run_method(const job_constants &jc, const resample_job &job, method_traits<interpolation::linear>)
{
    visit_source_type(job.source_type, [&](auto source) {
        using Source = typename decltype(source)::type;
        // Lambdas rather than the functions themselves, so that each block is
        // a direct call the compiler may inline into the loop over blocks.
        const auto as_float32 = [](const job_constants &block_jc, const block_constants<V> &c, const block_row<V> &r,
                                   ptrdiff_t row_offset, int32_t x, int32_t end) {
            return resample_block<V, Source, float32_results>(block_jc, c, r, row_offset, x, end);
        };
        const auto as_float64 = [](const job_constants &block_jc, const block_constants<V> &c, const block_row<V> &r,
                                   ptrdiff_t row_offset, int32_t x, int32_t end) {
            return resample_block<V, Source, float64_results>(block_jc, c, r, row_offset, x, end);
        };
        for_each_block_of_result<V>(jc, job, as_float32, as_float64);
    });
}

template <typename V>
void run_method(const job_constants &jc, const resample_job &job, method_traits<interpolation::label>)
{
    label_job_simd<V>(jc, job);
}

template <typename V>
void run_method(const job_constants &jc, const resample_job &job, method_traits<interpolation::lanczos>)
{
    visit_source_type(job.source_type, [&](auto source) {
        using Source = typename decltype(source)::type;
        for_each_block_of_result<V>(jc, job, lanczos_block<V, Source, float32_results>,
                                    lanczos_block<V, Source, float64_results>);
    });
}

template <typename V>
void run_method(const job_constants &jc, const resample_job &job, method_traits<interpolation::cubic>)
{
    for_each_block_of_result<V>(jc, job, cubic_block<V, float32_results>, cubic_block<V, float64_results>);
}

template <typename V>
void run_method(const job_constants &jc, const resample_job &job, method_traits<interpolation::nearest>)
{
    switch (job.element_size) {
    case 1: for_each_block<V>(jc, job.target, nearest_block<V, uint8_t>); return;
    case 2: for_each_block<V>(jc, job.target, nearest_block<V, uint16_t>); return;
    case 4: for_each_block<V>(jc, job.target, nearest_block<V, uint32_t>); return;
    case 8: for_each_block<V>(jc, job.target, nearest_block<V, uint64_t>); return;
    }
}

// The kernel for the operations of `V`: resample_scalar's contract and bits.
template <typename V>
void resample_job_simd(const resample_job &job)
{
    if (job_is_empty(job)) {
        return;
    }
    const job_constants jc = make_job_constants(job);
    visit_method(job, [&](auto method) { run_method<V>(jc, job, method); });
}

}  // namespace
}  // namespace voxwarp

#endif
