#include "arrays/float_buffer.h"

#include <cstdint>
#include <cstdlib>

float *allocate_float_buffer(size_t count)
{
    if (count > SIZE_MAX / sizeof(float)) {
        return nullptr;
    }
    return static_cast<float *>(std::malloc(count > 0 ? count * sizeof(float) : 1));
}
