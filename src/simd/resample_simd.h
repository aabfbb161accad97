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

#include "resample_position.h"

namespace voxwarp {
namespace {

template <typename V>
struct block_constants {
    typename V::floats m0, m3, m4, m7, m8, m11, sx, sy, sz;
    typename V::ints one, row_size, slice_size;
};

template <typename V>
struct block_row {
    typename V::floats m1y, m5y, m9y, m2z, m6z, m10z;
};

template <typename V>
typename V::floats source_indices(typename V::floats a, typename V::floats X, typename V::floats bY,
                                  typename V::floats cZ, typename V::floats d, typename V::floats spacing)
{
    const typename V::floats aX = V::mul(a, X);
    const typename V::floats sum1 = V::add(aX, bY);
    const typename V::floats sum2 = V::add(sum1, cZ);
    const typename V::floats sum3 = V::add(sum2, d);
    return V::div(sum3, spacing);
}

template <typename V>
struct half_weights {
    typename V::doubles fx, fy, fz, gx, gy, gz;
};

template <typename V>
half_weights<V> weights_of(typename V::doubles fx, typename V::doubles fy, typename V::doubles fz)
{
    const typename V::doubles one = V::broadcast_double(1.0);
    return {fx, fy, fz, V::sub_double(one, fx), V::sub_double(one, fy), V::sub_double(one, fz)};
}

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

// Samples the lanes in `lanes_bits` through the scalar routine.
template <typename V>
void resample_lanes_scalar(const grid &g, ptrdiff_t offset, unsigned lane_bits, typename V::floats I,
                           typename V::floats J, typename V::floats K)
{
    alignas(64) float is[V::lanes], js[V::lanes], ks[V::lanes];
    V::store_all(is, I);
    V::store_all(js, J);
    V::store_all(ks, K);
    for (int lane = 0; lane < V::lanes; ++lane) {
        if (lane_bits & (1u << lane)) {
            resample_position(g, offset + lane, is[lane], js[lane], ks[lane]);
        }
    }
}

// Rewrites the NaN results of volume `vol` with the scalar routine's bits.
template <typename V>
void fix_nan_lanes(const grid &g, int32_t vol, ptrdiff_t offset, unsigned lane_bits, typename V::floats I,
                   typename V::floats J, typename V::floats K)
{
    alignas(64) float is[V::lanes], js[V::lanes], ks[V::lanes];
    V::store_all(is, I);
    V::store_all(js, J);
    V::store_all(ks, K);
    const float *v = g.input + vol * g.volume_size;
    for (int lane = 0; lane < V::lanes; ++lane) {
        sample_point p;
        if ((lane_bits & (1u << lane)) && locate(g, is[lane], js[lane], ks[lane], p)) {
            g.output[vol * g.volume_size + offset + lane] = blend_volume(v, p);
        }
    }
}

// The lanes inside the input on all three axes: indices and weights once,
// then every volume of the stack.
template <typename V>
void blend_interior_lanes(const grid &g, const block_constants<V> &c, ptrdiff_t offset,
                          typename V::mask interior, typename V::floats I, typename V::floats J,
                          typename V::floats K, typename V::ints x0, typename V::ints y0, typename V::ints z0)
{
    // The differences are exact, as in the scalar routine.
    const typename V::floats fx = V::sub(I, V::to_float(x0));
    const typename V::floats fy = V::sub(J, V::to_float(y0));
    const typename V::floats fz = V::sub(K, V::to_float(z0));
    const half_weights<V> low = weights_of<V>(V::low_half(fx), V::low_half(fy), V::low_half(fz));
    const half_weights<V> high = weights_of<V>(V::high_half(fx), V::high_half(fy), V::high_half(fz));

    // Offsets within a volume fit 32 bits: a volume holds fewer than 2**31
    // elements. Lanes outside the mask take offset 0, whose neighbours exist
    // whenever any lane is inside (every axis then has two voxels or more).
    const typename V::ints o000 = V::add_int(V::add_int(V::mul_int(z0, c.slice_size), V::mul_int(y0, c.row_size)), x0);
    alignas(64) int32_t first_neighbour[V::lanes];
    V::store_offsets(first_neighbour, o000, interior);
    const unsigned interior_bits = V::bits(interior);

    // The neighbours come in pairs along x, (x0, x1), from rows (y0, z0),
    // (y1, z0), (y0, z1) and (y1, z1): the order of the interior terms, so
    // each pair is added to the sum as it arrives.
    const ptrdiff_t row = g.row_size;
    const ptrdiff_t slice = g.slice_size;
    for (int32_t vol = 0; vol < g.nvol; ++vol) {
        const float *v = g.input + vol * g.volume_size;
        typename V::floats at_x0, at_x1;
        V::load_pairs(v, first_neighbour, at_x0, at_x1);
        typename V::doubles low_sum = term<V>(V::low_half(at_x0), low.gx, low.gy, low.gz);
        typename V::doubles high_sum = term<V>(V::high_half(at_x0), high.gx, high.gy, high.gz);
        add_terms<V>(low_sum, high_sum, at_x1, low.fx, low.gy, low.gz, high.fx, high.gy, high.gz);
        V::load_pairs(v + row, first_neighbour, at_x0, at_x1);
        add_terms<V>(low_sum, high_sum, at_x0, low.gx, low.fy, low.gz, high.gx, high.fy, high.gz);
        add_terms<V>(low_sum, high_sum, at_x1, low.fx, low.fy, low.gz, high.fx, high.fy, high.gz);
        V::load_pairs(v + slice, first_neighbour, at_x0, at_x1);
        add_terms<V>(low_sum, high_sum, at_x0, low.gx, low.gy, low.fz, high.gx, high.gy, high.fz);
        add_terms<V>(low_sum, high_sum, at_x1, low.fx, low.gy, low.fz, high.fx, high.gy, high.fz);
        V::load_pairs(v + slice + row, first_neighbour, at_x0, at_x1);
        add_terms<V>(low_sum, high_sum, at_x0, low.gx, low.fy, low.fz, high.gx, high.fy, high.fz);
        add_terms<V>(low_sum, high_sum, at_x1, low.fx, low.fy, low.fz, high.fx, high.fy, high.fz);
        V::store(g.output + vol * g.volume_size + offset, V::narrow(low_sum, high_sum), interior);
        const unsigned nan_bits = V::nan_bits(low_sum, high_sum) & interior_bits;
        if (nan_bits != 0) {
            fix_nan_lanes<V>(g, vol, offset, nan_bits, I, J, K);
        }
    }
}

template <typename V>
void resample_block(const grid &g, const block_constants<V> &c, const block_row<V> &r, ptrdiff_t row_offset,
                    int32_t x, int32_t end)
{
    const typename V::ints column = V::add_int(V::broadcast_int(x), V::lane_indices());
    const typename V::floats X = V::mul(V::to_float(column), c.sx);
    const typename V::floats I = source_indices<V>(c.m0, X, r.m1y, r.m2z, c.m3, c.sx);
    const typename V::floats J = source_indices<V>(c.m4, X, r.m5y, r.m6z, c.m7, c.sy);
    const typename V::floats K = source_indices<V>(c.m8, X, r.m9y, r.m10z, c.m11, c.sz);
    const typename V::ints x0 = V::truncate(I);
    const typename V::ints y0 = V::truncate(J);
    const typename V::ints z0 = V::truncate(K);
    const typename V::ints x1 = V::add_int(x0, c.one);
    const typename V::ints y1 = V::add_int(y0, c.one);
    const typename V::ints z1 = V::add_int(z0, c.one);

    // Sampled lanes pass the gate: 0 <= i1 <= n on every axis.
    typename V::mask sampled = V::first_lanes(end - x);
    sampled = V::both(sampled, V::in_range(x1, 0, g.nx));
    sampled = V::both(sampled, V::in_range(y1, 0, g.ny));
    sampled = V::both(sampled, V::in_range(z1, 0, g.nz));
    if (V::bits(sampled) == 0) {
        return;
    }
    // Inside on an axis: i0 >= 0 and i1 < n, so 1 <= i1 <= n - 1.
    typename V::mask interior = V::both(sampled, V::in_range(x1, 1, g.nx - 1));
    interior = V::both(interior, V::in_range(y1, 1, g.ny - 1));
    interior = V::both(interior, V::in_range(z1, 1, g.nz - 1));

    const ptrdiff_t offset = row_offset + x;
    if (V::bits(interior) != 0) {
        blend_interior_lanes<V>(g, c, offset, interior, I, J, K, x0, y0, z0);
    }
    const unsigned edge_bits = V::bits(sampled) & ~V::bits(interior);
    if (edge_bits != 0) {
        resample_lanes_scalar<V>(g, offset, edge_bits, I, J, K);
    }
}

template <typename V>
void resample_volumes_simd(const float *input, const volume_shape &shape, const float *voxel_size,
                           const float *matrix, float *output)
{
    if (shape.nvol <= 0 || shape.nz <= 0 || shape.ny <= 0 || shape.nx <= 0) {
        return;
    }
    const grid g = make_grid(input, shape, voxel_size, matrix, output);
    block_constants<V> c;
    c.m0 = V::broadcast(g.m[0]);
    c.m3 = V::broadcast(g.m[3]);
    c.m4 = V::broadcast(g.m[4]);
    c.m7 = V::broadcast(g.m[7]);
    c.m8 = V::broadcast(g.m[8]);
    c.m11 = V::broadcast(g.m[11]);
    c.sx = V::broadcast(g.sx);
    c.sy = V::broadcast(g.sy);
    c.sz = V::broadcast(g.sz);
    c.one = V::broadcast_int(1);
    c.row_size = V::broadcast_int(static_cast<int32_t>(g.row_size));
    c.slice_size = V::broadcast_int(static_cast<int32_t>(g.slice_size));

    // Columns are taken in tiles, every row of a slice at a time: along a
    // tile's rows the input positions move by about one row per output row,
    // so the neighbours stay in the level-1 cache; whole rows would spill it.
    constexpr int32_t tile_width = 64;
    for (int32_t z = 0; z < g.nz; ++z) {
        for (int32_t tile = 0; tile < g.nx; tile += tile_width) {
            const int32_t tile_end = g.nx - tile <= tile_width ? g.nx : tile + tile_width;
            for (int32_t y = 0; y < g.ny; ++y) {
                const row_terms scalar_row = make_row_terms(g, y, z);
                const block_row<V> r{V::broadcast(scalar_row.m1y), V::broadcast(scalar_row.m5y),
                                     V::broadcast(scalar_row.m9y), V::broadcast(scalar_row.m2z),
                                     V::broadcast(scalar_row.m6z), V::broadcast(scalar_row.m10z)};
                const ptrdiff_t row_offset = z * g.slice_size + y * g.row_size;
                for (int32_t x = tile; x < tile_end; x += V::lanes) {
                    resample_block<V>(g, c, r, row_offset, x, tile_end);
                    if (tile_end - x <= V::lanes) {
                        break;  // x + lanes could overflow near 2**31 columns
                    }
                }
            }
            if (g.nx - tile <= tile_width) {
                break;
            }
        }
    }
}

}  // namespace
}  // namespace voxwarp

#endif
