#include "bindings/engine_codes.h"

#include "kernel/element_types.h"
#include "kernel/resample_job.h"
#include "kernel/result_types.h"
#include "kernel/tile_blend.h"

namespace {

struct named_code {
    const char *name;
    int code;
};

template <typename Enum>
constexpr named_code code_of(const char *name, Enum value)
{
    return {name, static_cast<int>(value)};
}

// The methods under the package's names; "transform" is the edge rule that keeps
// transform's bands, and "max" the blending that keeps each voxel's largest value.
constexpr named_code method_codes[] = {
    code_of("linear", interpolation::linear), code_of("nearest", interpolation::nearest),
    code_of("label", interpolation::label),   code_of("lanczos", interpolation::lanczos),
    code_of("cubic", interpolation::cubic),
};
constexpr named_code edge_rule_codes[] = {code_of("transform", edge_rule::bands), code_of("clamp", edge_rule::clamp)};
constexpr named_code blending_codes[] = {
    code_of("cosine", tile_blending::cosine),
    code_of("linear", tile_blending::linear),
    code_of("average", tile_blending::average),
    code_of("max", tile_blending::maximum),
};
// Every element type under numpy's name; the result types are those a blend writes.
constexpr named_code element_codes[] = {
    code_of("float32", element_type::float32), code_of("bool", element_type::boolean),
    code_of("int8", element_type::int8),       code_of("uint8", element_type::uint8),
    code_of("int16", element_type::int16),     code_of("uint16", element_type::uint16),
    code_of("int32", element_type::int32),     code_of("uint32", element_type::uint32),
    code_of("int64", element_type::int64),     code_of("uint64", element_type::uint64),
    code_of("float16", element_type::float16), code_of("float64", element_type::float64),
};

// Adds the dict `name` of the codes that `keep` accepts; the module steals the reference.
template <size_t count, typename Keep>
bool add_codes(PyObject *module, const char *name, const named_code (&codes)[count], Keep keep)
{
    PyObject *table = PyDict_New();
    if (table == nullptr) {
        return false;
    }
    for (const named_code &entry : codes) {
        if (!keep(entry)) {
            continue;
        }
        PyObject *code = PyLong_FromLong(entry.code);
        const bool added = code != nullptr && PyDict_SetItemString(table, entry.name, code) == 0;
        Py_XDECREF(code);
        if (!added) {
            Py_DECREF(table);
            return false;
        }
    }
    if (PyModule_AddObject(module, name, table) < 0) {
        Py_DECREF(table);
        return false;
    }
    return true;
}

bool every(const named_code &)
{
    return true;
}

bool written_by_blends(const named_code &entry)
{
    return voxwarp::blends_write(static_cast<element_type>(entry.code));
}

}  // namespace

bool add_engine_codes(PyObject *module)
{
    return add_codes(module, "METHOD_CODES", method_codes, every)
           && add_codes(module, "EDGE_RULE_CODES", edge_rule_codes, every)
           && add_codes(module, "RESULT_TYPE_CODES", element_codes, written_by_blends)
           && add_codes(module, "BLENDING_CODES", blending_codes, every);
}
