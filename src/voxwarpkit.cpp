#include "voxwarpkit.h"

#include "kernel_variants.h"
#include "resample_position.h"
#include "run_jobs.h"

#include <cstdint>

#if !defined(VOXWARPKIT_KERNEL_ONLY)
#include "arrays.h"
#include "float_buffer.h"
#include "float_environment.h"
#include "transform_call.h"

// The driver's own numpy API table (static to this file), loaded on every call.
#include <numpy/arrayobject.h>
#endif

void resample_scalar(const resample_job &job)
{
    if (voxwarp::job_is_empty(job)) {
        return;
    }
    const voxwarp::grid g = voxwarp::make_grid(job);
    if (job.mode == sampling::linear) {
        voxwarp::for_each_position(g, job.target, voxwarp::resample_position);
        return;
    }
    switch (job.element_size) {
    case 1: voxwarp::for_each_position(g, job.target, voxwarp::nearest_position<uint8_t>); return;
    case 2: voxwarp::for_each_position(g, job.target, voxwarp::nearest_position<uint16_t>); return;
    case 4: voxwarp::for_each_position(g, job.target, voxwarp::nearest_position<uint32_t>); return;
    case 8: voxwarp::for_each_position(g, job.target, voxwarp::nearest_position<uint64_t>); return;
    }
}

resample_job whole_grid_job(const float *input, const volume_shape &shape, const float *voxel_size, const float *matrix,
                            float *output)
{
    resample_job job{};
    const xyz counts{shape.nx, shape.ny, shape.nz};
    const ptrdiff_t row = shape.nx;
    const ptrdiff_t slice = row * shape.ny;
    const ptrdiff_t volume = slice * shape.nz;
    job.source = {input, row, slice, volume, {0, 0, 0}, counts, counts, {voxel_size[0], voxel_size[1], voxel_size[2]}};
    job.target = {output, row, slice, volume, {0, 0, 0}, counts, {voxel_size[0], voxel_size[1], voxel_size[2]}};
    job.nvol = shape.nvol;
    for (int i = 0; i < 12; ++i) {
        job.matrix[i] = matrix[i];
    }
    job.mode = sampling::linear;
    job.element_size = sizeof(float);
    job.write_fill = false;
    return job;
}

void resample_volumes(const float *input, const volume_shape &shape, const float *voxel_size, const float *matrix,
                      float *output)
{
    if (shape.nvol <= 0 || shape.nz <= 0 || shape.ny <= 0 || shape.nx <= 0) {
        return;
    }
    selected_kernel_variant().resample(whole_grid_job(input, shape, voxel_size, matrix, output));
}

// The driver, which needs Python and numpy; a kernel-only build leaves it out.
#if !defined(VOXWARPKIT_KERNEL_ONLY)

namespace {

// Counts and element totals are 32-bit signed in the kernel.
constexpr npy_intp max_count = INT32_MAX;

// The numpy API is imported afresh on every call, so that a numpy that has
// become unusable fails the call cleanly. The import machinery costs more
// than a small call, so when sys.modules still holds the very module object
// that provided the API table last time, the table in hand is the one an
// import would load.
struct numpy_source {
    PyObject *name = nullptr;    // the core module's name, as imported last time
    PyObject *module = nullptr;  // that module, held so that its identity stays unique
};

numpy_source &last_numpy_source()
{
    static numpy_source source;
    return source;
}

bool numpy_unchanged()
{
    const numpy_source &last = last_numpy_source();
    if (last.name == nullptr) {
        return false;
    }
    PyObject *module = PyDict_GetItemWithError(PyImport_GetModuleDict(), last.name);  // borrowed
    if (module == nullptr) {
        PyErr_Clear();
    }
    return module != nullptr && module == last.module;
}

// Notes which core module the import that just succeeded took its table from.
void remember_numpy_source()
{
    numpy_source &last = last_numpy_source();
    static const char *const names[] = {"numpy._core._multiarray_umath", "numpy.core._multiarray_umath"};
    for (const char *text : names) {
        PyObject *name = PyUnicode_InternFromString(text);
        PyObject *module = name != nullptr ? PyImport_GetModule(name) : nullptr;
        PyObject *capsule = module != nullptr ? PyObject_GetAttrString(module, "_ARRAY_API") : nullptr;
        const bool provided = capsule != nullptr && PyCapsule_CheckExact(capsule)
                              && PyCapsule_GetPointer(capsule, nullptr) == static_cast<void *>(PyArray_API);
        PyErr_Clear();
        Py_XDECREF(capsule);
        if (provided) {
            Py_XSETREF(last.name, name);
            Py_XSETREF(last.module, module);
            return;
        }
        Py_XDECREF(module);
        Py_XDECREF(name);
    }
}

bool numpy_ready()
{
    if (numpy_unchanged()) {
        return true;
    }
    if (_import_array() < 0) {
        PyErr_Print();
        PyErr_SetString(PyExc_ImportError, "numpy.core.multiarray failed to import");
        return false;
    }
    remember_numpy_source();
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
    if (!numpy_ready()) {
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

PyObject *transform(PyArrayObject *image, PyArrayObject *voxel_size, PyArrayObject *matrix)
{
    transform_call call;
    if (!prepare_transform(image, voxel_size, matrix, call)) {
        return nullptr;
    }
    run_resample_job(call.job, selected_kernel_variant().resample);
    return call.take_result();
}

#endif
