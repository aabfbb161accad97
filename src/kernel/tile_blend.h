#ifndef VOXWARPKIT_TILE_BLEND_H
#define VOXWARPKIT_TILE_BLEND_H

// Fusion's sums: one tile's resampled values added into an output block's
// running weighted sums, with the tile's weight at each voxel computed in
// double from the voxel's position in the tile. Tiles are added one after
// the other, in the order the caller gives them, so the sums do not depend on
// threads or blocks.

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
    const double *values;  // (volumes, z, y, x): the tile resampled onto the block, as doubles
    int64_t volumes;
    int32_t extent[3];       // the block's voxels along x, y, z
    int64_t origin[3];       // the global output index (x, y, z) of the block's first voxel
    double matrix[12];       // output index -> tile index, rows x, y, z of a 3x4
    int64_t tile_extent[3];  // the tile's voxels along x, y, z
    double spacing[3];       // the tile's spacing along x, y, z
    double width[3];         // the blend widths along x, y, z, in the spacing's units
    tile_blending blending;
};

// cos(pi * t) for t in [0, 1], by a fixed polynomial in double with every
// operation rounded, so that every machine gets the same bits.
double cos_pi(double t);

// The weight of a tile at tile index position `p` (x, y, z) under `job`'s
// rule; 0 outside the box of the tile's voxel centres (or at a NaN position).
double tile_weight(const tile_blend_job &job, const double p[3]);

// Adds the tile into the block's sums and weights.
void blend_tile(const tile_blend_job &job);

#endif
