// The slow paths of to_c_int: ints of more than one digit, and objects that
// only convert through __int__.
#include "int_conversion.hpp"

#include "module_state.hpp"

namespace concordix {
namespace {

// New reference to the int that `o`'s __int__ slot gives, or null with an
// exception set. Only the int slot is consulted (an __index__ alone does not
// make a count), and its result must be an int: a strict subclass passes
// with the interpreter's own deprecation warning.
PyObject *number_to_int(PyObject *o)
{
    {
        PyObject *result = compat::call_int_slot(o, module_state.strings.int_method);
        if (result) {
            if (PyLong_CheckExact(result))
                return result;
            if (PyLong_Check(result)) {
                if (PyErr_WarnFormat(PyExc_DeprecationWarning, 1,
                                     "__int__ returned non-int (type %.200s).  The ability to "
                                     "return an instance of a strict subclass of int is "
                                     "deprecated, and may be removed in a future version of "
                                     "Python.",
                                     compat::NameWithin<200>(Py_TYPE(result)->tp_name).get()) < 0) {
                    Py_DECREF(result);
                    return nullptr;
                }
                return result;
            }
            PyErr_Format(PyExc_TypeError, "__%.4s__ returned non-%.4s (type %.200s)", "int",
                         "int", compat::NameWithin<200>(Py_TYPE(result)->tp_name).get());
            Py_DECREF(result);
            return nullptr;
        }
    }
    // No slot, or a slot that failed. An __int__ that returned null without
    // saying why gets the same message as a type without one.
    if (!PyErr_Occurred())
        PyErr_SetString(PyExc_TypeError, "an integer is required");
    return nullptr;
}

}  // namespace

int32_t out_of_range()
{
    PyErr_SetString(PyExc_OverflowError,
                    "Python int out of range for a 32-bit signed count "
                    "(-2147483648 to 2147483647)");
    return -1;
}

int32_t non_int_to_c_int(PyObject *o)
{
    int32_t value;
    if (compat::exact_float_value(o, &value))  // GCOVR_EXCL_BR_LINE: true on PyPy only
        return value;  // GCOVR_EXCL_LINE: PyPy only (compat::exact_float_value)
    PyObject *as_int = number_to_int(o);
    if (!as_int)
        return -1;
    value = to_c_int(as_int);
    Py_DECREF(as_int);
    return value;
}

}  // namespace concordix
