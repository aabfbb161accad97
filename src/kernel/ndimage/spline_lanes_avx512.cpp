// The spline path's lanes with AVX-512F: eight doubles per vector, orders 1
// and 3. Built with -mavx512f on this file alone; reached only when the
// processor and OS support AVX-512.

#include "kernel/bspline.h"
#include "kernel/ndimage/spline_lanes.h"
#include "kernel/simd/pair_load.h"

#include <immintrin.h>

#include <cstring>

namespace voxwarp {
namespace avx512 {
namespace {

// bspline_weights' double operations on eight lanes: each lane rounds as the
// scalar form does.
struct lane_doubles {
    using doubles = __m512d;
    static doubles broadcast_double(double value) { return _mm512_set1_pd(value); }
    static doubles mul_double(doubles a, doubles b) { return _mm512_mul_pd(a, b); }
    static doubles add_double(doubles a, doubles b) { return _mm512_add_pd(a, b); }
    static doubles sub_double(doubles a, doubles b) { return _mm512_sub_pd(a, b); }
    static doubles div_double(doubles a, doubles b) { return _mm512_div_pd(a, b); }
};

template <int Order>
inline void weights_at(__m512d x, __m512d weights[Order + 1])
{
    if constexpr (Order == 1) {
        weights[0] = _mm512_sub_pd(_mm512_set1_pd(1.0), x);
        weights[1] = x;
    } else {
        static_assert(Order == 3, "orders 1 and 3");
        bspline_weights<lane_doubles>(x, weights);
    }
}

// The eight lanes' taps of one row along x, as doubles: taps[k] holds every
// lane's tap k. `at` holds each lane's first tap (element offsets from
// `volume`). Rows with x contiguous are read by plain loads, a lane's taps at
// once, and turned into tap vectors (a hardware gather is slower on many
// processors); any other row tap by tap through gathers.
template <int Taps>
inline void row_taps(bool double_source, int32_t stride_x, const void *volume, const int32_t at[8], __m256i at_vector,
                     __m512d taps[Taps])
{
    if (!double_source && stride_x == 1) {
        const float *v = static_cast<const float *>(volume);
        if constexpr (Taps == 2) {
            __m128d two[4];
            for (int k = 0; k < 4; ++k) {
                two[k] = load_two_pairs(v + at[2 * k], v + at[2 * k + 1]);
            }
            const __m256d low = _mm256_insertf128_pd(_mm256_castpd128_pd256(two[0]), two[1], 1);
            const __m256d high = _mm256_insertf128_pd(_mm256_castpd128_pd256(two[2]), two[3], 1);
            const __m512i pairs = _mm512_castpd_si512(_mm512_insertf64x4(_mm512_castpd256_pd512(low), high, 1));
            taps[0] = _mm512_cvtps_pd(_mm256_castsi256_ps(_mm512_cvtepi64_epi32(pairs)));
            taps[1] = _mm512_cvtps_pd(_mm256_castsi256_ps(_mm512_cvtepi64_epi32(_mm512_srli_epi64(pairs, 32))));
        } else {
            static_assert(Taps == 4, "two or four taps");
            __m512 quads[2];
            for (int half = 0; half < 2; ++half) {
                const int32_t *o = at + 4 * half;
                __m512 q = _mm512_castps128_ps512(_mm_loadu_ps(v + o[0]));
                q = _mm512_insertf32x4(q, _mm_loadu_ps(v + o[1]), 1);
                q = _mm512_insertf32x4(q, _mm_loadu_ps(v + o[2]), 2);
                quads[half] = _mm512_insertf32x4(q, _mm_loadu_ps(v + o[3]), 3);
            }
            // Lane j's tap k is element 4j + k of the sixteen lanes 0-3 and the sixteen of lanes 4-7.
            const __m512i taps01 = _mm512_setr_epi32(0, 4, 8, 12, 16, 20, 24, 28, 1, 5, 9, 13, 17, 21, 25, 29);
            const __m512i taps23 = _mm512_setr_epi32(2, 6, 10, 14, 18, 22, 26, 30, 3, 7, 11, 15, 19, 23, 27, 31);
            const __m512 first = _mm512_permutex2var_ps(quads[0], taps01, quads[1]);
            const __m512 second = _mm512_permutex2var_ps(quads[0], taps23, quads[1]);
            taps[0] = _mm512_cvtps_pd(_mm512_castps512_ps256(first));
            taps[1] = _mm512_cvtps_pd(_mm256_castpd_ps(_mm512_extractf64x4_pd(_mm512_castps_pd(first), 1)));
            taps[2] = _mm512_cvtps_pd(_mm512_castps512_ps256(second));
            taps[3] = _mm512_cvtps_pd(_mm256_castpd_ps(_mm512_extractf64x4_pd(_mm512_castps_pd(second), 1)));
        }
        return;
    }
    if (double_source && stride_x == 1) {
        const double *v = static_cast<const double *>(volume);
        if constexpr (Taps == 2) {
            __m512d pairs[2];
            for (int half = 0; half < 2; ++half) {
                const int32_t *o = at + 4 * half;
                __m512d p = _mm512_castpd128_pd512(_mm_loadu_pd(v + o[0]));
                p = _mm512_castps_pd(_mm512_insertf32x4(_mm512_castpd_ps(p), _mm_castpd_ps(_mm_loadu_pd(v + o[1])), 1));
                p = _mm512_castps_pd(_mm512_insertf32x4(_mm512_castpd_ps(p), _mm_castpd_ps(_mm_loadu_pd(v + o[2])), 2));
                pairs[half] =
                    _mm512_castps_pd(_mm512_insertf32x4(_mm512_castpd_ps(p), _mm_castpd_ps(_mm_loadu_pd(v + o[3])), 3));
            }
            // Lane j's tap k is element 2j + k of lanes 0-3, then of lanes 4-7.
            taps[0] = _mm512_permutex2var_pd(pairs[0], _mm512_setr_epi64(0, 2, 4, 6, 8, 10, 12, 14), pairs[1]);
            taps[1] = _mm512_permutex2var_pd(pairs[0], _mm512_setr_epi64(1, 3, 5, 7, 9, 11, 13, 15), pairs[1]);
        } else {
            static_assert(Taps == 4, "two or four taps");
            // Lanes j and j + 4 side by side, for j = 0 .. 3, each a run of four taps.
            __m512d quads[4];
            for (int j = 0; j < 4; ++j) {
                quads[j] = _mm512_insertf64x4(_mm512_castpd256_pd512(_mm256_loadu_pd(v + at[j])),
                                              _mm256_loadu_pd(v + at[j + 4]), 1);
            }
            // Taps 0 and 2 (low) and 1 and 3 (high) of lanes 0, 1 | 4, 5 and of lanes 2, 3 | 6, 7.
            const __m512d low01 = _mm512_unpacklo_pd(quads[0], quads[1]);
            const __m512d high01 = _mm512_unpackhi_pd(quads[0], quads[1]);
            const __m512d low23 = _mm512_unpacklo_pd(quads[2], quads[3]);
            const __m512d high23 = _mm512_unpackhi_pd(quads[2], quads[3]);
            const __m512i even = _mm512_setr_epi64(0, 1, 8, 9, 4, 5, 12, 13);
            const __m512i odd = _mm512_setr_epi64(2, 3, 10, 11, 6, 7, 14, 15);
            taps[0] = _mm512_permutex2var_pd(low01, even, low23);
            taps[1] = _mm512_permutex2var_pd(high01, even, high23);
            taps[2] = _mm512_permutex2var_pd(low01, odd, low23);
            taps[3] = _mm512_permutex2var_pd(high01, odd, high23);
        }
        return;
    }
    const __m256i sx = _mm256_set1_epi32(stride_x);
    __m256i index = at_vector;
    for (int k = 0; k < Taps; ++k) {
        if (double_source) {
            taps[k] = _mm512_i32gather_pd(index, volume, 8);
        } else {
            taps[k] = _mm512_cvtps_pd(_mm256_i32gather_ps(static_cast<const float *>(volume), index, 4));
        }
        index = _mm256_add_epi32(index, sx);
    }
}

// values[0] * weights[0] + values[1] * weights[1] + ..., added from the left.
template <int Taps>
inline __m512d weighted(const __m512d values[Taps], const __m512d weights[Taps])
{
    __m512d sum = _mm512_mul_pd(values[0], weights[0]);
    for (int k = 1; k < Taps; ++k) {
        sum = _mm512_add_pd(sum, _mm512_mul_pd(values[k], weights[k]));
    }
    return sum;
}

// The volume's first element.
inline const void *volume_of(const void *source, bool double_source, int64_t vol, ptrdiff_t volume_stride)
{
    return double_source ? static_cast<const void *>(static_cast<const double *>(source) + vol * volume_stride)
                         : static_cast<const void *>(static_cast<const float *>(source) + vol * volume_stride);
}

// Every volume's sums of the lanes in `stored` into sums[vol * piece]: the
// taps of row (kz, ky) start at `first` (each lane's first tap) plus
// row_offsets[kz * Taps + ky], and are weighed along x, then y, then z, each
// sum from the left. Returns the lanes stored: a NaN sum drops its lane from
// this volume on, the scalar loop's to replay.
template <int Taps>
__mmask8 volume_sums(const void *source, bool double_source, int64_t volumes, ptrdiff_t volume_stride, int32_t stride_x,
                     __m256i first, const int32_t row_offsets[Taps * Taps], const __m512d z_weights[Taps],
                     const __m512d y_weights[Taps], const __m512d x_weights[Taps], __mmask8 stored, double *sums,
                     ptrdiff_t piece)
{
    alignas(32) int32_t first_taps[8];
    _mm256_store_si256(reinterpret_cast<__m256i *>(first_taps), first);
    for (int64_t vol = 0; vol < volumes; ++vol) {
        const void *volume = volume_of(source, double_source, vol, volume_stride);
        __m512d planes[Taps];
        for (int kz = 0; kz < Taps; ++kz) {
            __m512d rows[Taps];
            for (int ky = 0; ky < Taps; ++ky) {
                const int32_t row = row_offsets[kz * Taps + ky];
                alignas(32) int32_t at[8];
                for (int i = 0; i < 8; ++i) {
                    at[i] = first_taps[i] + row;
                }
                __m512d values[Taps];
                row_taps<Taps>(double_source, stride_x, volume, at, _mm256_add_epi32(first, _mm256_set1_epi32(row)),
                               values);
                rows[ky] = weighted<Taps>(values, x_weights);
            }
            planes[kz] = weighted<Taps>(rows, y_weights);
        }
        const __m512d sum = weighted<Taps>(planes, z_weights);
        stored &= _mm512_cmp_pd_mask(sum, sum, _CMP_ORD_Q);
        _mm512_mask_storeu_pd(sums + vol * piece, stored, sum);
    }
    return stored;
}

// The lanes' constants along one axis, as vectors.
struct axis_vectors {
    __m512d partial, last_column, last, first_tap, window_less_order, stride;
};

template <int Order>
void sums_of_order(const spline_lanes &l)
{
    constexpr int taps = Order + 1;
    const __m512d lane = _mm512_setr_pd(0, 1, 2, 3, 4, 5, 6, 7);
    const __m512d zero = _mm512_setzero_pd(), prepad = _mm512_set1_pd(l.prepad), cval = _mm512_set1_pd(l.cval);
    axis_vectors axes[3];
    for (int h = 0; h < 3; ++h) {
        axes[h].partial = _mm512_set1_pd(l.partial[h]);
        axes[h].last_column = _mm512_set1_pd(l.last_column[h]);
        axes[h].last = _mm512_set1_pd(l.n[h] - 1.0);
        axes[h].first_tap = _mm512_set1_pd(l.origin[h] + static_cast<double>(Order / 2));
        axes[h].window_less_order = _mm512_set1_pd(l.window[h] - static_cast<double>(Order));  // exact
        axes[h].stride = _mm512_set1_pd(static_cast<double>(l.stride[h]));
    }
    int32_t row_offsets[taps * taps];
    for (int kz = 0; kz < taps; ++kz) {
        for (int ky = 0; ky < taps; ++ky) {
            row_offsets[kz * taps + ky] = kz * l.stride[0] + ky * l.stride[1];
        }
    }
    for (int64_t done = 0; done < l.count; done += 8) {
        const int64_t count = l.count - done < 8 ? l.count - done : 8;
        const __mmask8 wanted = static_cast<__mmask8>((1u << count) - 1u);
        const __m512d column = _mm512_add_pd(_mm512_set1_pd(static_cast<double>(l.first_column + done)), lane);
        __mmask8 inside = wanted, in_input = wanted;
        __mmask8 edge = 0;  // on some axis inside the input, but with taps past the window or the input's edge
        __m512d weights[3][taps], offset = zero;
        for (int h = 0; h < 3; ++h) {
            const axis_vectors &a = axes[h];
            __m512d position;
            if (l.positions[h] != nullptr) {
                // the streams of positions run apart in memory: fetched ahead, a few lines at a time
                _mm_prefetch(reinterpret_cast<const char *>(l.positions[h] + done + 64), _MM_HINT_T0);
                position = _mm512_maskz_loadu_pd(wanted, l.positions[h] + done);
            } else {
                position = _mm512_add_pd(a.partial, _mm512_mul_pd(column, a.last_column));
            }
            const __m512d c = _mm512_add_pd(position, prepad);
            const __mmask8 on_axis =
                _mm512_cmp_pd_mask(c, zero, _CMP_GE_OQ) & _mm512_cmp_pd_mask(c, a.last, _CMP_LE_OQ);
            // floor(c), -0.0 made +0.0 as the scalar floor makes it
            const __m512d base =
                _mm512_add_pd(_mm512_roundscale_pd(c, _MM_FROUND_TO_NEG_INF | _MM_FROUND_NO_EXC), zero);
            const __m512d start = _mm512_sub_pd(base, a.first_tap);
            const __mmask8 in_window = _mm512_cmp_pd_mask(start, zero, _CMP_GE_OQ)
                                       & _mm512_cmp_pd_mask(start, a.window_less_order, _CMP_LT_OQ);
            in_input &= on_axis;
            inside &= in_window;
            edge |= on_axis & ~in_window;
            weights_at<Order>(_mm512_sub_pd(c, base), weights[h]);
            offset = _mm512_add_pd(offset, _mm512_mul_pd(start, a.stride));  // below 2**31: exact
        }
        inside &= in_input;
        // Under constant, a position outside the input on some axis samples nothing: cval. One
        // that reaches past the window on another axis is the scalar loop's, which reports it.
        const __mmask8 filled = l.cval_outside ? static_cast<__mmask8>(wanted & ~in_input & ~edge) : __mmask8(0);
        double *sums = l.sums + done;
        for (int64_t vol = 0; filled != 0 && vol < l.volumes; ++vol) {
            _mm512_mask_storeu_pd(sums + vol * l.piece, filled, cval);
        }
        __mmask8 stored = inside;
        if (inside != 0) {
            // Lanes outside read the window's first taps (some lane's taps lie in the window,
            // so the window holds them), and their sums are not stored.
            const __m256i first = _mm512_cvttpd_epi32(_mm512_mask_mov_pd(zero, inside, offset));
            stored = volume_sums<taps>(l.source, l.double_source, l.volumes, l.volume_stride, l.stride[2], first,
                                       row_offsets, weights[0], weights[1], weights[2], stored, sums, l.piece);
        }
        l.taken[done / 8] = static_cast<uint8_t>(stored | filled);
    }
}

template <int Order>
void tabled_sums_of_order(const tabled_lanes &l)
{
    constexpr int taps = Order + 1;
    __m512d y_weights[taps], z_weights[taps];
    for (int k = 0; k < taps; ++k) {
        y_weights[k] = _mm512_set1_pd(l.y_weights[k]);
        z_weights[k] = _mm512_set1_pd(l.z_weights[k]);
    }
    for (int64_t done = 0; done < l.count; done += 8) {
        const int64_t column = l.first + done;
        const int64_t count = l.count - done < 8 ? l.count - done : 8;
        const __mmask8 wanted = static_cast<__mmask8>((1u << count) - 1u);
        // 512-bit integer forms (AVX-512F alone), of which the low eight lanes count
        const __m512i x_first = _mm512_maskz_loadu_epi32(wanted, l.x_first + column);
        const __mmask8 inside = static_cast<__mmask8>(
            _mm512_mask_cmp_epi32_mask(wanted, x_first, _mm512_set1_epi32(INT32_MIN), _MM_CMPINT_NE));
        __mmask8 stored = inside;
        if (inside != 0) {
            // Lanes the table does not hold read x = 0 of the row, whose window holds some lane's taps.
            const __m256i first = _mm512_castsi512_si256(_mm512_maskz_mov_epi32(inside, x_first));
            __m512d x_weights[taps];
            for (int k = 0; k < taps; ++k) {
                x_weights[k] = _mm512_maskz_loadu_pd(wanted, l.x_weights + k * l.columns + column);
            }
            stored = volume_sums<taps>(l.source, l.double_source, l.volumes, l.volume_stride, l.stride_x, first,
                                       l.row_offsets, z_weights, y_weights, x_weights, stored, l.sums + done, l.piece);
        }
        l.taken[done / 8] = static_cast<uint8_t>(stored);
    }
}

}  // namespace

void spline_lanes_sums(const spline_lanes &l)
{
    if (l.order == 3) {
        sums_of_order<3>(l);
    } else {
        sums_of_order<1>(l);
    }
}

void tabled_lanes_sums(const tabled_lanes &l)
{
    if (l.order == 3) {
        tabled_sums_of_order<3>(l);
    } else {
        tabled_sums_of_order<1>(l);
    }
}

}  // namespace avx512
}  // namespace voxwarp
