#ifndef VOXWARPKIT_TILE_BLEND_H
#define VOXWARPKIT_TILE_BLEND_H

// Fusion's sums: one tile's resampled values added into an output block's
// running weighted sums, with the tile's weight at each voxel computed in
// double from the voxel's position in the tile. Tiles are added one after
// the other, in the order the caller gives them, so the sums do not depend on
// threads or blocks.

#include "kernel/element_types.h"

#include <cstdint>

enum class tile_blending : int32_t {
    cosine = 0,   // 1/2 - 1/2 cos(pi t) of the distance to the border over the blend width
    linear = 1,   // the distance to the border over the blend width
    average = 2,  // 1 wherever the tile holds the voxel
    maximum = 3,  // no sum: the largest value wins
};

struct tile_blend_job {
    double *sums;          // (volumes, z, y, x): weighted sums, or the running maxima
    double *weights;       // (z, y, x): summed weights, or for the maximum the count of tiles
    const double *values;  // (volumes, z, y, x) of the values' box: the tile resampled there, as doubles
    int64_t volumes;
    int32_t extent[3];         // the block's voxels along x, y, z
    int32_t values_begin[3];   // the values' box within the block: its first voxel (x, y, z)
    int32_t values_extent[3];  // and its voxels along x, y, z; the tile holds no voxel of the block outside it
    int64_t origin[3];         // the global output index (x, y, z) of the block's first voxel
    double matrix[12];         // output index -> tile index, rows x, y, z of a 3x4
    int64_t tile_extent[3];    // the tile's voxels along x, y, z
    double scale[3];           // along x, y, z: the tile's spacing over the blend width (inf: no ramp)
    tile_blending blending;
    // Null, or the tile index (x, y, z) of every voxel of the values' box as (3, z, y, x): then
    // the matrix is not used. A chain with a displacement field has no index matrix; its caller
    // computes the positions.
    const double *positions;
};

// What finishing a block writes: the mean (or the maximum) of every voxel in
// the result's type, `fill` where no tile weighs.
struct blend_finish_job {
    const double *sums;     // (volumes, z, y, x)
    const double *weights;  // (z, y, x)
    void *result;           // (volumes, z, y, x) of `result_type`
    int64_t volumes;
    int64_t voxels;  // of one volume
    element_type result_type;
    const void *fill;  // one element of the result's type
    bool maximum;      // the sums are maxima, not to be divided
};

// cos(pi * t) for t in [0, 1], by a fixed polynomial in double with every
// operation rounded, so that every machine gets the same bits.
double cos_pi(double t);

// Adds the tile into the block's sums and weights.
void blend_tile(const tile_blend_job &job);

// The smallest box of the block that holds every voxel the tile holds, by the
// weights' own test, as half-open ranges within the block along x, y, z; false
// when the tile holds none. Reads the job's block, matrix and tile extent only.
// A tile's resample and its values need only cover this box.
bool tile_cover(const tile_blend_job &job, int32_t begin[3], int32_t end[3]);

// Writes the block's result: each voxel's sum over its weight (the sum alone
// for the maximum); a NaN made the one quiet NaN of positive sign, since which
// NaN two NaNs give depends on the processor; then made an element of the
// result's type as a blend's double sum is made one (result_types.h).
void finish_blend(const blend_finish_job &job);

#endif
