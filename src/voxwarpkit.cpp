#include "voxwarpkit.h"

#include "kernel/run_jobs.h"
#include "kernel/simd/kernel_variants.h"

#if !defined(VOXWARPKIT_KERNEL_ONLY)
#include "bindings/transform_call.h"
#endif

resample_job whole_grid_job(const float *input, const volume_shape &shape, const float *voxel_size, const float *matrix,
                            float *output)
{
    resample_job job{};
    const xyz counts{shape.nx, shape.ny, shape.nz};
    const ptrdiff_t row = shape.nx;
    const ptrdiff_t slice = row * shape.ny;
    const ptrdiff_t volume = slice * shape.nz;
    job.source = {input, row, slice, volume, {0, 0, 0}, counts, counts, {voxel_size[0], voxel_size[1], voxel_size[2]}};
    job.target = {output, row, slice, volume, {0, 0, 0}, counts, {voxel_size[0], voxel_size[1], voxel_size[2]}};
    job.nvol = shape.nvol;
    for (int i = 0; i < 12; ++i) {
        job.matrix[i] = matrix[i];
    }
    job.interpolation = interpolation::linear;
    job.element_size = sizeof(float);
    job.write_fill = false;
    return job;
}

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
