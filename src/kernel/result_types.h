#ifndef VOXWARPKIT_RESULT_TYPES_H
#define VOXWARPKIT_RESULT_TYPES_H

// How a blend's double sum becomes one element of the job's result type: the
// only rounding between the blend and the result, made once. float32 keeps
// the kernel's own narrowing; float64 is the sum itself; float16 is the sum
// rounded to nearest, ties to even, straight from the double (through float32
// it would round twice); integers are the sum rounded to nearest, ties to
// even, then saturated, with a NaN sum written as the job's fill. A NaN sum
// reaching these functions is already the first-NaN replay's, so its bits do
// not depend on the compiler or the processor.

#include "kernel/element_types.h"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>

namespace voxwarp {
namespace {

// A finite double rounded to the nearest whole number, ties to even. Below
// 2**51 in magnitude, adding and taking away 1.5 * 2**52 does it: the sum lies
// where doubles are whole numbers, so the addition rounds the value to a whole
// one by the processor's rounding, ties to even, which every entry point of the
// engine sets (ieee_default_environment) and the taking away is exact. No branch
// depends on the value's fraction: on noisy data which way a value rounds is a
// coin toss the processor cannot predict. Past 2**52 every double is whole; in
// between, the floor and parity through int64, which are exact there.
inline double nearest_even(double value)
{
    const double magnitude = std::fabs(value);
    if (magnitude < 2251799813685248.0) {
        constexpr double shift = 6755399441055744.0;  // 1.5 * 2**52
        return (value + shift) - shift;               // +0 for every value that rounds to 0, as x - x is
    }
    if (!(magnitude < 4503599627370496.0)) {
        return value;
    }
    const double truncated = static_cast<double>(static_cast<int64_t>(value));
    const double fraction = value - truncated;  // exact; of the sign of value, |fraction| < 1
    const bool odd = (static_cast<int64_t>(truncated) & 1) != 0;
    if (fraction > 0.5 || (fraction == 0.5 && odd)) {
        return truncated + 1.0;
    }
    if (fraction < -0.5 || (fraction == -0.5 && odd)) {
        return truncated - 1.0;
    }
    return truncated;
}

// The sum rounded to an integer of type Int and saturated to its range; the
// range is checked on the double before the conversion, which is undefined
// past it. Infinities saturate; a NaN gives `fill`.
template <typename Int>
inline Int integer_of_double(double value, Int fill)
{
    if (value != value) {
        return fill;
    }
    constexpr double lowest = static_cast<double>(std::numeric_limits<Int>::min());              // 0 or -2**k: exact
    constexpr double past_highest = static_cast<double>(std::numeric_limits<Int>::max()) + 1.0;  // 2**k: exact
    const double whole = nearest_even(value);
    if (whole <= lowest) {
        return std::numeric_limits<Int>::min();
    }
    if (whole >= past_highest) {
        return std::numeric_limits<Int>::max();
    }
    return static_cast<Int>(whole);
}

// The bits of the half-precision number nearest to `value`, ties to even;
// past the largest half (65504) by half a step or more, an infinity. A NaN
// keeps its sign and the top of its payload, made quiet, as narrowed_nan
// keeps them for float32.
inline uint16_t half_of_double(double value)
{
    uint64_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    const uint16_t sign = static_cast<uint16_t>((bits >> 48) & 0x8000u);
    if (value != value) {
        return static_cast<uint16_t>(sign | 0x7E00u | ((bits >> 42) & 0x1FFu));
    }
    const double magnitude = std::fabs(value);
    if (magnitude >= 65520.0) {
        return static_cast<uint16_t>(sign | 0x7C00u);
    }
    if (magnitude < 6.103515625e-05) {
        // Below the smallest normal half: a count of 2**-24, whose 1024 is
        // exactly the smallest normal's bits.
        const double steps = nearest_even(std::ldexp(magnitude, 24));  // the scaling is exact
        return static_cast<uint16_t>(sign | static_cast<uint16_t>(steps));
    }
    int exponent;
    std::frexp(magnitude, &exponent);  // magnitude in [2**(exponent-1), 2**exponent)
    exponent -= 1;
    double steps = nearest_even(std::ldexp(magnitude, 10 - exponent));  // in [1024, 2048]
    if (steps == 2048.0) {
        steps = 1024.0;
        exponent += 1;
    }
    const uint32_t fraction = static_cast<uint32_t>(steps) - 1024u;
    return static_cast<uint16_t>(sign | (static_cast<uint32_t>(exponent + 15) << 10) | fraction);
}

// Each result type as the kernel writes it: `stored` is what goes to memory,
// of_double(sum, fill) the element made from the blend's sum.
struct float32_results {
    using stored = float;
    static float of_double(double sum, float) { return float_of_double(sum); }
};
struct float64_results {
    using stored = double;
    static double of_double(double sum, double) { return sum; }
};
struct float16_results {
    using stored = uint16_t;
    static uint16_t of_double(double sum, uint16_t) { return half_of_double(sum); }
};
template <typename Int>
struct integer_results {
    using stored = Int;
    static Int of_double(double sum, Int fill) { return integer_of_double<Int>(sum, fill); }
};

// The type `Result` as a value, for a generic lambda to name it.
template <typename Result>
struct result_tag {
    using type = Result;
};

// Calls visit(result_tag<Result>{}) with the Result that writes elements of
// `type`; float32 for a type a blend does not write (boolean). The type is
// looked at once per job.
template <typename Visit>
inline void visit_result_type(element_type type, Visit &&visit)
{
    switch (type) {
    case element_type::int8: visit(result_tag<integer_results<int8_t>>{}); return;
    case element_type::uint8: visit(result_tag<integer_results<uint8_t>>{}); return;
    case element_type::int16: visit(result_tag<integer_results<int16_t>>{}); return;
    case element_type::uint16: visit(result_tag<integer_results<uint16_t>>{}); return;
    case element_type::int32: visit(result_tag<integer_results<int32_t>>{}); return;
    case element_type::uint32: visit(result_tag<integer_results<uint32_t>>{}); return;
    case element_type::int64: visit(result_tag<integer_results<int64_t>>{}); return;
    case element_type::uint64: visit(result_tag<integer_results<uint64_t>>{}); return;
    case element_type::float16: visit(result_tag<float16_results>{}); return;
    case element_type::float64: visit(result_tag<float64_results>{}); return;
    case element_type::float32:
    case element_type::boolean: break;
    }
    visit(result_tag<float32_results>{});
}

// Whether a blend can write elements of `type`: every number type but boolean.
inline bool blends_write(element_type type)
{
    return type != element_type::boolean && element_size_of(type) != 0;
}

}  // namespace
}  // namespace voxwarp

#endif
