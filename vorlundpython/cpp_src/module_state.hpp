// The module's process-wide state, and where failures are reported from.
//
// Ownership rules for ModuleState, which lives until the process ends and is
// never torn down:
//  - `module` is a plain pointer: its one reference went to the caller of
//    PyInit_Concordix. `module_watch`, a weak reference to it, tells whether
//    it still lives.
//  - `builtins` is borrowed from the interpreter, which keeps that module
//    alive for as long as it runs.
//  - everything here was made by one interpreter, `builder`. Once that
//    interpreter has ended (a subinterpreter's end, or Py_FinalizeEx) its
//    objects are never released here: they were freed with it, or belong to
//    a runtime that is gone. The next import forgets them and builds anew.
//  - every other object here is owned: one reference taken at import and
//    never released, except that a retry after a failed import replaces what
//    the earlier attempt made and releases it. Whatever an earlier attempt
//    handed out (the half-built module's dictionary as a traceback entry's
//    globals, a string as a dictionary key) was handed out with a reference
//    of its own and stays valid.
#pragma once

#include <Python.h>

#include <cstdint>

#include "../Concordix.h"
#include "compat.hpp"

namespace concordix {

// The files that traceback entries name.
constexpr const char kDeclarationsFile[] = ".\\vorlundpython\\Concordix";
constexpr const char kImplementationFile[] = "vorlundpython\\cpp_src\\Concordix";
constexpr const char kStringSource[] = "stringsource";
// Shown inside an entry's function name when native lines are switched on.
constexpr const char kNativeSourcePath[] = "vorlundpython/cpp_src/Concordix";

// Where the last failure happened. Every site that adds a traceback entry
// sets all three fields first.
struct ErrorPosition {
    const char *filename;  // static text
    int32_t declaration_line;
    int32_t native_line;
};

struct CodeObjectCacheEntry {
    PyCodeObject *code_object;  // owned
    int32_t key;
};

// Code objects made for traceback entries, sorted by key. Grows in steps of
// 64 entries and is never shrunk or freed.
struct CodeObjectCache {
    int32_t count;
    int32_t capacity;
    CodeObjectCacheEntry *entries;
};

// The constant strings, all built and hashed at import.
struct ConstantStrings {
    PyObject *TypeError;
    PyObject *cline_in_traceback;
    PyObject *getstate;          // "__getstate__"
    PyObject *int_method;        // "__int__"
    PyObject *name;              // "__name__"
    PyObject *refusal_message;   // the pickling refusal's text, not interned
    PyObject *pyx_vtable;        // "__pyx_vtable__"
    PyObject *reduce;            // "__reduce__"
    PyObject *reduce_cython;     // "__reduce_cython__"
    PyObject *reduce_ex;         // "__reduce_ex__"
    PyObject *setstate;          // "__setstate__"
    PyObject *setstate_cython;   // "__setstate_cython__"
    PyObject *test;              // "__test__"
};

struct ModuleState {
    // compat::interpreter_token() of the interpreter that made what is here
    int64_t builder;
    PyObject *module;
    PyObject *module_watch;  // weak reference to `module`
    PyObject *module_dict;
    PyObject *builtins;
    // Owned: Python code may drop cython_runtime from sys.modules, and a
    // borrowed pointer would then dangle.
    PyObject *runtime_module;
    PyObject *empty_tuple;
    PyObject *empty_bytes;
    ConstantStrings strings;
    PyObject *builtin_TypeError;
    PyObject *reduce_args;    // (refusal message,) for __reduce_cython__
    PyObject *setstate_args;  // (refusal message,) for __setstate_cython__
    CountsVTable counts_vtable;
    CountsVTable *counts_vtable_ptr;
    CodeObjectCache code_cache;
};

extern ModuleState module_state;

// Whether the running interpreter is the one that built ModuleState. The
// others (legacy subinterpreters, which share the GIL and the objects) use
// the same state, but read the switch and the builtins of their own.
inline bool built_here()
{
    return module_state.builder == compat::interpreter_token();
}

// The last failure's position, beside ModuleState rather than in it: on
// free-threaded builds two threads may fail at once, and each keeps its own.
extern CONCORDIX_PER_THREAD ErrorPosition error_position;

inline void record_error_position(const char *filename, int declaration_line, int native_line)
{
    error_position.filename = filename;
    error_position.declaration_line = declaration_line;
    error_position.native_line = native_line;
}

// Attribute get the way the interpreter's own fast paths do it: through the
// type's lookup slot when there is one. New reference, or null with an
// exception set.
inline PyObject *get_attribute(PyObject *o, PyObject *name)
{
    getattrofunc getattro = compat::direct_getattro(o);
    return getattro ? getattro(o, name) : PyObject_GetAttr(o, name);  // GCOVR_EXCL_BR_LINE: every class the module asks inherits object's slot
}

}  // namespace concordix
