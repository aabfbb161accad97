#ifndef VOXWARPKIT_LABEL_SIMD_H
#define VOXWARPKIT_LABEL_SIMD_H

// Label interpolation for the operations of `V`: the vector finds each lane's
// source indices, gate and neighbours, as the linear kernel's clamped rule
// does; the choice among the neighbours, whose work is comparisons rather
// than arithmetic, is the scalar routine's label_choice, lane by lane.
// Included by resample_simd.h after the helpers it uses; internal linkage.

#include "kernel/resample_position.h"

namespace voxwarp {
namespace {

// Label interpolation of the lanes from global column x up to column `end`:
// lanes whose neighbours need no clamping take their offsets and fractions
// from the vector, the others go through the scalar routine whole.
template <typename V, typename T>
void label_block(const job_constants &jc, const block_constants<V> &c, const block_row<V> &r, ptrdiff_t row_offset,
                 int32_t x, int32_t end)
{
    const block_indices<V> at = indices_of<V>(c, r, x);
    const typename V::mask valid = V::first_lanes(end - x);
    const linear_lanes<V> lanes = clamped_lanes<V>(jc, at, valid);
    const ptrdiff_t offset = row_offset + (x - c.x_origin);
    const unsigned sampled_bits = V::bits(lanes.sampled);
    if (jc.write_fill) {
        const unsigned unsampled = V::bits(valid) & ~sampled_bits;
        const T fill = fill_value<T>(jc);
        for (int32_t vol = 0; vol < jc.nvol; ++vol) {
            T *output = static_cast<T *>(jc.output) + vol * jc.out_volume + offset;
            for (int lane = 0; lane < V::lanes; ++lane) {
                if (unsampled & (1u << lane)) {
                    output[lane] = fill;
                }
            }
        }
    }
    if (sampled_bits == 0) {
        return;
    }
    const unsigned interior_bits = V::bits(lanes.interior);
    if (interior_bits != 0) {
        // floor(I) is x0 on these lanes, so the differences are clamped_axis's exact fractions.
        alignas(64) float fx[V::lanes], fy[V::lanes], fz[V::lanes];
        V::store_all(fx, V::sub(at.I, V::to_float(lanes.x0)));
        V::store_all(fy, V::sub(at.J, V::to_float(lanes.y0)));
        V::store_all(fz, V::sub(at.K, V::to_float(lanes.z0)));
        // Offsets within a volume of the window fit 32 bits, as for the linear blend.
        const typename V::ints slice_offset = V::mul_int(V::sub_int(lanes.z0, c.wz), c.slice_size);
        const typename V::ints row_part = V::mul_int(V::sub_int(lanes.y0, c.wy), c.row_size);
        alignas(64) int32_t first_neighbour[V::lanes];
        V::store_offsets(first_neighbour, V::add_int(V::add_int(slice_offset, row_part), V::sub_int(lanes.x0, c.wx)),
                         lanes.interior);
        const ptrdiff_t row = jc.row_size;
        const ptrdiff_t slice = jc.slice_size;
        const ptrdiff_t steps[8] = {0, 1, row, row + 1, slice, slice + 1, slice + row, slice + row + 1};
        for (int lane = 0; lane < V::lanes; ++lane) {
            if (!(interior_bits & (1u << lane))) {
                continue;
            }
            ptrdiff_t source[8];
            for (int k = 0; k < 8; ++k) {
                source[k] = first_neighbour[lane] + steps[k];
            }
            for (int32_t vol = 0; vol < jc.nvol; ++vol) {
                const T *input = static_cast<const T *>(jc.input) + vol * jc.volume_size;
                static_cast<T *>(jc.output)[vol * jc.out_volume + offset + lane] =
                    label_choice(input, source, fx[lane], fy[lane], fz[lane]);
            }
        }
    }
    const unsigned edge_bits = sampled_bits & ~interior_bits;
    if (edge_bits != 0) {
        sample_lanes_scalar<V>(jc, offset, edge_bits, at.I, at.J, at.K, label_position<T>);
    }
}

// The label kernel for the operations of `V`, for elements of the job's size.
template <typename V>
void label_job_simd(const job_constants &jc, const resample_job &job)
{
    switch (job.element_size) {
    case 1: for_each_block<V>(jc, job.target, label_block<V, uint8_t>); return;
    case 2: for_each_block<V>(jc, job.target, label_block<V, uint16_t>); return;
    case 4: for_each_block<V>(jc, job.target, label_block<V, uint32_t>); return;
    case 8: for_each_block<V>(jc, job.target, label_block<V, uint64_t>); return;
    }
}

}  // namespace
}  // namespace voxwarp

#endif
