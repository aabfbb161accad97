#define PY_SSIZE_T_CLEAN
#include "bindings/resample_call.h"

#include "arrays/arrays.h"
#include "bindings/chain_arguments.h"
#include "bindings/numpy_api.h"
#include "kernel/float_environment.h"
#include "kernel/method_traits.h"
#include "kernel/result_types.h"
#include "kernel/source_box.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <utility>

namespace {

// A (z, y, x) tuple of ints as x, y, z; `at_least` bounds each count.
bool read_counts(PyObject *tuple, const char *name, int32_t at_least, xyz &counts)
{
    int z, y, x;
    if (!PyArg_ParseTuple(tuple, "iii", &z, &y, &x)) {
        return false;
    }
    if (z < at_least || y < at_least || x < at_least) {
        PyErr_Format(PyExc_ValueError, "%s must hold counts of at least %d, got (%d, %d, %d)", name, at_least, z, y, x);
        return false;
    }
    counts = {x, y, z};
    return true;
}

bool read_spacing(PyObject *tuple, float spacing[3])
{
    double sx, sy, sz;
    if (!PyArg_ParseTuple(tuple, "ddd", &sx, &sy, &sz)) {
        return false;
    }
    spacing[0] = static_cast<float>(sx);
    spacing[1] = static_cast<float>(sy);
    spacing[2] = static_cast<float>(sz);
    return true;
}

// What a call reads that is common to prepare_resample and source_box_of.
struct block_request {
    xyz full_extent, target_shape, target_origin;
    float source_spacing[3], target_spacing[3];
    const float *matrices;
    npy_intp matrix_count;
    enum interpolation interpolation;
    edge_rule edges;
    chain_arguments chain;
    npy_intp job_count;  // 1 when every step has one matrix for all volumes, else one per volume
};

// How positions are sampled, as the codes of the enums `interpolation` and
// `edge_rule`: checked here, since the kernels take any other value for nearest.
bool read_method(int interpolation_code, int edges_code, block_request &request)
{
    if (interpolation_code < 0 || interpolation_code > static_cast<int>(interpolation::cubic)) {
        PyErr_Format(PyExc_ValueError,
                     "interpolation must be 0 (linear), 1 (nearest), 2 (label), 3 (lanczos) or 4 (cubic), got %d",
                     interpolation_code);
        return false;
    }
    if (edges_code < 0 || edges_code > static_cast<int>(edge_rule::clamp)) {
        PyErr_Format(PyExc_ValueError, "edges must be 0 (transform's bands) or 1 (clamp), got %d", edges_code);
        return false;
    }
    request.interpolation = static_cast<enum interpolation>(interpolation_code);
    request.edges = static_cast<edge_rule>(edges_code);
    return true;
}

// A job for `request` with matrix `m`: the window, target and element size
// are filled in by the caller.
resample_job job_for(const block_request &request, npy_intp m)
{
    resample_job job{};
    job.source.full_extent = request.full_extent;
    std::memcpy(job.source.spacing, request.source_spacing, sizeof job.source.spacing);
    job.target.origin = request.target_origin;
    job.target.extent = request.target_shape;
    std::memcpy(job.target.spacing, request.target_spacing, sizeof job.target.spacing);
    std::memcpy(job.matrix, request.matrices + 12 * (request.matrix_count == 1 ? 0 : m), sizeof job.matrix);
    job.interpolation = request.interpolation;
    job.edges = request.edges;
    return job;
}

bool any_empty(const xyz &counts)
{
    return counts.x == 0 || counts.y == 0 || counts.z == 0;
}

// The element type the blends read `source` as, from numpy's kind and size;
// false for an array of any other type.
bool blend_source_type(PyArrayObject *source, element_type &type)
{
    const npy_intp size = PyArray_ITEMSIZE(source);
    const int index = size == 1 ? 0 : size == 2 ? 1 : size == 4 ? 2 : size == 8 ? 3 : -1;
    if (index < 0) {
        return false;
    }
    const element_type invalid = static_cast<element_type>(-1);
    const element_type signed_types[] = {element_type::int8, element_type::int16, element_type::int32,
                                         element_type::int64};
    const element_type unsigned_types[] = {element_type::uint8, element_type::uint16, element_type::uint32,
                                           element_type::uint64};
    const element_type float_types[] = {invalid, element_type::float16, element_type::float32, element_type::float64};
    switch (PyArray_DESCR(source)->kind) {
    case 'b': type = index == 0 ? element_type::boolean : invalid; break;
    case 'i': type = signed_types[index]; break;
    case 'u': type = unsigned_types[index]; break;
    case 'f': type = float_types[index]; break;
    default: return false;
    }
    return type != invalid;
}

// The source window a job reads and the type of its elements: in place when
// it is C-contiguous, aligned and native (the blends convert each element to
// float as they read it), else for the blends a float32 copy.
bool read_window(PyArrayObject *source, interpolation interpolation, resample_call &call, const void *&data,
                 int &element_size, element_type &source_type)
{
    const bool in_place = PyArray_ISCARRAY_RO(source) && PyArray_ISNOTSWAPPED(source);
    if (!voxwarp::blends_floats(interpolation)) {
        const int kind = PyArray_DESCR(source)->kind;
        element_size = static_cast<int>(PyArray_ITEMSIZE(source));
        const bool numeric = kind == 'b' || kind == 'i' || kind == 'u' || kind == 'f';
        const bool size_fits = element_size == 1 || element_size == 2 || element_size == 4 || element_size == 8;
        if (!numeric || !size_fits || !in_place) {
            PyErr_SetString(PyExc_ValueError,
                            "nearest and label sampling need a C-contiguous, aligned, native array of booleans or "
                            "numbers of 1, 2, 4 or 8 bytes");
            return false;
        }
        data = PyArray_DATA(source);
        return true;
    }
    element_size = sizeof(float);
    // A prefiltered method reads float32 coefficients: any other source is made float32 first.
    if (in_place && blend_source_type(source, source_type)
        && (!voxwarp::facts_of(interpolation).prefiltered || source_type == element_type::float32)) {
        data = PyArray_DATA(source);
        return true;
    }
    source_type = element_type::float32;
    const ieee_default_environment environment;
    call.source_numbers.reset(anyarray2float4d(source));
    data = call.source_numbers.get();
    return data != nullptr;
}

// The result type of a blend: float32 for None, else the code of the enum
// `element_type` of a number type (not boolean); nearest and label take None
// only, since they write the source's own elements.
bool read_result_type(PyObject *code_object, interpolation interpolation, element_type &type)
{
    type = element_type::float32;
    if (code_object == Py_None) {
        return true;
    }
    if (!voxwarp::blends_floats(interpolation)) {
        PyErr_SetString(PyExc_ValueError,
                        "nearest and label sampling write the source's type: result_type must be None");
        return false;
    }
    const long code = PyLong_AsLong(code_object);
    if (code == -1 && PyErr_Occurred()) {
        return false;
    }
    const element_type given = static_cast<element_type>(code);
    if (code < 0 || code > static_cast<long>(element_type::float64) || !voxwarp::blends_write(given)) {
        PyErr_Format(PyExc_ValueError, "result_type must be None or the code of an integer or float type, got %ld",
                     code);
        return false;
    }
    type = given;
    return true;
}

// numpy's number for a result type a blend writes.
int numpy_type_of(element_type type)
{
    switch (type) {
    case element_type::boolean: return NPY_BOOL;
    case element_type::int8: return NPY_INT8;
    case element_type::uint8: return NPY_UINT8;
    case element_type::int16: return NPY_INT16;
    case element_type::uint16: return NPY_UINT16;
    case element_type::int32: return NPY_INT32;
    case element_type::uint32: return NPY_UINT32;
    case element_type::int64: return NPY_INT64;
    case element_type::uint64: return NPY_UINT64;
    case element_type::float16: return NPY_HALF;
    case element_type::float64: return NPY_DOUBLE;
    case element_type::float32: break;
    }
    return NPY_FLOAT;
}

// Writes the fill into every element of the freshly created result.
void fill_result(PyArrayObject *result, const unsigned char *fill, int element_size)
{
    char *data = static_cast<char *>(PyArray_DATA(result));
    const npy_intp count = PyArray_SIZE(result);
    for (npy_intp i = 0; i < count; ++i) {
        std::memcpy(data + i * element_size, fill, static_cast<size_t>(element_size));
    }
}

// Whether `out` can take the result: an array of `shape` and of the type of
// `result_type` (whose reference this releases), C-contiguous, aligned,
// writeable and in native byte order; false with a ValueError otherwise.
bool usable_out(PyObject *out, const npy_intp shape[4], PyArray_Descr *result_type)
{
    bool usable = PyArray_Check(out);
    if (usable) {
        PyArrayObject *array = reinterpret_cast<PyArrayObject *>(out);
        usable = PyArray_NDIM(array) == 4 && PyArray_ISCARRAY(array) && PyArray_ISNOTSWAPPED(array)
                 && PyArray_EquivTypes(PyArray_DESCR(array), result_type);
        for (int axis = 0; usable && axis < 4; ++axis) {
            usable = PyArray_DIMS(array)[axis] == shape[axis];
        }
    }
    Py_DECREF(result_type);
    if (!usable) {
        PyErr_SetString(PyExc_ValueError,
                        "out must be a C-contiguous, aligned, writeable, native array of the result's shape and type");
    }
    return usable;
}

bool read_request(PyObject *source_grid, PyObject *source_spacing, PyObject *matrices, PyObject *target_shape,
                  PyObject *target_origin, PyObject *target_spacing, int interpolation_code, int edges_code,
                  PyObject *chain, block_request &request)
{
    const bool read = read_counts(source_grid, "source_grid", 0, request.full_extent)
                      && read_spacing(source_spacing, request.source_spacing)
                      && (request.matrices = read_matrices(matrices, request.matrix_count)) != nullptr
                      && read_counts(target_shape, "target_shape", 0, request.target_shape)
                      && read_counts(target_origin, "target_origin", 0, request.target_origin)
                      && read_spacing(target_spacing, request.target_spacing)
                      && read_method(interpolation_code, edges_code, request) && read_chain(chain, request.chain);
    if (!read) {
        return false;
    }
    if (request.matrix_count > 1 && request.chain.count > 1 && request.matrix_count != request.chain.count) {
        PyErr_SetString(PyExc_ValueError, "the matrices and the chain's steps hold different counts of matrices");
        return false;
    }
    request.job_count = request.matrix_count > 1 ? request.matrix_count : request.chain.count;
    return true;
}

// The jobs' chains, one run of steps per job, which the jobs then point into; a B-spline step points
// into `chain`, which must outlive the jobs.
void attach_chains(const chain_arguments &chain, std::vector<resample_job> &jobs, std::vector<chain_step> &steps)
{
    const size_t length = chain.steps.size();
    if (length == 0) {
        return;
    }
    steps.resize(jobs.size() * length);
    for (size_t m = 0; m < jobs.size(); ++m) {
        chain_of_job(chain, static_cast<npy_intp>(m), steps.data() + m * length);
        jobs[m].chain = steps.data() + m * length;
        jobs[m].chain_length = static_cast<int32_t>(length);
    }
}

}  // namespace

