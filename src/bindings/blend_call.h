#ifndef VOXWARPKIT_BLEND_CALL_H
#define VOXWARPKIT_BLEND_CALL_H

// The Python-facing part of fusion's sums: the engine's blend_tile reads its
// arguments here, checked, into a tile_blend_job.

#include "kernel/chain_positions.h"
#include "kernel/tile_blend.h"

#include <Python.h>

#include <vector>

// Reads (sums, weights, values, block_origin, values_at, matrix, tile_extent, scale, blending):
// sums and values C-contiguous, aligned, native float64 (volumes, z, y, x), sums writeable, values
// those of the block's box starting at values_at (z, y, x, within the block); weights the same as
// sums of shape (z, y, x); block_origin and tile_extent (z, y, x) ints;
// matrix 12 floats (output index -> tile index, rows x, y, z); scale (x, y, z) positive floats
// (each the tile's spacing over the blend width, inf for no ramp); blending the code of the enum
// tile_blending. False with a Python error set.
bool prepare_blend(PyObject *args, tile_blend_job &job);

// Reads (sums, weights, values, values_at, positions, tile_extent, scale, blending): as above,
// with positions a C-contiguous, aligned, native float64 array (3, z, y, x) of the tile indices
// along x, y, z of every voxel of the values' box, in place of the block's origin and the matrix.
// The positions must stay alive while the job runs.
bool prepare_blend_at(PyObject *args, tile_blend_job &job);

// Reads (positions, steps, origin, output_spacing, spacing): positions a C-contiguous, aligned,
// native, writeable float64 array (3, z, y, x); steps a tuple of matrices (12 floats, rows x, y, z
// of a 3x4) and fields (as read_field takes them), the first a matrix; origin the global output
// index (z, y, x) of the positions' first voxel; output_spacing and spacing (x, y, z) positive
// floats. The steps' fields stay owned by the caller, who keeps them alive while the job runs.
bool prepare_positions(PyObject *args, chain_positions_job &job, std::vector<position_step> &steps);

// Reads (sums, weights, result, fill, result_type, maximum): sums and weights as above; result a
// C-contiguous, writeable, native array of the sums' shape whose elements are of the enum
// element_type's `result_type`; fill the bytes of one such element; maximum whether the sums are
// maxima. The fill must stay alive while the job runs: it points into the caller's bytes.
bool prepare_finish(PyObject *args, blend_finish_job &job);

// tile_cover(block_origin, block_shape, matrix, tile_extent) -> ((z0, z1), (y0, y1), (x0, x1)) within the
// block, or None: the box of the block's voxels the tile holds (see tile_cover in tile_blend.h).
PyObject *tile_cover_of(PyObject *args);

#endif
