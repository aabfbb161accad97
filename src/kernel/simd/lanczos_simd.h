#ifndef VOXWARPKIT_LANCZOS_SIMD_H
#define VOXWARPKIT_LANCZOS_SIMD_H

// Lanczos interpolation for the operations of `V`: each lane's weights by
// the scalar routine's own definition (lanczos_weights of V's doubles), its
// 6 x 6 x 6 terms added one by one in flat_sum's order. Lanes whose taps need
// clamping, and sums that come out NaN, go through the scalar routine.
// Included by resample_simd.h after the helpers it uses; internal linkage.

#include "kernel/lanczos.h"

#include <type_traits>

namespace voxwarp {
namespace {

// The Lanczos weights of the fraction along one axis, for each half of the lanes.
template <typename V>
struct lanczos_lane_weights {
    typename V::doubles low[lanczos_taps], high[lanczos_taps];
};

template <typename V>
lanczos_lane_weights<V> lanczos_weights_of(typename V::floats fraction)
{
    lanczos_lane_weights<V> w;
    lanczos_weights<V>(V::low_half(fraction), w.low);
    lanczos_weights<V>(V::high_half(fraction), w.high);
    return w;
}

// The six elements along x from each lane's offset on, as floats, one vector
// per tap: a float32 source with V's loads of four and of two.
template <typename V>
void load_lanczos_row(const float *v, const int32_t *offsets, typename V::floats taps[lanczos_taps])
{
    V::load_quads(v, offsets, taps);
    V::load_pairs(v + 4, offsets, taps[4], taps[5]);
}

// Any other element type: each lane's six converted to floats, then loaded as vectors.
template <typename V, typename Elements>
void load_lanczos_row(converted<Elements> v, const int32_t *offsets, typename V::floats taps[lanczos_taps])
{
    alignas(64) float values[lanczos_taps][V::lanes];
    for (int lane = 0; lane < V::lanes; ++lane) {
        const converted<Elements> run = v + offsets[lane];
        for (int tap = 0; tap < lanczos_taps; ++tap) {
            values[tap][lane] = run[tap];
        }
    }
    for (int tap = 0; tap < lanczos_taps; ++tap) {
        taps[tap] = V::load_all(values[tap]);
    }
}

// The lanes whose taps lie inside the source on all three axes: weights once,
// then every volume. `first_tap` is each lane's offset of its tap
// (floor(I) - 2, floor(J) - 2, floor(K) - 2).
template <typename V, typename Source, typename Result>
void lanczos_interior_lanes(const job_constants &jc, ptrdiff_t offset, typename V::mask interior,
                            const block_indices<V> &at, typename V::ints x0, typename V::ints y0, typename V::ints z0,
                            const int32_t *first_tap)
{
    // floor(I) is x0 on these lanes: the differences are tap_axis's exact fractions.
    const lanczos_lane_weights<V> wx = lanczos_weights_of<V>(V::sub(at.I, V::to_float(x0)));
    const lanczos_lane_weights<V> wy = lanczos_weights_of<V>(V::sub(at.J, V::to_float(y0)));
    const lanczos_lane_weights<V> wz = lanczos_weights_of<V>(V::sub(at.K, V::to_float(z0)));
    const unsigned interior_bits = V::bits(interior);
    for (int32_t vol = 0; vol < jc.nvol; ++vol) {
        const Source v = static_cast<Source>(jc.input) + vol * jc.volume_size;
        // The first term starts each sum; every later one is added to it.
        typename V::doubles low_sum{}, high_sum{};
        for (int kz = 0; kz < lanczos_taps; ++kz) {
            for (int ky = 0; ky < lanczos_taps; ++ky) {
                typename V::floats taps[lanczos_taps];
                load_lanczos_row<V>(v + (kz * jc.slice_size + ky * jc.row_size), first_tap, taps);
                for (int kx = 0; kx < lanczos_taps; ++kx) {
                    const typename V::doubles low_term =
                        term<V>(V::low_half(taps[kx]), wx.low[kx], wy.low[ky], wz.low[kz]);
                    const typename V::doubles high_term =
                        term<V>(V::high_half(taps[kx]), wx.high[kx], wy.high[ky], wz.high[kz]);
                    const bool first = kz == 0 && ky == 0 && kx == 0;
                    low_sum = first ? low_term : V::add_double(low_sum, low_term);
                    high_sum = first ? high_term : V::add_double(high_sum, high_term);
                }
            }
        }
        store_sums<V, Result>(jc, vol * jc.out_volume + offset, interior, low_sum, high_sum);
        const unsigned nan_bits = V::nan_bits(low_sum, high_sum) & interior_bits;
        if (nan_bits != 0) {
            // The scalar routine replays NaN sums for their bits (in every volume).
            sample_lanes_scalar<V>(jc, offset, nan_bits, at.I, at.J, at.K, separable_position<lanczos, Source, Result>);
        }
    }
}

// Lanczos interpolation of the lanes from global column x up to column
// `end`: lanes whose taps need no clamping in the vector, the others through
// the scalar routine. Returns the sampled lanes, as the other blocks do.
template <typename V, typename Source, typename Result>
unsigned lanczos_block(const job_constants &jc, const block_constants<V> &c, const block_row<V> &r,
                       ptrdiff_t row_offset, int32_t x, int32_t end)
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
    if (V::bits(sampled) == 0) {
        return 0;
    }
    // Sampled lanes have floor(I) in [-1, n - 1]: it fits the integers.
    constexpr int32_t before = lanczos_radius - 1;
    constexpr int32_t after = lanczos_taps - 1 - before;
    const typename V::ints x0 = V::truncate(V::floor(at.I));
    const typename V::ints y0 = V::truncate(V::floor(at.J));
    const typename V::ints z0 = V::truncate(V::floor(at.K));
    typename V::mask interior = V::both(sampled, V::in_range(x0, before, jc.nx - 1 - after));
    interior = V::both(interior, V::in_range(y0, before, jc.ny - 1 - after));
    interior = V::both(interior, V::in_range(z0, before, jc.nz - 1 - after));
    if (V::bits(interior) != 0) {
        // Lanes outside the mask read from offset 0, whose 6 x 6 x 6 taps lie
        // in the window whenever an interior lane's do.
        const typename V::ints back = V::broadcast_int(before);
        const typename V::ints slice_part = V::mul_int(V::sub_int(V::sub_int(z0, back), c.wz), c.slice_size);
        const typename V::ints row_part = V::mul_int(V::sub_int(V::sub_int(y0, back), c.wy), c.row_size);
        const typename V::ints column = V::sub_int(V::sub_int(x0, back), c.wx);
        alignas(64) int32_t first_tap[V::lanes];
        V::store_offsets(first_tap, V::add_int(V::add_int(slice_part, row_part), column), interior);
        lanczos_interior_lanes<V, Source, Result>(jc, offset, interior, at, x0, y0, z0, first_tap);
    }
    const unsigned edge_bits = V::bits(sampled) & ~V::bits(interior);
    if (edge_bits != 0) {
        sample_lanes_scalar<V>(jc, offset, edge_bits, at.I, at.J, at.K, separable_position<lanczos, Source, Result>);
    }
    return V::bits(sampled);
}

}  // namespace
}  // namespace voxwarp

#endif
