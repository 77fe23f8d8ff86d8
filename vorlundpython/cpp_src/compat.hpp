// Every interpreter-version difference the module meets, in one place.
//
// The module was first written against the 3.6 C API. Each branch below maps
// one facility onto the interface of later interpreters and names the change
// it answers, so that Python code sees the same behaviour on 3.6 to 3.15.
// Nothing outside this file tests PY_VERSION_HEX, Py_GIL_DISABLED or
// PYPY_VERSION.
//
// PYPY_VERSION marks PyPy, whose C API is an emulation layer (cpyext) over
// objects that live in PyPy's own heap: several CPython structures are only
// a header there, some private helpers are missing, and some calls behave
// differently. Each PyPy branch below names what PyPy does differently.
//
// Py_GIL_DISABLED marks the free-threaded build (3.13, PEP 703: configured
// with --disable-gil). There the module's code runs on several threads at
// once, and what the GIL serialises elsewhere needs its own protection; on
// builds with a GIL every such branch compiles to what it always was.
#pragma once

#include <Python.h>
#include <frameobject.h>
#if PY_VERSION_HEX < 0x030B0000 && !defined(PYPY_VERSION)
#include <longintrepr.h>  // 3.11 moved it under cpython/ and into Python.h
#endif
#if defined(PYPY_VERSION)
#include <structmember.h>  // T_INT and READONLY: PyPy reads the counts as native fields
#endif

#include <cstdint>
#include <cstring>

// 3.9 made PyMODINIT_FUNC export the entry point by itself
// (Py_EXPORTED_SYMBOL). Before it, a library built with hidden visibility
// marks the entry point as its one exported symbol itself. Not on Windows:
// there PyMODINIT_FUNC has always been __declspec(dllexport), and visibility
// is no export for MinGW's compilers (without a dllexport, the linker would
// export every global symbol instead).
#if PY_VERSION_HEX < 0x03090000 && defined(__GNUC__) && !defined(_WIN32)
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
//
// PyPy 3.9: PyPy's own collector runs a Python subclass's __del__ (once)
// before the C-level object is released, and PyObject_GC_IsFinalized does
// not exist; its _PyGC_FINALIZED says "finalised" for every object, as this
// does.
inline bool gc_is_finalized(PyObject *o)
{
#if defined(PYPY_VERSION) && PY_VERSION_HEX < 0x030B0000
    (void)o;
    return true;
#elif PY_VERSION_HEX < 0x03090000
    return _PyGC_FINALIZED(o) != 0;
#else
    return PyObject_GC_IsFinalized(o) != 0;
#endif
}

