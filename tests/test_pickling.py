"""Pickling and copying are refused, with entries in "stringsource"."""
import copy
import pickle
import traceback

import pytest

from support import run_json
from vorlundpython.Concordix import Concordix

MESSAGE = "no default __reduce__ due to non-trivial __cinit__"
REDUCE = "vorlundpython.Concordix.Concordix.__reduce_cython__"
SETSTATE = "vorlundpython.Concordix.Concordix.__setstate_cython__"


def innermost(error):
    last = traceback.extract_tb(error.__traceback__)[-1]
    return last.name, last.filename, last.lineno


REDUCTIONS = [
    *[(f"dumps-{p}", lambda o, p=p: pickle.dumps(o, protocol=p))
      for p in range(pickle.HIGHEST_PROTOCOL + 1)],
    ("copy", copy.copy), ("deepcopy", copy.deepcopy),
    *[(f"reduce_ex-{p}", lambda o, p=p: o.__reduce_ex__(p)) for p in range(6)],
    ("reduce", lambda o: o.__reduce__()),
]


@pytest.mark.parametrize("cls", [Concordix, type("Sub", (Concordix,), {})], ids=["class", "subclass"])
@pytest.mark.parametrize("operation", [op for _, op in REDUCTIONS], ids=[n for n, _ in REDUCTIONS])
def test_reduction_is_refused(cls, operation):
    with pytest.raises(TypeError) as info:
        operation(cls())
    assert str(info.value) == MESSAGE
    assert innermost(info.value) == (REDUCE, "stringsource", 2)


def test_setstate_is_refused():
    with pytest.raises(TypeError) as info:
        Concordix().__setstate__({"total": 1})
    assert str(info.value) == MESSAGE
    assert innermost(info.value) == (SETSTATE, "stringsource", 4)


@pytest.mark.parametrize("call, name, line", [
    (lambda o: pickle.dumps(o), REDUCE, 1634), (lambda o: o.__setstate__(0), SETSTATE, 1687)])
def test_native_lines_with_the_switch_on(switch, call, name, line):
    switch(True)
    with pytest.raises(TypeError) as info:
        call(Concordix())
    assert innermost(info.value)[0] == f"{name} (vorlundpython/cpp_src/Concordix:{line})"


@pytest.mark.parametrize("call", [lambda o: o.__reduce__(1), lambda o: o.__setstate__()])
def test_argument_count_errors_never_reach_the_refusal(call):
    with pytest.raises(TypeError) as info:
        call(Concordix())
    assert str(info.value) != MESSAGE
    assert innermost(info.value)[1] != "stringsource"


def test_refusals_stand_under_the_interpreters_names():
    assert Concordix.__reduce__.__name__ == "__reduce_cython__"
    assert Concordix.__setstate__.__name__ == "__setstate_cython__"
    assert {"__reduce__", "__setstate__"} <= set(Concordix.__dict__)
    for moved in ("__reduce_cython__", "__setstate_cython__"):
        assert moved not in Concordix.__dict__
        with pytest.raises(AttributeError):
            getattr(Concordix, moved)


class OwnReduce(Concordix):
    def __reduce__(self):
        return (OwnReduce, ())


class OwnReduceEx(Concordix):
    def __reduce_ex__(self, protocol):
        return (OwnReduceEx, ())


@pytest.mark.parametrize("cls", [OwnReduce, OwnReduceEx])
def test_subclass_with_its_own_reduction_pickles(cls):
    assert type(pickle.loads(pickle.dumps(cls()))) is cls


