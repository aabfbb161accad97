#ifndef VOXWARPKIT_KERNEL_VARIANTS_H
#define VOXWARPKIT_KERNEL_VARIANTS_H

#include "resample_job.h"

// Every compiled form of the resampling kernel. All give the same bits as the
// scalar one, which is the definition; they differ only in speed.

// Runs `job` once: writes its target box from its source window, as the job's
// mode says. The job must be sound (job_is_sound); the kernel allocates
// nothing, reports nothing and leaves the floating-point environment to its
// caller.
using resample_function = void (*)(const resample_job &job);

struct kernel_variant {
    const char *name;
    resample_function resample;
    bool (*usable)();  // true when this processor and its OS can run it
};

// The scalar kernel: the definition every variant must match bit for bit.
void resample_scalar(const resample_job &job);

// The variants compiled into this build, fastest first; the last is the scalar one.
const kernel_variant *kernel_variants(int *count);

// The fastest usable variant, chosen once, at first use.
const kernel_variant &selected_kernel_variant();

namespace voxwarp {
namespace avx2 {
void resample(const resample_job &job);
}
namespace avx512 {
void resample(const resample_job &job);
}
}  // namespace voxwarp

// What the processor and OS support, read with CPUID and XGETBV.
bool cpu_supports_avx2();
bool cpu_supports_avx512();

#endif
