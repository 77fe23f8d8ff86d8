// The Concordix class: instance creation and destruction, attribute lookup,
// the C-level table and the import-time set-up of the class.
#include "concordix_type.hpp"

#include "compat.hpp"
#include "counter_accessors.hpp"
#include "module_state.hpp"
#include "pickling_refusal.hpp"

#include <cstddef>

namespace concordix {
namespace {

// Creation ignores the caller's arguments: every instance starts with all
// four counts at 0, whatever the class was called with.
void cinit(ConcordixObject *self)
{
    self->matching = 0;
    self->nonMatching = 0;
    self->nonMissing = 0;
    self->total = 0;
}

// tp_new. No tp_init of its own: the base object's initialiser accepts the
// extra arguments of a class that overrides tp_new, so construction takes
// any arguments.
//
// `type` must be the class or a subclass: the instance record is written
// into what `type` allocates. CPython's `Concordix.__new__(X)` refuses
// anything else before getting here; PyPy's passes on any object, and C
// code may call the slot directly, so it is checked here too, with CPython's
// own texts.
PyObject *type_new(PyTypeObject *type, PyObject *, PyObject *)
{
    PyObject *o;
    if (type == &ConcordixType) {
        // The class itself: never abstract, never collected by gc, and its
        // tp_alloc is object's; made directly, the common case costs no more
        // than a type with plain members.
        o = compat::new_exact_object(type, sizeof(ConcordixObject));
    } else {
        if (!PyType_Check(reinterpret_cast<PyObject *>(type))) {
            PyErr_Format(PyExc_TypeError, "%s.__new__(X): X is not a type object (%s)",
                         ConcordixType.tp_name, Py_TYPE(type)->tp_name);
            return nullptr;
        }
        if (!PyType_IsSubtype(type, &ConcordixType)) {
            PyErr_Format(PyExc_TypeError, "%s.__new__(%s): %s is not a subtype of %s",
                         ConcordixType.tp_name, type->tp_name, type->tp_name,
                         ConcordixType.tp_name);
            return nullptr;
        }
        // Subclasses keep their own allocation: another size, gc support.
        int abstract = compat::is_abstract(type);
        if (abstract < 0)  // GCOVR_EXCL_BR_LINE: fails on PyPy only
            return nullptr;  // GCOVR_EXCL_LINE: as above
        o = abstract ? compat::new_abstract(type, module_state.empty_tuple)
                     : type->tp_alloc(type, 0);
    }
    if (!o)
        return nullptr;
    auto *self = reinterpret_cast<ConcordixObject *>(o);
    self->vtable = module_state.counts_vtable_ptr;
    cinit(self);
    return o;
}

void type_dealloc(PyObject *o);

// Runs the finaliser of a C subclass that inherits this deallocation, unless
// it has run already (see compat::finalizer_pending). True when the finaliser
// resurrected the instance, which is then left untouched. Out of line: no
// instance of the class itself gets here.
[[gnu::noinline, gnu::cold]] bool finalizer_resurrects(PyObject *o)
{
    if (!compat::finalizer_pending(o, type_dealloc))
        return false;
    return PyObject_CallFinalizerFromDealloc(o) != 0;
}

// tp_dealloc. Nothing inside an instance is owned. A C subclass collected by
// gc that inherits this deallocation is untracked before it is freed, as
// every deallocation of such an object must; the finaliser above still sees
// it tracked, which its resurrection needs.
void type_dealloc(PyObject *o)
{
    PyTypeObject *type = Py_TYPE(o);
    if (compat::has_finalizer(type) && finalizer_resurrects(o))
        return;
    if (PyType_IS_GC(type))
        PyObject_GC_UnTrack(o);
    type->tp_free(o);
}

// tp_getattro for types without an instance dictionary: what the class
// (along its MRO) defines, bound to the instance, without probing a
// dictionary that cannot exist.
PyObject *generic_getattr_no_dict(PyObject *o, PyObject *name)
{
    PyTypeObject *type = Py_TYPE(o);
    // Python subclasses get the interpreter's own lookup, and PyObject_GetAttr
    // checks the name before any slot: only C code reaches the fallback.
    if (compat::has_instance_dict(type) || !PyUnicode_Check(name))  // GCOVR_EXCL_BR_LINE: see above
        return PyObject_GenericGetAttr(o, name);  // GCOVR_EXCL_LINE: see above
    // Owned: a descriptor's __get__ (or, without a GIL, another thread) may
    // drop the class's reference.
    PyObject *found = compat::type_lookup_ref(type, name);
    if (!found) {
        PyErr_Format(PyExc_AttributeError, "'%.50s' object has no attribute '%U'",
                     compat::NameWithin<50>(type->tp_name).get(), name);
        return nullptr;
    }
    descrgetfunc get = Py_TYPE(found)->tp_descr_get;
    if (!get)
        return found;
    PyObject *bound = get(found, o, reinterpret_cast<PyObject *>(type));
    Py_DECREF(found);
    return bound;
}

// GCOVR_EXCL_START: PyPy only (compat::kAttributeSlotsBeforeReady, compat::kNewChecksNothing,
// compat::kCountsAsNativeFields)
constexpr int kCounts = 4;

// Where the counts are read as native fields (compat::kCountsAsNativeFields):
// one read-only field per row of the accessor table, in its order.
compat::NativeField count_fields[kCounts + 1] = {
    compat::read_only_int_field("matching", offsetof(ConcordixObject, matching)),
    compat::read_only_int_field("nonMatching", offsetof(ConcordixObject, nonMatching)),
    compat::read_only_int_field("nonMissing", offsetof(ConcordixObject, nonMissing)),
    compat::read_only_int_field("total", offsetof(ConcordixObject, total)),
    {},
};

// The fields' interned names and the descriptors that readying made of them,
// both owned for the life of the process, so that the pointers stay those
// objects' (PyPy's C-API layer keeps one C object per object only while it
// is referenced). An import that failed and is tried again replaces them.
PyObject *count_names[kCounts];
PyObject *count_descriptors[kCounts];

int remember_count_fields(PyTypeObject *type)
{
    for (int i = 0; i < kCounts; ++i) {
        Py_CLEAR(count_descriptors[i]);
        Py_XSETREF(count_names[i], PyUnicode_InternFromString(count_fields[i].name));
        if (!count_names[i])
            return -1;
        PyObject *descriptor = PyDict_GetItemWithError(type->tp_dict, count_names[i]);
        if (!descriptor) {
            if (!PyErr_Occurred())
                PyErr_SetObject(PyExc_KeyError, count_names[i]);
            return -1;
        }
        Py_INCREF(descriptor);
        count_descriptors[i] = descriptor;
    }
    return 0;
}

// The setter of the count whose field `found` is, or null.
setter count_setter(PyObject *found)
{
    for (int i = 0; i < kCounts; ++i)
        if (found == count_descriptors[i])
            return counter_accessors[i].set;
    return nullptr;
}

// tp_setattro where the interpreter would otherwise give instances of the
// class a dictionary (compat::kAttributeSlotsBeforeReady): the generic
// assignment of an object without one, with the interpreter's texts. A name
// that the class defines goes to its descriptor, a count to its setter; any
// other is refused.
int setattr_no_dict(PyObject *o, PyObject *name, PyObject *value)
{
    PyTypeObject *type = Py_TYPE(o);
    if (compat::kCountsAsNativeFields && type == &ConcordixType) {
        // Compiled code passes the interned name: the class itself (no
        // subclass can shadow its fields) needs no lookup then.
        for (int i = 0; i < kCounts; ++i)
            if (name == count_names[i])
                return counter_accessors[i].set(o, value, nullptr);
    }
    if (!PyUnicode_Check(name))
        return PyObject_GenericSetAttr(o, name, value);
    PyObject *found = compat::type_lookup_ref(type, name);
    // A count's field is read-only to the interpreter's own assignment: its
    // setter converts and reports failures as the class does.
    setter count = compat::kCountsAsNativeFields && found ? count_setter(found) : nullptr;
    descrsetfunc set = found ? Py_TYPE(found)->tp_descr_set : nullptr;
    int result = -1;
    if (count)
        result = count(o, value, nullptr);
    else if (compat::has_instance_dict(type))
        result = PyObject_GenericSetAttr(o, name, value);
    else if (set)
        result = set(found, o, value);
    else if (found)
        PyErr_Format(PyExc_AttributeError, "'%.100s' object attribute '%U' is read-only",
                     compat::NameWithin<100>(type->tp_name).get(), name);
    else
        PyErr_Format(PyExc_AttributeError, compat::kNoAttributeToSet,
                     compat::NameWithin<100>(type->tp_name).get(), name);
    Py_XDECREF(found);
    return result;
}

// __getattr__ where the class's lookup cannot be its slot
// (compat::kAttributeSlotsBeforeReady): the interpreter's own lookup found
// nothing, and the class's lookup raises its own message.
PyObject *missing_attribute(PyObject *o, PyObject *name)
{
    return generic_getattr_no_dict(o, name);
}

PyMethodDef missing_attribute_method = {"__getattr__", missing_attribute, METH_O, nullptr};

// Stores `value` (a new reference, or null after a failure) under `name` in
// the class's own dictionary, for the class's lookups to find.
int store_in_class(PyTypeObject *type, const char *name, PyObject *value)
{
    if (!value)
        return -1;
    int stored = PyDict_SetItemString(type->tp_dict, name, value);
    Py_DECREF(value);
    if (stored < 0)
        return -1;
    PyType_Modified(type);
    return 0;
}

int install_missing_attribute_hook(PyTypeObject *type)
{
    return store_in_class(type, "__getattr__", PyDescr_NewMethod(type, &missing_attribute_method));
}

// __new__ where the interpreter's own does not check its arguments
// (compat::kNewChecksNothing): CPython's texts for a missing argument, then
// tp_new, which refuses anything but the class and its subclasses itself.
PyObject *checked_new(PyObject *self, PyObject *args, PyObject *kwargs)
{
    auto *type = reinterpret_cast<PyTypeObject *>(self);
    Py_ssize_t count = PyTuple_GET_SIZE(args);
    if (count < 1) {
        PyErr_Format(PyExc_TypeError, "%s.__new__(): not enough arguments", type->tp_name);
        return nullptr;
    }
    PyObject *rest = PyTuple_GetSlice(args, 1, count);
    if (!rest)
        return nullptr;
    PyObject *o = type->tp_new(reinterpret_cast<PyTypeObject *>(PyTuple_GET_ITEM(args, 0)), rest,
                               kwargs);
    Py_DECREF(rest);
    return o;
}

PyMethodDef checked_new_function = {"__new__", reinterpret_cast<PyCFunction>(
                                                   reinterpret_cast<void (*)()>(checked_new)),
                                    METH_VARARGS | METH_KEYWORDS, nullptr};

int install_checked_new(PyTypeObject *type)
{
    return store_in_class(type, "__new__",
                          PyCFunction_NewEx(&checked_new_function,
                                            reinterpret_cast<PyObject *>(type), nullptr));
}

// GCOVR_EXCL_STOP

// The one slot of the C-level table: four plain stores, no checks. (Each is
// whole where other threads may read the count at once.)
PyObject *set_counts(ConcordixObject *o, TallyRecord r)
{
    compat::store_count(&o->matching, r.matchingCount);
    compat::store_count(&o->nonMatching, r.nonMatchingCount);
    compat::store_count(&o->nonMissing, r.nonMissingCount);
    compat::store_count(&o->total, r.totalCount);
    Py_INCREF(Py_None);
    return Py_None;
}

// Publishes the table as a nameless capsule. It has no destructor: the table
// is static and outlives every consumer.
int set_vtable(PyObject *dict, CountsVTable *table)
{
    PyObject *capsule = PyCapsule_New(table, nullptr, nullptr);
    if (!capsule)
        return -1;
    int stored = PyDict_SetItem(dict, module_state.strings.pyx_vtable, capsule);
    Py_DECREF(capsule);
    return stored < 0 ? -1 : 0;
}

int type_init_failed(int native_line)
{
    record_error_position(kImplementationFile, 4, native_line);
    return -1;
}

PyTypeObject make_concordix_type()
{
    PyTypeObject type = compat::static_type_object("vorlundpython.Concordix.Concordix");
    type.tp_basicsize = sizeof(ConcordixObject);
    type.tp_itemsize = 0;
    type.tp_dealloc = type_dealloc;
    type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE;
    type.tp_methods = refusal_methods;
    if (compat::kCountsAsNativeFields)
        compat::set_native_fields(&type, count_fields);
    else
        type.tp_getset = counter_accessors;
    type.tp_new = type_new;
    if (compat::kAttributeSlotsBeforeReady) {
        type.tp_setattro = setattr_no_dict;
    }
    return type;
}

}  // namespace

PyTypeObject ConcordixType = make_concordix_type();

void type_forget_runtime(void **kept)
{
    compat::forget_ended_runtime(&ConcordixType, kept);
}

int type_init()
{
    ModuleState &st = module_state;
    st.counts_vtable_ptr = &st.counts_vtable;
    st.counts_vtable.set_counts = set_counts;

    if (PyType_Ready(&ConcordixType) < 0)
        return type_init_failed(1995);
    if (compat::kAttributeSlotsBeforeReady && install_missing_attribute_hook(&ConcordixType) < 0)
        return type_init_failed(1995);
    if (compat::kCountsAsNativeFields && remember_count_fields(&ConcordixType) < 0)
        return type_init_failed(1995);
    if (compat::kNewChecksNothing && install_checked_new(&ConcordixType) < 0)
        return type_init_failed(1995);
    compat::clear_print_slot(&ConcordixType);
    // Only the lookup inherited from object is replaced; one that someone
    // installed on purpose stays.
    if (!compat::has_instance_dict(&ConcordixType) &&
        ConcordixType.tp_getattro == PyObject_GenericGetAttr)
        ConcordixType.tp_getattro = generic_getattr_no_dict;

    PyObject *type = reinterpret_cast<PyObject *>(&ConcordixType);
    if (set_vtable(ConcordixType.tp_dict, st.counts_vtable_ptr) < 0)
        return type_init_failed(2000);
    if (PyObject_SetAttrString(st.module, "Concordix", type) < 0)
        return type_init_failed(2001);
    if (setup_reduce(type) < 0)
        return type_init_failed(2002);
    return 0;
}

}  // namespace concordix
