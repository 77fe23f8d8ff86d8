// The four counts as Python attributes.
#pragma once

#include <Python.h>

namespace concordix {

// tp_getset of the class: matching, nonMatching, nonMissing, total.
extern PyGetSetDef counter_accessors[];

}  // namespace concordix
