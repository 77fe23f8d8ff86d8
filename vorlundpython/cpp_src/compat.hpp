// Every interpreter-version difference the module meets, in one place.
//
// The module was first written against the 3.6 C API. Each branch below maps
// one facility onto the interface of later interpreters and names the change
// it answers, so that Python code sees the same behaviour on 3.6 to 3.15.
// Nothing outside this file tests PY_VERSION_HEX or Py_GIL_DISABLED.
//
// Py_GIL_DISABLED marks the free-threaded build (3.13, PEP 703: configured
// with --disable-gil). There the module's code runs on several threads at
// once, and what the GIL serialises elsewhere needs its own protection; on
// builds with a GIL every such branch compiles to what it always was.
#pragma once

#include <Python.h>
#include <frameobject.h>
#if PY_VERSION_HEX < 0x030B0000
#include <longintrepr.h>  // 3.11 moved it under cpython/ and into Python.h
#endif

#include <cstdint>
#include <cstring>

// 3.9 made PyMODINIT_FUNC export the entry point by itself
// (Py_EXPORTED_SYMBOL). Before it, a library built with hidden visibility
// marks the entry point as its one exported symbol itself.
#if PY_VERSION_HEX < 0x03090000 && defined(__GNUC__)
#define CONCORDIX_MODULE_ENTRY extern "C" __attribute__((visibility("default"))) PyObject *
#else
#define CONCORDIX_MODULE_ENTRY PyMODINIT_FUNC
#endif

// 3.13 added critical sections, which lock an object where there is no GIL
// (free-threaded builds) and cost nothing where there is one. Before 3.13
// the GIL alone serialises access.
#if PY_VERSION_HEX >= 0x030D0000
#define CONCORDIX_BEGIN_CRITICAL_SECTION(op) Py_BEGIN_CRITICAL_SECTION(op)
#define CONCORDIX_END_CRITICAL_SECTION() Py_END_CRITICAL_SECTION()
#else
#define CONCORDIX_BEGIN_CRITICAL_SECTION(op) {
#define CONCORDIX_END_CRITICAL_SECTION() }
#endif

// State that the GIL makes safe to share: on free-threaded builds each thread
// keeps its own.
#ifdef Py_GIL_DISABLED
#define CONCORDIX_PER_THREAD thread_local
#else
#define CONCORDIX_PER_THREAD
#endif