bool prepare_resample(PyObject *args, resample_call &call)
{
    if (!numpy_api_ready()) {
        return false;
    }
    PyObject *source_object, *source_origin, *source_grid, *source_spacing, *matrices, *target_shape, *target_origin,
        *target_spacing;
    int interpolation_code, edges_code;
    const char *fill;
    Py_ssize_t fill_size;
    PyObject *out = Py_None;
    PyObject *chain = Py_None;
    PyObject *result_code = Py_None;
    if (!PyArg_ParseTuple(args, "OOOOOOOOiiy#|OOO:resample", &source_object, &source_origin, &source_grid,
                          &source_spacing, &matrices, &target_shape, &target_origin, &target_spacing,
                          &interpolation_code, &edges_code, &fill, &fill_size, &out, &chain, &result_code)) {
        return false;
    }
    if (!PyArray_Check(source_object) || PyArray_NDIM(reinterpret_cast<PyArrayObject *>(source_object)) != 4) {
        PyErr_SetString(PyExc_ValueError, "source must be a numpy array of rank 4");
        return false;
    }
    PyArrayObject *source = reinterpret_cast<PyArrayObject *>(source_object);
    block_request request{};
    xyz origin{};
    if (!read_request(source_grid, source_spacing, matrices, target_shape, target_origin, target_spacing,
                      interpolation_code, edges_code, chain, request)
        || !read_counts(source_origin, "source_origin", 0, origin)) {
        return false;
    }
    const npy_intp *dims = PyArray_DIMS(source);
    for (int axis = 0; axis < 4; ++axis) {
        if (dims[axis] > INT32_MAX) {
            PyErr_SetString(PyExc_ValueError, "source is too large");
            return false;
        }
    }
    const npy_intp volumes = dims[0];
    if (request.job_count != 1 && request.job_count != volumes) {
        PyErr_Format(PyExc_ValueError, "%zd matrices for %zd volumes", static_cast<Py_ssize_t>(request.job_count),
                     static_cast<Py_ssize_t>(volumes));
        return false;
    }
    const void *data = nullptr;
    int element_size = 0;  // of the target, and of the source for nearest and label
    element_type source_type = element_type::float32;
    element_type result_element = element_type::float32;
    if (!read_result_type(result_code, request.interpolation, result_element)
        || !read_window(source, request.interpolation, call, data, element_size, source_type)) {
        return false;
    }
    if (voxwarp::blends_floats(request.interpolation)) {
        element_size = element_size_of(result_element);
    }
    const int source_size = voxwarp::blends_floats(request.interpolation) ? element_size_of(source_type) : element_size;
    if (fill_size != element_size) {
        PyErr_Format(PyExc_ValueError, "fill must hold %d bytes, got %zd", element_size, fill_size);
        return false;
    }

    PyArray_Descr *result_type = voxwarp::blends_floats(request.interpolation)
                                     ? PyArray_DescrFromType(numpy_type_of(result_element))
                                     : PyArray_DescrFromType(PyArray_TYPE(source));
    if (result_type == nullptr) {
        return false;
    }
    npy_intp shape[4] = {volumes, request.target_shape.z, request.target_shape.y, request.target_shape.x};
    if (out != Py_None) {
        if (!usable_out(out, shape, result_type)) {
            return false;  // the descriptor was released
        }
        Py_INCREF(out);
        call.result = out;
    } else {
        call.result = PyArray_Zeros(4, shape, result_type, 0);  // steals the descriptor
        if (call.result == nullptr) {
            return false;
        }
    }
    PyArrayObject *result = reinterpret_cast<PyArrayObject *>(call.result);
    unsigned char fill_bytes[8] = {};
    std::memcpy(fill_bytes, fill, static_cast<size_t>(element_size));
    // A fresh result is zero-filled, so a fill of zero bytes need not be
    // written; a caller's array holds what it held, so every position is.
    bool write_fill = out != Py_None;
    for (unsigned char byte : fill_bytes) {
        write_fill = write_fill || byte != 0;
    }
    if (any_empty(request.full_extent)) {
        if (write_fill) {
            fill_result(result, fill_bytes, element_size);
        }
        return true;  // nothing can be sampled: no job
    }

    const xyz window{static_cast<int32_t>(dims[3]), static_cast<int32_t>(dims[2]), static_cast<int32_t>(dims[1])};
    const ptrdiff_t row = window.x, slice = row * window.y, volume = slice * window.z;
    const ptrdiff_t out_row = request.target_shape.x, out_slice = out_row * request.target_shape.y;
    const ptrdiff_t out_volume = out_slice * request.target_shape.z;
    const bool shared = request.job_count == 1;
    for (npy_intp m = 0; m < request.job_count; ++m) {
        resample_job job = job_for(request, m);
        const ptrdiff_t first_volume = shared ? 0 : m;
        job.source.data = static_cast<const char *>(data) + first_volume * volume * source_size;
        job.source.row = row;
        job.source.slice = slice;
        job.source.volume = volume;
        job.source.origin = origin;
        job.source.extent = window;
        job.target.data = static_cast<char *>(PyArray_DATA(result)) + first_volume * out_volume * element_size;
        job.target.row = out_row;
        job.target.slice = out_slice;
        job.target.volume = out_volume;
        job.nvol = shared ? static_cast<int32_t>(volumes) : 1;
        job.element_size = element_size;
        job.source_type = source_type;
        job.result_type = result_element;
        job.write_fill = write_fill;
        std::memcpy(job.fill, fill_bytes, sizeof job.fill);
        call.jobs.push_back(job);
    }
    // The request is gone when the jobs run: the call keeps the chain its B-spline steps point into.
    call.chain = std::move(request.chain);
    attach_chains(call.chain, call.jobs, call.chain_steps);
    for (const resample_job &job : call.jobs) {
        if (!job_is_sound(job)) {
            PyErr_SetString(PyExc_ValueError, "the source window does not hold every voxel the target block reads, "
                                              "or lies outside the source grid");
            return false;
        }
    }
    return true;
}

