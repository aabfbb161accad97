#include "kernel/whole_grid.h"

#include <cstddef>

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
    job.source_type = element_type::float32;
    job.write_fill = false;
    return job;
}
