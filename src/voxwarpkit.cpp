#include "voxwarpkit.h"

#include "kernel/run_jobs.h"
#include "kernel/simd/kernel_variants.h"

#if !defined(VOXWARPKIT_KERNEL_ONLY)
#include "bindings/transform_call.h"
#endif

void resample_volumes(const float *input, const volume_shape &shape, const float *voxel_size, const float *matrix,
                      float *output)
{
    if (shape.nvol <= 0 || shape.nz <= 0 || shape.ny <= 0 || shape.nx <= 0) {
        return;
    }
    // Under IEEE's default environment, as transform runs it, so that a
    // caller's rounding mode or flush-to-zero cannot change the bits.
    run_resample_job(whole_grid_job(input, shape, voxel_size, matrix, output), selected_kernel_variant().resample);
}

// The driver, which needs Python and numpy; a kernel-only build leaves it out.
#if !defined(VOXWARPKIT_KERNEL_ONLY)

PyObject *transform(PyArrayObject *image, PyArrayObject *voxel_size, PyArrayObject *matrix)
{
    transform_call call;
    if (!prepare_transform(image, voxel_size, matrix, call)) {
        return nullptr;
    }
    run_resample_job(call.job, selected_kernel_variant().resample);
    return call.take_result();
}

#endif
