// Which source voxels a job reads, and whether a job is safe to run.

#include "kernel/source_box.h"

#include "kernel/float_environment.h"
#include "kernel/method_traits.h"
#include "kernel/chain_steps.h"
#include "kernel/resample_position.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

namespace {

// The smallest and largest source index along one axis over the box's
// corners, and whether all of them were finite.
struct index_bounds {
    float low, high;
    bool finite;
};

void include(index_bounds &bounds, float index)
{
    if (!std::isfinite(index)) {
        bounds.finite = false;
        return;
    }
    bounds.low = std::min(bounds.low, index);
    bounds.high = std::max(bounds.high, index);
}

// The voxel a source index reads first (the method's first voxel: linear's
// truncated toward zero for the bands, the floor for the clamped rule; nearest
// half up). All are monotone, so the range of reads follows from the range of
// indices. Indices are clamped first, which keeps the integers in range and
// changes no read inside [0, n - 1].
int64_t lower_read(double index, int32_t n, voxwarp::first_voxel first, edge_rule edges)
{
    const double clamped = std::min(std::max(index, -4.0), static_cast<double>(n) + 4.0);
    const double below = std::floor(clamped);
    if (first == voxwarp::first_voxel::nearest) {
        return static_cast<int64_t>(below) + (clamped - below >= 0.5 ? 1 : 0);
    }
    if (first == voxwarp::first_voxel::floor || edges == edge_rule::clamp) {
        return static_cast<int64_t>(below);
    }
    return static_cast<int64_t>(std::trunc(clamped));
}

// Half-open range of voxels read along an axis of n for indices in bounds.
void read_range(const index_bounds &bounds, int32_t n, const voxwarp::method_facts &method, edge_rule edges,
                int32_t &first, int32_t &end)
{
    if (!bounds.finite) {
        first = 0;
        end = n;
        return;
    }
    int64_t low = lower_read(bounds.low, n, method.first, edges) - method.reads_below;
    int64_t high = lower_read(bounds.high, n, method.first, edges) + method.reads_above;
    if (method.mirrored) {
        // Cubic's taps past an edge read their mirror images inside it.
        const int64_t last = int64_t{n} - 1;
        const int64_t mirrored_high = low < 0 ? std::min(-low, last) : high;
        const int64_t mirrored_low = high > last ? std::max(2 * last - high, int64_t{0}) : low;
        low = std::min(low, mirrored_low);
        high = std::max(high, mirrored_high);
    }
    low = std::max<int64_t>(low, 0);
    high = std::min<int64_t>(high, int64_t{n} - 1);
    first = static_cast<int32_t>(low);
    end = static_cast<int32_t>(std::max(low, high + 1));
}

bool within(int64_t value, int64_t low, int64_t high)
{
    return value >= low && value <= high;
}

}  // namespace

source_range source_voxels_read(const resample_job &job)
{
    source_range range{{0, 0, 0}, {0, 0, 0}, true};
    const target_box &box = job.target;
    if (box.extent.x <= 0 || box.extent.y <= 0 || box.extent.z <= 0 || job.source.full_extent.x <= 0
        || job.source.full_extent.y <= 0 || job.source.full_extent.z <= 0) {
        return range;
    }
    // The kernel's arithmetic, so under the environment the kernel runs in.
    const ieee_default_environment environment;
    const voxwarp::job_constants jc = voxwarp::make_job_constants(job);
    index_bounds along_x{INFINITY, -INFINITY, true};
    index_bounds along_y = along_x;
    index_bounds along_z = along_x;
    if (jc.chain_length > 0) {
        // A chain's positions follow no corners: every position is made as the
        // kernel makes it. NaN and infinite ones are never sampled: they read nothing.
        bool any = false;
        for (int32_t z = box.origin.z; z - box.origin.z < box.extent.z; ++z) {
            for (int32_t y = box.origin.y; y - box.origin.y < box.extent.y; ++y) {
                const voxwarp::row_terms r = voxwarp::make_row_terms(jc, y, z);
                for (int32_t x = box.origin.x; x - box.origin.x < box.extent.x; ++x) {
                    float I, J, K;
                    voxwarp::any_chain_indices(jc, r, static_cast<float>(x) * jc.osx, I, J, K);
                    if (std::isfinite(I) && std::isfinite(J) && std::isfinite(K)) {
                        include(along_x, I);
                        include(along_y, J);
                        include(along_z, K);
                        any = true;
                    }
                }
            }
        }
        if (!any) {
            return range;
        }
    }
    for (int corner = 0; corner < 8 && jc.chain_length == 0; ++corner) {
        const int32_t x = box.origin.x + ((corner & 1) ? box.extent.x - 1 : 0);
        const int32_t y = box.origin.y + ((corner & 2) ? box.extent.y - 1 : 0);
        const int32_t z = box.origin.z + ((corner & 4) ? box.extent.z - 1 : 0);
        const voxwarp::row_terms r = voxwarp::make_row_terms(jc, y, z);
        const float X = static_cast<float>(x) * jc.osx;
        include(along_x, voxwarp::source_index(jc.m[0], X, r.m1y, r.m2z, jc.m[3], jc.sx));
        include(along_y, voxwarp::source_index(jc.m[4], X, r.m5y, r.m6z, jc.m[7], jc.sy));
        include(along_z, voxwarp::source_index(jc.m[8], X, r.m9y, r.m10z, jc.m[11], jc.sz));
    }
    const voxwarp::method_facts method = voxwarp::facts_of(job.interpolation);
    read_range(along_x, jc.nx, method, job.edges, range.first.x, range.end.x);
    read_range(along_y, jc.ny, method, job.edges, range.first.y, range.end.y);
    read_range(along_z, jc.nz, method, job.edges, range.first.z, range.end.z);
    range.empty = range.first.x == range.end.x || range.first.y == range.end.y || range.first.z == range.end.z;
    return range;
}

