// Module functions of the test build only: entry points into paths that
// Python code cannot reach directly. Never compiled into the installed module.
#pragma once

#include <Python.h>

namespace concordix {

extern PyMethodDef test_hook_functions[];

}  // namespace concordix
