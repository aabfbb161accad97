#ifndef VOXWARPKIT_BSPLINE_CALL_H
#define VOXWARPKIT_BSPLINE_CALL_H

// The engine's bspline_displacements: a B-spline step's displacements on a
// box of positions, with the bits the step adds at each.

#include <Python.h>

// Reads (bspline, xs, ys, zs): bspline as read_bspline takes it, xs, ys, zs
// one-dimensional float32 arrays of at least one position; returns the new
// float32 array (3, nz, ny, nx), or null with a Python error set.
PyObject *bspline_displacements_of(PyObject *args);

#endif
