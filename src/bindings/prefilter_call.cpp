#define PY_SSIZE_T_CLEAN
#include "bindings/prefilter_call.h"

#include "bindings/numpy_api.h"

#include <cstdint>

bool prepare_prefilter(PyObject *args, prefilter_job &job)
{
    if (!numpy_api_ready()) {
        return false;
    }
    PyObject *object;
    int axis;
    if (!PyArg_ParseTuple(args, "Oi:prefilter", &object, &axis)) {
        return false;
    }
    if (axis < 1 || axis > 3) {
        PyErr_Format(PyExc_ValueError, "axis must be 1 (z), 2 (y) or 3 (x), got %d", axis);
        return false;
    }
    PyArrayObject *array = reinterpret_cast<PyArrayObject *>(object);
    if (!PyArray_Check(object) || PyArray_NDIM(array) != 4 || PyArray_TYPE(array) != NPY_FLOAT
        || !PyArray_ISCARRAY(array) || !PyArray_ISNOTSWAPPED(array)) {
        PyErr_SetString(PyExc_ValueError,
                        "coefficients must be a C-contiguous, aligned, writeable, native float32 array of rank 4");
        return false;
    }
    const npy_intp *dims = PyArray_DIMS(array);
    for (int i = 1; i < 4; ++i) {
        if (dims[i] > INT32_MAX) {
            PyErr_SetString(PyExc_ValueError, "coefficients are too large");
            return false;
        }
    }
    job.data = static_cast<float *>(PyArray_DATA(array));
    job.volumes = dims[0];
    job.extent = {static_cast<int32_t>(dims[3]), static_cast<int32_t>(dims[2]), static_cast<int32_t>(dims[1])};
    job.axis = 3 - axis;
    return true;
}
