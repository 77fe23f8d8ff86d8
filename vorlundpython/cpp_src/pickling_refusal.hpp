// Pickling and copying of instances are refused.
#pragma once

#include <Python.h>

namespace concordix {

// tp_methods of the class: the two refusals, under the names that
// setup_reduce moves them away from.
extern PyMethodDef refusal_methods[];

// Moves the refusals to __reduce__ and __setstate__ in the class's own
// dictionary, unless the class defines its own state or reduction methods.
// 0 on success (or when standing back), -1 with an exception set.
int setup_reduce(PyObject *type);

// Calls `callable(*args)` inside the interpreter's recursion guard.
PyObject *call_object(PyObject *callable, PyObject *args);

// Sets `exception` (an instance, or a class to instantiate) as the current
// exception, as a raise statement would.
void raise_exception(PyObject *exception);

}  // namespace concordix
