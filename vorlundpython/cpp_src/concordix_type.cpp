// The Concordix class: instance creation and destruction, attribute lookup,
// the C-level table and the import-time set-up of the class.
#include "concordix_type.hpp"

#include "compat.hpp"
#include "counter_accessors.hpp"
#include "module_state.hpp"
#include "pickling_refusal.hpp"

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
PyObject *type_new(PyTypeObject *type, PyObject *, PyObject *)
{
    PyObject *o;
    if (PyType_HasFeature(type, Py_TPFLAGS_IS_ABSTRACT))
        o = PyBaseObject_Type.tp_new(type, module_state.empty_tuple, nullptr);
    else
        o = type->tp_alloc(type, 0);
    if (!o)
        return nullptr;
    auto *self = reinterpret_cast<ConcordixObject *>(o);
    self->vtable = module_state.counts_vtable_ptr;
    cinit(self);
    return o;
}

// Runs a subclass's finaliser from tp_dealloc unless the collector has
// already run it (a Python subclass's own dealloc does so first, and marks
// the instance). True when the finaliser resurrected the instance, which is
// then left untouched. Out of line: no instance of the class itself gets here.
[[gnu::noinline, gnu::cold]] bool finalizer_resurrects(PyObject *o)
{
    // GCOVR_EXCL_START: only a C subclass with a finaliser and no garbage collection gets here
    if (PyType_IS_GC(Py_TYPE(o)) && compat::gc_is_finalized(o))
        return false;
    return PyObject_CallFinalizerFromDealloc(o) != 0;
    // GCOVR_EXCL_STOP
}

// tp_dealloc. Nothing inside an instance is owned.
void type_dealloc(PyObject *o)
{
    if (compat::has_finalizer(Py_TYPE(o)) && finalizer_resurrects(o))  // GCOVR_EXCL_BR_LINE: as above
        return;  // GCOVR_EXCL_LINE: as above
    Py_TYPE(o)->tp_free(o);
}

// tp_getattro for types without an instance dictionary: what the class
// (along its MRO) defines, bound to the instance, without probing a
// dictionary that cannot exist.
PyObject *generic_getattr_no_dict(PyObject *o, PyObject *name)
{
    PyTypeObject *type = Py_TYPE(o);
    // Python subclasses get the interpreter's own lookup, and PyObject_GetAttr
    // checks the name before any slot: only C code reaches the fallback.
    if (type->tp_dictoffset || !PyUnicode_Check(name))  // GCOVR_EXCL_BR_LINE: see above
        return PyObject_GenericGetAttr(o, name);  // GCOVR_EXCL_LINE: see above
    // Owned: a descriptor's __get__ (or, without a GIL, another thread) may
    // drop the class's reference.
    PyObject *found = compat::type_lookup_ref(type, name);
    if (!found) {
        PyErr_Format(PyExc_AttributeError, "'%.50s' object has no attribute '%U'",
                     type->tp_name, name);
        return nullptr;
    }
    descrgetfunc get = Py_TYPE(found)->tp_descr_get;
    if (!get)
        return found;
    PyObject *bound = get(found, o, reinterpret_cast<PyObject *>(type));
    Py_DECREF(found);
    return bound;
}

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
    type.tp_getset = counter_accessors;
    type.tp_new = type_new;
    return type;
}

}  // namespace

PyTypeObject ConcordixType = make_concordix_type();

int type_init()
{
    ModuleState &st = module_state;
    st.counts_vtable_ptr = &st.counts_vtable;
    st.counts_vtable.set_counts = set_counts;

    if (PyType_Ready(&ConcordixType) < 0)
        return type_init_failed(1995);
    compat::clear_print_slot(&ConcordixType);
    // Only the lookup inherited from object is replaced; one that someone
    // installed on purpose stays.
    if (ConcordixType.tp_dictoffset == 0 && ConcordixType.tp_getattro == PyObject_GenericGetAttr)
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
