// The Concordix class.
#pragma once

#include <Python.h>

namespace concordix {

extern PyTypeObject ConcordixType;

// Readies the class, publishes its C-level table and the class itself, and
// installs the pickling refusal. 0, or -1 with an exception set and the
// ErrorPosition recorded.
int type_init();

// Called at the end of Py_FinalizeEx: the class was readied by that runtime,
// and the next runtime readies it anew. `kept` receives what the class held
// of that runtime (compat::forget_ended_runtime).
void type_forget_runtime(void **kept);

}  // namespace concordix
