// The spline path's order-1 lanes with AVX-512F: eight doubles per vector.
// Built with -mavx512f on this file alone; reached only when the processor
// and OS support AVX-512.

#include "kernel/ndimage/spline_lanes.h"

#include <immintrin.h>

namespace voxwarp {
namespace avx512 {
namespace {

// The eight elements at `index` (int32 element offsets), as doubles.
inline __m512d gathered(const linear_lanes &l, const void *volume, __m256i index)
{
    if (l.double_source) {
        return _mm512_i32gather_pd(index, volume, 8);
    }
    return _mm512_cvtps_pd(_mm256_i32gather_ps(static_cast<const float *>(volume), index, 4));
}

// The eight pairs of float32 elements at `index` and `index + 1`, as doubles:
// each pair loaded as one 64-bit element, then parted.
inline void gathered_pairs(const float *volume, __m256i index, __m512d &first, __m512d &second)
{
    const __m512i pairs = _mm512_castpd_si512(_mm512_i32gather_pd(index, static_cast<const void *>(volume), 4));
    const __m256i low = _mm512_cvtepi64_epi32(pairs);
    const __m256i high = _mm512_cvtepi64_epi32(_mm512_srli_epi64(pairs, 32));
    first = _mm512_cvtps_pd(_mm256_castsi256_ps(low));
    second = _mm512_cvtps_pd(_mm256_castsi256_ps(high));
}

}  // namespace

unsigned linear_lanes_sums(const linear_lanes &l)
{
    const __mmask8 wanted = static_cast<__mmask8>((1u << l.count) - 1u);
    const __m512d lane = _mm512_setr_pd(0, 1, 2, 3, 4, 5, 6, 7);
    const __m512d column = _mm512_add_pd(_mm512_set1_pd(static_cast<double>(l.first_column)), lane);  // exact
    const __m512d one = _mm512_set1_pd(1.0), zero = _mm512_setzero_pd();
    __mmask8 inside = wanted;
    __m512d w1[3], w0[3], offset = zero;
    for (int h = 0; h < 3; ++h) {
        __m512d position;
        if (l.positions[h] != nullptr) {
            position = _mm512_maskz_loadu_pd(wanted, l.positions[h]);
        } else {
            const __m512d term = _mm512_mul_pd(column, _mm512_set1_pd(l.last_column[h]));
            position = _mm512_add_pd(_mm512_set1_pd(l.partial[h]), term);
        }
        const __m512d c = _mm512_add_pd(position, _mm512_set1_pd(l.prepad));
        inside &= _mm512_cmp_pd_mask(c, zero, _CMP_GE_OQ);
        inside &= _mm512_cmp_pd_mask(c, _mm512_set1_pd(l.n[h] - 1.0), _CMP_LE_OQ);
        const __m512d base = _mm512_roundscale_pd(c, _MM_FROUND_TO_NEG_INF | _MM_FROUND_NO_EXC);
        const __m512d start = _mm512_sub_pd(base, _mm512_set1_pd(l.origin[h]));
        inside &= _mm512_cmp_pd_mask(start, zero, _CMP_GE_OQ);
        inside &= _mm512_cmp_pd_mask(_mm512_add_pd(start, one), _mm512_set1_pd(l.window[h]), _CMP_LT_OQ);
        const __m512d x = _mm512_sub_pd(c, base);
        w0[h] = _mm512_sub_pd(one, x);
        w1[h] = x;
        // offsets below 2**31 are exact in double
        offset = _mm512_add_pd(offset, _mm512_mul_pd(start, _mm512_set1_pd(static_cast<double>(l.stride[h]))));
    }
    if (inside == 0) {
        return 0;
    }
    // Lanes outside read the window's first element, and their sums are not stored.
    const __m256i first = _mm512_cvttpd_epi32(_mm512_mask_mov_pd(zero, inside, offset));
    const __m256i sz = _mm256_set1_epi32(l.stride[0]), sy = _mm256_set1_epi32(l.stride[1]);
    const __m256i sx = _mm256_set1_epi32(l.stride[2]);
    __mmask8 stored = inside;
    for (int64_t vol = 0; vol < l.volumes; ++vol) {
        const void *volume =
            l.double_source ? static_cast<const void *>(static_cast<const double *>(l.source) + vol * l.volume_stride)
                            : static_cast<const void *>(static_cast<const float *>(l.source) + vol * l.volume_stride);
        __m512d planes[2];
        for (int kz = 0; kz < 2; ++kz) {
            __m512d rows[2];
            for (int ky = 0; ky < 2; ++ky) {
                __m256i at = first;
                at = kz == 1 ? _mm256_add_epi32(at, sz) : at;
                at = ky == 1 ? _mm256_add_epi32(at, sy) : at;
                __m512d v0, v1;
                if (!l.double_source && l.stride[2] == 1) {
                    gathered_pairs(static_cast<const float *>(volume), at, v0, v1);
                } else {
                    v0 = gathered(l, volume, at);
                    v1 = gathered(l, volume, _mm256_add_epi32(at, sx));
                }
                rows[ky] = _mm512_add_pd(_mm512_mul_pd(v0, w0[2]), _mm512_mul_pd(v1, w1[2]));
            }
            planes[kz] = _mm512_add_pd(_mm512_mul_pd(rows[0], w0[1]), _mm512_mul_pd(rows[1], w1[1]));
        }
        const __m512d sum = _mm512_add_pd(_mm512_mul_pd(planes[0], w0[0]), _mm512_mul_pd(planes[1], w1[0]));
        stored &= _mm512_cmp_pd_mask(sum, sum, _CMP_ORD_Q);  // a NaN sum is the scalar loop's to replay
        _mm512_mask_storeu_pd(l.sums + vol * l.piece, stored, sum);
    }
    return stored;
}

}  // namespace avx512
}  // namespace voxwarp
