#include "arrays/arrays.h"

#include "arrays/float_buffer.h"
#include "kernel/element_types.h"
#include "kernel/truncate.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

constexpr int max_axes = 4;

// A strided array reduced to the fewest axes that visit its elements in the
// same C order; a contiguous array becomes one long row.
struct strided_view {
    char *data;
    int naxes;
    npy_intp dims[max_axes];
    npy_intp strides[max_axes];
};

strided_view simplify(char *data, int naxes, const npy_intp *dims, const npy_intp *strides)
{
    strided_view view{data, 0, {}, {}};
    for (int axis = 0; axis < naxes; ++axis) {
        if (dims[axis] == 1) {
            continue;  // its stride is never taken
        }
        if (view.naxes > 0) {
            const int outer = view.naxes - 1;
            // Unsigned product: wraps instead of overflowing for absurd strides.
            const auto inner_extent = static_cast<uint64_t>(dims[axis]) * static_cast<uint64_t>(strides[axis]);
            if (static_cast<uint64_t>(view.strides[outer]) == inner_extent) {
                view.dims[outer] *= dims[axis];
                view.strides[outer] = strides[axis];
                continue;
            }
        }
        view.dims[view.naxes] = dims[axis];
        view.strides[view.naxes] = strides[axis];
        ++view.naxes;
    }
    return view;
}

// Calls row(start, length, stride) for each innermost row of a non-empty view,
// in C order of the outer indices.
template <typename RowFn>
void for_each_row(const strided_view &view, RowFn &&row)
{
    if (view.naxes == 0) {
        row(view.data, npy_intp{1}, npy_intp{0});
        return;
    }
    const int inner = view.naxes - 1;
    npy_intp index[max_axes] = {};
    for (;;) {
        npy_intp offset = 0;
        for (int axis = 0; axis < inner; ++axis) {
            offset += index[axis] * view.strides[axis];
        }
        row(view.data + offset, view.dims[inner], view.strides[inner]);
        int axis = inner - 1;
        while (axis >= 0 && ++index[axis] == view.dims[axis]) {
            index[axis] = 0;
            --axis;
        }
        if (axis < 0) {
            return;
        }
    }
}

template <typename T>
T byte_swapped(T value)
{
    unsigned char bytes[sizeof(T)];
    std::memcpy(bytes, &value, sizeof(T));
    std::reverse(bytes, bytes + sizeof(T));
    std::memcpy(&value, bytes, sizeof(T));
    return value;
}

// Elements may sit at any byte address and in either byte order.
template <typename T, bool Swapped>
T load(const char *address)
{
    T value;
    std::memcpy(&value, address, sizeof(T));
    if constexpr (Swapped) {
        value = byte_swapped(value);
    }
    return value;
}

template <typename T, bool Swapped>
void store(char *address, T value)
{
    if constexpr (Swapped) {
        value = byte_swapped(value);
    }
    std::memcpy(address, &value, sizeof(T));
}

// Element types read into floats. `stored` is the element's representation;
// floats travel as bits so that NaN payloads survive untouched.
struct from_uint8 {
    using stored = uint8_t;
    static void convert(stored value, float *out) { *out = static_cast<float>(value); }
};
struct from_int16 {
    using stored = int16_t;
    static void convert(stored value, float *out) { *out = static_cast<float>(value); }
};
struct from_int32 {
    using stored = int32_t;
    static void convert(stored value, float *out) { *out = static_cast<float>(value); }
};
// Integers of 64 bits, and of 32 unsigned, are rounded once to the nearest
// float, as the kernel reads them in place.
using voxwarp::nearest_float;

// numpy's `long` is as wide as C's; it is rounded to float directly.
struct from_long {
    using stored = long;
    static void convert(stored value, float *out) { *out = nearest_float(static_cast<int64_t>(value)); }
};
// Parameters that are 64-bit integers pass through a double first: two
// roundings, on purpose.
struct from_int64_via_double {
    using stored = long long;
    static void convert(stored value, float *out)
    {
        const double wide = static_cast<double>(value);
        *out = static_cast<float>(wide);
    }
};
// Images of every other integer type are rounded once.
struct from_int64 {
    using stored = long long;
    static void convert(stored value, float *out) { *out = nearest_float(static_cast<int64_t>(value)); }
};
struct from_uint64 {
    using stored = unsigned long long;
    static void convert(stored value, float *out) { *out = nearest_float(static_cast<uint64_t>(value)); }
};
struct from_ulong {
    using stored = unsigned long;
    static void convert(stored value, float *out) { *out = nearest_float(static_cast<uint64_t>(value)); }
};
struct from_uint32 {
    using stored = uint32_t;
    static void convert(stored value, float *out) { *out = nearest_float(uint64_t{value}); }
};
struct from_int8 {
    using stored = int8_t;
    static void convert(stored value, float *out) { *out = static_cast<float>(value); }
};
struct from_uint16 {
    using stored = uint16_t;
    static void convert(stored value, float *out) { *out = static_cast<float>(value); }
};
// numpy stores a bool as one byte, 0 or 1.
struct from_bool {
    using stored = uint8_t;
    static void convert(stored value, float *out) { *out = value != 0 ? 1.0f : 0.0f; }
};
// IEEE half precision widened exactly; a NaN keeps its sign and payload.
struct from_float16 {
    using stored = uint16_t;
    static void convert(stored half, float *out) { *out = voxwarp::float_of_half(half); }
};
struct from_float32 {
    using stored = uint32_t;
    static void convert(stored bits, float *out) { std::memcpy(out, &bits, sizeof bits); }
};
struct from_float64 {
    using stored = uint64_t;
    static void convert(stored bits, float *out)
    {
        double value;
        std::memcpy(&value, &bits, sizeof value);
        *out = static_cast<float>(value);
    }
};