@pytest.mark.no_refleak_hunt(reason="drives a fresh interpreter only")
def test_recursion_guard_trips_inside_the_refusal():
    # repr() of nested lists enters the interpreter's recursion guard once per
    # level, so some depth near the first failing one leaves exactly the
    # refusal's own guard, the innermost of all, to trip. The refusal is
    # reached from C only (a partial as a static __repr__): a Python frame
    # on the way would take its own, larger, margin first where the guard
    # measures the C stack (3.14).
    #
    # There the guard trips by bytes, not calls: the interpreter's own guard
    # around every method call sits a few bytes above the refusal's, and each
    # list level moves the stack by the same amount, so depth alone may never
    # put the limit between the two. Starting from a few more C frames at the
    # top (`lifted`) shifts it by other amounts; a thread with a small stack
    # keeps the depths, and the time, small. pickle's own guards may sit as
    # close, so the refusal is also tried the way pickle reaches it, through
    # __reduce_ex__.
    result = run_json("""
        import functools, json, pickle, sys, threading, traceback
        from vorlundpython.Concordix import Concordix
        import cython_runtime
        cython_runtime.cline_in_traceback = True
        obj = Concordix()
        MEASURES_STACK = sys.version_info >= (3, 14)
        LEVELS, SCAN = (8, 1) if MEASURES_STACK else (1, 64)

        def attempt(depth, action):
            nested = type("Bottom", (), {"__repr__": staticmethod(action)})()
            for _ in range(depth):
                nested = [nested]
            try:
                repr(nested)
            except RecursionError as e:
                last = traceback.extract_tb(e.__traceback__)[-1].name
                return [last, str(e)]
            except TypeError:  # the refusal itself: not deep enough
                return None

        def first_failing(action):
            low, high = 1, 1
            while attempt(high, action) is None:
                low, high = high, high * 2
            while low < high:
                mid = (low + high) // 2
                low, high = (mid + 1, high) if attempt(mid, action) is None else (low, mid)
            return low

        def lifted(levels, f, *args):
            if not levels:
                return f(*args)
            return next(map(lambda _: lifted(levels - 1, f, *args), [None]))

        def tripped_in_refusal(expected, *actions):
            for action in actions:
                for levels in range(LEVELS):
                    low = lifted(levels, first_failing, action)
                    for depth in range(max(1, low - SCAN), low + SCAN):
                        outcome = lifted(levels, attempt, depth, action)
                        if outcome and outcome[0].startswith(expected):
                            return outcome

        result = []
        def main():
            result.append(tripped_in_refusal("%s", functools.partial(pickle.dumps, obj),
                                             functools.partial(obj.__reduce_ex__, 2)))
            result.append(tripped_in_refusal("%s", functools.partial(obj.__setstate__, None)))

        if MEASURES_STACK:
            threading.stack_size(1 << 19)
            worker = threading.Thread(target=main)
            worker.start()
            worker.join()
        else:
            main()
        print(json.dumps(result))
    """ % (REDUCE, SETSTATE))
    for outcome, (method, line) in zip(result, [(REDUCE, 1630), (SETSTATE, 1683)]):
        assert outcome, f"{method}: no depth trips the refusal's own guard"
        name, message = outcome
        assert name == f"{method} (vorlundpython/cpp_src/Concordix:{line})"
        assert message.endswith(" while calling a Python object")


