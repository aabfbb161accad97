#define PY_SSIZE_T_CLEAN
#include "bindings/blend_call.h"

#include "bindings/chain_arguments.h"
#include "bindings/numpy_api.h"

#include "kernel/result_types.h"

namespace {

bool is_float64_block(PyObject *object, int rank, bool writeable)
{
    if (!PyArray_Check(object)) {
        return false;
    }
    PyArrayObject *array = reinterpret_cast<PyArrayObject *>(object);
    return PyArray_NDIM(array) == rank && PyArray_TYPE(array) == NPY_DOUBLE && PyArray_ISCARRAY_RO(array)
           && PyArray_ISNOTSWAPPED(array) && (!writeable || PyArray_ISWRITEABLE(array));
}

}  // namespace

namespace {

// The arguments both forms of blend_tile share, checked into the job.
bool checked_blend(PyObject *sums, PyObject *weights, PyObject *values, const long long at[3], const long long tile[3],
                   int blending, tile_blend_job &job)
{
    if (!is_float64_block(sums, 4, true) || !is_float64_block(values, 4, false)
        || !is_float64_block(weights, 3, true)) {
        PyErr_SetString(PyExc_ValueError,
                        "sums, values (rank 4) and weights (rank 3) must be C-contiguous, aligned, native float64 "
                        "arrays, sums and weights writeable");
        return false;
    }
    PyArrayObject *sum_array = reinterpret_cast<PyArrayObject *>(sums);
    PyArrayObject *value_array = reinterpret_cast<PyArrayObject *>(values);
    PyArrayObject *weight_array = reinterpret_cast<PyArrayObject *>(weights);
    const npy_intp *dims = PyArray_DIMS(sum_array);
    const npy_intp *value_dims = PyArray_DIMS(value_array);
    bool box_inside = value_dims[0] == dims[0];
    for (int axis = 1; axis < 4; ++axis) {
        const long long first = at[3 - axis];
        box_inside = box_inside && first >= 0 && value_dims[axis] <= dims[axis] - first;
    }
    if (!box_inside || PyArray_DIMS(weight_array)[0] != dims[1] || PyArray_DIMS(weight_array)[1] != dims[2]
        || PyArray_DIMS(weight_array)[2] != dims[3]) {
        PyErr_SetString(PyExc_ValueError,
                        "sums must be (volumes, z, y, x), weights (z, y, x), values (volumes, z, y, x) of a box "
                        "of the block starting at values_at");
        return false;
    }
    for (int axis = 1; axis < 4; ++axis) {
        if (dims[axis] > INT32_MAX) {
            PyErr_SetString(PyExc_ValueError, "the block is too large");
            return false;
        }
    }
    for (int a = 0; a < 3; ++a) {
        if (tile[a] < 1 || !(job.scale[a] > 0.0)) {
            PyErr_SetString(PyExc_ValueError, "tile extents must be at least 1 and scales positive");
            return false;
        }
        job.tile_extent[a] = tile[a];
        job.extent[a] = static_cast<int32_t>(dims[3 - a]);
        job.values_begin[a] = static_cast<int32_t>(at[a]);
        job.values_extent[a] = static_cast<int32_t>(value_dims[3 - a]);
    }
    if (blending < 0 || blending > 3) {
        PyErr_Format(PyExc_ValueError, "blending must be 0 (cosine), 1 (linear), 2 (average) or 3 (maximum), got %d",
                     blending);
        return false;
    }
    job.blending = static_cast<tile_blending>(blending);
    job.sums = static_cast<double *>(PyArray_DATA(sum_array));
    job.values = static_cast<const double *>(PyArray_DATA(value_array));
    job.weights = static_cast<double *>(PyArray_DATA(weight_array));
    job.volumes = dims[0];
    return true;
}

}  // namespace

bool prepare_blend(PyObject *args, tile_blend_job &job)
{
    if (!numpy_api_ready()) {
        return false;
    }
    PyObject *sums, *weights, *values;
    long long origin[3], at[3], tile[3];
    double *m = job.matrix;
    int blending;
    if (!PyArg_ParseTuple(args, "OOO(LLL)(LLL)(dddddddddddd)(LLL)(ddd)i:blend_tile", &sums, &weights, &values,
                          &origin[2], &origin[1], &origin[0], &at[2], &at[1], &at[0], &m[0], &m[1], &m[2], &m[3], &m[4],
                          &m[5], &m[6], &m[7], &m[8], &m[9], &m[10], &m[11], &tile[2], &tile[1], &tile[0],
                          &job.scale[0], &job.scale[1], &job.scale[2], &blending)) {
        return false;
    }
    for (int a = 0; a < 3; ++a) {
        job.origin[a] = origin[a];
    }
    return checked_blend(sums, weights, values, at, tile, blending, job);
}

