/* Instance layout of the reference contender, shared with the fill extension
 * so that its direct-store loop writes the very fields the type exposes. */
#ifndef BENCH_MEMBER_COUNTS_H
#define BENCH_MEMBER_COUNTS_H

#include <Python.h>

typedef struct {
    PyObject_HEAD
    int matching;
    int nonMatching;
    int nonMissing;
    int total;
} MemberCountsObject;

#endif
