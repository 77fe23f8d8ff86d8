#ifndef VORLUNDPYTHON_CONCORDIX_H
#define VORLUNDPYTHON_CONCORDIX_H
#include <Python.h>
#include <stdint.h>
typedef struct ConcordixObject { PyObject_HEAD struct CountsVTable *vtable;
    int32_t matching;
    int32_t nonMatching;
    int32_t nonMissing;
    int32_t total;
} ConcordixObject;

/*
 * Declarations for native modules that fill vorlundpython.Concordix.Concordix
 * instances; valid C11 and C++.
 *
 * Lines 6 to 9 above declare the four counts. Traceback entries of the count
 * accessors cite those lines, so they stay where they are.
 *
 * Typical use, with the GIL held:
 *
 *     static CountsVTable *concordix_table;   // fetched once
 *     ...
 *     concordix_table = Concordix_ImportCountsVTable();
 *     if (concordix_table == NULL) return NULL;
 *     ...
 *     TallyRecord record = {matches, total, non_missing, non_matches};
 *     PyObject *none = concordix_table->set_counts((ConcordixObject *)obj, record);
 *     Py_DECREF(none);
 *
 * Every instance also carries the same table in its `vtable` field.
 */

/* The record that set_counts copies into an instance, bit for bit. Its field
 * order is not the instance's. */
typedef struct TallyRecord {
    int32_t matchingCount;
    int32_t totalCount;
    int32_t nonMissingCount;
    int32_t nonMatchingCount;
} TallyRecord;

/* The class's C-level method table. set_counts stores all four counts with
 * no conversion and no checks (the caller guarantees that `self` is a
 * Concordix instance or an instance of a subclass) and returns a new
 * reference to None; it cannot fail. Call it with the GIL held. */
typedef struct CountsVTable {
    PyObject *(*set_counts)(ConcordixObject *self, TallyRecord record);
} CountsVTable;

/* Imports vorlundpython.Concordix and returns the class's CountsVTable, which
 * lives as long as the process. Returns NULL with a Python exception set when
 * the module or the class cannot be found, or when the class does not publish
 * the expected nameless capsule under __pyx_vtable__. Call it with the GIL
 * held, typically once from the consumer's own module initialisation. */
static inline CountsVTable *Concordix_ImportCountsVTable(void)
{
    PyObject *module, *cls, *capsule;
    CountsVTable *table = NULL;

    module = PyImport_ImportModule("vorlundpython.Concordix");
    if (module == NULL)
        return NULL;
    cls = PyObject_GetAttrString(module, "Concordix");
    Py_DECREF(module);
    if (cls == NULL)
        return NULL;
    if (!PyType_Check(cls)) {
        PyErr_Format(PyExc_TypeError,
                     "vorlundpython.Concordix.Concordix is not a class but %.200s",
                     Py_TYPE(cls)->tp_name);
        Py_DECREF(cls);
        return NULL;
    }
    capsule = PyObject_GetAttrString(cls, "__pyx_vtable__");
    Py_DECREF(cls);
    if (capsule == NULL)
        return NULL;
    /* The table is published without a capsule name: a capsule that carries
     * one, or any other object, is not the table this header describes. */
    if (PyCapsule_IsValid(capsule, NULL))
        table = (CountsVTable *)PyCapsule_GetPointer(capsule, NULL);
    else
        PyErr_SetString(PyExc_TypeError,
                        "vorlundpython.Concordix.Concordix.__pyx_vtable__ is not "
                        "the nameless capsule of a CountsVTable");
    Py_DECREF(capsule);
    return table;
}

#endif /* VORLUNDPYTHON_CONCORDIX_H */
