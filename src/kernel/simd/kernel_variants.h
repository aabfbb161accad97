#ifndef VOXWARPKIT_KERNEL_VARIANTS_H
#define VOXWARPKIT_KERNEL_VARIANTS_H

// Every compiled form of the resampling kernel. All give the same bits as the
// scalar one, which is the definition; they differ only in speed.

#include "kernel/resample_scalar.h"

// One compiled form of the kernel, with its name and whether it can run here.
struct kernel_variant {
    const char *name;
    resample_function resample;
    bool (*usable)();  // true when this processor and its OS can run it
};

// The variants compiled into this build, fastest first, with their number in
// `*count`; the last is the scalar one, usable everywhere.
const kernel_variant *kernel_variants(int *count);

// The fastest usable variant, chosen once, at first use, from any thread.
const kernel_variant &selected_kernel_variant();

// The vectorised kernels: each has resample_scalar's contract and gives its
// bits, and may run only where its kernel_variant says it is usable. Each is
// compiled, in its own file with its own instruction-set flag, only when the
// compiler can build it.
namespace voxwarp {
namespace avx2 {
void resample(const resample_job &job);
}
namespace avx512 {
void resample(const resample_job &job);
}
}  // namespace voxwarp

#endif