namespace concordix {
namespace compat {

// A single-phase module makes a free-threaded interpreter turn the GIL back
// on at import (with a RuntimeWarning) unless it declares that it needs none
// (3.13, PyUnstable_Module_SetGIL). Builds with a GIL have nothing to declare.
inline int declare_gil_not_needed(PyObject *module)
{
#ifdef Py_GIL_DISABLED
    return PyUnstable_Module_SetGIL(module, Py_MOD_GIL_NOT_USED);
#else
    (void)module;
    return 0;
#endif
}

// A lock for state that the GIL guards elsewhere (3.13's PyMutex). Whoever
// holds it runs no Python code, so one thread never meets it twice; a thread
// that waits for it detaches from the interpreter, so a stop-the-world pause
// cannot deadlock on it. With a GIL it is nothing at all.
#ifdef Py_GIL_DISABLED
class Mutex {
public:
    void lock() { PyMutex_Lock(&mutex_); }
    void unlock() { PyMutex_Unlock(&mutex_); }

private:
    PyMutex mutex_ = {};
};
#else
class Mutex {
public:
    void lock() {}
    void unlock() {}
};
#endif

class MutexLock {
public:
    explicit MutexLock(Mutex &mutex) : mutex_(mutex) { mutex_.lock(); }
    MutexLock(const MutexLock &) = delete;
    MutexLock &operator=(const MutexLock &) = delete;
    ~MutexLock() { mutex_.unlock(); }

private:
    Mutex &mutex_;
};

// A count read or written while other threads may write it: whole, never
// torn, on free-threaded builds (relaxed atomics, 3.13's pyatomic.h); a
// plain access under the GIL.
inline int32_t load_count(const int32_t *count)
{
#ifdef Py_GIL_DISABLED
    return _Py_atomic_load_int32_relaxed(count);
#else
    return *count;
#endif
}

inline void store_count(int32_t *count, int32_t value)
{
#ifdef Py_GIL_DISABLED
    _Py_atomic_store_int32_relaxed(count, value);
#else
    *count = value;
#endif
}

// New reference to what the type's MRO holds under `name`, or null (no
// exception set). Without a GIL another thread may replace the entry and drop
// the object between a borrowed lookup and its incref; 3.13 added
// _PyType_LookupRef, which takes the reference inside the lookup.
inline PyObject *type_lookup_ref(PyTypeObject *type, PyObject *name)
{
#ifdef Py_GIL_DISABLED
    return _PyType_LookupRef(type, name);
#else
    PyObject *found = _PyType_Lookup(type, name);
    if (!found)
        return nullptr;
    Py_INCREF(found);
    return found;
#endif
}

// 3.7 made PyGetSetDef's name and doc `const char *`; 3.6 declares them
// `char *`, and a string literal does not convert to that in C++.
#if PY_VERSION_HEX < 0x03070000
using getset_text = char *;
#else
using getset_text = const char *;
#endif

// A static type object with only its header and name filled in. The header
// comes from the interpreter's own initialiser: from 3.12 it makes static
// objects immortal instead of giving them a reference count of 1.
inline PyTypeObject static_type_object(const char *name)
{
    PyTypeObject type;
    std::memset(&type, 0, sizeof type);
    const PyVarObject head[] = {PyVarObject_HEAD_INIT(nullptr, 0)};  // brings its own braces
    type.ob_base = head[0];
    type.tp_name = name;
    return type;
}

// 3.8 turned the type's print slot into tp_vectorcall_offset; a class that
// does not use vectorcall has nothing there to clear.
inline void clear_print_slot(PyTypeObject *type)
{
#if PY_VERSION_HEX < 0x03080000
    type->tp_print = nullptr;
#else
    (void)type;
#endif
}

// 3.8 stopped reading Py_TPFLAGS_HAVE_FINALIZE: tp_finalize alone says
// whether a type has a finaliser.
inline bool has_finalizer(PyTypeObject *type)
{
#if PY_VERSION_HEX < 0x03080000
    return PyType_HasFeature(type, Py_TPFLAGS_HAVE_FINALIZE) && type->tp_finalize;
#else
    return type->tp_finalize != nullptr;
#endif
}

// 3.9 made the collector's "finalised" mark a public function; the macro
// that read it went private (and in 3.13 internal).
inline bool gc_is_finalized(PyObject *o)
{
#if PY_VERSION_HEX < 0x03090000
    return _PyGC_FINALIZED(o) != 0;
#else
    return PyObject_GC_IsFinalized(o) != 0;
#endif
}

// 3.13 published the unchecked thread-state getter as
// PyThreadState_GetUnchecked and kept the old name only as an alias.
inline PyThreadState *thread_state_unchecked()
{
#if PY_VERSION_HEX >= 0x030D0000
    return PyThreadState_GetUnchecked();
#else
    return _PyThreadState_UncheckedGet();
#endif
}

// 3.12 keeps the pending exception as one object instead of a
// (type, value, traceback) triple; the triple API still works there but only
// by normalising and splitting the object on every call.
struct PendingException {
#if PY_VERSION_HEX >= 0x030C0000
    PyObject *exception;
#else
    PyObject *type, *value, *traceback;
#endif
};

inline PendingException take_pending_exception()
{
    PendingException saved;
#if PY_VERSION_HEX >= 0x030C0000
    saved.exception = PyErr_GetRaisedException();
#else
    PyErr_Fetch(&saved.type, &saved.value, &saved.traceback);
#endif
    return saved;
}

// Puts `saved` back as the pending exception, releasing whatever is pending
// now.
inline void restore_pending_exception(PendingException saved)
{
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(saved.exception);
#else
    PyErr_Restore(saved.type, saved.value, saved.traceback);
#endif
}

// The cython_runtime module is looked up (or created) in sys.modules, and the
// module keeps a reference of its own to it. 3.13 added
// PyImport_AddModuleRef, which hands out exactly that reference; before it,
// the borrowed result of PyImport_AddModule is taken over with an incref.
inline PyObject *add_module_ref(const char *name)
{
#if PY_VERSION_HEX >= 0x030D0000
    return PyImport_AddModuleRef(name);
#else
    PyObject *module = PyImport_AddModule(name);
    Py_XINCREF(module);
    return module;
#endif
}

// The small-int fast path: the value of an int of at most one digit, read
// from the object's own fields without a call into the interpreter. A single
// digit (at most 30 bits) always fits the 32-bit counts.
//
// 3.12 replaced the signed digit count ob_size by lv_tag and calls ints of at
// most one digit "compact"; the unstable accessors read that form inline.
inline bool small_int_value(PyObject *o, int32_t *value)
{
#if PY_VERSION_HEX >= 0x030C0000
    const PyLongObject *l = reinterpret_cast<const PyLongObject *>(o);
    if (!PyUnstable_Long_IsCompact(l))
        return false;
    *value = static_cast<int32_t>(PyUnstable_Long_CompactValue(l));
    return true;
#else
    const PyLongObject *l = reinterpret_cast<const PyLongObject *>(o);
    switch (Py_SIZE(o)) {
    case 0:
        *value = 0;
        return true;
    case 1:
        *value = static_cast<int32_t>(l->ob_digit[0]);
        return true;
    case -1:
        *value = -static_cast<int32_t>(l->ob_digit[0]);
        return true;
    default:
        return false;
    }
#endif
}

// The recursion guard around the call that creates the refusal's TypeError.
// Up to 3.8 Py_EnterRecursiveCall/Py_LeaveRecursiveCall are macros over the
// thread state's recursion_depth and overflowed fields, with the low-water
// mark of limit - 50 (or three quarters of a limit of 200 and below). 3.9 made
// them functions; 3.12 counts C recursion apart from Python recursion; 3.14
// measures the remaining C stack instead of counting calls. In every version
// the pair raises RecursionError with the text passed in, so the interpreter's
// own pair is the faithful mapping.
inline int enter_recursive_call(const char *where)
{
    return Py_EnterRecursiveCall(where);
}

inline void leave_recursive_call()
{
    Py_LeaveRecursiveCall();
}

// From 3.11 the base object type defines __getstate__. Pickling set-up must
// only stand back for a __getstate__ that a class defines itself, so it
// compares what it finds with the base type's own; before 3.11 there is none
// to compare with.
inline PyObject *base_object_getstate(PyObject *name)
{
#if PY_VERSION_HEX >= 0x030B0000
    return _PyType_Lookup(&PyBaseObject_Type, name);
#else
    (void)name;
    return nullptr;
#endif
}

// A code object for a synthetic traceback entry: no code, no names, first line
// `first_line`.
//
// 3.8 added the positional-only count (PyCode_NewWithPosOnlyArgs). 3.11 added
// the qualified name and the exception table, validates the byte code and
// derives every line from a location table, which an empty byte string no
// longer provides; 3.12 renamed the full constructor PyUnstable_Code_New*.
// From 3.11 on PyCode_NewEmpty, which the interpreter keeps for exactly this
// use, makes the code object; it reports `first_line` for the entry as the
// older constructors do with an empty line table.
inline PyCodeObject *new_traceback_code(PyObject *file, PyObject *name, int first_line,
                                        PyObject *empty_bytes, PyObject *empty_tuple)
{
#if PY_VERSION_HEX >= 0x030B0000
    (void)empty_bytes;
    (void)empty_tuple;
    const char *file_text = PyUnicode_AsUTF8(file);
    // The module's names and files are ASCII, whose UTF-8 is the string's
    // own text: nothing is allocated, nothing fails.
    const char *name_text = file_text ? PyUnicode_AsUTF8(name) : nullptr;  // GCOVR_EXCL_BR_LINE: see above
    if (!name_text)  // GCOVR_EXCL_BR_LINE: see above
        return nullptr;  // GCOVR_EXCL_LINE: see above
    return PyCode_NewEmpty(file_text, name_text, first_line);
#elif PY_VERSION_HEX >= 0x03080000
    return PyCode_NewWithPosOnlyArgs(0, 0, 0, 0, 0, 0, empty_bytes, empty_tuple, empty_tuple,
                                     empty_tuple, empty_tuple, empty_tuple, file, name,
                                     first_line, empty_bytes);
#else
    return PyCode_New(0, 0, 0, 0, 0, empty_bytes, empty_tuple, empty_tuple, empty_tuple,
                      empty_tuple, empty_tuple, file, name, first_line, empty_bytes);
#endif
}

// 3.11 made the frame struct opaque; the line of a traceback entry is then
// computed from the code object, which gives its first line for a frame that
// never ran. Before 3.11 the frame's own line field is set.
inline void set_frame_line(PyFrameObject *frame, int line)
{
#if PY_VERSION_HEX < 0x030B0000
    frame->f_lineno = line;
#else
    (void)frame;
    (void)line;
#endif
}

// The hash that an interned str carries since it was built.
inline Py_hash_t stored_hash(PyObject *str)
{
    return reinterpret_cast<PyASCIIObject *>(str)->hash;
}

// Dictionary lookup with a known hash: a new reference, or null for
// "missing", with an exception set only if a key comparison failed. Without
// a GIL another thread may delete the entry between a borrowed lookup and its
// incref; 3.13's PyDict_GetItemRef takes the reference inside the lookup (it
// reads the hash that the string carries).
inline PyObject *dict_get_ref_known_hash(PyObject *dict, PyObject *key, Py_hash_t hash)
{
#ifdef Py_GIL_DISABLED
    (void)hash;
    PyObject *value = nullptr;
    (void)PyDict_GetItemRef(dict, key, &value);
    return value;
#else
    PyObject *value = _PyDict_GetItem_KnownHash(dict, key, hash);
    Py_XINCREF(value);
    return value;
#endif
}

}  // namespace compat
}  // namespace concordix
