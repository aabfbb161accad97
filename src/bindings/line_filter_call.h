#ifndef VOXWARPKIT_LINE_FILTER_CALL_H
#define VOXWARPKIT_LINE_FILTER_CALL_H

// The Python-facing part of the line filters: their arguments checked and
// read into a job.

#include "kernel/line_filter.h"

#include <Python.h>

#include <vector>

// Reads (values, axis) for the B-spline prefilter, or (values, axis, sigma)
// for the Gaussian FIR of that sigma, whose weights are made into `weights`:
// values a rank-4 float32 array (volumes, z, y, x), C-contiguous, aligned,
// writeable and native, which is filtered in place; axis 1 (z), 2 (y) or 3
// (x), numpy's numbering; sigma a finite float >= 0 (0 leaves the values as
// they are). False with a Python error set.
bool prepare_line_filter(PyObject *args, line_filter_job &job, std::vector<double> &weights);

#endif
