// Conversion of assigned Python values to the 32-bit counts.
#pragma once

#include <Python.h>

#include <cstdint>

#include "compat.hpp"

namespace concordix {

// The range check and the conversion of ints beyond one digit.
int32_t multi_digit_int_to_c_int(PyObject *o);

// Everything that is not an int: through its __int__ slot, then as an int.
int32_t non_int_to_c_int(PyObject *o);

// The value of `o` as a 32-bit signed int by the interpreter's integer
// rules: ints (bool and other subclasses included) by their stored value,
// anything else by its __int__. Returns -1 with an exception set on failure;
// -1 with no exception pending is the value -1.
//
// Inline because every counter assignment goes through it: a zero- or
// one-digit int, which covers all small counts, is answered from the object's
// own fields without a call.
inline int32_t to_c_int(PyObject *o)
{
    if (PyLong_Check(o)) {
        int32_t value;
        if (compat::small_int_value(o, &value))
            return value;
        return multi_digit_int_to_c_int(o);
    }
    return non_int_to_c_int(o);
}

}  // namespace concordix
