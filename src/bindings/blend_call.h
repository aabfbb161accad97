#ifndef VOXWARPKIT_BLEND_CALL_H
#define VOXWARPKIT_BLEND_CALL_H

// The Python-facing part of fusion's sums: the engine's blend_tile reads its
// arguments here, checked, into a tile_blend_job.

#include "kernel/tile_blend.h"

#include <Python.h>

// Reads (sums, weights, values, block_origin, values_at, matrix, tile_extent, scale, blending):
// sums and values C-contiguous, aligned, native float64 (volumes, z, y, x), sums writeable, values
// those of the block's box starting at values_at (z, y, x, within the block); weights the same as
// sums of shape (z, y, x); block_origin and tile_extent (z, y, x) ints;
// matrix 12 floats (output index -> tile index, rows x, y, z); scale (x, y, z) positive floats
// (each the tile's spacing over the blend width, inf for no ramp); blending the code of the enum
// tile_blending. False with a Python error set.
bool prepare_blend(PyObject *args, tile_blend_job &job);

// Reads (sums, weights, result, fill, result_type, maximum): sums and weights as above; result a
// C-contiguous, writeable, native array of the sums' shape whose elements are of the enum
// element_type's `result_type`; fill the bytes of one such element; maximum whether the sums are
// maxima. The fill must stay alive while the job runs: it points into the caller's bytes.
bool prepare_finish(PyObject *args, blend_finish_job &job);

// tile_cover(block_origin, block_shape, matrix, tile_extent) -> ((z0, z1), (y0, y1), (x0, x1)) within the
// block, or None: the box of the block's voxels the tile holds (see tile_cover in tile_blend.h).
PyObject *tile_cover_of(PyObject *args);

#endif