bool job_is_sound(const resample_job &job)
{
    const source_window &source = job.source;
    const target_box &target = job.target;
    // The blends read any element type and write any number type; nearest and label copy elements of 1 to 8 bytes.
    const bool sizes_fit =
        voxwarp::blends_floats(job.interpolation)
            ? voxwarp::blends_write(job.result_type) && job.element_size == element_size_of(job.result_type)
                  && element_size_of(job.source_type) != 0
            : job.element_size == 1 || job.element_size == 2 || job.element_size == 4 || job.element_size == 8;
    if (!sizes_fit || job.nvol < 0 || job.chain_length < 0 || (job.chain_length > 0 && job.chain == nullptr)) {
        return false;
    }
    for (int32_t step = 0; step < job.chain_length; ++step) {
        const displacement_field &field = job.chain[step].field;
        const bool usable_field = field.data != nullptr && field.extent.x > 0 && field.extent.y > 0
                                  && field.extent.z > 0
                                  && int64_t{field.extent.x} * field.extent.y <= INT32_MAX / field.extent.z;
        const bspline_grid *grid = job.chain[step].bspline;
        const bool usable_grid = grid != nullptr && grid->coefficients != nullptr && grid->extent.x >= 4
                                 && grid->extent.y >= 4 && grid->extent.z >= 4
                                 && int64_t{grid->extent.x} * grid->extent.y <= INT32_MAX / grid->extent.z;
        if (job.chain[step].matrix == nullptr && !usable_field && !usable_grid) {
            return false;
        }
    }
    const xyz counts[] = {target.extent, source.extent, source.full_extent};
    for (const xyz &c : counts) {
        if (c.x < 0 || c.y < 0 || c.z < 0) {
            return false;
        }
    }
    // Global output indices, and the window within the full extent.
    if (!within(target.origin.x, 0, INT32_MAX - int64_t{target.extent.x})
        || !within(target.origin.y, 0, INT32_MAX - int64_t{target.extent.y})
        || !within(target.origin.z, 0, INT32_MAX - int64_t{target.extent.z})
        || !within(source.origin.x, 0, int64_t{source.full_extent.x} - source.extent.x)
        || !within(source.origin.y, 0, int64_t{source.full_extent.y} - source.extent.y)
        || !within(source.origin.z, 0, int64_t{source.full_extent.z} - source.extent.z)) {
        return false;
    }
    if (target.row < 0 || target.slice < 0 || target.volume < 0 || source.row < 0 || source.slice < 0
        || source.volume < 0) {
        return false;
    }
    // The vector kernels keep offsets within a volume of the window in 32 bits.
    const int64_t last_offset = int64_t{std::max(source.extent.z - 1, 0)} * source.slice
                                + int64_t{std::max(source.extent.y - 1, 0)} * source.row
                                + std::max(source.extent.x - 1, 0);
    if (last_offset > INT32_MAX) {
        return false;
    }
    if (job.nvol == 0 || target.extent.x == 0 || target.extent.y == 0 || target.extent.z == 0) {
        return true;  // nothing is read
    }
    const bool whole_grid = source.origin.x == 0 && source.origin.y == 0 && source.origin.z == 0
                            && source.extent.x == source.full_extent.x && source.extent.y == source.full_extent.y
                            && source.extent.z == source.full_extent.z;
    if (whole_grid) {
        return true;  // every read lies in the grid
    }
    const source_range read = source_voxels_read(job);
    if (read.empty) {
        return true;
    }
    return read.first.x >= source.origin.x && read.end.x <= int64_t{source.origin.x} + source.extent.x
           && read.first.y >= source.origin.y && read.end.y <= int64_t{source.origin.y} + source.extent.y
           && read.first.z >= source.origin.z && read.end.z <= int64_t{source.origin.z} + source.extent.z;
}
