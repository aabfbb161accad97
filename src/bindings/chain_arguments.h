#ifndef VOXWARPKIT_CHAIN_ARGUMENTS_H
#define VOXWARPKIT_CHAIN_ARGUMENTS_H

// Matrices and chains of steps as the engine's callers pass them, read into
// the kernel's plain forms.

#include "bindings/numpy_api.h"
#include "kernel/bspline_step.h"
#include "kernel/resample_job.h"

#include <Python.h>

#include <vector>

// The matrices: a C-contiguous, native float32 array of shape (n, 12); null
// with a ValueError otherwise.
const float *read_matrices(PyObject *object, npy_intp &count);

// The steps after the matrix, as read: a matrix step holds one matrix for all
// volumes or one per volume; a field step its field; a B-spline step its grid.
struct chain_arguments {
    struct step {
        const float *matrices;  // null for a field or B-spline step
        npy_intp count;
        displacement_field field;
        bspline_grid bspline;  // coefficients null but for a B-spline step
    };
    std::vector<step> steps;
    npy_intp count = 1;  // 1, or the count of the steps with one matrix per volume
};

// Reads a field, (data, origin, spacing): data a C-contiguous, aligned, native
// float32 array (3, nz, ny, nx) of the x, y and z displacements, origin and
// spacing (x, y, z) floats, rounded to float32. False with a Python error set.
bool read_field(PyObject *object, displacement_field &field);

// Reads a cubic B-spline deformation, (coefficients, origin, spacing, 3):
// coefficients a C-contiguous, aligned, native float64 array (nz, ny, nx, 3)
// of the control points' (dx, dy, dz), at least 4 along each axis; origin and
// spacing (x, y, z) floats, the spacing positive. False with a Python error set.
bool read_bspline(PyObject *object, bspline_grid &grid);

// Reads None (no steps) or a tuple of steps, each a matrix array as
// read_matrices takes it, a field, (data, origin, spacing): data a
// C-contiguous, aligned, native float32 array (3, nz, ny, nx) of the x, y and
// z displacements, origin and spacing (x, y, z) floats, or a B-spline
// deformation as read_bspline takes it. False with a Python error set. The
// arrays stay owned by the caller, who keeps them alive.
bool read_chain(PyObject *object, chain_arguments &chain);

// The kernel's steps of job m (of `count` jobs): each matrix step's matrix m,
// or its only one. B-spline steps point into `chain`.
void chain_of_job(const chain_arguments &chain, npy_intp m, chain_step *steps);

#endif
