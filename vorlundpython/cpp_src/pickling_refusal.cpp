// The pickling refusal.
//
// Instances are made by a creation routine that pickle's default protocol
// knows nothing about, so reduction is refused outright: __reduce__ (and with
// it __reduce_ex__, pickle and copy) and __setstate__ raise TypeError with a
// traceback entry in "stringsource".
#include "pickling_refusal.hpp"

#include "compat.hpp"
#include "module_state.hpp"
#include "owned_ref.hpp"
#include "traceback_entries.hpp"

namespace concordix {
namespace {

struct Refusal {
    PyObject *ModuleState::*args;  // the cached argument tuple for TypeError
    const char *function_name;
    int declaration_line;
    int call_failed_line;  // native line when the TypeError could not be made
    int raised_line;       // native line once it is raised
};

constexpr Refusal kReduceRefusal = {&ModuleState::reduce_args,
                                    "vorlundpython.Concordix.Concordix.__reduce_cython__", 2,
                                    1630, 1634};
constexpr Refusal kSetstateRefusal = {&ModuleState::setstate_args,
                                      "vorlundpython.Concordix.Concordix.__setstate_cython__", 4,
                                      1683, 1687};

// New reference to the running interpreter's builtin TypeError, or null with
// NameError set. Another interpreter that uses the module raises its own:
// the one cached at import is the building interpreter's.
PyObject *own_builtin_TypeError()
{
    PyObject *name = module_state.strings.TypeError;
    // The running frame's builtins, or the interpreter's when none runs.
    PyObject *builtins = PyEval_GetBuiltins();
    PyObject *found = builtins ? PyDict_GetItemWithError(builtins, name) : nullptr;
    if (found) {
        Py_INCREF(found);
        return found;
    }
    if (!PyErr_Occurred())
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return nullptr;
}

PyObject *refuse(const Refusal &r)
{
    OwnedRef own_class;
    PyObject *type_error = module_state.builtin_TypeError;
    if (!built_here()) {
        own_class = own_builtin_TypeError();
        type_error = own_class.get();
    }
    PyObject *exception = type_error ? call_object(type_error, module_state.*r.args) : nullptr;
    int native_line = r.call_failed_line;
    if (exception) {
        raise_exception(exception);
        Py_DECREF(exception);
        native_line = r.raised_line;
    }
    report_failure(r.function_name, kStringSource, native_line, r.declaration_line);
    return nullptr;
}

PyObject *reduce_cython(PyObject *, PyObject *)
{
    return refuse(kReduceRefusal);
}

PyObject *setstate_cython(PyObject *, PyObject *)
{
    return refuse(kSetstateRefusal);
}

// 1 when `o.__name__ == name`; 0 otherwise, including when asking fails.
int is_named(PyObject *o, PyObject *name)
{
    PyObject *own_name = get_attribute(o, module_state.strings.name);
    int answer = own_name ? PyObject_RichCompareBool(own_name, name, Py_EQ) : -1;
    if (answer < 0) {
        PyErr_Clear();
        answer = 0;
    }
    Py_XDECREF(own_name);
    return answer;
}

int unable_to_set_up(PyObject *type)
{
    // The refusals may already have moved in the class's dictionary, behind
    // the interpreter's attribute cache: a retried import would then still
    // find them under their old keys and fail.
    PyType_Modified(reinterpret_cast<PyTypeObject *>(type));
    // Only the lookups on the base type fail without an exception of their own.
    if (!PyErr_Occurred())  // GCOVR_EXCL_BR_LINE: object always has both, see setup_reduce
        PyErr_Format(PyExc_RuntimeError, "Unable to initialize pickling for %s",  // GCOVR_EXCL_LINE: as above
                     reinterpret_cast<PyTypeObject *>(type)->tp_name);
    return -1;
}

// Moves the refusal the class has under `from` to the key `to` of its own
// dictionary. The new key is set before the old one goes, so the refusal is
// never missing from the class. On an import repeated after a failed one the
// class may already carry the refusal under `to` (`moved` says so): nothing
// is left to move then, instead of failing every later import.
int move_refusal(PyObject *type, PyObject *from, PyObject *to, bool moved)
{
    OwnedRef method(get_attribute(type, from));
    if (!method) {
        if (moved && PyErr_ExceptionMatches(PyExc_AttributeError)) {
            PyErr_Clear();
            return 0;
        }
        return -1;
    }
    // Written directly: attribute assignment on a static class is refused.
    PyObject *type_dict = reinterpret_cast<PyTypeObject *>(type)->tp_dict;
    if (PyDict_SetItem(type_dict, to, method.get()) < 0 || PyDict_DelItem(type_dict, from) < 0)
        return -1;
    return 0;
}

}  // namespace

PyMethodDef refusal_methods[] = {
    {"__reduce_cython__", reduce_cython, METH_NOARGS, nullptr},
    {"__setstate_cython__", setstate_cython, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

// Calls `callable(*args)` inside the interpreter's recursion guard, so that a
// refusal deep in a recursion fails with RecursionError rather than the stack.
PyObject *call_object(PyObject *callable, PyObject *args)
{
    ternaryfunc call = Py_TYPE(callable)->tp_call;
    if (!call)
        return PyObject_Call(callable, args, nullptr);
    if (compat::enter_recursive_call(" while calling a Python object"))
        return nullptr;
    PyObject *result = call(callable, args, nullptr);
    compat::leave_recursive_call();
    if (!result && !PyErr_Occurred())
        PyErr_SetString(PyExc_SystemError, "NULL result without error in PyObject_Call");
    return result;
}

// Sets `exception` (an instance, or a class to instantiate) as the current
// exception, as a raise statement would. The caller fails in every case.
void raise_exception(PyObject *exception)
{
    if (PyExceptionInstance_Check(exception)) {
        PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(exception)), exception);
        return;
    }
    if (PyExceptionClass_Check(exception)) {
        PyObject *no_args = PyTuple_New(0);
        if (!no_args)  // GCOVR_EXCL_BR_LINE: the interpreter's empty tuple is a singleton
            return;  // GCOVR_EXCL_LINE: as above
        PyObject *instance = PyObject_Call(exception, no_args, nullptr);
        Py_DECREF(no_args);
        if (!instance)
            return;
        if (PyExceptionInstance_Check(instance))
            PyErr_SetObject(exception, instance);
        else
            PyErr_Format(PyExc_TypeError,
                         "calling %R should have returned an instance of BaseException, not %R",
                         exception, reinterpret_cast<PyObject *>(Py_TYPE(instance)));
        Py_DECREF(instance);
        return;
    }
    PyErr_SetString(PyExc_TypeError, "raise: exception class must be a subclass of BaseException");
}

int setup_reduce(PyObject *type_object)
{
    const ConstantStrings &s = module_state.strings;
    auto *type = reinterpret_cast<PyTypeObject *>(type_object);

    // A class with state of its own pickles its own way.
    PyObject *getstate = _PyType_Lookup(type, s.getstate);
    if (getstate && getstate != compat::base_object_getstate(s.getstate))
        return 0;

    PyObject *object_reduce_ex = _PyType_Lookup(&PyBaseObject_Type, s.reduce_ex);
    if (!object_reduce_ex)  // GCOVR_EXCL_BR_LINE: object defines __reduce_ex__
        return unable_to_set_up(type_object);  // GCOVR_EXCL_LINE: as above
    OwnedRef reduce_ex(get_attribute(type_object, s.reduce_ex));
    if (!reduce_ex)
        return unable_to_set_up(type_object);
    if (reduce_ex.get() != object_reduce_ex)
        return 0;

    PyObject *object_reduce = _PyType_Lookup(&PyBaseObject_Type, s.reduce);
    if (!object_reduce)  // GCOVR_EXCL_BR_LINE: object defines __reduce__
        return unable_to_set_up(type_object);  // GCOVR_EXCL_LINE: as above
    OwnedRef reduce(get_attribute(type_object, s.reduce));
    if (!reduce)
        return unable_to_set_up(type_object);
    bool reduce_is_refusal = false;
    if (reduce.get() != object_reduce) {
        if (!is_named(reduce.get(), s.reduce_cython))
            return 0;
        reduce_is_refusal = true;
    }

    if (move_refusal(type_object, s.reduce_cython, s.reduce, reduce_is_refusal) < 0)
        return unable_to_set_up(type_object);

    OwnedRef setstate(get_attribute(type_object, s.setstate));
    if (!setstate)
        PyErr_Clear();
    if (!setstate || is_named(setstate.get(), s.setstate_cython)) {
        if (move_refusal(type_object, s.setstate_cython, s.setstate, bool(setstate)) < 0)
            return unable_to_set_up(type_object);
    }

    PyType_Modified(type);
    return 0;
}

}  // namespace concordix
