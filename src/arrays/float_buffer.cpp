#include "float_buffer.h"

#include <cstdint>
#include <cstdlib>

namespace {

float *allocate(size_t count, bool zeroed)
{
    if (count > SIZE_MAX / sizeof(float)) {
        return nullptr;
    }
    const size_t bytes = count > 0 ? count * sizeof(float) : 1;
    return static_cast<float *>(zeroed ? std::calloc(bytes, 1) : std::malloc(bytes));
}

}  // namespace

float *allocate_float_buffer(size_t count)
{
    return allocate(count, false);
}

float *allocate_zeroed_float_buffer(size_t count)
{
    return allocate(count, true);
}