bool prepare_blend_at(PyObject *args, tile_blend_job &job)
{
    if (!numpy_api_ready()) {
        return false;
    }
    PyObject *sums, *weights, *values, *positions;
    long long at[3], tile[3];
    int blending;
    if (!PyArg_ParseTuple(args, "OOO(LLL)O(LLL)(ddd)i:blend_tile_at", &sums, &weights, &values, &at[2], &at[1], &at[0],
                          &positions, &tile[2], &tile[1], &tile[0], &job.scale[0], &job.scale[1], &job.scale[2],
                          &blending)) {
        return false;
    }
    if (!checked_blend(sums, weights, values, at, tile, blending, job)) {
        return false;
    }
    PyArrayObject *position_array = reinterpret_cast<PyArrayObject *>(positions);
    if (!is_float64_block(positions, 4, false) || PyArray_DIMS(position_array)[0] != 3
        || PyArray_DIMS(position_array)[1] != job.values_extent[2]
        || PyArray_DIMS(position_array)[2] != job.values_extent[1]
        || PyArray_DIMS(position_array)[3] != job.values_extent[0]) {
        PyErr_SetString(PyExc_ValueError,
                        "positions must be a C-contiguous, aligned, native float64 array (3, z, y, x) of the values' "
                        "box");
        return false;
    }
    job.positions = static_cast<const double *>(PyArray_DATA(position_array));
    return true;
}

bool prepare_positions(PyObject *args, chain_positions_job &job, std::vector<position_step> &steps)
{
    if (!numpy_api_ready()) {
        return false;
    }
    PyObject *positions, *chain;
    long long origin[3];
    double *os = job.output_spacing, *s = job.spacing;
    if (!PyArg_ParseTuple(args, "OO!(LLL)(ddd)(ddd):chain_positions", &positions, &PyTuple_Type, &chain, &origin[2],
                          &origin[1], &origin[0], &os[0], &os[1], &os[2], &s[0], &s[1], &s[2])) {
        return false;
    }
    PyArrayObject *array = reinterpret_cast<PyArrayObject *>(positions);
    if (!is_float64_block(positions, 4, true) || PyArray_DIMS(array)[0] != 3) {
        PyErr_SetString(PyExc_ValueError,
                        "positions must be a C-contiguous, aligned, native, writeable float64 array (3, z, y, x)");
        return false;
    }
    const Py_ssize_t length = PyTuple_GET_SIZE(chain);
    if (length < 1 || length > 1024) {
        PyErr_SetString(PyExc_ValueError, "steps must hold from 1 to 1024 steps");
        return false;
    }
    steps.assign(static_cast<size_t>(length), position_step{});
    for (Py_ssize_t i = 0; i < length; ++i) {
        PyObject *item = PyTuple_GET_ITEM(chain, i);
        double *m = steps[i].matrix;
        const bool matrix = PyTuple_Check(item) && PyTuple_GET_SIZE(item) == 12;
        if (matrix) {
            if (!PyArg_ParseTuple(item, "dddddddddddd", &m[0], &m[1], &m[2], &m[3], &m[4], &m[5], &m[6], &m[7], &m[8],
                                  &m[9], &m[10], &m[11])) {
                return false;
            }
        } else if (i == 0 || !PyTuple_Check(item) || !read_field(item, steps[i].field)) {
            if (!PyErr_Occurred()) {
                PyErr_SetString(PyExc_ValueError,
                                "each step must be a matrix of 12 floats or a field (data, origin, spacing), the first "
                                "a matrix");
            }
            return false;
        }
    }
    for (int a = 0; a < 3; ++a) {
        if (!(os[a] > 0.0) || !(s[a] > 0.0)) {
            PyErr_SetString(PyExc_ValueError, "output_spacing and spacing must be positive");
            return false;
        }
        const npy_intp n = PyArray_DIMS(array)[3 - a];
        if (n > INT32_MAX) {
            PyErr_SetString(PyExc_ValueError, "the block is too large");
            return false;
        }
        job.extent[a] = static_cast<int32_t>(n);
        job.origin[a] = origin[a];
    }
    job.steps = steps.data();
    job.length = static_cast<int32_t>(length);
    job.positions = static_cast<double *>(PyArray_DATA(array));
    return true;
}

