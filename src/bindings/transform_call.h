#ifndef VOXWARPKIT_TRANSFORM_CALL_H
#define VOXWARPKIT_TRANSFORM_CALL_H

// The part of transform that needs Python: its checks, its conversions and its
// result. Every entry that runs transform's kernel (the module's own call, the
// threaded one, the test hooks) starts here, so they refuse the same arguments
// with the same errors in the same order.

#include "arrays/float_buffer.h"
#include "kernel/resample_job.h"

#include <Python.h>
#include "bindings/numpy_api.h"  // numpy's types with the module's one API table

// What one call holds between its checks and its return: the buffers it owns,
// the zero-filled result and the job that writes the result.
struct transform_call {
    owned_float_buffer image_numbers;  // empty when the image is read in place
    owned_float_buffer voxel_numbers;
    owned_float_buffer matrix_numbers;
    PyObject *result = nullptr;  // a new reference, released unless taken
    resample_job job{};

    transform_call() = default;
    transform_call(const transform_call &) = delete;
    transform_call &operator=(const transform_call &) = delete;
    ~transform_call() { Py_XDECREF(result); }

    // Hands the result to the caller, as numpy's PyArray_Return does.
    PyObject *take_result();
};

// Checks and reads transform's three arguments and creates its result, with
// the job that fills it; false with a Python error set. A C-contiguous,
// aligned, native float32 image is read in place; the kernel writes straight
// into the result. The caller runs the job (the job's data stays valid while
// `call` and the arguments live) and then takes the result.
bool prepare_transform(PyArrayObject *image, PyArrayObject *voxel_size, PyArrayObject *matrix, transform_call &call);

#endif
