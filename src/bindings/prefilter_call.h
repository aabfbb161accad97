#ifndef VOXWARPKIT_PREFILTER_CALL_H
#define VOXWARPKIT_PREFILTER_CALL_H

// The Python-facing part of the B-spline prefilter: its arguments checked and
// read into a job.

#include "kernel/bspline_prefilter.h"

#include <Python.h>

// Reads (coefficients, axis): coefficients a rank-4 float32 array
// (volumes, z, y, x), C-contiguous, aligned, writeable and native, which is
// filtered in place; axis 1 (z), 2 (y) or 3 (x), numpy's numbering. False
// with a Python error set.
bool prepare_prefilter(PyObject *args, prefilter_job &job);

#endif
