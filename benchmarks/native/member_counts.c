/* Reference contender: a static type whose four int fields go through
 * PyMemberDef/T_INT, the interpreter's own generic native field access.
 * Nothing here is tuned; it is the baseline any hand-written accessor has to
 * match, so it must stay exactly what a plain C extension would write. */
#define PY_SSIZE_T_CLEAN
#include "member_counts.h"
#include <stddef.h>
#include <structmember.h>

static PyMemberDef MemberCounts_members[] = {
    {"matching", T_INT, offsetof(MemberCountsObject, matching), 0, NULL},
    {"nonMatching", T_INT, offsetof(MemberCountsObject, nonMatching), 0, NULL},
    {"nonMissing", T_INT, offsetof(MemberCountsObject, nonMissing), 0, NULL},
    {"total", T_INT, offsetof(MemberCountsObject, total), 0, NULL},
    {NULL, 0, 0, 0, NULL},
};

static PyTypeObject MemberCountsType = {
    PyVarObject_HEAD_INIT(NULL, 0)
    "_bench_member.Counts", /* tp_name */
    sizeof(MemberCountsObject), /* tp_basicsize */
};

static struct PyModuleDef bench_member_module = {
    PyModuleDef_HEAD_INIT, "_bench_member", NULL, -1, NULL,
};

PyMODINIT_FUNC
PyInit__bench_member(void)
{
    PyObject *m;

    MemberCountsType.tp_flags = Py_TPFLAGS_DEFAULT;
    /* tp_alloc zero-fills, which is exactly the "all four counts are 0"
     * state, so no tp_init is needed and construction stays minimal. */
    MemberCountsType.tp_new = PyType_GenericNew;
    MemberCountsType.tp_members = MemberCounts_members;
    if (PyType_Ready(&MemberCountsType) < 0)
        return NULL;
    m = PyModule_Create(&bench_member_module);
    if (m == NULL)
        return NULL;
    Py_INCREF(&MemberCountsType);
    if (PyModule_AddObject(m, "Counts", (PyObject *)&MemberCountsType) < 0) {
        Py_DECREF(&MemberCountsType);
        Py_DECREF(m);
        return NULL;
    }
    return m;
}