// Whether the deallocation `own` (the class's tp_dealloc), reached for `o`,
// still has to run `o`'s finaliser: only when `o`'s type inherits `own` as
// its deallocation and the finaliser has not run on `o` already. A subclass
// with a deallocation of its own runs its finaliser before handing `o` down;
// running it again here would run it twice.
//
// 3.8 made every class a class statement creates collected by gc, and its
// deallocation (subtype_dealloc) marks the instance finalised after running
// __del__, so the mark alone told. Up to 3.7 a class statement's subclass
// without a __dict__ or slots (`__slots__ = ()`) is not collected: it has no
// mark, carries Py_TPFLAGS_HAVE_FINALIZE, and its subtype_dealloc runs
// __del__, calls `own`, and afterwards drops its reference to the class even
// when `own` freed nothing. A second __del__ here that resurrected the
// instance cost the class a reference on every round. Only the type whose
// deallocation `own` is tells, on every version.
inline bool finalizer_pending(PyObject *o, destructor own)
{
    PyTypeObject *type = Py_TYPE(o);
    if (type->tp_dealloc != own)
        return false;
    return !(PyType_IS_GC(type) && gc_is_finalized(o));
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
//
// PyPy's PyImport_AddModule hands out whatever sys.modules holds under the
// name, module or not; CPython's replaces a non-module with a new, empty
// module, which is done here for PyPy.
inline PyObject *add_module_ref(const char *name)
{
#if defined(PYPY_VERSION)
    PyObject *modules = PyImport_GetModuleDict();
    PyObject *key = modules ? PyUnicode_FromString(name) : nullptr;
    if (!key)
        return nullptr;
    PyObject *module = PyDict_GetItemWithError(modules, key);
    if (module && PyModule_Check(module)) {
        Py_INCREF(module);
    } else if (PyErr_Occurred()) {
        module = nullptr;
    } else {
        module = PyModule_NewObject(key);
        if (module && PyDict_SetItem(modules, key, module) < 0)
            Py_CLEAR(module);
    }
    Py_DECREF(key);
    return module;
#elif PY_VERSION_HEX >= 0x030D0000
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
//
// PyPy: an int's C view is only the object header (its value lives in
// PyPy's heap), so there are no digits to read, and every int but the two
// bools goes through PyLong_AsLong, a call back into PyPy. True and False are
// one C object each there too, known by their address.
inline bool small_int_value(PyObject *o, int32_t *value)
{
#if defined(PYPY_VERSION)
    if (o != Py_True && o != Py_False)
        return false;
    *value = o == Py_True;
    return true;
#elif PY_VERSION_HEX >= 0x030C0000
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

// PyLong_AsLong for an int of more than one digit: its value, or -1 with
// OverflowError set when it does not fit a C long.
//
// PyPy 3.9 (7.3.11): PyLong_AsLong on an int subclass whose value does not
// fit a machine word converts what the subclass's own __int__ returns
// instead of the stored value. _PyLong_AsByteArray reads the stored value
// and calls no method of the object; its overflow gets PyLong_AsLong's own
// text, as an exact int's does. PyPy 3.11 (7.3.19) converts subclasses by
// their stored value, and exact ints keep the one call everywhere.
inline long long_value(PyObject *o)
{
#if defined(PYPY_VERSION) && PY_VERSION_HEX < 0x030B0000
    if (!PyLong_CheckExact(o)) {
        unsigned char bytes[sizeof(long)];
        if (_PyLong_AsByteArray(reinterpret_cast<PyLongObject *>(o), bytes, sizeof bytes, 1, 1) <
            0) {
            if (PyErr_ExceptionMatches(PyExc_OverflowError)) {
                PyErr_Clear();
                PyErr_SetString(PyExc_OverflowError, "Python int too large to convert to C long");
            }
            return -1;
        }
        unsigned long bits = 0;
        for (size_t i = sizeof bytes; i-- > 0;)
            bits = bits << 8 | bytes[i];
        return static_cast<long>(bits);
    }
#endif
    return PyLong_AsLong(o);
}

// The count that an exact float's own __int__ (truncation toward zero) makes
// of it, when that fits the counts; false for anything else.
//
// PyPy: calling float's __int__ from C costs a lookup, a binding and a call
// through the C-API layer, some fifty times a native field's write; a float's
// C view carries its value (ob_fval), which is truncated here instead.
// NaN, the infinities, values out of range and float subclasses (whose
// __int__ may be their own) still take the int slot, with its texts. CPython's
// int slot of a float is a direct C call.
inline bool exact_float_value(PyObject *o, int32_t *value)
{
#if defined(PYPY_VERSION)
    if (!PyFloat_CheckExact(o))
        return false;
    double d = reinterpret_cast<PyFloatObject *>(o)->ob_fval;
    if (!(d > -2147483649.0 && d < 2147483648.0))
        return false;
    *value = static_cast<int32_t>(d);
    return true;
#else
    (void)o;
    (void)value;
    return false;
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
//
// PyPy 3.9 has no PyCode_NewWithPosOnlyArgs: its PyCode_New keeps the 3.6
// argument list.
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
#elif PY_VERSION_HEX >= 0x03080000 && !defined(PYPY_VERSION)
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
//
// PyPy: a str's C view has no hash field (the hash is cached on PyPy's own
// object), and the lookup below hashes the key itself there.
inline Py_hash_t stored_hash(PyObject *str)
{
#if defined(PYPY_VERSION)
    (void)str;
    return -1;
#else
    return reinterpret_cast<PyASCIIObject *>(str)->hash;
#endif
}

// Dictionary lookup with a known hash: a new reference, or null for
// "missing", with an exception set only if a key comparison failed. Without
// a GIL another thread may delete the entry between a borrowed lookup and its
// incref; 3.13's PyDict_GetItemRef takes the reference inside the lookup (it
// reads the hash that the string carries).
//
// PyPy has no _PyDict_GetItem_KnownHash; PyDict_GetItemWithError does the
// same lookup with the str's own cached hash.
inline PyObject *dict_get_ref_known_hash(PyObject *dict, PyObject *key, Py_hash_t hash)
{
#if defined(PYPY_VERSION)
    (void)hash;
    PyObject *value = PyDict_GetItemWithError(dict, key);
    Py_XINCREF(value);
    return value;
#elif defined(Py_GIL_DISABLED)
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

// Around the module's calls into Python code that may come back into the
// module (an __int__ that assigns a count, a switch whose truth test fails
// an assignment): entered() is false, with RecursionError set, when the
// nesting is too deep.
//
// CPython's own calls count against its recursion limit and leave room for
// the failure path. PyPy's C-API layer has far larger C frames, and PyPy's
// stack check then trips inside calls of that layer that must not fail (the
// failure path's PyErr_Fetch), which ends the process; the nesting is
// limited here, with CPython's message, well before that point.
class ReentryGuard {
public:
    ReentryGuard()
    {
#if defined(PYPY_VERSION)
        entered_ = depth() < Py_GetRecursionLimit() / 8;
        if (entered_)
            ++depth();
        else
            PyErr_SetString(PyExc_RecursionError,
                            "maximum recursion depth exceeded while calling a Python object");
#endif
    }
    ReentryGuard(const ReentryGuard &) = delete;
    ReentryGuard &operator=(const ReentryGuard &) = delete;
    ~ReentryGuard()
    {
#if defined(PYPY_VERSION)
        if (entered_)
            --depth();
#endif
    }
    bool entered() const { return entered_; }

private:
#if defined(PYPY_VERSION)
    static int &depth()
    {
        static int nesting = 0;  // the GIL serialises it
        return nesting;
    }
#endif
    bool entered_ = true;
};

// What the int slot (nb_int, the slot a type's __int__ fills) of `o`'s type
// gives: a new reference, or null; null with no exception set when the type
// has no such slot. `int_name` is the interned "__int__".
//
// PyPy: every type's nb_int is int() itself, which also takes __index__ and
// __trunc__, checks the result with texts of its own and warns about an int
// subclass itself. CPython's slot only calls the type's own __int__ and hands
// back its result unchecked, so that is what is done there: __int__ is
// looked up on the type (never the instance), bound and called.
inline PyObject *call_int_slot(PyObject *o, PyObject *int_name)
{
#if defined(PYPY_VERSION)
    PyObject *method = _PyType_Lookup(Py_TYPE(o), int_name);
    if (!method)
        return nullptr;
    ReentryGuard guard;
    if (!guard.entered())
        return nullptr;
    Py_INCREF(method);  // __int__ may drop the class's reference
    descrgetfunc get = Py_TYPE(method)->tp_descr_get;
    PyObject *bound = get ? get(method, o, reinterpret_cast<PyObject *>(Py_TYPE(o))) : nullptr;
    PyObject *result = nullptr;
    if (!get)
        result = PyObject_CallFunctionObjArgs(method, o, nullptr);
    else if (bound)
        result = PyObject_CallFunctionObjArgs(bound, nullptr);
    Py_XDECREF(bound);
    Py_DECREF(method);
    return result;
#else
    (void)int_name;
    PyNumberMethods *number = Py_TYPE(o)->tp_as_number;
    if (!number || !number->nb_int)
        return nullptr;
    return number->nb_int(o);
#endif
}

// A name as a "%.<Width>s" conversion in PyErr_Format or PyUnicode_FromFormat
// shows it: at most its first Width bytes (a character cut in two becomes
// U+FFFD, as the interpreter's decoding with "replace" makes it). Pass
// get() to the format that carries the same precision.
//
// PyPy ignores the precision of %s in those formats and would show the whole
// name, so the name is cut here; CPython cuts it itself and gets the name
// unchanged.
template <size_t Width>
class NameWithin {
public:
    explicit NameWithin(const char *name)
    {
#if defined(PYPY_VERSION)
        size_t length = 0;
        while (length < Width && name[length])
            ++length;
        std::memcpy(text_, name, length);
        auto continues = [](char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; };
        if (length == Width && continues(name[length])) {
            // The cut fell inside a character: its bytes so far become U+FFFD.
            while (length > 0 && continues(text_[length - 1]))
                --length;
            if (length > 0)
                --length;  // its lead byte
            std::memcpy(text_ + length, "\xEF\xBF\xBD", 3);
            length += 3;
        }
        text_[length] = '\0';
        name_ = text_;
#else
        name_ = name;
#endif
    }
    NameWithin(const NameWithin &) = delete;
    NameWithin &operator=(const NameWithin &) = delete;
    const char *get() const { return name_; }

private:
    const char *name_;
#if defined(PYPY_VERSION)
    char text_[Width + 4];
#endif
};

// The category that the version-mismatch warning goes out with: the
// interpreter's default for PyErr_WarnEx, RuntimeWarning.
//
// PyPy: a null category gives UserWarning there, so RuntimeWarning is named.
inline PyObject *default_warning_category()
{
#if defined(PYPY_VERSION)
    return PyExc_RuntimeWarning;
#else
    return nullptr;
#endif
}

// PyPy builds a class's Python-level view (__getattribute__, __setattr__,
// __delattr__ in its dictionary) from the slots once, in PyType_Ready: a slot
// replaced afterwards is never called, and without slots of its own an
// instance of a C class gets PyPy's generic lookup and assignment, which give
// it a __dict__ (so `obj.unknown = 1` succeeds) and ignore the precision of
// the class's missing-attribute message. There an assignment that refuses
// unknown names goes in as a slot before readying, and the class's lookup
// answers, as __getattr__, only what PyPy's lookup did not find: a
// __getattribute__ slot would put every attribute read through the C-API
// layer twice (about three times slower reads). CPython reads the slots on
// every access and gives a class without tp_dictoffset no instance
// dictionary.
#if defined(PYPY_VERSION)
constexpr bool kAttributeSlotsBeforeReady = true;
#else
constexpr bool kAttributeSlotsBeforeReady = false;
#endif

// PyPy serves a PyMemberDef T_INT field from its own objects: the read never
// leaves PyPy (its JIT compiles it to a load), while a getset descriptor's
// getter costs a call through the C-API layer and, back in PyPy, the lookup
// of the C int object it returned. There the counts are read as read-only
// native fields, and every write still reaches the class's assignment slot
// (kAttributeSlotsBeforeReady), which hands it to the count's own setter: the
// class's conversion, texts and traceback entries. CPython calls a getset
// getter as cheaply as a member's, and keeps the accessor table alone.
#if defined(PYPY_VERSION)
constexpr bool kCountsAsNativeFields = true;

using NativeField = PyMemberDef;

constexpr NativeField read_only_int_field(const char *name, Py_ssize_t offset)
{
    return {name, T_INT, offset, READONLY, nullptr};
}

inline void set_native_fields(PyTypeObject *type, NativeField *fields)
{
    type->tp_members = fields;
}
#else
constexpr bool kCountsAsNativeFields = false;

struct NativeField {
    const char *name;
};

constexpr NativeField read_only_int_field(const char *name, Py_ssize_t)
{
    return {name};
}

inline void set_native_fields(PyTypeObject *, NativeField *) {}
#endif

// CPython's __new__ of a class with its own tp_new checks its arguments
// before tp_new runs ("not enough arguments", not a type, not a subclass).
// PyPy's hands tp_new whatever it is given first, and with no argument at all
// fails inside its C-API layer with SystemError; there the class's __new__ is
// replaced by one that makes CPython's checks.
#if defined(PYPY_VERSION)
constexpr bool kNewChecksNothing = true;
#else
constexpr bool kNewChecksNothing = false;
#endif

// Whether `type` still has abstract methods, so that object's tp_new
// refuses it: 1, 0, or -1 with an exception.
//
// PyPy copies a class's flags into its C-level type when the class is made,
// before abc sets __abstractmethods__, and never updates them; there the
// class's __abstractmethods__ is asked (only classes made in Python have one).
inline int is_abstract(PyTypeObject *type)
{
#if defined(PYPY_VERSION)
    if (!PyType_HasFeature(type, Py_TPFLAGS_HEAPTYPE))
        return 0;
    PyObject *methods = PyObject_GetAttrString(reinterpret_cast<PyObject *>(type),
                                               "__abstractmethods__");
    if (!methods) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError))
            return -1;
        PyErr_Clear();
        return 0;
    }
    int abstract = PyObject_IsTrue(methods);
    Py_DECREF(methods);
    return abstract;
#else
    return PyType_HasFeature(type, Py_TPFLAGS_IS_ABSTRACT) ? 1 : 0;
#endif
}

// A new object of `size` bytes of the class's own exact type, fields past
// the header left to the caller: what the inherited tp_alloc
// (PyType_GenericAlloc) does for a type without items, garbage collection or
// a heap-allocated type object, without its generic work (the size sum, the
// zero fill, the collector test). A failed allocation raises MemoryError, as
// there.
//
// PyPy: objects are made by its C-API layer (cpyext) for an object in its
// own heap, which only tp_alloc does. Free-threaded builds (3.13, PEP 703)
// pick the allocator's heap by type inside the interpreter's allocation:
// tp_alloc is left to do that too.
inline PyObject *new_exact_object(PyTypeObject *type, size_t size)
{
#if defined(PYPY_VERSION) || defined(Py_GIL_DISABLED)
    (void)size;
    return type->tp_alloc(type, 0);
#else
    return PyObject_Init(static_cast<PyObject *>(PyObject_Malloc(size)), type);
#endif
}

// An instance of an abstract class: object's tp_new refuses it with the
// interpreter's own "Can't instantiate abstract class ...".
//
// PyPy's C-level object tp_new allocates without that check; its
// object.__new__ makes it, and should the check pass after all, what it made
// (an instance the class's tp_new never saw) is dropped for one of our own.
inline PyObject *new_abstract(PyTypeObject *type, PyObject *empty_tuple)
{
#if defined(PYPY_VERSION)
    (void)empty_tuple;
    PyObject *checked = PyObject_CallMethod(reinterpret_cast<PyObject *>(&PyBaseObject_Type),
                                            "__new__", "O", type);
    if (!checked)
        return nullptr;
    Py_DECREF(checked);
    return type->tp_alloc(type, 0);
#else
    return PyBaseObject_Type.tp_new(type, empty_tuple, nullptr);
#endif
}

// The lookup slot of an object's type, to be called directly (skipping
// PyObject_GetAttr's checks of a name that is always a str here), or null.
//
// PyPy: a type's slot is its C-API layer's generic lookup, which misses a
// __getattribute__ written in Python (on a metaclass, say); there only
// PyObject_GetAttr looks an attribute up as Python code would.
inline getattrofunc direct_getattro(PyObject *o)
{
#if defined(PYPY_VERSION)
    (void)o;
    return nullptr;
#else
    return Py_TYPE(o)->tp_getattro;
#endif
}

// Whether instances of `type` have an instance dictionary, so that the
// interpreter's generic lookup and assignment serve them.
//
// PyPy: tp_dictoffset says nothing there; every class made by a class
// statement (a heap type) gives its instances a dictionary, whatever its
// __slots__, and such classes keep PyPy's own lookup and assignment.
inline bool has_instance_dict(PyTypeObject *type)
{
#if defined(PYPY_VERSION)
    return PyType_HasFeature(type, Py_TPFLAGS_HEAPTYPE);
#else
    return type->tp_dictoffset != 0;
#endif
}

// The interpreter's generic assignment's text for a name that an object
// without an instance dictionary does not have. 3.13 added the reason.
#if PY_VERSION_HEX >= 0x030D0000
constexpr const char kNoAttributeToSet[] =
    "'%.100s' object has no attribute '%U' and no __dict__ for setting new attributes";
#else
constexpr const char kNoAttributeToSet[] = "'%.100s' object has no attribute '%U'";
#endif

// PyModule_Create's namespace holds __doc__ (None when the module has no doc
// string).
//
// PyPy leaves __doc__ out of the namespace of a module without a doc string;
// it is added as None.
inline int complete_module_namespace(PyObject *module_dict)
{
#if defined(PYPY_VERSION)
    PyObject *doc = PyUnicode_InternFromString("__doc__");
    if (!doc)
        return -1;
    int has = PyDict_Contains(module_dict, doc);
    int result = has ? has : PyDict_SetItem(module_dict, doc, Py_None);
    Py_DECREF(doc);
    return result < 0 ? -1 : 0;
#else
    (void)module_dict;
    return 0;
#endif
}

// --- One module, several interpreters ------------------------------------
//
// The module keeps one ModuleState per process. What it holds was made by
// the interpreter that built it, and goes when that interpreter ends (a
// subinterpreter's end, or Py_FinalizeEx); the helpers below tell which
// interpreter is running, whether the builder's module still lives, and put
// the class back to its unreadied form for a new runtime.

// A number naming the running interpreter, unique among the interpreters of
// one runtime. 3.7 added interpreter IDs (PyInterpreterState_GetID), never
// reused within a runtime; 3.9 added PyInterpreterState_Get. 3.6 has no IDs:
// the interpreter's address stands for it there, which a later interpreter
// may take over once the first has ended (then the module may read the
// ended interpreter's cython_runtime switch, which stays readable).
//
// PyPy runs one interpreter per process.
inline int64_t interpreter_token()
{
#if defined(PYPY_VERSION)
    return 0;
#elif PY_VERSION_HEX >= 0x03090000
    return PyInterpreterState_GetID(PyInterpreterState_Get());
#elif PY_VERSION_HEX >= 0x03070000
    return PyInterpreterState_GetID(PyThreadState_GET()->interp);
#else
    return static_cast<int64_t>(reinterpret_cast<intptr_t>(PyThreadState_GET()->interp));
#endif
}

// Whether the object that the weak reference `ref` names is still alive.
// 3.13 deprecated PyWeakref_GetObject for PyWeakref_GetRef, which hands out
// a strong reference instead of a borrowed one.
inline bool weakly_alive(PyObject *ref)
{
#if PY_VERSION_HEX >= 0x030D0000 && !defined(PYPY_VERSION)
    PyObject *target = nullptr;
    if (PyWeakref_GetRef(ref, &target) <= 0) {
        PyErr_Clear();  // GCOVR_EXCL_LINE: `ref` is always a weak reference
        return false;
    }
    Py_DECREF(target);
    return true;
#else
    return PyWeakref_GetObject(ref) != Py_None;
#endif
}

// 3.12 lets an interpreter refuse single-phase modules (isolated
// interpreters, with their own GIL and allocator) but asks only after the
// entry point has run, in that interpreter, beside the others' GILs: the
// module asks first, with the interpreter's own check and text, and builds
// nothing there. From 3.13 the interpreter runs every single-phase entry
// point in the main interpreter and refuses afterwards by itself; before
// 3.12 no interpreter refuses.
#if PY_VERSION_HEX >= 0x030C0000 && PY_VERSION_HEX < 0x030D0000 && !defined(PYPY_VERSION)
extern "C" PyAPI_FUNC(int) _PyImport_CheckSubinterpIncompatibleExtensionAllowed(const char *name);
inline int refused_by_interpreter(const char *name)
{
    return _PyImport_CheckSubinterpIncompatibleExtensionAllowed(name) < 0;
}
#else
inline int refused_by_interpreter(const char *) { return 0; }
#endif

// Returns a static type readied by a runtime that Py_FinalizeEx has ended to
// the state PyType_Ready expects, so that the next runtime readies it anew.
// Its dictionary, bases and MRO were that runtime's objects: their keys may
// have been freed (from 3.12 interned strings are immortal and freed at
// finalisation), and they are dropped without being touched. So are its
// subclass registry and weak references, which named that runtime's objects.
// Its version tag goes too: the new runtime numbers types afresh (3.12+),
// and an old tag could name another type in its lookup cache; 3.12 added the
// watcher bits, 3.13 the count of tags handed out. `kept` receives the five
// pointers dropped, for the caller to keep unreleased.
//
// PyPy never ends a runtime to start another (see at_runtime_end), and its
// type objects are only a view of its own: there is nothing to forget.
constexpr int kRuntimeObjectsOfAType = 5;
inline void forget_ended_runtime(PyTypeObject *type, void *kept[kRuntimeObjectsOfAType])
{
#if defined(PYPY_VERSION)
    (void)type;
    for (int i = 0; i < kRuntimeObjectsOfAType; ++i)
        kept[i] = nullptr;
#else
    kept[0] = type->tp_dict;
    kept[1] = type->tp_bases;
    kept[2] = type->tp_mro;
    kept[3] = type->tp_subclasses;
    kept[4] = type->tp_weaklist;
    type->tp_dict = nullptr;
    type->tp_bases = nullptr;
    type->tp_mro = nullptr;
    type->tp_cache = nullptr;
    type->tp_subclasses = nullptr;
    type->tp_weaklist = nullptr;
    type->tp_version_tag = 0;
#if PY_VERSION_HEX >= 0x030C0000
    type->tp_watched = 0;
#endif
#if PY_VERSION_HEX >= 0x030D0000
    type->tp_versions_used = 0;
#endif
    type->tp_flags &= ~(Py_TPFLAGS_READY | Py_TPFLAGS_READYING | Py_TPFLAGS_VALID_VERSION_TAG);
#endif
}

// Has `func` called at the very end of Py_FinalizeEx, after every object of
// the runtime is gone (-1 when the interpreter's table of such functions is
// full). PyPy's runtime is never finalised and started again in one process.
inline int at_runtime_end(void (*func)())
{
#if defined(PYPY_VERSION)
    (void)func;
    return 0;
#else
    return Py_AtExit(func);
#endif
}

}  // namespace compat
}  // namespace concordix
