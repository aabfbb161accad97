#include "bindings/transform_call.h"

#include "arrays/arrays.h"
#include "bindings/numpy_api.h"
#include "kernel/float_environment.h"
#include "kernel/whole_grid.h"

#include <cstdint>

namespace {

// Counts and element totals are 32-bit signed in the kernel.
constexpr npy_intp max_count = INT32_MAX;

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
            PyErr_Format(PyExc_ValueError, "image is too large: axis %d has %zd elements, more than the limit of %zd",
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

// An image the kernel can read where it lies, without a float copy.
bool readable_in_place(PyArrayObject *image)
{
    return PyArray_TYPE(image) == NPY_FLOAT && PyArray_ISCARRAY_RO(image) && PyArray_ISNOTSWAPPED(image);
}

// Reads voxel_size or matrix: the first `needed` numbers along axis 0 are used.
owned_float_buffer read_parameter(PyArrayObject *array, npy_intp needed, const char *name)
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
    owned_float_buffer numbers;
    {
        const ieee_default_environment environment;
        numbers.reset(array2float(array));
    }
    if (!numbers) {
        return nullptr;
    }
    const npy_intp length = PyArray_DIMS(array)[0];
    if (length < needed) {
        PyErr_Format(PyExc_ValueError, "%s must hold at least %zd numbers along axis 0, got %zd", name,
                     static_cast<Py_ssize_t>(needed), static_cast<Py_ssize_t>(length));
        return nullptr;
    }
    return numbers;
}

// Holds a raised exception aside, so that more of the C API may run, and
// raises it again on request.
struct stashed_error {
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
    stashed_error() { PyErr_Fetch(&type, &value, &traceback); }
    void restore()
    {
        PyErr_Restore(type, value, traceback);
        type = value = traceback = nullptr;
    }
    ~stashed_error()
    {
        Py_XDECREF(type);
        Py_XDECREF(value);
        Py_XDECREF(traceback);
    }
};

}  // namespace

PyObject *transform_call::take_result()
{
    PyObject *taken = result;
    result = nullptr;
    return PyArray_Return(reinterpret_cast<PyArrayObject *>(taken));
}

bool prepare_transform(PyArrayObject *image, PyArrayObject *voxel_size, PyArrayObject *matrix, transform_call &call)
{
    if (!numpy_api_ready()) {
        return false;
    }
    if (!is_array(reinterpret_cast<PyObject *>(image), "image")
        || !is_array(reinterpret_cast<PyObject *>(voxel_size), "voxel_size")
        || !is_array(reinterpret_cast<PyObject *>(matrix), "matrix")) {
        return false;
    }
    const int rank = PyArray_NDIM(image);
    if (rank != 3 && rank != 4) {
        PyErr_Format(PyExc_ValueError, "image must have 3 or 4 dimensions, got %d", rank);
        return false;
    }
    if (!image_fits(image)) {
        return false;
    }

    const float *input = nullptr;
    if (readable_in_place(image)) {
        input = static_cast<const float *>(PyArray_DATA(image));
    } else {
        // Conversions give the same bits whatever the caller's rounding mode
        // or denormal handling.
        const ieee_default_environment environment;
        call.image_numbers.reset(rank == 4 ? array2float4d(image) : array2float3d(image));
        input = call.image_numbers.get();
    }
    if (input == nullptr) {
        return false;
    }

    // The kernel writes into the result itself. numpy takes zero-filled memory
    // from calloc, so pages of positions that are never sampled are never
    // touched: every output voxel that the kernel does not reach stays 0.0.
    npy_intp *dims = PyArray_DIMS(image);
    call.result = PyArray_ZEROS(rank, dims, NPY_FLOAT, 0);
    if (call.result == nullptr) {
        if (PyErr_ExceptionMatches(PyExc_MemoryError)) {
            PyErr_SetString(PyExc_MemoryError, "Failed to allocate memory in image transform");
        }
        return false;
    }

    // Both are read before either is tested, so when both fail the matrix's
    // error, set last, is the one left standing. The voxel size's error is
    // held aside meanwhile: no C API call runs with an exception pending.
    call.voxel_numbers = read_parameter(voxel_size, 3, "voxel_size");
    if (!call.voxel_numbers) {
        stashed_error voxel_error;
        call.matrix_numbers = read_parameter(matrix, 12, "matrix");
        if (call.matrix_numbers) {
            voxel_error.restore();
        }
        return false;
    }
    call.matrix_numbers = read_parameter(matrix, 12, "matrix");
    if (!call.matrix_numbers) {
        return false;
    }

    volume_shape shape;
    shape.nvol = rank == 4 ? static_cast<int32_t>(dims[0]) : 1;
    shape.nz = static_cast<int32_t>(dims[rank - 3]);
    shape.ny = static_cast<int32_t>(dims[rank - 2]);
    shape.nx = static_cast<int32_t>(dims[rank - 1]);
    float *output = static_cast<float *>(PyArray_DATA(reinterpret_cast<PyArrayObject *>(call.result)));
    call.job = whole_grid_job(input, shape, call.voxel_numbers.get(), call.matrix_numbers.get(), output);
    return true;
}
