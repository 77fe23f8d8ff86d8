/* Native side of the fill benchmark and of the callgrind aid.
 *
 * Every loop walks a list of instances and gives instance i the counts
 * (m, 1, m + 2, m + 3) with m = i & 0x7f, the same values the table loop in
 * concordix_fill.cpp stores, so the harness can check that each loop really
 * filled what it claims before it times anything. */
#define PY_SSIZE_T_CLEAN
#include "member_counts.h"

#if defined(__has_include)
#if __has_include(<valgrind/callgrind.h>)
#include <valgrind/callgrind.h>
#define BENCH_HAVE_CALLGRIND 1
#endif
#endif

#define VALUE_COUNT 131

/* Interned names and prebuilt values keep the setattr loop down to the
 * attribute protocol itself: no string hashing, no int boxing per store. */
static PyObject *attr_names[4];
static PyObject *values[VALUE_COUNT];

static PyObject *
setattr_fill(PyObject *self, PyObject *seq)
{
    Py_ssize_t i, n;
    (void)self;
    if (!PyList_Check(seq)) {
        PyErr_SetString(PyExc_TypeError, "setattr_fill expects a list");
        return NULL;
    }
    n = PyList_GET_SIZE(seq);
    for (i = 0; i < n; i++) {
        PyObject *item = PyList_GET_ITEM(seq, i);
        long m = (long)(i & 0x7f);
        if (PyObject_SetAttr(item, attr_names[0], values[m]) < 0 ||
            PyObject_SetAttr(item, attr_names[1], values[1]) < 0 ||
            PyObject_SetAttr(item, attr_names[2], values[m + 2]) < 0 ||
            PyObject_SetAttr(item, attr_names[3], values[m + 3]) < 0)
            return NULL;
    }
    Py_RETURN_NONE;
}

static PyObject *
member_direct_fill(PyObject *self, PyObject *args)
{
    PyTypeObject *type;
    PyObject *seq;
    Py_ssize_t i, n;
    (void)self;
    if (!PyArg_ParseTuple(args, "O!O!:member_direct_fill", &PyType_Type,
                          &type, &PyList_Type, &seq))
        return NULL;
    /* The stores below trust MemberCountsObject's layout; refuse any type
     * whose size says it is something else rather than corrupt memory. */
    if (type->tp_basicsize != (Py_ssize_t)sizeof(MemberCountsObject)) {
        PyErr_SetString(PyExc_TypeError, "not the PyMemberDef reference type");
        return NULL;
    }
    n = PyList_GET_SIZE(seq);
    for (i = 0; i < n; i++) {
        PyObject *item = PyList_GET_ITEM(seq, i);
        MemberCountsObject *c = (MemberCountsObject *)item;
        int m = (int)(i & 0x7f);
        if (Py_TYPE(item) != type) {
            PyErr_SetString(PyExc_TypeError, "list holds a foreign instance");
            return NULL;
        }
        c->matching = m;
        c->nonMatching = 1;
        c->nonMissing = m + 2;
        c->total = m + 3;
    }
    Py_RETURN_NONE;
}

/* Lets "--callgrind-loop" count only the timed loop: the harness starts
 * valgrind with --collect-atstart=no and flips collection around the loop. */
static PyObject *
callgrind_toggle(PyObject *self, PyObject *unused)
{
    (void)self;
    (void)unused;
#ifdef BENCH_HAVE_CALLGRIND
    CALLGRIND_TOGGLE_COLLECT;
    Py_RETURN_TRUE;
#else
    Py_RETURN_FALSE;
#endif
}

static PyObject *
running_on_valgrind(PyObject *self, PyObject *unused)
{
    (void)self;
    (void)unused;
#ifdef BENCH_HAVE_CALLGRIND
    return PyBool_FromLong(RUNNING_ON_VALGRIND);
#else
    Py_RETURN_FALSE;
#endif
}

static PyMethodDef fill_methods[] = {
    {"setattr_fill", setattr_fill, METH_O,
     "Four PyObject_SetAttr calls per instance of the list."},
    {"member_direct_fill", member_direct_fill, METH_VARARGS,
     "Direct field stores into instances of the PyMemberDef reference type."},
    {"callgrind_toggle", callgrind_toggle, METH_NOARGS,
     "Toggle callgrind collection; False when built without valgrind headers."},
    {"running_on_valgrind", running_on_valgrind, METH_NOARGS, NULL},
    {NULL, NULL, 0, NULL},
};

static struct PyModuleDef fill_module = {
    PyModuleDef_HEAD_INIT, "_bench_fill", NULL, -1, fill_methods,
};

PyMODINIT_FUNC
PyInit__bench_fill(void)
{
    static const char *names[4] = {"matching", "nonMatching", "nonMissing",
                                   "total"};
    int i;
    for (i = 0; i < 4; i++) {
        attr_names[i] = PyUnicode_InternFromString(names[i]);
        if (attr_names[i] == NULL)
            return NULL;
    }
    for (i = 0; i < VALUE_COUNT; i++) {
        values[i] = PyLong_FromLong(i);
        if (values[i] == NULL)
            return NULL;
    }
    return PyModule_Create(&fill_module);
}