@pytest.mark.no_refleak_hunt(reason="drives a fresh interpreter only")
def test_setup_reduce_stands_back_for_a_class_with_its_own_pickling(hooks_build):
    result = run_json("""
        import json
        import vorlundpython.Concordix as m

        def refusal_pair():  # named as the module's own are
            def __reduce_cython__(self): return None
            def __setstate_cython__(self, state): return None
            return {"__reduce_cython__": __reduce_cython__,
                    "__setstate_cython__": __setstate_cython__}

        class Getstate:
            def __getstate__(self): return {}
        cases = {
            "plain": type("Plain", (), refusal_pair()),
            "inherited_getstate": type("G", (Getstate,), refusal_pair()),
            "own_reduce_ex": type("E", (), {**refusal_pair(), "__reduce_ex__": lambda s, p: None}),
            "own_reduce": type("R", (), {**refusal_pair(), "__reduce__": lambda s: None}),
            "own_setstate": type("S", (), {**refusal_pair(), "__setstate__": lambda s, x: None}),
        }
        class Unequal(str):  # a __name__ whose comparison fails
            def __eq__(self, other): raise ZeroDivisionError("compared")
            __hash__ = str.__hash__
        class Reducer:
            __name__ = Unequal("__reduce_cython__")
            def __call__(self): return None
        cases["name_unequal"] = type("U", (), {**refusal_pair(), "__reduce__": Reducer()})
        class Nameless:  # asking its instances for __name__ fails
            def __call__(self): return None
        cases["nameless"] = type("N", (), {**refusal_pair(), "__reduce__": Nameless()})

        def failing_lookup(failing, moved=False):
            class Meta(type):
                def __getattribute__(cls, name):
                    if name == failing: raise LookupError(name)
                    return type.__getattribute__(cls, name)
            namespace = refusal_pair()
            if moved:  # the refusal already stands under __reduce__
                namespace["__reduce__"] = namespace["__reduce_cython__"]
                namespace["__reduce__"].__name__ = "__reduce_cython__"
            return Meta(failing + "moved" * moved, (), namespace)
        keys = lambda cls: sorted(k for k in vars(cls) if k.startswith("__re") or k.startswith("__se"))
        report = {name: [m._setup_reduce(cls), keys(cls)] for name, cls in cases.items()}
        report["again"] = [m._setup_reduce(cases["plain"]), keys(cases["plain"])]
        # A subclass with a pair of its own finds the refusals it inherits
        # under the standard names, and moves its own there too.
        sub = type("Sub", (cases["plain"],), refusal_pair())
        report["subclass"] = [m._setup_reduce(sub), keys(sub)]
        for cls in (type("Bare", (), {}), failing_lookup("__reduce_ex__"), failing_lookup("__reduce__"),
                    failing_lookup("__reduce_cython__", moved=True)):
            try:
                m._setup_reduce(cls)
            except Exception as e:
                report[cls.__name__] = type(e).__name__
        # Nothing the set-up makes is left behind, set up, standing back or failing.
        from support import assert_flat
        plain, unequal = cases["plain"], cases["name_unequal"]
        # The __name__ it compares is left as it was, equal (the refusals
        # found moved already) or not. (Names held by nothing else: the
        # interpreter's attribute cache keeps the names it looks up.)
        own = cases["own_setstate"]
        for method, name in ((plain.__reduce__, "__reduce_cython__"),
                             (plain.__setstate__, "__setstate_cython__"),
                             (vars(own)["__setstate__"], "its_own")):
            method.__name__ = "".join(name)
        assert_flat(lambda: m._setup_reduce(plain), plain.__reduce__, plain.__setstate__,
                    plain.__reduce__.__name__, plain.__setstate__.__name__)
        assert_flat(lambda: m._setup_reduce(own), vars(own)["__setstate__"].__name__)
        assert_flat(lambda: m._setup_reduce(unequal), vars(unequal)["__reduce__"], Reducer.__name__)
        def failed(cls=failing_lookup("__reduce__")):
            try:
                m._setup_reduce(cls)
            except LookupError:
                pass
        assert_flat(failed)
        print(json.dumps(report))
    """, path=hooks_build)
    pair = ["__reduce_cython__", "__setstate_cython__"]
    assert result == {
        "plain": [0, ["__reduce__", "__setstate__"]],
        "inherited_getstate": [0, pair],
        "own_reduce_ex": [0, ["__reduce_cython__", "__reduce_ex__", "__setstate_cython__"]],
        "own_reduce": [0, ["__reduce__", *pair]],
        "own_setstate": [0, ["__reduce__", "__setstate__", "__setstate_cython__"]],
        "again": [0, ["__reduce__", "__setstate__"]],  # a repeated set-up finds nothing to move
        "subclass": [0, ["__reduce__", "__setstate__"]],
        "name_unequal": [0, ["__reduce__", *pair]],  # stands back, nothing left pending
        "nameless": [0, ["__reduce__", *pair]],
        "Bare": "AttributeError",
        "__reduce_ex__": "LookupError",
        "__reduce__": "LookupError",
        "__reduce_cython__moved": "LookupError",
    }


@pytest.mark.no_refleak_hunt(reason="drives a fresh interpreter only")
def test_exception_creation_and_raising_paths(hooks_build):
    result = run_json("""
        import json
        import vorlundpython.Concordix as m

        class Odd(Exception):
            def __new__(cls, *args): return 5

        class Failing(Exception):
            def __init__(self): raise KeyError("in the constructor")

        def outcome(call, *args):
            try:
                call(*args)
            except BaseException as e:
                return [type(e).__name__, str(e)]

        def exact_references():
            # A class called with a tuple (the refusal's TypeError) or raised
            # (called with the empty tuple, which 3.12 made immortal): once
            # the exception is gone, neither tuple keeps a reference.
            import sys
            refs = getattr(sys, "getrefcount", lambda o: 0)
            made = ("made", object())
            before = [refs(made), refs(())]
            outcome(m._call_object, KeyError, made)
            outcome(m._raise_exception, KeyError)
            outcome(m._raise_exception, KeyError)
            return [refs(made), refs(())] == before
        print(json.dumps([
            outcome(m._raise_exception, KeyError("instance")),
            outcome(m._raise_exception, KeyError),
            outcome(m._raise_exception, Odd),
            outcome(m._raise_exception, 7),
            outcome(m._raise_exception, Failing),
            outcome(m._call_object, m._silent_failure(), ()),
            outcome(m._call_object, 3, ()),
            outcome(m._call_object, TypeError, ("made",)) is None,
            exact_references(),
        ]))
    """, path=hooks_build)
    assert result[:2] == [["KeyError", "'instance'"], ["KeyError", ""]]
    assert result[2][0] == "TypeError" and result[2][1].endswith(
        "should have returned an instance of BaseException, not <class 'int'>")
    assert result[3] == ["TypeError", "raise: exception class must be a subclass of BaseException"]
    assert result[4] == ["KeyError", "'in the constructor'"]
    assert result[5] == ["SystemError", "NULL result without error in PyObject_Call"]
    assert result[6][0] == "TypeError"
    assert result[7] is True
    assert result[8] is True
