#ifndef VOXWARPKIT_ELEMENT_TYPES_H
#define VOXWARPKIT_ELEMENT_TYPES_H

// The element types a blending job reads, and how each element becomes the
// float the blend uses: exactly where float32 holds the value, otherwise
// rounded once to the nearest float (ties to even). The conversion of numpy
// arrays into float buffers (arrays.cpp) shares the integer and half-precision
// functions and converts float64 with the processor's own instruction, whose
// bits float_of_double gives on every processor; so a source read where it
// lies gives the bits of its float copy.

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>

// The element types of a blending job's source. float32 is 0, the value of a
// job that was zero-initialised and never told otherwise.
enum class element_type : int32_t {
    float32,
    boolean,  // one byte, 0 or 1 (any other byte reads as 1)
    int8,
    uint8,
    int16,
    uint16,
    int32,
    uint32,
    int64,
    uint64,
    float16,
    float64,
};

// Bytes per element of `type`, or 0 for a value that names no type.
inline int element_size_of(element_type type)
{
    switch (type) {
    case element_type::boolean:
    case element_type::int8:
    case element_type::uint8: return 1;
    case element_type::int16:
    case element_type::uint16:
    case element_type::float16: return 2;
    case element_type::float32:
    case element_type::int32:
    case element_type::uint32: return 4;
    case element_type::int64:
    case element_type::uint64:
    case element_type::float64: return 8;
    }
    return 0;
}

// Internal linkage, as in the kernel: each instruction-set variant compiles
// its own copy with its own flags.
namespace voxwarp {
namespace {

inline float float_from_bits(uint32_t bits)
{
    float value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

// The float nearest to an integer of up to 64 bits, ties to even, worked out
// with integers: some platforms convert through a double or the x87's
// extended precision and would round twice.
inline float nearest_float(uint64_t magnitude)
{
    if (magnitude < (uint64_t{1} << 24)) {
        return static_cast<float>(static_cast<uint32_t>(magnitude));  // exact
    }
    int shift = 0;
    while ((magnitude >> shift) >= (uint64_t{1} << 24)) {
        ++shift;
    }
    uint64_t kept = magnitude >> shift;
    const uint64_t rest = magnitude & ((uint64_t{1} << shift) - 1);
    const uint64_t half = uint64_t{1} << (shift - 1);
    if (rest > half || (rest == half && (kept & 1) != 0)) {
        ++kept;  // 2**24 at most: still exact
    }
    return std::ldexp(static_cast<float>(kept), shift);  // a power of two: exact
}

inline float nearest_float(int64_t value)
{
    // Two's complement negation in unsigned arithmetic also covers INT64_MIN.
    const uint64_t bits = static_cast<uint64_t>(value);
    return value < 0 ? -nearest_float(~bits + 1) : nearest_float(bits);
}

// IEEE half precision widened exactly; a NaN keeps its sign and payload.
inline float float_of_half(uint16_t half)
{
    const uint32_t sign = static_cast<uint32_t>(half >> 15) << 31;
    const uint32_t exponent = (half >> 10) & 0x1Fu;
    const uint32_t fraction = half & 0x3FFu;
    if (exponent == 0x1F) {
        return float_from_bits(sign | 0x7F800000u | (fraction << 13));
    }
    if (exponent != 0) {
        return float_from_bits(sign | ((exponent + 112) << 23) | (fraction << 13));
    }
    const float magnitude = std::ldexp(static_cast<float>(fraction), -24);  // subnormal or zero: exact
    uint32_t bits;
    std::memcpy(&bits, &magnitude, sizeof bits);
    return float_from_bits(bits | sign);
}

// A double NaN as x86's conversion to float makes it, on every processor:
// the sign and the top of the payload, made quiet.
inline float narrowed_nan(uint64_t bits)
{
    return float_from_bits(static_cast<uint32_t>(bits >> 63) << 31 | 0x7FC00000u
                           | static_cast<uint32_t>((bits >> 29) & 0x3FFFFFu));
}

// A double rounded once to the nearest float; a NaN as narrowed_nan makes it.
inline float float_of_double(double value)
{
    if (value == value) {
        return static_cast<float>(value);
    }
    uint64_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    return narrowed_nan(bits);
}

// Each element type as the kernel reads it: `stored` is what lies in memory,
// to_float the float the blend uses.
struct boolean_elements {
    using stored = uint8_t;
    static float to_float(stored value) { return value != 0 ? 1.0f : 0.0f; }
};
struct int8_elements {
    using stored = int8_t;
    static float to_float(stored value) { return static_cast<float>(value); }
};
struct uint8_elements {
    using stored = uint8_t;
    static float to_float(stored value) { return static_cast<float>(value); }
};
struct int16_elements {
    using stored = int16_t;
    static float to_float(stored value) { return static_cast<float>(value); }
};
struct uint16_elements {
    using stored = uint16_t;
    static float to_float(stored value) { return static_cast<float>(value); }
};
struct int32_elements {
    using stored = int32_t;
    static float to_float(stored value) { return static_cast<float>(value); }
};
struct uint32_elements {
    using stored = uint32_t;
    static float to_float(stored value) { return nearest_float(uint64_t{value}); }
};
struct int64_elements {
    using stored = int64_t;
    static float to_float(stored value) { return nearest_float(value); }
};
struct uint64_elements {
    using stored = uint64_t;
    static float to_float(stored value) { return nearest_float(value); }
};
struct float16_elements {
    using stored = uint16_t;
    static float to_float(stored value) { return float_of_half(value); }
};
struct float64_elements {
    using stored = double;
    static float to_float(stored value) { return float_of_double(value); }
};

// A source of elements of `Elements` read as floats: what the blends index
// (v[i]) and offset (v + i) in place of a float pointer.
template <typename Elements>
struct converted {
    const typename Elements::stored *data;

    explicit converted(const void *at) : data(static_cast<const typename Elements::stored *>(at)) {}
    float operator[](ptrdiff_t i) const { return Elements::to_float(data[i]); }
    converted operator+(ptrdiff_t i) const { return converted(data + i); }
};

// The type `Source` as a value, for a generic lambda to name it.
template <typename Source>
struct source_tag {
    using type = Source;
};

// Calls visit(source_tag<Source>{}) with the Source that reads elements of
// `type`: a plain float pointer for float32, which is read as it lies, and a
// converted source for the others. The type is looked at once per job.
template <typename Visit>
inline void visit_source_type(element_type type, Visit &&visit)
{
    switch (type) {
    case element_type::float32: visit(source_tag<const float *>{}); return;
    case element_type::boolean: visit(source_tag<converted<boolean_elements>>{}); return;
    case element_type::int8: visit(source_tag<converted<int8_elements>>{}); return;
    case element_type::uint8: visit(source_tag<converted<uint8_elements>>{}); return;
    case element_type::int16: visit(source_tag<converted<int16_elements>>{}); return;
    case element_type::uint16: visit(source_tag<converted<uint16_elements>>{}); return;
    case element_type::int32: visit(source_tag<converted<int32_elements>>{}); return;
    case element_type::uint32: visit(source_tag<converted<uint32_elements>>{}); return;
    case element_type::int64: visit(source_tag<converted<int64_elements>>{}); return;
    case element_type::uint64: visit(source_tag<converted<uint64_elements>>{}); return;
    case element_type::float16: visit(source_tag<converted<float16_elements>>{}); return;
    case element_type::float64: visit(source_tag<converted<float64_elements>>{}); return;
    }
}

}  // namespace
}  // namespace voxwarp

#endif
