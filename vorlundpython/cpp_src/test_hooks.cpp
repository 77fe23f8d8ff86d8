// Test-build-only module functions (see test_hooks.hpp).
#include "test_hooks.hpp"

#include "compat.hpp"
#include "concordix_type.hpp"
#include "module_state.hpp"
#include "pickling_refusal.hpp"
#include "traceback_entries.hpp"

#include <cstring>

namespace concordix {
namespace {

// _setup_reduce(cls) -> 0, or raises: the pickling set-up on any class.
PyObject *hook_setup_reduce(PyObject *, PyObject *cls)
{
    if (!PyType_Check(cls)) {
        PyErr_SetString(PyExc_TypeError, "_setup_reduce needs a class");
        return nullptr;
    }
    if (setup_reduce(cls) < 0)
        return nullptr;
    return PyLong_FromLong(0);
}

// _code_cache() -> (count, capacity, [keys in order])
PyObject *hook_code_cache(PyObject *, PyObject *)
{
    const CodeObjectCache &cache = module_state.code_cache;
    PyObject *keys = PyList_New(cache.count);
    if (!keys)
        return nullptr;
    for (int32_t i = 0; i < cache.count; ++i) {
        PyObject *key = PyLong_FromLong(cache.entries[i].key);
        if (!key) {
            Py_DECREF(keys);
            return nullptr;
        }
        PyList_SET_ITEM(keys, i, key);
    }
    return Py_BuildValue("iiN", cache.count, cache.capacity, keys);
}

// _error_position() -> (filename, declaration_line, native_line)
PyObject *hook_error_position(PyObject *, PyObject *)
{
    const ErrorPosition &pos = error_position;
    return Py_BuildValue("zii", pos.filename, pos.declaration_line, pos.native_line);
}

// _raise_with_entry(exception, function_name, native_line, declaration_line,
// file_index): raises `exception` with one entry made the way every failing
// site makes it, so that tests can choose keys freely. file_index picks one
// of the module's three file names (they must be static text).
PyObject *hook_raise_with_entry(PyObject *, PyObject *args)
{
    static const char *const files[] = {kDeclarationsFile, kImplementationFile, kStringSource};
    PyObject *exception;
    const char *function_name;
    int native_line, declaration_line, file_index;
    if (!PyArg_ParseTuple(args, "Osiii", &exception, &function_name, &native_line,
                          &declaration_line, &file_index))
        return nullptr;
    if (file_index < 0 || file_index > 2) {
        PyErr_SetString(PyExc_ValueError, "file_index must be 0, 1 or 2");
        return nullptr;
    }
    raise_exception(exception);
    report_failure(function_name, files[file_index], native_line, declaration_line);
    return nullptr;
}

// _raise_exception(obj): what the refusals do with the object they made.
PyObject *hook_raise_exception(PyObject *, PyObject *exception)
{
    raise_exception(exception);
    return nullptr;
}

// _call_object(callable, args): the refusals' guarded call.
PyObject *hook_call_object(PyObject *, PyObject *args)
{
    PyObject *callable, *call_args;
    if (!PyArg_ParseTuple(args, "OO!", &callable, &PyTuple_Type, &call_args))
        return nullptr;
    return call_object(callable, call_args);
}

// A callable that breaks the call protocol: null without an exception.
PyObject *silent_failure_call(PyObject *, PyObject *, PyObject *)
{
    return nullptr;
}

PyTypeObject make_silent_failure_type()
{
    PyTypeObject type = compat::static_type_object("vorlundpython.Concordix.SilentFailure");
    type.tp_basicsize = sizeof(PyObject);
    type.tp_flags = Py_TPFLAGS_DEFAULT;
    type.tp_call = silent_failure_call;
    type.tp_new = PyType_GenericNew;
    return type;
}

PyTypeObject SilentFailureType = make_silent_failure_type();

// _silent_failure() -> an instance of SilentFailure
PyObject *hook_silent_failure(PyObject *, PyObject *)
{
    if (PyType_Ready(&SilentFailureType) < 0)
        return nullptr;
    return PyObject_CallObject(reinterpret_cast<PyObject *>(&SilentFailureType), nullptr);
}

// A subclass defined in C, as another extension would define one: it
// inherits the class's attribute lookup (a Python subclass gets the
// interpreter's generic one instead) and has a name of more than 50
// characters.
PyTypeObject make_long_named_subclass()
{
    PyTypeObject type = compat::static_type_object(
        "vorlundpython.Concordix.SubclassWithANameLongerThanFiftyCharacters");
    type.tp_basicsize = sizeof(ConcordixObject);
    type.tp_flags = Py_TPFLAGS_DEFAULT;
    type.tp_base = &ConcordixType;
    return type;
}

PyTypeObject LongNamedSubclass = make_long_named_subclass();

// _long_named_subclass() -> the class above
PyObject *hook_long_named_subclass(PyObject *, PyObject *)
{
    if (PyType_Ready(&LongNamedSubclass) < 0)
        return nullptr;
    Py_INCREF(&LongNamedSubclass);
    return reinterpret_cast<PyObject *>(&LongNamedSubclass);
}

// C subclasses as another extension could define them, each inheriting the
// class's allocation and deallocation: with a finaliser, with another size,
// with garbage collection. Their finaliser calls what _set_c_finalizer
// installed (nothing by default) with the instance, the way a __del__ would:
// it may keep the instance alive, and what it raises is reported, not
// passed on.
PyObject *c_finalizer_callback = nullptr;

void call_c_finalizer(PyObject *self)
{
    if (!c_finalizer_callback)
        return;
    compat::PendingException saved = compat::take_pending_exception();
    PyObject *result = PyObject_CallFunctionObjArgs(c_finalizer_callback, self, nullptr);
    if (result)
        Py_DECREF(result);
    else
        PyErr_WriteUnraisable(self);
    compat::restore_pending_exception(saved);
}

// Nothing to visit: the instances hold no references.
int traverse_nothing(PyObject *, visitproc, void *)
{
    return 0;
}

// Instances of the finalised subclasses that their deallocation freed: one
// whose finaliser let it go must be freed, not left as lost memory.
Py_ssize_t c_finalized_frees = 0;

void free_counted(void *o)
{
    ++c_finalized_frees;
    PyObject_Free(o);
}

void gc_free_counted(void *o)
{
    ++c_finalized_frees;
    PyObject_GC_Del(o);
}

// An instance with room for more than the class's own fields.
struct WiderObject {
    ConcordixObject base;
    double extra[3];
};

PyTypeObject make_c_subclass(const char *name, Py_ssize_t size, bool finalizer, bool gc)
{
    PyTypeObject type = compat::static_type_object(name);
    type.tp_basicsize = size;
    type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE;
    if (finalizer) {
        type.tp_flags |= Py_TPFLAGS_HAVE_FINALIZE;
        type.tp_finalize = call_c_finalizer;
        type.tp_free = gc ? gc_free_counted : free_counted;
    }
    if (gc) {
        type.tp_flags |= Py_TPFLAGS_HAVE_GC;
        type.tp_traverse = traverse_nothing;
    }
    type.tp_base = &ConcordixType;
    return type;
}

PyTypeObject CFinalized = make_c_subclass("vorlundpython.Concordix.CFinalized",
                                          sizeof(WiderObject), true, false);
PyTypeObject CFinalizedGC = make_c_subclass("vorlundpython.Concordix.CFinalizedGC",
                                            sizeof(ConcordixObject), true, true);
PyTypeObject CWider = make_c_subclass("vorlundpython.Concordix.CWider", sizeof(WiderObject),
                                      false, false);
PyTypeObject CWiderGC = make_c_subclass("vorlundpython.Concordix.CWiderGC",
                                        sizeof(WiderObject), false, true);

// _c_subclass(name) -> one of the classes above, by the last part of its name
PyObject *hook_c_subclass(PyObject *, PyObject *name)
{
    PyTypeObject *const types[] = {&CFinalized, &CFinalizedGC, &CWider, &CWiderGC,
                                    &LongNamedSubclass};
    for (PyTypeObject *type : types) {
        const char *short_name = std::strrchr(type->tp_name, '.') + 1;
        if (PyUnicode_Check(name) && PyUnicode_CompareWithASCIIString(name, short_name) == 0) {
            if (PyType_Ready(type) < 0)
                return nullptr;
            Py_INCREF(type);
            return reinterpret_cast<PyObject *>(type);
        }
    }
    PyErr_Format(PyExc_ValueError, "no C subclass named %R", name);
    return nullptr;
}

// _set_c_finalizer(callable or None) -> None
PyObject *hook_set_c_finalizer(PyObject *, PyObject *callable)
{
    PyObject *old = c_finalizer_callback;
    c_finalizer_callback = callable == Py_None ? nullptr : callable;
    Py_XINCREF(c_finalizer_callback);
    Py_XDECREF(old);
    Py_RETURN_NONE;
}

// _c_frees() -> how many CFinalized and CFinalizedGC instances were freed
PyObject *hook_c_frees(PyObject *, PyObject *)
{
    return PyLong_FromSsize_t(c_finalized_frees);
}

}  // namespace

PyMethodDef test_hook_functions[] = {
    {"_setup_reduce", hook_setup_reduce, METH_O, nullptr},
    {"_code_cache", hook_code_cache, METH_NOARGS, nullptr},
    {"_error_position", hook_error_position, METH_NOARGS, nullptr},
    {"_raise_with_entry", hook_raise_with_entry, METH_VARARGS, nullptr},
    {"_raise_exception", hook_raise_exception, METH_O, nullptr},
    {"_call_object", hook_call_object, METH_VARARGS, nullptr},
    {"_silent_failure", hook_silent_failure, METH_NOARGS, nullptr},
    {"_long_named_subclass", hook_long_named_subclass, METH_NOARGS, nullptr},
    {"_c_subclass", hook_c_subclass, METH_O, nullptr},
    {"_set_c_finalizer", hook_set_c_finalizer, METH_O, nullptr},
    {"_c_frees", hook_c_frees, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace concordix
