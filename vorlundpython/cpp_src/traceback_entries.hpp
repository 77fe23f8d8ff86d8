// Synthetic traceback entries for failures inside the module.
#pragma once

#include <Python.h>

#include "module_state.hpp"

namespace concordix {

// Pushes one entry for `function_name` onto the pending exception's
// traceback: the file that the ErrorPosition names, at `declaration_line`.
// The native position joins the function name only while
// cython_runtime.cline_in_traceback is true; native_line 0 never shows one
// and leaves the switch alone. A Python exception must be pending. Failing to
// make the entry is not reported: the caller fails anyway.
void add_traceback(const char *function_name, int native_line, int declaration_line);

// Empties the code-object cache and hands over what it held, for the caller
// to keep unreleased: the code objects were made by an interpreter that has
// ended. `locked`: take the cache's lock (not at the runtime's end, when no
// thread runs).
CodeObjectCache take_code_objects(bool locked);

// The usual failure report of a site: its position, then its entry.
inline void report_failure(const char *function_name, const char *filename, int native_line,
                           int declaration_line)
{
    record_error_position(filename, declaration_line, native_line);
    add_traceback(function_name, native_line, declaration_line);
}

}  // namespace concordix