// Element types written from floats.
struct to_uint8 {
    using stored = uint8_t;
    static stored convert(const float *in)
    {
        return static_cast<stored>(static_cast<uint32_t>(truncate_to_int32(*in)));
    }
};
struct to_int16 {
    using stored = uint16_t;  // the low 16 bits of the truncated value
    static stored convert(const float *in)
    {
        return static_cast<stored>(static_cast<uint32_t>(truncate_to_int32(*in)));
    }
};
struct to_int32 {
    using stored = int32_t;
    static stored convert(const float *in) { return truncate_to_int32(*in); }
};
// A 64-bit `long` holds what a 32-bit one would, sign-extended.
struct to_long {
    using stored = long;
    static stored convert(const float *in) { return truncate_to_int32(*in); }
};
struct to_float32 {
    using stored = uint32_t;
    static stored convert(const float *in)
    {
        stored bits;
        std::memcpy(&bits, in, sizeof bits);
        return bits;
    }
};
struct to_float64 {
    using stored = double;
    static stored convert(const float *in) { return static_cast<double>(*in); }
};

template <typename From, bool Swapped>
void import_view(const strided_view &view, float *out)
{
    using stored = typename From::stored;
    for_each_row(view, [&out](const char *row, npy_intp length, npy_intp stride) {
        if (stride == static_cast<npy_intp>(sizeof(stored))) {
            for (npy_intp i = 0; i < length; ++i) {
                From::convert(load<stored, Swapped>(row + i * static_cast<npy_intp>(sizeof(stored))), out + i);
            }
        } else {
            for (npy_intp i = 0; i < length; ++i) {
                From::convert(load<stored, Swapped>(row + i * stride), out + i);
            }
        }
        out += length;
    });
}

template <typename To, bool Swapped>
void export_view(const float *in, const strided_view &view)
{
    using stored = typename To::stored;
    for_each_row(view, [&in](char *row, npy_intp length, npy_intp stride) {
        if (stride == static_cast<npy_intp>(sizeof(stored))) {
            for (npy_intp i = 0; i < length; ++i) {
                store<stored, Swapped>(row + i * static_cast<npy_intp>(sizeof(stored)), To::convert(in + i));
            }
        } else {
            for (npy_intp i = 0; i < length; ++i) {
                store<stored, Swapped>(row + i * stride, To::convert(in + i));
            }
        }
        in += length;
    });
}

template <typename From>
void import_as(const strided_view &view, bool swapped, float *out)
{
    if (swapped) {
        import_view<From, true>(view, out);
    } else {
        import_view<From, false>(view, out);
    }
}

template <typename To>
void export_as(const float *in, const strided_view &view, bool swapped)
{
    if (swapped) {
        export_view<To, true>(in, view);
    } else {
        export_view<To, false>(in, view);
    }
}

// Which element types an importer reads.
enum class accepted_types {
    image,      // uint8, int16, int32, long, float32, float64
    parameter,  // those and signed 64-bit, through a double
    any_real,   // every boolean, integer and floating type up to 64 bits
};

// The element type is looked at once per array, never per element.
bool import_by_type(int type_num, accepted_types accepted, const strided_view &view, bool swapped, float *out)
{
    switch (type_num) {
    case NPY_UBYTE: import_as<from_uint8>(view, swapped, out); return true;
    case NPY_SHORT: import_as<from_int16>(view, swapped, out); return true;
    case NPY_INT: import_as<from_int32>(view, swapped, out); return true;
    case NPY_LONG: import_as<from_long>(view, swapped, out); return true;
    case NPY_FLOAT: import_as<from_float32>(view, swapped, out); return true;
    case NPY_DOUBLE: import_as<from_float64>(view, swapped, out); return true;
    case NPY_LONGLONG:
        if (accepted == accepted_types::parameter) {
            import_as<from_int64_via_double>(view, swapped, out);
            return true;
        }
        break;
    default: break;
    }
    if (accepted != accepted_types::any_real) {
        return false;
    }
    switch (type_num) {
    case NPY_BOOL: import_as<from_bool>(view, swapped, out); return true;
    case NPY_BYTE: import_as<from_int8>(view, swapped, out); return true;
    case NPY_USHORT: import_as<from_uint16>(view, swapped, out); return true;
    case NPY_UINT: import_as<from_uint32>(view, swapped, out); return true;
    case NPY_ULONG: import_as<from_ulong>(view, swapped, out); return true;
    case NPY_LONGLONG: import_as<from_int64>(view, swapped, out); return true;
    case NPY_ULONGLONG: import_as<from_uint64>(view, swapped, out); return true;
    case NPY_HALF: import_as<from_float16>(view, swapped, out); return true;
    default: return false;
    }
}

