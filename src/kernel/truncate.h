#ifndef VOXWARPKIT_TRUNCATE_H
#define VOXWARPKIT_TRUNCATE_H

#include <cstdint>

// Truncates toward zero to a signed 32-bit integer; NaN and every value whose
// truncation does not fit give INT32_MIN, as x86's cvttss2si does. The range
// test comes first because an out-of-range conversion is undefined in C++.
// Internal linkage, so that no instruction-set variant's copy stands in for another's.
namespace {

inline int32_t truncate_to_int32(float value)
{
    if (value >= -2147483648.0f && value < 2147483648.0f) {
        return static_cast<int32_t>(value);
    }
    return INT32_MIN;
}

}  // namespace

#endif