PyObject *source_box_of(PyObject *args)
{
    if (!numpy_api_ready()) {
        return nullptr;
    }
    PyObject *source_grid, *source_spacing, *matrices, *target_shape, *target_origin, *target_spacing;
    PyObject *chain = Py_None;
    int interpolation_code, edges_code;
    if (!PyArg_ParseTuple(args, "OOOOOOii|O:source_box", &source_grid, &source_spacing, &matrices, &target_shape,
                          &target_origin, &target_spacing, &interpolation_code, &edges_code, &chain)) {
        return nullptr;
    }
    block_request request{};
    if (!read_request(source_grid, source_spacing, matrices, target_shape, target_origin, target_spacing,
                      interpolation_code, edges_code, chain, request)) {
        return nullptr;
    }
    std::vector<resample_job> jobs;
    std::vector<chain_step> steps;
    for (npy_intp m = 0; m < request.job_count; ++m) {
        jobs.push_back(job_for(request, m));
    }
    attach_chains(request.chain, jobs, steps);
    source_range box{{INT32_MAX, INT32_MAX, INT32_MAX}, {0, 0, 0}, true};
    for (const resample_job &job : jobs) {
        const source_range read = source_voxels_read(job);
        if (read.empty) {
            continue;
        }
        box.empty = false;
        box.first = {std::min(box.first.x, read.first.x), std::min(box.first.y, read.first.y),
                     std::min(box.first.z, read.first.z)};
        box.end = {std::max(box.end.x, read.end.x), std::max(box.end.y, read.end.y), std::max(box.end.z, read.end.z)};
    }
    if (box.empty) {
        Py_RETURN_NONE;
    }
    return Py_BuildValue("((ii)(ii)(ii))", box.first.z, box.end.z, box.first.y, box.end.y, box.first.x, box.end.x);
}
