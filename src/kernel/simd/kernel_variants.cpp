#include "kernel/simd/kernel_variants.h"

#include "kernel/simd/cpu_x86.h"

namespace {

bool always()
{
    return true;
}

const kernel_variant variants[] = {
#if defined(VOXWARPKIT_HAVE_AVX512)
    {"avx512", voxwarp::avx512::resample, cpu_supports_avx512},
#endif
#if defined(VOXWARPKIT_HAVE_AVX2)
    {"avx2", voxwarp::avx2::resample, cpu_supports_avx2},
#endif
    {"scalar", resample_scalar, always},
};

const kernel_variant &fastest_usable()
{
    for (const kernel_variant &variant : variants) {
        if (variant.usable()) {
            return variant;
        }
    }
    return variants[sizeof variants / sizeof variants[0] - 1];
}

}  // namespace

const kernel_variant *kernel_variants(int *count)
{
    *count = static_cast<int>(sizeof variants / sizeof variants[0]);
    return variants;
}

const kernel_variant &selected_kernel_variant()
{
    // Initialised once, thread-safely, by the first call.
    static const kernel_variant &chosen = fastest_usable();
    return chosen;
}