bool prepare_finish(PyObject *args, blend_finish_job &job)
{
    if (!numpy_api_ready()) {
        return false;
    }
    PyObject *sums, *weights, *result;
    const char *fill;
    Py_ssize_t fill_size;
    int code, maximum;
    if (!PyArg_ParseTuple(args, "OOOy#ip:finish_blend", &sums, &weights, &result, &fill, &fill_size, &code, &maximum)) {
        return false;
    }
    const element_type type = static_cast<element_type>(code);
    if (code < 0 || code > static_cast<int>(element_type::float64) || !voxwarp::blends_write(type)) {
        PyErr_Format(PyExc_ValueError, "result_type %d is not a type a blend writes", code);
        return false;
    }
    if (!is_float64_block(sums, 4, false) || !is_float64_block(weights, 3, false) || !PyArray_Check(result)) {
        PyErr_SetString(PyExc_ValueError, "sums (rank 4) and weights (rank 3) must be C-contiguous native float64");
        return false;
    }
    PyArrayObject *sum_array = reinterpret_cast<PyArrayObject *>(sums);
    PyArrayObject *weight_array = reinterpret_cast<PyArrayObject *>(weights);
    PyArrayObject *result_array = reinterpret_cast<PyArrayObject *>(result);
    const size_t size = element_size_of(type);
    if (!PyArray_SAMESHAPE(sum_array, result_array) || !PyArray_ISCARRAY(result_array)
        || !PyArray_ISNOTSWAPPED(result_array) || static_cast<size_t>(PyArray_ITEMSIZE(result_array)) != size
        || static_cast<size_t>(fill_size) != size
        || PyArray_SIZE(weight_array) * PyArray_DIMS(sum_array)[0] != PyArray_SIZE(sum_array)) {
        PyErr_SetString(PyExc_ValueError,
                        "result must be a C-contiguous, writeable, native array of the sums' shape and the "
                        "result type's size, fill one element, weights one volume of the sums");
        return false;
    }
    job.sums = static_cast<const double *>(PyArray_DATA(sum_array));
    job.weights = static_cast<const double *>(PyArray_DATA(weight_array));
    job.result = PyArray_DATA(result_array);
    job.volumes = PyArray_DIMS(sum_array)[0];
    job.voxels = PyArray_SIZE(weight_array);
    job.result_type = type;
    job.fill = fill;
    job.maximum = maximum != 0;
    return true;
}

PyObject *tile_cover_of(PyObject *args)
{
    tile_blend_job job{};
    long long origin[3], shape[3], tile[3];
    double *m = job.matrix;
    if (!PyArg_ParseTuple(args, "(LLL)(LLL)(dddddddddddd)(LLL):tile_cover", &origin[2], &origin[1], &origin[0],
                          &shape[2], &shape[1], &shape[0], &m[0], &m[1], &m[2], &m[3], &m[4], &m[5], &m[6], &m[7],
                          &m[8], &m[9], &m[10], &m[11], &tile[2], &tile[1], &tile[0])) {
        return nullptr;
    }
    for (int a = 0; a < 3; ++a) {
        if (shape[a] < 1 || shape[a] > INT32_MAX || tile[a] < 1) {
            PyErr_SetString(PyExc_ValueError, "block and tile extents must be at least 1, the block's below 2**31");
            return nullptr;
        }
        job.origin[a] = origin[a];
        job.extent[a] = static_cast<int32_t>(shape[a]);
        job.tile_extent[a] = tile[a];
    }
    int32_t begin[3], end[3];
    PyThreadState *state = PyEval_SaveThread();
    const bool any = tile_cover(job, begin, end);
    PyEval_RestoreThread(state);
    if (!any) {
        Py_RETURN_NONE;
    }
    return Py_BuildValue("((ii)(ii)(ii))", begin[2], end[2], begin[1], end[1], begin[0], end[0]);
}
