#ifndef VOXWARPKIT_SUMS_TO_RESULTS_H
#define VOXWARPKIT_SUMS_TO_RESULTS_H

// The blends' double sums written as the result types other than float32 and
// float64, four lanes at a time with AVX: the kernels blend those types into
// float64 sums (already the first-NaN replay's where NaN) and one writer per
// type, picked once per job, makes the elements by result_types.h's rule.
// Integers round to nearest, ties to even, in the vector (roundpd's own
// rounding is exactly that), saturate by comparing in double before the
// conversion, and take the fill where the sum is NaN. Included by each kernel
// variant's file; internal linkage, so each compiles its own copy with its
// own instruction-set flags.

#include "kernel/result_types.h"

#include <immintrin.h>

#include <cstdint>
#include <cstring>
#include <limits>
#include <type_traits>

namespace voxwarp {
namespace {

// Writes the elements made from sums[lane] to out[lane] for the lanes set in
// `lane_bits` (of `count`, a multiple of 4); `fill` holds the job's fill
// element, which a NaN sum of an integer type becomes.
using sums_writer = void (*)(const double *sums, int count, unsigned lane_bits, const unsigned char *fill, void *out);

// Four sums rounded to whole numbers, ties to even, and saturated to Int's
// range. For Int of 32 bits or fewer both ends are exact doubles, so clamping
// the whole number gives the rule's min and max; NaN lanes are the caller's.
template <typename Int>
__m256d whole_and_saturated(__m256d sums)
{
    const __m256d whole = _mm256_round_pd(sums, _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC);
    const __m256d lowest = _mm256_set1_pd(static_cast<double>(std::numeric_limits<Int>::min()));
    const __m256d highest = _mm256_set1_pd(static_cast<double>(std::numeric_limits<Int>::max()));
    return _mm256_min_pd(_mm256_max_pd(whole, lowest), highest);
}

// Four whole numbers in Int's range (Int of 32 bits or fewer) stored as Int.
template <typename Int>
void store_four(__m256d whole, Int *out)
{
    __m128i values;
    if constexpr (std::is_same_v<Int, uint32_t>) {
        // Past INT32_MAX: shifted by 2**31 into int32's range (exact), converted, shifted back.
        const __m256d shifted = _mm256_sub_pd(whole, _mm256_set1_pd(2147483648.0));
        values = _mm_xor_si128(_mm256_cvtpd_epi32(shifted), _mm_set1_epi32(INT32_MIN));
    } else {
        values = _mm256_cvtpd_epi32(whole);  // whole numbers in range: exact
    }
    if constexpr (sizeof(Int) == 2) {
        values = std::is_signed_v<Int> ? _mm_packs_epi32(values, values) : _mm_packus_epi32(values, values);
    } else if constexpr (sizeof(Int) == 1) {
        values = _mm_packs_epi32(values, values);  // int16's range holds every 8-bit value
        values = std::is_signed_v<Int> ? _mm_packs_epi16(values, values) : _mm_packus_epi16(values, values);
    }
    alignas(16) unsigned char bytes[16];
    _mm_store_si128(reinterpret_cast<__m128i *>(bytes), values);
    std::memcpy(out, bytes, 4 * sizeof(Int));
}

// Integers of 32 bits or fewer: whole runs of four lanes with no NaN are
// stored at once; the others lane by lane from the same vector results.
template <typename Int>
void write_small_integers(const double *sums, int count, unsigned lane_bits, const unsigned char *fill_bytes, void *out)
{
    Int fill;
    std::memcpy(&fill, fill_bytes, sizeof fill);
    Int *output = static_cast<Int *>(out);
    for (int lane = 0; lane < count; lane += 4) {
        const unsigned wanted = (lane_bits >> lane) & 0xFu;
        if (wanted == 0) {
            continue;
        }
        const __m256d value = _mm256_loadu_pd(sums + lane);
        const unsigned nan = static_cast<unsigned>(_mm256_movemask_pd(_mm256_cmp_pd(value, value, _CMP_UNORD_Q)));
        const __m256d whole = whole_and_saturated<Int>(value);
        if (wanted == 0xFu && nan == 0) {
            store_four<Int>(whole, output + lane);
            continue;
        }
        Int four[4];
        store_four<Int>(whole, four);
        for (int k = 0; k < 4; ++k) {
            if (wanted & (1u << k)) {
                output[lane + k] = (nan & (1u << k)) ? fill : four[k];
            }
        }
    }
}

// 64-bit integers: rounded in the vector; the range check and the conversion,
// which AVX2 lacks, lane by lane on the whole number, as integer_of_double
// makes them.
template <typename Int>
void write_wide_integers(const double *sums, int count, unsigned lane_bits, const unsigned char *fill_bytes, void *out)
{
    Int fill;
    std::memcpy(&fill, fill_bytes, sizeof fill);
    Int *output = static_cast<Int *>(out);
    constexpr double lowest = static_cast<double>(std::numeric_limits<Int>::min());              // 0 or -2**63
    constexpr double past_highest = static_cast<double>(std::numeric_limits<Int>::max()) + 1.0;  // 2**63 or 2**64
    for (int lane = 0; lane < count; lane += 4) {
        const unsigned wanted = (lane_bits >> lane) & 0xFu;
        if (wanted == 0) {
            continue;
        }
        alignas(32) double whole[4];
        _mm256_store_pd(whole,
                        _mm256_round_pd(_mm256_loadu_pd(sums + lane), _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC));
        for (int k = 0; k < 4; ++k) {
            if (!(wanted & (1u << k))) {
                continue;
            }
            const double w = whole[k];
            Int element;
            if (w != w) {
                element = fill;
            } else if (w <= lowest) {
                element = std::numeric_limits<Int>::min();
            } else if (w >= past_highest) {
                element = std::numeric_limits<Int>::max();
            } else {
                element = static_cast<Int>(w);
            }
            output[lane + k] = element;
        }
    }
}

// float16 lane by lane with the scalar rule: a double rounds straight to half.
void write_halves(const double *sums, int count, unsigned lane_bits, const unsigned char *, void *out)
{
    uint16_t *output = static_cast<uint16_t *>(out);
    for (int lane = 0; lane < count; ++lane) {
        if (lane_bits & (1u << lane)) {
            output[lane] = half_of_double(sums[lane]);
        }
    }
}

// The writer of `type`; null for float32 and float64, which the kernels store
// themselves, and for the types a blend does not write.
inline sums_writer sums_writer_of(element_type type)
{
    switch (type) {
    case element_type::int8: return write_small_integers<int8_t>;
    case element_type::uint8: return write_small_integers<uint8_t>;
    case element_type::int16: return write_small_integers<int16_t>;
    case element_type::uint16: return write_small_integers<uint16_t>;
    case element_type::int32: return write_small_integers<int32_t>;
    case element_type::uint32: return write_small_integers<uint32_t>;
    case element_type::int64: return write_wide_integers<int64_t>;
    case element_type::uint64: return write_wide_integers<uint64_t>;
    case element_type::float16: return write_halves;
    case element_type::boolean:
    case element_type::float32:
    case element_type::float64: break;
    }
    return nullptr;
}

}  // namespace
}  // namespace voxwarp

#endif
