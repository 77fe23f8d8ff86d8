"""The Concordix class: creation, attribute lookup, destruction, the capsule."""
import gc
import json
import sys
import weakref

import pytest

import lifecycle
import vorlundpython.Concordix as module
from support import PYPY, run_json, run_python
from vorlundpython.Concordix import Concordix

FIELDS = ("matching", "nonMatching", "nonMissing", "total")


@pytest.mark.parametrize("args, kwargs", [((), {}), ((1, 2), {"x": 3}), (("a",) * 10, {})])
def test_construction_ignores_arguments_and_starts_at_zero(args, kwargs):
    obj = Concordix(*args, **kwargs)
    assert [getattr(obj, f) for f in FIELDS] == [0, 0, 0, 0]


def test_class_shape():
    obj = Concordix()
    assert Concordix.__doc__ is None
    assert Concordix.__module__ == "vorlundpython.Concordix"
    assert type(Concordix.__dict__["__pyx_vtable__"]).__name__ == "PyCapsule"
    if not PYPY:
        # The class's dictionary holds the capsule's only reference: counted
        # the way one counts an object that only a dictionary holds (how a
        # local and an argument count differs between interpreters).
        capsule, alone = Concordix.__dict__["__pyx_vtable__"], {"k": object()}["k"]
        references = sys.getrefcount(capsule), sys.getrefcount(alone) + 1
        del capsule, alone
        assert references[0] == references[1]
    # Class attributes without __get__ read through an instance are the class's own.
    assert obj.__doc__ is None and obj.__pyx_vtable__ is Concordix.__dict__["__pyx_vtable__"]
    if PYPY:
        # PyPy's own: every object takes weak references, and its C-API layer
        # gives the class __dict__ and __weakref__ descriptors (the dict stays
        # empty: assignment refuses unknown names).
        assert weakref.ref(obj)() is obj and obj.__dict__ == {}
    else:
        assert not gc.is_tracked(obj)
        with pytest.raises(TypeError):
            weakref.ref(obj)
        with pytest.raises(AttributeError):
            obj.__dict__
    reason = " and no __dict__ for setting new attributes" if sys.version_info >= (3, 13) else ""
    for assign in (lambda: setattr(obj, "undeclared", 1), lambda: delattr(obj, "undeclared")):
        with pytest.raises(AttributeError) as info:
            assign()
        assert str(info.value) == ("'vorlundpython.Concordix.Concordix' object has no attribute "
                                   "'undeclared'" + reason)
    with pytest.raises(AttributeError) as info:
        obj.__reduce__ = None
    assert str(info.value) == ("'vorlundpython.Concordix.Concordix' object attribute "
                               "'__reduce__' is read-only")


def test_missing_attribute_message():
    with pytest.raises(AttributeError) as info:
        Concordix().nope
    assert str(info.value) == "'vorlundpython.Concordix.Concordix' object has no attribute 'nope'"


@pytest.mark.no_refleak_hunt(reason="drives a fresh interpreter only")
def test_missing_attribute_message_cuts_a_long_type_name_at_50(hooks_build):
    # Only subclasses defined in C inherit the class's own lookup.
    message = run_json("""
        import json
        import vorlundpython.Concordix as m
        try:
            m._long_named_subclass()().nope
        except AttributeError as e:
            print(json.dumps(str(e)))
    """, path=hooks_build)
    assert message == "'vorlundpython.Concordix.SubclassWithANameLongerTha' object has no attribute 'nope'"


@pytest.mark.parametrize("slots", [(), None], ids=["no-dict", "dict"])
def test_python_subclass_gets_the_interpreters_own_missing_attribute_message(slots):
    # A class statement gives every class the interpreter's generic lookup,
    # subclasses of Concordix included; its message cuts the type name at 50
    # characters before 3.12 and at 100 from then on. PyPy's names the whole
    # type.
    name = "SubclassWithAnEightyCharacterName".ljust(80, "x")
    body = {} if slots is None else {"__slots__": slots}
    width = 80 if PYPY else 50 if sys.version_info < (3, 12) else 100
    for cls in (type(name, (Concordix,), dict(body)), type(name, (), dict(body))):
        with pytest.raises(AttributeError) as info:
            cls().nope
        assert str(info.value) == "'%s' object has no attribute 'nope'" % name[:width]


def test_subclass_with_instance_dict_reads_its_own_attributes():
    class WithDict(Concordix):
        pass

    obj = WithDict(5)
    obj.extra = "kept"
    obj.total = 3
    assert (obj.extra, obj.total, obj.matching) == ("kept", 3, 0)


@pytest.mark.parametrize("slots", [(), None], ids=["slots", "dict"])
def test_subclass_finaliser_runs_once_and_may_resurrect(slots):
    calls, kept = [], []

    namespace = {"__del__": lambda self: (calls.append(self.total), kept.append(self))}
    if slots is not None:
        namespace["__slots__"] = slots
    cls = type("Finalised", (Concordix,), namespace)
    obj = cls()
    obj.total = 7
    del obj
    gc.collect()
    assert calls == [7]
    assert kept[0].total == 7  # resurrected, intact


@pytest.fixture(scope="module")
def every_life_in_a_fresh_interpreter(request):
    """The whole family below run once more in a fresh interpreter, with the
    test build's C subclasses where a compiler can build it: a deallocation
    that frees the class while in use ends that process, not this one."""
    try:
        path = request.getfixturevalue("hooks_build")
    except pytest.skip.Exception:
        path = None  # the installed module: Python subclasses only
    proc = run_python("import lifecycle; lifecycle.main()", path=path)
    assert proc.stderr == ""
    return json.loads(proc.stdout.splitlines()[-1])


@pytest.mark.parametrize("shape, behaviour", lifecycle.cases())
def test_every_subclass_shape_is_finalised_once_per_deallocation(
        shape, behaviour, every_life_in_a_fresh_interpreter):
    # Per deallocation: the finaliser's calls (once; once in the object's
    # life where the collector tracks it), what a resurrection keeps (the
    # instance and its counts), and over many rounds the references to the
    # subclass and to Concordix (none lost, none kept; PyPy has no counts to
    # compare). lifecycle.py has the shapes and behaviours.
    if shape in lifecycle.PYTHON_SHAPES:
        assert lifecycle.Case(module, shape, behaviour).run() == []
    key = "%s/%s" % (shape, behaviour)
    if PYPY and shape in lifecycle.C_FINALIZER_SHAPES:
        pytest.skip("PyPy's C-API layer cannot call a C class's own finaliser "
                    "(cpyext: missing slot wrapper wrap_del)")
    if key not in every_life_in_a_fresh_interpreter:
        pytest.skip("C subclasses come with the test build, which needs a compiler")
    assert every_life_in_a_fresh_interpreter[key] == []


def test_abstract_subclass_gets_the_interpreters_own_refusal():
    import abc
    body = {"compare": abc.abstractmethod(lambda self: None)}
    with pytest.raises(TypeError) as theirs:
        abc.ABCMeta("Abstract", (), dict(body))()
    with pytest.raises(TypeError) as ours:  # the arguments are not passed on
        abc.ABCMeta("Abstract", (Concordix,), dict(body))(1, x=2)
    assert str(ours.value) == str(theirs.value)
    assert str(ours.value).startswith("Can't instantiate abstract class Abstract")


def test_new_refuses_unrelated_types():
    with pytest.raises(TypeError):
        Concordix.__new__(int)
    sub = type("Sub", (Concordix,), {})
    assert type(Concordix.__new__(sub)) is sub
