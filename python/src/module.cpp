// Module definition and the registration step.
#include "classes.h"

#include "index/rank.h"
#include "kernels/dispatch.h"

namespace kwivel::py {

namespace {

// Appends `name` to the module's __all__ (creating the list on first use)
// and sets the attribute.  Steals `value`.
void add_public(PyObject* module, const char* name, PyObject* value) {
    Ref owned(value);
    if (!value) raise_current();
    Ref all(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) raise_current();
        PyErr_Clear();
        all = Ref(PyList_New(0));
        if (!all || PyObject_SetAttrString(module, "__all__", all.get()) != 0) raise_current();
    } else if (!PyList_Check(all.get())) {
        raise(PyExc_TypeError, "__all__ must be a list");
    }
    Ref key(PyUnicode_FromString(name));
    if (!key || PyList_Append(all.get(), key.get()) != 0) raise_current();
    if (PyObject_SetAttrString(module, name, value) != 0) raise_current();
}

// Heap types are created once per process and shared by every module object.
PyObject* type_once(PyType_Spec& spec, PyObject*& slot) {
    if (!slot) {
        slot = PyType_FromSpec(&spec);
        if (!slot) raise_current();
    }
    Py_INCREF(slot);
    return slot;
}

struct ClassEntry {
    const char* name;
    PyType_Spec* type_spec;
    PyObject* type;
};

ClassEntry classes[] = {
    {"Rank", &rank_spec, nullptr},
    {"RankQuant", &rank_quant_spec, nullptr},
    {"Bitmap", &bitmap_spec, nullptr},
    {"SignBitmap", &sign_bitmap_spec, nullptr},
};

int module_exec(PyObject* module) {
    if (import_numpy() < 0) return -1;
    if (!panic_exception()) return -1;
    PyObject* result = guarded([&]() -> PyObject* {
        // A bad KWIVEL_MAX_TIER is reported here, once, not at the first search.
        (void)active_tier();
        for (ClassEntry& c : classes) add_public(module, c.name, type_once(*c.type_spec, c.type));
        PyObject* module_name = PyModule_GetNameObject(module);
        if (!module_name) raise_current();
        Ref name_ref(module_name);
        for (PyMethodDef* def = module_functions; def->ml_name; ++def)
            add_public(module, def->ml_name, PyCFunction_NewEx(def, module, module_name));
        add_public(module, "MAX_DIM", PyLong_FromSize_t(MAX_DIM));
        add_public(module, "MAX_SIGN_BITMAP_DIM", PyLong_FromSize_t(MAX_SIGN_BITMAP_DIM));
        add_public(module, "MAX_VECTORS", PyLong_FromSize_t(MAX_VECTORS));
        Py_RETURN_NONE;
    });
    if (!result) return -1;
    Py_DECREF(result);
    return 0;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_kwivel",
    "The native extension module backing the `kwivel` Python package.",
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

}  // namespace kwivel::py

PyMODINIT_FUNC PyInit__kwivel(void) { return PyModuleDef_Init(&kwivel::py::module_def); }
