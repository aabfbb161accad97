#ifndef VOXWARPKIT_CHAIN_POSITIONS_H
#define VOXWARPKIT_CHAIN_POSITIONS_H

// Fusion's positions of a tile whose transform is a chain with displacement
// fields: each output voxel's index in the tile, in double, step by step. A
// matrix tile has an index matrix instead (tile_blend.h); a field has none.

#include "kernel/resample_job.h"

#include <cstdint>

// A step of the chain in double: p <- A p with `matrix` when field.data is
// null, else p <- p + d(p) with d the field's clamped linear sum, not rounded.
struct position_step {
    double matrix[12];  // row-major 3x4
    displacement_field field;
};

struct chain_positions_job {
    const position_step *steps;  // the first a matrix from the output's physical offset to its origin
    int32_t length;
    double output_spacing[3];  // x, y, z: an output index times it is the voxel's offset from the origin
    double spacing[3];         // the tile's x, y, z: the last step's position over it is the index
    int64_t origin[3];         // the global output index (x, y, z) of the first voxel
    int32_t extent[3];         // the voxels along x, y, z
    double *positions;         // (3, z, y, x): the tile index along x, y, z of each voxel
};

// Writes the job's positions.
void chain_positions(const chain_positions_job &job);

#endif
