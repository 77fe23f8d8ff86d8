// Table loop of the fill benchmark: one set_counts call per instance through
// the C-level table that the module publishes in its class dict, reached the
// way any consumer reaches it, through the installed Concordix.h.  Built only
// once the package and its header are installed; the values match fill.c's
// loops.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

#include "Concordix.h"

namespace {

PyTypeObject *concordix_type = nullptr;
CountsVTable *table = nullptr;

// Looked up once: the cost of the import and the capsule belongs to setup,
// not to the per-instance figure.  The class itself is kept for the type
// check, which the table leaves to its caller.
int load_table() {
    if (table != nullptr)
        return 0;
    CountsVTable *found = Concordix_ImportCountsVTable();
    if (found == nullptr)
        return -1;
    PyObject *mod = PyImport_ImportModule("vorlundpython.Concordix");
    if (mod == nullptr)
        return -1;
    PyObject *cls = PyObject_GetAttrString(mod, "Concordix");
    Py_DECREF(mod);
    if (cls == nullptr)
        return -1;
    concordix_type = reinterpret_cast<PyTypeObject *>(cls);  // kept for good
    table = found;
    return 0;
}

PyObject *table_fill(PyObject *, PyObject *seq) {
    if (!PyList_Check(seq)) {
        PyErr_SetString(PyExc_TypeError, "table_fill expects a list");
        return nullptr;
    }
    if (load_table() < 0)
        return nullptr;
    Py_ssize_t n = PyList_GET_SIZE(seq);
    for (Py_ssize_t i = 0; i < n; i++) {
        PyObject *item = PyList_GET_ITEM(seq, i);
        // The slot trusts its argument's layout, as any caller of the table
        // must, so the loop pays for the check a real caller would make.
        if (Py_TYPE(item) != concordix_type &&
            !PyType_IsSubtype(Py_TYPE(item), concordix_type)) {
            PyErr_SetString(PyExc_TypeError, "list holds a foreign instance");
            return nullptr;
        }
        std::int32_t m = static_cast<std::int32_t>(i & 0x7f);
        TallyRecord rec;
        rec.matchingCount = m;
        rec.totalCount = m + 3;
        rec.nonMissingCount = m + 2;
        rec.nonMatchingCount = 1;
        PyObject *r = table->set_counts(
            reinterpret_cast<ConcordixObject *>(item), rec);
        if (r == nullptr)
            return nullptr;
        Py_DECREF(r);
    }
    Py_RETURN_NONE;
}

PyMethodDef methods[] = {
    {"table_fill", table_fill, METH_O,
     "One set_counts call through the C-level table per instance."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module = {
    PyModuleDef_HEAD_INIT, "_bench_concordix_fill", nullptr, -1, methods,
    nullptr, nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__bench_concordix_fill(void) {
    return PyModule_Create(&module);
}
