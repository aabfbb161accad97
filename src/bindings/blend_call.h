#ifndef VOXWARPKIT_BLEND_CALL_H
#define VOXWARPKIT_BLEND_CALL_H

// The Python-facing part of fusion's sums: the engine's blend_tile reads its
// arguments here, checked, into a tile_blend_job.

#include "kernel/tile_blend.h"

#include <Python.h>

// Reads (sums, weights, values, block_origin, matrix, tile_extent, spacing, width, blending):
// sums and values C-contiguous, aligned, native float64 of one shape (volumes, z, y, x), sums
// writeable; weights the same of shape (z, y, x); block_origin and tile_extent (z, y, x) ints;
// matrix 12 floats (output index -> tile index, rows x, y, z); spacing and width (x, y, z)
// floats, positive; blending the code of the enum tile_blending. False with a Python error set.
bool prepare_blend(PyObject *args, tile_blend_job &job);

#endif
