#include "voxwarpkit.h"

#include "kernel_variants.h"
#include "resample_position.h"

#include <cstdint>

#if !defined(VOXWARPKIT_KERNEL_ONLY)
#include "arrays.h"
#include "float_buffer.h"
#include "float_environment.h"

// The driver's own numpy API table (static to this file), loaded on every call.
#include <numpy/arrayobject.h>

#include <cstdlib>
#include <memory>
#endif

void resample_volumes_scalar(const float *input, const volume_shape &shape, const float *voxel_size,
                             const float *matrix, float *output)
{
    if (shape.nvol <= 0 || shape.nz <= 0 || shape.ny <= 0 || shape.nx <= 0) {
        return;
    }
    const voxwarp::grid g = voxwarp::make_grid(input, shape, voxel_size, matrix, output);
    for (int32_t z = 0; z < g.nz; ++z) {
        for (int32_t y = 0; y < g.ny; ++y) {
            const voxwarp::row_terms r = voxwarp::make_row_terms(g, y, z);
            const ptrdiff_t row_offset = z * g.slice_size + y * g.row_size;
            for (int32_t x = 0; x < g.nx; ++x) {
                const float X = static_cast<float>(x) * g.sx;
                const float I = voxwarp::source_index(g.m[0], X, r.m1y, r.m2z, g.m[3], g.sx);
                const float J = voxwarp::source_index(g.m[4], X, r.m5y, r.m6z, g.m[7], g.sy);
                const float K = voxwarp::source_index(g.m[8], X, r.m9y, r.m10z, g.m[11], g.sz);
                voxwarp::resample_position(g, row_offset + x, I, J, K);
            }
        }
    }
}

void resample_volumes(const float *input, const volume_shape &shape, const float *voxel_size,
                      const float *matrix, float *output)
{
    selected_kernel_variant().resample(input, shape, voxel_size, matrix, output);
}

// The driver, which needs Python and numpy; a kernel-only build leaves it out.
#if !defined(VOXWARPKIT_KERNEL_ONLY)

namespace {

struct free_deleter {
    void operator()(float *buffer) const { std::free(buffer); }
};
using float_buffer = std::unique_ptr<float, free_deleter>;

// Counts and element totals are 32-bit signed in the kernel.
constexpr npy_intp max_count = INT32_MAX;

bool numpy_ready()
{
    if (_import_array() < 0) {
        PyErr_Print();
        PyErr_SetString(PyExc_ImportError, "numpy.core.multiarray failed to import");
        return false;
    }
    return true;
}

// Checked before any field of the object is read.
bool is_array(PyObject *object, const char *name)
{
    if (PyArray_Check(object)) {
        return true;
    }
    PyErr_Format(PyExc_TypeError, "%s must be a numpy.ndarray, not %.200s", name, Py_TYPE(object)->tp_name);
    return false;
}

// Refuses images whose counts do not fit the kernel's 32-bit integers. This
// runs before any buffer is requested, so no element count can overflow.
bool image_fits(PyArrayObject *image)
{
    const int rank = PyArray_NDIM(image);
    const npy_intp *dims = PyArray_DIMS(image);
    for (int axis = 0; axis < rank; ++axis) {
        if (dims[axis] > max_count) {
            PyErr_Format(PyExc_ValueError,
                         "image is too large: axis %d has %zd elements, more than the limit of %zd",
                         axis, static_cast<Py_ssize_t>(dims[axis]), static_cast<Py_ssize_t>(max_count));
            return false;
        }
    }
    for (int axis = 0; axis < rank; ++axis) {
        if (dims[axis] == 0) {
            return true;  // no elements at all
        }
    }
    npy_intp count = 1;
    for (int axis = 0; axis < rank; ++axis) {
        count *= dims[axis];  // both factors are below 2**31: no overflow
        if (count > max_count) {
            PyErr_Format(PyExc_ValueError, "image is too large: it has more than %zd elements",
                         static_cast<Py_ssize_t>(max_count));
            return false;
        }
    }
    return true;
}

// Reads voxel_size or matrix: the first `needed` numbers along axis 0 are used.
float_buffer read_parameter(PyArrayObject *array, npy_intp needed, const char *name)
{
    const int rank = PyArray_NDIM(array);
    if (rank == 0) {
        PyErr_Format(PyExc_ValueError, "%s must be an array with at least one axis, not a 0-d array", name);
        return nullptr;
    }
    // Its numbers are the elements with index 0 on every later axis: with an
    // empty later axis they do not exist.
    for (int axis = 1; axis < rank; ++axis) {
        if (PyArray_DIMS(array)[axis] == 0) {
            PyErr_Format(PyExc_ValueError, "%s has no elements: its axis %d has length 0", name, axis);
            return nullptr;
        }
    }
    float_buffer numbers(array2float(array));
    if (!numbers) {
        return nullptr;
    }
    const npy_intp length = PyArray_DIMS(array)[0];
    if (length < needed) {
        PyErr_Format(PyExc_ValueError, "%s must hold at least %zd numbers along axis 0, got %zd",
                     name, static_cast<Py_ssize_t>(needed), static_cast<Py_ssize_t>(length));
        return nullptr;
    }
    return numbers;
}

}  // namespace

