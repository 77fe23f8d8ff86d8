// Conversion of assigned Python values to the 32-bit counts.
#pragma once

#include <Python.h>

#include <climits>
#include <cstdint>

#include "compat.hpp"

namespace concordix {

// Sets OverflowError for a value outside the 32-bit range; returns -1.
int32_t out_of_range();

// Ints of more than one digit: one call into the interpreter and, where C
// long is wider than the counts, the range check.
inline int32_t multi_digit_int_to_c_int(PyObject *o)
{
    // For an int subclass this reads the stored value and calls no method of
    // the object.
    long value = compat::long_value(o);
#if LONG_MAX > INT32_MAX
    if (value < INT32_MIN || value > INT32_MAX)
        return out_of_range();
#endif
    // Where long is 32 bits wide PyLong_AsLong is the range check itself.
    return static_cast<int32_t>(value);
}

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