bool export_by_type(int type_num, const float *in, const strided_view &view, bool swapped)
{
    switch (type_num) {
    case NPY_UBYTE: export_as<to_uint8>(in, view, swapped); return true;
    case NPY_SHORT: export_as<to_int16>(in, view, swapped); return true;
    case NPY_INT: export_as<to_int32>(in, view, swapped); return true;
    case NPY_LONG: export_as<to_long>(in, view, swapped); return true;
    case NPY_FLOAT: export_as<to_float32>(in, view, swapped); return true;
    case NPY_DOUBLE: export_as<to_float64>(in, view, swapped); return true;
    default: return false;
    }
}

bool is_byte_swapped(PyArrayObject *array)
{
    return !PyArray_ISNBO(PyArray_DESCR(array)->byteorder);
}

// Product of the first `naxes` lengths, or -1 when it does not fit.
npy_intp element_count(const npy_intp *dims, int naxes)
{
    for (int axis = 0; axis < naxes; ++axis) {
        if (dims[axis] == 0) {
            return 0;
        }
    }
    npy_intp count = 1;
    for (int axis = 0; axis < naxes; ++axis) {
        if (count > NPY_MAX_INTP / dims[axis]) {
            return -1;
        }
        count *= dims[axis];
    }
    return count;
}

float *array2floats(PyArrayObject *array, int naxes, accepted_types accepted, const char *allocation_message,
                    const char *conversion_message)
{
    const npy_intp *dims = PyArray_DIMS(array);
    const npy_intp count = element_count(dims, naxes);
    // A byte size that does not fit size_t could only be allocated short.
    if (count < 0 || static_cast<uint64_t>(count) > SIZE_MAX / sizeof(float) - 1) {
        PyErr_SetString(PyExc_MemoryError, allocation_message);
        return nullptr;
    }
    float *buffer = allocate_float_buffer(static_cast<size_t>(count));
    if (buffer == nullptr) {
        PyErr_SetString(PyExc_MemoryError, allocation_message);
        return nullptr;
    }
    if (count == 0) {
        return buffer;  // the element type is never looked at
    }
    const strided_view view = simplify(PyArray_BYTES(array), naxes, dims, PyArray_STRIDES(array));
    if (!import_by_type(PyArray_DESCR(array)->type_num, accepted, view, is_byte_swapped(array), buffer)) {
        std::free(buffer);
        PyErr_SetString(PyExc_ValueError, conversion_message);
        return nullptr;
    }
    return buffer;
}

int floats2array(const float *buffer, PyArrayObject *array, int naxes)
{
    const npy_intp *dims = PyArray_DIMS(array);
    if (element_count(dims, naxes) == 0) {
        return 0;  // nothing to write, whatever the element type
    }
    const strided_view view = simplify(PyArray_BYTES(array), naxes, dims, PyArray_STRIDES(array));
    return export_by_type(PyArray_DESCR(array)->type_num, buffer, view, is_byte_swapped(array)) ? 0 : 1;
}

}  // namespace

float *array2float(PyArrayObject *array)
{
    return array2floats(array, 1, accepted_types::parameter, "Failed to allocate memory in array2float",
                        "Failed to convert to FLOAT");
}

float *array2float3d(PyArrayObject *array)
{
    return array2floats(array, 3, accepted_types::image, "Failed to allocate memory in array2float3d",
                        "Failed to convert to FLOAT 3D");
}

float *array2float4d(PyArrayObject *array)
{
    return array2floats(array, 4, accepted_types::image, "Failed to allocate memory in array2float4d",
                        "Failed to convert to FLOAT 4D");
}

float *anyarray2float4d(PyArrayObject *array)
{
    return array2floats(array, 4, accepted_types::any_real, "Failed to allocate memory in anyarray2float4d",
                        "Failed to convert to FLOAT 4D");
}

int float2array3d(const float *buffer, PyArrayObject *array)
{
    return floats2array(buffer, array, 3);
}

int float2array4d(const float *buffer, PyArrayObject *array)
{
    return floats2array(buffer, array, 4);
}
