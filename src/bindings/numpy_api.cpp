// The module's one numpy API table, and the only code that loads it.

#define VOXWARPKIT_NUMPY_API_DEFINITION
#include "bindings/numpy_api.h"

namespace {

// The import machinery costs more than a small call, so when sys.modules
// still holds the very module object that provided the API table last time,
// the table in hand is the one an import would load.
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

}  // namespace

bool numpy_api_ready()
{
    if (numpy_unchanged()) {
        return true;
    }
    // Written out rather than import_array(), whose failure text differs
    // between numpy versions.
    if (_import_array() < 0) {
        PyErr_Print();
        PyErr_SetString(PyExc_ImportError, "numpy.core.multiarray failed to import");
        return false;
    }
    remember_numpy_source();
    return true;
}
