/*
 * concordance: an example consumer of vorlundpython.Concordix, written only
 * against the installed declarations header (vorlundpython.get_include()).
 *
 * compare(a, b) walks two sequences of equal length and returns a Concordix
 * whose four counts are filled in one call through the class's C-level table.
 * fill() and fill_through_instance() fill an existing instance through the
 * table that the class publishes and through the instance's own pointer.
 */
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <Concordix.h>

static CountsVTable *counts_table; /* from the class's capsule, at import */
static PyObject *concordix_class;  /* owned for the life of the process */

static int
as_count(Py_ssize_t n, int32_t *count)
{
    if (n > INT32_MAX) {
        PyErr_SetString(PyExc_OverflowError, "sequences too long for 32-bit counts");
        return -1;
    }
    *count = (int32_t)n;
    return 0;
}

static PyObject *
compare(PyObject *module, PyObject *args)
{
    PyObject *a, *b, *fa = NULL, *fb = NULL, *result = NULL;
    Py_ssize_t n, i, matches = 0, both_present = 0;
    TallyRecord record;
    (void)module;

    if (!PyArg_ParseTuple(args, "OO:compare", &a, &b))
        return NULL;
    fa = PySequence_Fast(a, "compare() needs two sequences");
    fb = fa ? PySequence_Fast(b, "compare() needs two sequences") : NULL;
    if (fb == NULL)
        goto done;
    n = PySequence_Fast_GET_SIZE(fa);
    if (PySequence_Fast_GET_SIZE(fb) != n) {
        PyErr_Format(PyExc_ValueError, "sequences differ in length: %zd and %zd", n,
                     PySequence_Fast_GET_SIZE(fb));
        goto done;
    }
    for (i = 0; i < n; i++) {
        PyObject *x = PySequence_Fast_GET_ITEM(fa, i);
        PyObject *y = PySequence_Fast_GET_ITEM(fb, i);
        int equal;
        if (x == Py_None || y == Py_None)
            continue; /* missing on either side */
        both_present++;
        equal = PyObject_RichCompareBool(x, y, Py_EQ);
        if (equal < 0)
            goto done;
        matches += equal;
    }
    if (as_count(matches, &record.matchingCount) < 0 || as_count(n, &record.totalCount) < 0 ||
        as_count(both_present, &record.nonMissingCount) < 0 ||
        as_count(both_present - matches, &record.nonMatchingCount) < 0)
        goto done;

    result = PyObject_CallObject(concordix_class, NULL);
    if (result != NULL) {
        PyObject *none = counts_table->set_counts((ConcordixObject *)result, record);
        Py_DECREF(none);
    }
done:
    Py_XDECREF(fa);
    Py_XDECREF(fb);
    return result;
}

/* set_counts checks nothing, so the consumer checks the instance's type. */
static ConcordixObject *
parse_fill_args(PyObject *args, const char *format, TallyRecord *record)
{
    PyObject *target;
    if (!PyArg_ParseTuple(args, format, &target, &record->matchingCount, &record->totalCount,
                          &record->nonMissingCount, &record->nonMatchingCount))
        return NULL;
    if (!PyObject_TypeCheck(target, (PyTypeObject *)concordix_class)) {
        PyErr_Format(PyExc_TypeError, "expected a Concordix instance, not %.200s",
                     Py_TYPE(target)->tp_name);
        return NULL;
    }
    return (ConcordixObject *)target;
}

/* fill(obj, matching, total, nonMissing, nonMatching): through the class's
 * table; returns what set_counts returns. */
static PyObject *
fill(PyObject *module, PyObject *args)
{
    TallyRecord record;
    ConcordixObject *target = parse_fill_args(args, "Oiiii:fill", &record);
    (void)module;
    return target ? counts_table->set_counts(target, record) : NULL;
}

/* fill_through_instance(...): the same through the instance's vtable field. */
static PyObject *
fill_through_instance(PyObject *module, PyObject *args)
{
    TallyRecord record;
    ConcordixObject *target = parse_fill_args(args, "Oiiii:fill_through_instance", &record);
    (void)module;
    return target ? target->vtable->set_counts(target, record) : NULL;
}

/* Whether the instance carries the very table the class publishes. */
static PyObject *
shares_class_table(PyObject *module, PyObject *obj)
{
    (void)module;
    if (!PyObject_TypeCheck(obj, (PyTypeObject *)concordix_class)) {
        PyErr_SetString(PyExc_TypeError, "expected a Concordix instance");
        return NULL;
    }
    return PyBool_FromLong(((ConcordixObject *)obj)->vtable == counts_table);
}

static PyMethodDef concordance_functions[] = {
    {"compare", compare, METH_VARARGS,
     "compare(a, b) -> Concordix: matches, non-matches, entries present in both "
     "(None is missing) and the length of two equal-length sequences."},
    {"fill", fill, METH_VARARGS,
     "fill(obj, matching, total, nonMissing, nonMatching): set all four counts in one call."},
    {"fill_through_instance", fill_through_instance, METH_VARARGS,
     "As fill(), through the instance's own table pointer."},
    {"shares_class_table", shares_class_table, METH_O,
     "shares_class_table(obj) -> whether obj's table is the class's."},
    {NULL, NULL, 0, NULL},
};

static struct PyModuleDef concordance_module = {
    PyModuleDef_HEAD_INIT, "concordance",
    "Example consumer of vorlundpython.Concordix's C-level table.", -1,
    concordance_functions, NULL, NULL, NULL, NULL,
};

PyMODINIT_FUNC
PyInit_concordance(void)
{
    PyObject *concordix_module, *module;
    counts_table = Concordix_ImportCountsVTable();
    if (counts_table == NULL)
        return NULL;
    concordix_module = PyImport_ImportModule("vorlundpython.Concordix");
    if (concordix_module == NULL)
        return NULL;
    Py_XDECREF(concordix_class);
    concordix_class = PyObject_GetAttrString(concordix_module, "Concordix");
    Py_DECREF(concordix_module);
    if (concordix_class == NULL)
        return NULL;
    module = PyModule_Create(&concordance_module);
#ifdef Py_GIL_DISABLED
    /* Free-threaded builds: the module's state is written once, here, so it
     * runs without the GIL; undeclared, importing it would turn the GIL on. */
    if (module != NULL && PyUnstable_Module_SetGIL(module, Py_MOD_GIL_NOT_USED) < 0)
        Py_CLEAR(module);
#endif
    return module;
}
