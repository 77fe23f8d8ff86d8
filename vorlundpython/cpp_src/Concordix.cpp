// vorlundpython.Concordix: the module's entry point and import sequence.
//
// The import builds everything the module uses at run time once: the shared
// empty objects, the constant strings (hashed here, so that later lookups
// never hash a key), the cached builtin TypeError and the refusal's argument
// tuples. It then publishes the class and hands out the module. The first
// failing step ends the import; once the module object exists the failure
// gets a traceback entry for "init vorlundpython.Concordix".
#include <Python.h>

#include <cstdlib>
#include <cstring>

#include "compat.hpp"
#include "concordix_type.hpp"
#include "module_state.hpp"
#include "traceback_entries.hpp"

#ifdef CONCORDIX_TEST_HOOKS
#include "test_hooks.hpp"
#endif

// The interpreter version the module was built for. The test build claims
// another one to exercise the mismatch warning for real.
#ifndef CONCORDIX_BUILT_FOR_MAJOR
#define CONCORDIX_BUILT_FOR_MAJOR PY_MAJOR_VERSION
#endif
#ifndef CONCORDIX_BUILT_FOR_MINOR
#define CONCORDIX_BUILT_FOR_MINOR PY_MINOR_VERSION
#endif

namespace concordix {

ModuleState module_state;
CONCORDIX_PER_THREAD ErrorPosition error_position;

namespace {

constexpr char kModuleName[] = "vorlundpython.Concordix";
constexpr char kInitFunctionName[] = "init vorlundpython.Concordix";

#ifdef CONCORDIX_TEST_HOOKS
PyMethodDef *const module_functions = test_hook_functions;
#else
PyMethodDef module_functions[] = {
    {nullptr, nullptr, 0, nullptr},
};
#endif

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "Concordix",  // the interpreter qualifies it from the package it loads from
    nullptr,
    -1,  // all state is process-wide, in ModuleState
    module_functions,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// One row of the constant string table.
struct StringTableEntry {
    PyObject **target;
    const char *text;
    Py_ssize_t size;  // bytes of `text` including its NUL
    const char *codec;
    int8_t unicode_flag;
    int8_t str_flag;
    int8_t intern_flag;
};

#define CONCORDIX_STRING(target, text, intern) \
    {&module_state.strings.target, text, sizeof(text), nullptr, 0, 1, intern}

StringTableEntry string_table[] = {
    CONCORDIX_STRING(TypeError, "TypeError", 1),
    CONCORDIX_STRING(cline_in_traceback, "cline_in_traceback", 1),
    CONCORDIX_STRING(getstate, "__getstate__", 1),
    CONCORDIX_STRING(int_method, "__int__", 1),
    CONCORDIX_STRING(name, "__name__", 1),
    CONCORDIX_STRING(refusal_message, "no default __reduce__ due to non-trivial __cinit__", 0),
    CONCORDIX_STRING(pyx_vtable, "__pyx_vtable__", 1),
    CONCORDIX_STRING(reduce, "__reduce__", 1),
    CONCORDIX_STRING(reduce_cython, "__reduce_cython__", 1),
    CONCORDIX_STRING(reduce_ex, "__reduce_ex__", 1),
    CONCORDIX_STRING(setstate, "__setstate__", 1),
    CONCORDIX_STRING(setstate_cython, "__setstate_cython__", 1),
    CONCORDIX_STRING(test, "__test__", 1),
    {nullptr, nullptr, 0, nullptr, 0, 0, 0},
};

#undef CONCORDIX_STRING

// Warns (RuntimeWarning) when the running interpreter is not the one the
// module was built for. Only the major digit and the first digit of the minor
// version are compared. Negative when a warnings filter made it an error.
int check_runtime_version()
{
    char built_for[4];
    char running[4];
    PyOS_snprintf(built_for, sizeof built_for, "%d.%d", CONCORDIX_BUILT_FOR_MAJOR,
                  CONCORDIX_BUILT_FOR_MINOR);
    PyOS_snprintf(running, sizeof running, "%s", Py_GetVersion());
    if (built_for[0] == running[0] && built_for[2] == running[2])
        return 0;
    char message[200];
    PyOS_snprintf(message, sizeof message,
                  "compiletime version %s of module '%.100s' does not match runtime version %s",
                  built_for, kModuleName, running);
    return PyErr_WarnEx(compat::default_warning_category(), message, 1);
}

// Builds every row of the table into its ModuleState slot and hashes it. -1
// with an exception set at the first row that fails; later rows are not built.
int init_strings(const StringTableEntry *row)
{
    for (; row->target; ++row) {
        PyObject *built;
        // GCOVR_EXCL_BR_START: every row of the table is a str without a codec
        if (!row->unicode_flag && !row->str_flag)
            built = PyBytes_FromStringAndSize(row->text, row->size - 1);  // GCOVR_EXCL_LINE: no bytes row
        else if (row->intern_flag)
            built = PyUnicode_InternFromString(row->text);
        else if (row->codec)
            built = PyUnicode_Decode(row->text, row->size - 1, row->codec, nullptr);  // GCOVR_EXCL_LINE: no row names a codec
        // GCOVR_EXCL_BR_STOP
        else
            built = PyUnicode_FromStringAndSize(row->text, row->size - 1);
        Py_XSETREF(*row->target, built);
        if (!built || PyObject_Hash(built) == -1)
            return -1;
    }
    return 0;
}

// New reference to builtins.<name>, or null with NameError set.
PyObject *get_builtin_name(PyObject *name)
{
    PyObject *found = get_attribute(module_state.builtins, name);
    if (!found)
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return found;
}

int init_cached_builtins()
{
    Py_XSETREF(module_state.builtin_TypeError, get_builtin_name(module_state.strings.TypeError));
    return module_state.builtin_TypeError ? 0 : -1;
}

int init_cached_constants()
{
    ModuleState &st = module_state;
    Py_XSETREF(st.reduce_args, PyTuple_Pack(1, st.strings.refusal_message));
    if (!st.reduce_args)
        return -1;
    Py_XSETREF(st.setstate_args, PyTuple_Pack(1, st.strings.refusal_message));
    return st.setstate_args ? 0 : -1;
}

// Deletes `key_text: value` from `dict`, keeping the pending exception. The
// entry is found by its value and deleted by its own key, which needs no
// allocation: a lookup by name would first make the name, and when the import
// failed for want of memory that fails too, silently.
void delete_entry(PyObject *dict, const char *key_text, PyObject *value)
{
    compat::PendingException pending = compat::take_pending_exception();
    PyObject *found = nullptr;
    if (dict && PyDict_Check(dict)) {  // GCOVR_EXCL_BR_LINE: both callers pass a dict
        // Other threads may change sys.modules meanwhile where there is no GIL.
        CONCORDIX_BEGIN_CRITICAL_SECTION(dict);
        Py_ssize_t pos = 0;
        PyObject *key, *entry;
        while (PyDict_Next(dict, &pos, &key, &entry)) {
            if (entry == value && PyUnicode_Check(key) &&
                PyUnicode_CompareWithASCIIString(key, key_text) == 0) {
                found = key;
                Py_INCREF(found);
                break;
            }
        }
        CONCORDIX_END_CRITICAL_SECTION();
    }
    if (found) {
        (void)PyDict_DelItem(dict, found);
        Py_DECREF(found);
    }
    compat::restore_pending_exception(pending);
}

// What a failed import leaves behind. Its module leaves sys.modules, if the
// import put it there: left behind, it would answer every later import of the
// name, so a failed import could never be retried. Its namespace lives on
// only as the globals of the traceback entries, and loses the None that
// module creation put under __spec__: 3.15's linecache warns about globals
// whose __spec__ is None ("Module globals is missing a __spec__.loader")
// when it formats an entry, and without the key every interpreter formats
// them alike, with no warning.
void retire_failed_module(PyObject *module, PyObject *module_dict)
{
    delete_entry(PyImport_GetModuleDict(), kModuleName, module);
    if (module_dict)  // GCOVR_EXCL_BR_LINE: no failure comes between the module and its dictionary
        delete_entry(module_dict, "__spec__", Py_None);
}

// Ends a failed import at the position already recorded. Before the module
// exists there is nowhere to put a traceback entry; the import's entry never
// shows a native line, whatever the switch says.
PyObject *abandon_import()
{
    ModuleState &st = module_state;
    if (st.module) {
        if (st.module_dict)  // GCOVR_EXCL_BR_LINE: no failure comes between the module and its dictionary
            add_traceback(kInitFunctionName, 0, error_position.declaration_line);
        retire_failed_module(st.module, st.module_dict);
        Py_CLEAR(st.module);  // GCOVR_EXCL_BR_LINE: the module is there, just tested
    } else if (!PyErr_Occurred()) {  // GCOVR_EXCL_BR_LINE: every step before the module raises its own
        PyErr_SetString(PyExc_ImportError, kInitFunctionName);  // GCOVR_EXCL_LINE: as above
    }
    return nullptr;
}

PyObject *import_failed(int native_line)
{
    record_error_position(kImplementationFile, 1, native_line);
    return abandon_import();
}

// What ModuleState (and, after Py_FinalizeEx, the class) held of an
// interpreter that has ended, or of one whose objects other interpreters
// still use: kept for the life of the process, never used or released again
// (its memory was freed with that interpreter, or belongs to a finished
// runtime). Kept rather than dropped so that it stays reachable, as the
// interpreter's own objects that outlive it do.
struct RetiredState {
    ModuleState state;
    void *class_objects[compat::kRuntimeObjectsOfAType];
    RetiredState *next;
};
RetiredState *retired_states = nullptr;

// Retires every object of ModuleState; with `runtime_ended`, the class's
// too. The C-level table stays: instances made earlier point at it. (Plain
// malloc: this also runs after the runtime has gone. Without memory the old
// state is dropped unreleased all the same.)
void forget_state(bool locked, bool runtime_ended)
{
    ModuleState &st = module_state;
    // Nothing made yet (the first import on 3.6, which tells interpreters
    // apart by address): nothing to keep.
    if (!runtime_ended && !st.empty_tuple && !st.code_cache.entries)
        return;
    auto *kept = static_cast<RetiredState *>(std::calloc(1, sizeof(RetiredState)));
    if (kept) {
        kept->state = st;
        kept->next = retired_states;
        retired_states = kept;
    }
    CodeObjectCache cache = take_code_objects(locked);
    if (kept)
        kept->state.code_cache = cache;
    if (runtime_ended) {
        void *class_objects[compat::kRuntimeObjectsOfAType];
        type_forget_runtime(class_objects);
        if (kept)
            std::memcpy(kept->class_objects, class_objects, sizeof class_objects);
    }
    st.module = nullptr;
    st.module_watch = nullptr;
    st.module_dict = nullptr;
    st.builtins = nullptr;
    st.runtime_module = nullptr;
    st.empty_tuple = nullptr;
    st.empty_bytes = nullptr;
    st.strings = ConstantStrings{};
    st.builtin_TypeError = nullptr;
    st.reduce_args = nullptr;
    st.setstate_args = nullptr;
}

// Whether the runtime's end is watched: once per runtime.
bool watching_runtime = false;

// Py_FinalizeEx has ended the runtime that built ModuleState and readied the
// class; nothing of it may be touched any more. Runs after the interpreter
// is gone: no Python, no locks.
void runtime_ended()
{
    forget_state(false, true);
    watching_runtime = false;
}

// The entry point called in a legacy subinterpreter while the module built
// in another interpreter still lives (the import system copies the namespace
// it kept instead, but C code may call the entry point itself): a module of
// this interpreter's own, over the shared state and class. The builder's
// module is not handed out: this interpreter would then clear its namespace
// under the builder when it ends.
//
// GCOVR_EXCL_BR_START: every step fails only without memory, or with a key
// in sys.modules whose comparison raises
PyObject *module_for_this_interpreter()
{
    PyObject *module = PyModule_Create2(&module_def, 1013);
    if (!module)
        return nullptr;  // GCOVR_EXCL_LINE: as above
    PyObject *module_dict = PyModule_GetDict(module);
    PyObject *builtins = PyImport_AddModule("builtins");
    PyObject *name = nullptr;
    PyObject *modules = PyImport_GetModuleDict();
    int failed = compat::declare_gil_not_needed(module) < 0 ||
                 compat::complete_module_namespace(module_dict) < 0 || !builtins ||
                 PyObject_SetAttrString(module, "__builtins__", builtins) < 0 ||
                 PyObject_SetAttrString(module, "Concordix",
                                        reinterpret_cast<PyObject *>(&ConcordixType)) < 0 ||
                 !(name = PyUnicode_FromString(kModuleName));
    if (!failed && !PyDict_GetItemWithError(modules, name))
        failed = PyErr_Occurred() || PyDict_SetItem(modules, name, module) < 0;
    Py_XDECREF(name);
    if (!failed) {
        PyObject *test = PyDict_New();
        failed = !test || PyDict_SetItem(module_dict, module_state.strings.test, test) < 0;
        Py_XDECREF(test);
    }
    if (failed) {
        retire_failed_module(module, module_dict);  // GCOVR_EXCL_LINE: as above
        Py_CLEAR(module);  // GCOVR_EXCL_LINE: as above
    }
    return module;
}
// GCOVR_EXCL_BR_STOP

PyObject *module_init()
{
    ModuleState &st = module_state;
    // Interpreters that refuse single-phase modules refuse before anything
    // is built in them (3.12's isolated interpreters; see compat).
    if (compat::refused_by_interpreter(kModuleName))
        return nullptr;  // GCOVR_EXCL_LINE: 3.12 only (compat::refused_by_interpreter)
    int64_t here = compat::interpreter_token();
    if (st.module) {
        if (compat::weakly_alive(st.module_watch)) {
            if (st.builder == here) {
                Py_INCREF(st.module);
                return st.module;
            }
            return module_for_this_interpreter();
        }
        // The module went with the interpreter that built it (or was
        // dropped): built anew here.
        forget_state(true, false);
    } else if (st.builder != here) {
        // What a failed import in another interpreter left.
        forget_state(true, false);
    }
    st.builder = here;
    if (!watching_runtime)
        watching_runtime = compat::at_runtime_end(runtime_ended) == 0;

    if (check_runtime_version() < 0)
        return import_failed(2126);

    Py_XSETREF(st.empty_tuple, PyTuple_New(0));
    if (!st.empty_tuple)  // GCOVR_EXCL_BR_LINE: the interpreter's empty tuple is a singleton
        return import_failed(2127);  // GCOVR_EXCL_LINE: as above
    Py_XSETREF(st.empty_bytes, PyBytes_FromStringAndSize("", 0));
    if (!st.empty_bytes)  // GCOVR_EXCL_BR_LINE: the interpreter's empty bytes is a singleton
        return import_failed(2128);  // GCOVR_EXCL_LINE: as above

    st.module = PyModule_Create2(&module_def, 1013);
    if (!st.module || compat::declare_gil_not_needed(st.module) < 0)
        return import_failed(2165);
    Py_XSETREF(st.module_watch, PyWeakref_NewRef(st.module, nullptr));
    if (!st.module_watch)
        return import_failed(2165);
    PyObject *module_dict = PyModule_GetDict(st.module);
    if (!module_dict)  // GCOVR_EXCL_BR_LINE: a module always has its dictionary
        return import_failed(2167);  // GCOVR_EXCL_LINE: as above
    Py_INCREF(module_dict);
    Py_XSETREF(st.module_dict, module_dict);
    if (compat::complete_module_namespace(module_dict) < 0)  // GCOVR_EXCL_BR_LINE: fails on PyPy only
        return import_failed(2167);  // GCOVR_EXCL_LINE: as above

    st.builtins = PyImport_AddModule("builtins");
    if (!st.builtins)
        return import_failed(2169);
    PyObject *runtime = compat::add_module_ref("cython_runtime");
    if (!runtime)
        return import_failed(2170);
    Py_XSETREF(st.runtime_module, runtime);
    if (PyObject_SetAttrString(st.module, "__builtins__", st.builtins) < 0)
        return import_failed(2174);

    if (init_strings(string_table) < 0)
        return import_failed(2176);

    // A module registered under our name before us (by whoever imports us
    // in an unusual way) is left in place.
    PyObject *modules = PyImport_GetModuleDict();
    if (!modules)  // GCOVR_EXCL_BR_LINE: the interpreter aborts rather than lose sys.modules
        return import_failed(2185);  // GCOVR_EXCL_LINE: as above
    // The name is made here: PyDict_GetItemString would report a failure to
    // make it as "absent" (printing it as ignored from 3.13 on), and the
    // module registered before us would be replaced after all.
    PyObject *name = PyUnicode_FromString(kModuleName);
    if (!name)
        return import_failed(2185);
    int registered = 0;
    if (!PyDict_GetItemWithError(modules, name))
        registered = PyErr_Occurred() ? -1 : PyDict_SetItem(modules, name, st.module);
    Py_DECREF(name);
    if (registered < 0)
        return import_failed(2187);

    if (init_cached_builtins() < 0)
        return import_failed(2192);
    if (init_cached_constants() < 0)
        return import_failed(2194);
    if (type_init() < 0)
        return abandon_import();  // keeps the position type_init recorded

    PyObject *test = PyDict_New();
    if (!test)
        return import_failed(2213);
    int stored = PyDict_SetItem(st.module_dict, st.strings.test, test);
    Py_DECREF(test);
    // The module's dictionary has room for the key: the store allocates
    // nothing (the allocation failure sweep finds no failure point in it).
    if (stored < 0)  // GCOVR_EXCL_BR_LINE: see above
        return import_failed(2215);  // GCOVR_EXCL_LINE: see above

    return st.module;  // the caller gets the reference PyModule_Create2 made
}

}  // namespace
}  // namespace concordix

// The module's one exported symbol.
CONCORDIX_MODULE_ENTRY PyInit_Concordix(void)
{
    return concordix::module_init();
}
