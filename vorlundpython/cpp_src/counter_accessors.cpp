// Getters and setters of the four counts: one pair written once and
// instantiated per count, each instance carrying its field and the positions
// its failures report.
#include "counter_accessors.hpp"

#include "compat.hpp"
#include "int_conversion.hpp"
#include "module_state.hpp"
#include "traceback_entries.hpp"

namespace concordix {
namespace {

struct Counter {
    int32_t ConcordixObject::*field;
    const char *getter_name;  // traceback function names
    const char *setter_name;
    int getter_native_line;
    int setter_native_line;
    int declaration_line;  // the field's line in the declarations header
};

constexpr Counter kMatching = {
    &ConcordixObject::matching,
    "vorlundpython.Concordix.Concordix.matching.__get__",
    "vorlundpython.Concordix.Concordix.matching.__set__",
    1323, 1358, 6};
constexpr Counter kNonMatching = {
    &ConcordixObject::nonMatching,
    "vorlundpython.Concordix.Concordix.nonMatching.__get__",
    "vorlundpython.Concordix.Concordix.nonMatching.__set__",
    1399, 1434, 7};
constexpr Counter kNonMissing = {
    &ConcordixObject::nonMissing,
    "vorlundpython.Concordix.Concordix.nonMissing.__get__",
    "vorlundpython.Concordix.Concordix.nonMissing.__set__",
    1475, 1510, 8};
constexpr Counter kTotal = {
    &ConcordixObject::total,
    "vorlundpython.Concordix.Concordix.total.__get__",
    "vorlundpython.Concordix.Concordix.total.__set__",
    1550, 1585, 9};

inline ConcordixObject *as_concordix(PyObject *self)
{
    return reinterpret_cast<ConcordixObject *>(self);
}

template <const Counter &C>
PyObject *get_count(PyObject *self, void *)
{
    PyObject *value = PyLong_FromLong(compat::load_count(&(as_concordix(self)->*C.field)));
    if (!value)
        report_failure(C.getter_name, kDeclarationsFile, C.getter_native_line,
                       C.declaration_line);
    return value;
}

// The count changes only once the value has converted: an __int__ that
// assigns the same attribute is overwritten by the outer assignment, and a
// failed one leaves the count as it was.
template <const Counter &C>
int set_count(PyObject *self, PyObject *value, void *)
{
    if (!value) {
        PyErr_SetString(PyExc_NotImplementedError, "__del__");
        return -1;
    }
    int32_t converted = to_c_int(value);
    if (converted == -1 && PyErr_Occurred()) {
        report_failure(C.setter_name, kDeclarationsFile, C.setter_native_line,
                       C.declaration_line);
        return -1;
    }
    compat::store_count(&(as_concordix(self)->*C.field), converted);
    return 0;
}

template <const Counter &C>
constexpr PyGetSetDef accessor_row(const char *name)
{
    return {const_cast<compat::getset_text>(name), get_count<C>, set_count<C>, nullptr, nullptr};
}

}  // namespace

PyGetSetDef counter_accessors[] = {
    accessor_row<kMatching>("matching"),
    accessor_row<kNonMatching>("nonMatching"),
    accessor_row<kNonMissing>("nonMissing"),
    accessor_row<kTotal>("total"),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace concordix