PyObject *transform(PyArrayObject *image, PyArrayObject *voxel_size, PyArrayObject *matrix)
{
    // Conversions and kernel give the same bits whatever the caller's rounding
    // mode or denormal handling; the caller's settings come back on return.
    const ieee_default_environment environment;
    if (!numpy_ready()) {
        return nullptr;
    }
    if (!is_array(reinterpret_cast<PyObject *>(image), "image")
        || !is_array(reinterpret_cast<PyObject *>(voxel_size), "voxel_size")
        || !is_array(reinterpret_cast<PyObject *>(matrix), "matrix")) {
        return nullptr;
    }
    const int rank = PyArray_NDIM(image);
    if (rank != 3 && rank != 4) {
        PyErr_Format(PyExc_ValueError, "image must have 3 or 4 dimensions, got %d", rank);
        return nullptr;
    }
    if (!image_fits(image)) {
        return nullptr;
    }

    float_buffer input(rank == 4 ? array2float4d(image) : array2float3d(image));
    if (!input) {
        return nullptr;
    }

    const npy_intp *dims = PyArray_DIMS(image);
    volume_shape shape;
    shape.nvol = rank == 4 ? static_cast<int32_t>(dims[0]) : 1;
    shape.nz = static_cast<int32_t>(dims[rank - 3]);
    shape.ny = static_cast<int32_t>(dims[rank - 2]);
    shape.nx = static_cast<int32_t>(dims[rank - 1]);
    const size_t count = static_cast<size_t>(shape.nvol) * static_cast<size_t>(shape.nz)
                         * static_cast<size_t>(shape.ny) * static_cast<size_t>(shape.nx);

    // Zero-filled: every output voxel that the kernel does not reach stays 0.0.
    float_buffer output(allocate_zeroed_float_buffer(count));
    if (!output) {
        PyErr_SetString(PyExc_MemoryError, "Failed to allocate memory in image transform");
        return nullptr;
    }

    // Both are read before either is tested, so when both fail the matrix's
    // error, set last, is the one left standing.
    float_buffer voxel_numbers = read_parameter(voxel_size, 3, "voxel_size");
    float_buffer matrix_numbers = read_parameter(matrix, 12, "matrix");
    if (!voxel_numbers || !matrix_numbers) {
        return nullptr;
    }

    resample_volumes(input.get(), shape, voxel_numbers.get(), matrix_numbers.get(), output.get());

    PyObject *result = PyArray_New(&PyArray_Type, rank, const_cast<npy_intp *>(dims), NPY_FLOAT,
                                   nullptr, nullptr, 0, 0, nullptr);
    if (result == nullptr) {
        return nullptr;
    }
    // A float32 target is always supported, so the status needs no look.
    if (rank == 4) {
        float2array4d(output.get(), reinterpret_cast<PyArrayObject *>(result));
    } else {
        float2array3d(output.get(), reinterpret_cast<PyArrayObject *>(result));
    }

    voxel_numbers.reset();
    matrix_numbers.reset();
    input.reset();
    output.reset();
    return PyArray_Return(reinterpret_cast<PyArrayObject *>(result));
}

#endif
