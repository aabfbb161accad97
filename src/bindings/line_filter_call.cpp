#define PY_SSIZE_T_CLEAN
#include "bindings/line_filter_call.h"

#include "bindings/numpy_api.h"
#include "kernel/gaussian_fir.h"

#include <cmath>
#include <cstdint>

namespace {

bool read_sigma(PyObject *object, line_filter_job &job, std::vector<double> &weights)
{
    const double sigma = PyFloat_AsDouble(object);
    if (sigma == -1.0 && PyErr_Occurred()) {
        return false;
    }
    const int32_t radius = std::isfinite(sigma) && sigma >= 0.0 ? gaussian_radius(sigma) : -1;
    if (radius < 0) {
        PyErr_Format(PyExc_ValueError, "sigma must be finite, at least 0 and at most %d, got %R",
                     largest_fir_radius / 4, object);
        return false;
    }
    try {
        weights.assign(2 * size_t(radius) + 1, 1.0);
    } catch (const std::bad_alloc &) {
        PyErr_NoMemory();
        return false;
    }
    if (radius > 0) {
        gaussian_weights(sigma, radius, weights.data());
    }
    job.kind = line_filter_kind::fir;
    job.weights = weights.data();
    job.radius = radius;
    return true;
}

}  // namespace

bool prepare_line_filter(PyObject *args, line_filter_job &job, std::vector<double> &weights)
{
    if (!numpy_api_ready()) {
        return false;
    }
    PyObject *object, *sigma = nullptr;
    int axis;
    if (!PyArg_ParseTuple(args, "Oi|O:line_filter", &object, &axis, &sigma)) {
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
                        "values must be a C-contiguous, aligned, writeable, native float32 array of rank 4");
        return false;
    }
    const npy_intp *dims = PyArray_DIMS(array);
    for (int i = 1; i < 4; ++i) {
        if (dims[i] > INT32_MAX) {
            PyErr_SetString(PyExc_ValueError, "values are too large");
            return false;
        }
    }
    job.data = static_cast<float *>(PyArray_DATA(array));
    job.volumes = dims[0];
    job.extent = {static_cast<int32_t>(dims[3]), static_cast<int32_t>(dims[2]), static_cast<int32_t>(dims[1])};
    job.axis = 3 - axis;
    return sigma == nullptr || read_sigma(sigma, job, weights);
}
