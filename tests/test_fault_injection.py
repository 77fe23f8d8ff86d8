"""Allocation-failure sweeps: for n = 0, 1, 2, ... the n-th allocation of an
operation fails (and, in a second pass, every allocation from the n-th on),
until the operation runs without meeting a failure. Each step must end in the
operation's normal outcome or a clean MemoryError, never a crash, a
SystemError, an exception pending behind a success or a success without an
exception; afterwards the module must work normally."""
import json

import pytest

from support import out_of_range, run_python

try:
    import _testcapi
except Exception:  # PyPy's tries to compile itself from a source it lacks
    _testcapi = None

pytestmark = [
    pytest.mark.skipif(not hasattr(_testcapi, "set_nomemory"),
                       reason="needs _testcapi.set_nomemory (CPython's test C API, shipped "
                              "with the interpreter's test suite)"),
    pytest.mark.no_refleak_hunt(reason="drives a fresh interpreter only"),
]

# Failure points swept per operation, for the terminal summary.
SWEPT = {}

# Shared by every subprocess below. The probe after the operation tells
# whether the armed failure was ever reached: if not, one of its many
# allocations meets it. (Allocation counts vary a little from one attempt to
# the next as free lists fill and drain, so a probe of one or two allocations
# could be stepped over.) Being C calls, its calls also turn an exception left
# pending behind a success into a SystemError right there.
HARNESS = r'''
import gc, json, sys, traceback
import _testcapi

gc.disable()  # a collection inside the window would shift the failure points
DECLARATIONS = ".\\vorlundpython\\Concordix"
IMPLEMENTATION = "vorlundpython\\cpp_src\\Concordix"
STRINGSOURCE = "stringsource"
PREFIX = "vorlundpython.Concordix.Concordix."
MESSAGE = "no default __reduce__ due to non-trivial __cinit__"
REDUCE = (PREFIX + "__reduce_cython__", STRINGSOURCE, 2)
SETSTATE = (PREFIX + "__setstate_cython__", STRINGSOURCE, 4)
counts = {}
PROBE = 1000


def attempt(op, start, stop):
    # Released now, the MemoryErrors of earlier steps (kept alive by their
    # tracebacks' cycles) go back to the interpreter's own reserve.
    gc.collect()
    # A Python frame that is left with an exception looks up its caller's
    # frame object and, if making that object fails, the interpreter drops
    # the exception being raised (3.11). Made here, before the failures are
    # armed, this frame's object is already there for `op` and for any
    # Python code that a C-level `op` calls.
    sys._getframe()
    _testcapi.set_nomemory(start, stop)
    try:
        try:
            result, error = op(), None
        except BaseException as e:
            result, error = None, e
        try:
            for _ in range(PROBE):
                object()
            fired = True
        except MemoryError:
            fired = False
    finally:
        _testcapi.remove_mem_hooks()
    return result, error, fired


def entries(error):
    frames = traceback.StackSummary.extract(traceback.walk_tb(error.__traceback__),
                                            lookup_lines=False)
    return [(e.name, e.filename, e.lineno) for e in frames
            if e.filename in (DECLARATIONS, IMPLEMENTATION, STRINGSOURCE)]


def describe(result, error):
    if error is None:
        return "returned %r" % (result,)
    return "raised %s(%r) with entries %r" % (type(error).__name__, str(error), entries(error))


def outcome_of(check, result, error, fired, where):
    try:
        check(result, error, fired)
    except AssertionError as e:
        raise AssertionError("%s: %s (%s)" % (where, describe(result, error), e)) from None


# What a check is given as `fired` when every allocation from the failure
# point on fails; True is one failing allocation that was reached.
FOR_GOOD = "for good"


def sweep(name, op, check, prepare=None):
    """Single failures at n = 0, 1, ... until one is never reached, then the
    same points failing for good. Records the number of failure points.
    `op` is best a C-level callable (see attempt); `prepare(n)`, when given,
    resets the state and returns the operation for step n."""
    prepare = prepare or (lambda n: op)
    n = 0
    while True:
        result, error, fired = attempt(prepare(n), n, n + 1)
        outcome_of(check, result, error, fired, "%s, allocation %d failing" % (name, n))
        if not fired:
            break
        n += 1
        assert n < PROBE, name
    for k in range(n):
        result, error, _ = attempt(prepare(k), k, 0)
        outcome_of(check, result, error, FOR_GOOD, "%s, allocations from %d on failing" % (name, k))
    counts[name] = n


def expect_failure(error, fired, exception, message, entry):
    """A failing operation: its own exception with its one entry, or a
    MemoryError; under memory pressure the entry may be missing."""
    assert error is not None, "no exception"
    if isinstance(error, MemoryError) and fired:
        assert entries(error) in ([], [entry]), "unexpected entries"
        return
    # Before 3.8 object.__reduce_ex__ discards a failure to get the object's
    # own __reduce__ (here: to bind the refusal) and falls back to the default
    # reduction, which refuses the class in its own words.
    if (sys.version_info < (3, 8) and fired and type(error) is TypeError
            and str(error) == "can't pickle vorlundpython.Concordix.Concordix objects"):
        return
    # Before 3.11 PyErr_SetString sets the exception without its text when
    # the text cannot be made.
    assert type(error) is exception and (
        str(error) == message or (fired and not str(error))), "wrong exception"
    assert entries(error) in (([], [entry]) if fired else ([entry],)), "wrong entries"


def expect_success(result, error, fired, value, entry, entry_certain=False):
    """An operation that succeeds: its value, or a MemoryError carrying at
    most the one entry that `entry` names (None: no entry at all)."""
    if error is None:
        assert result == value, "wrong value"
        return
    assert type(error) is MemoryError and fired, "unexpected exception"
    # A read allocates one int and nothing else: when that one allocation
    # fails, the entry's own all succeed, and it must be there.
    expected = [[entry]] if entry_certain and fired is True else ([], [entry] if entry else [])
    assert entries(error) in expected, "unexpected entries"


def check_normal():
    """The module works normally: construction, the counts, a failing
    assignment's one entry, both refusals with theirs."""
    from vorlundpython.Concordix import Concordix
    import cython_runtime
    cython_runtime.cline_in_traceback = False
    # The C-level table is published for native consumers.
    assert type(Concordix.__dict__["__pyx_vtable__"]).__name__ == "PyCapsule"
    obj = Concordix(1, two=2)
    for i, field in enumerate(("matching", "nonMatching", "nonMissing", "total")):
        assert getattr(obj, field) == 0, field
        setattr(obj, field, 10**6 + i)
        assert getattr(obj, field) == 10**6 + i, field
    try:
        obj.total = "x"
    except TypeError as e:
        assert entries(e) == [(PREFIX + "total.__set__", DECLARATIONS, 9)], entries(e)
    assert obj.total == 10**6 + 3
    for call, entry in ((obj.__reduce__, REDUCE), (lambda: obj.__setstate__(None), SETSTATE)):
        try:
            call()
        except TypeError as e:
            assert str(e) == MESSAGE and entries(e) == [entry], describe(None, e)
        else:
            raise AssertionError("refusal did not raise")
'''


@pytest.fixture(scope="module", autouse=True)
def _summary(request):
    manager = request.config.pluginmanager

    class Summary:
        def pytest_terminal_summary(self, terminalreporter):
            if SWEPT:
                terminalreporter.write_sep("-", "allocation failure points swept")
                for name, count in SWEPT.items():
                    terminalreporter.write_line(f"{name}: {count}")
                terminalreporter.write_line(f"total: {sum(SWEPT.values())}")

    if not manager.has_plugin("fault-injection-summary"):
        manager.register(Summary(), "fault-injection-summary")


DICT_GROWTH_PROBE = """
import _testcapi
for size in range(1, 40):
    d = {"k%d" % i: i for i in range(size)}
    _testcapi.set_nomemory(0, 1)
    try:
        d.setdefault("new", 1)
    except MemoryError:
        pass
    finally:
        try:
            _testcapi.remove_mem_hooks()
        except SystemError:
            pass
    for i in range(100):
        d["more%d" % i] = i
"""


@pytest.fixture(scope="module")
def interpreter_survives_failed_dict_growth():
    # The class set-up fills the class's dictionary with the interpreter's
    # own PyDict_SetDefaultRef, which in some releases (3.13.0, 3.13.5) carries
    # on after failing to grow the dictionary: the GIL build crashes on its
    # next growth, the free-threaded one raises SystemError at once.
    if run_python(DICT_GROWTH_PROBE, check=False).returncode != 0:
        pytest.skip("this interpreter carries on after a failed dict growth in "
                    "dict.setdefault (and crashes or raises SystemError), with or "
                    "without the module")


def run_sweeps(body, record_property, **kwargs):
    proc = run_python(HARNESS + body + "\ncheck_normal()\nprint(json.dumps(counts))\n", **kwargs)
    # Nothing is printed either: no ignored exception, no warning.
    assert proc.stderr == ""
    counts = json.loads(proc.stdout.splitlines()[-1])
    SWEPT.update(counts)
    record_property("allocation_failure_points", json.dumps(counts))
    assert counts and all(counts.values()), counts
    return counts


IMPORT_SWEEP = r'''
import ctypes, importlib.util, os, signal
import vorlundpython

NAME = "vorlundpython.Concordix"
spec = importlib.util.find_spec(NAME)


def entry_point():
    entry = ctypes.PyDLL(spec.origin).PyInit_Concordix
    entry.restype = ctypes.py_object
    return entry


def import_step(runtime, start, stop):
    """In a forked child: the extension's creation with the failures armed,
    then, with the hooks removed, an ordinary import."""
    signal.alarm(60)
    if runtime:
        import types
        sys.modules["cython_runtime"] = types.ModuleType("cython_runtime")
        sys.modules["cython_runtime"].cline_in_traceback = True
    # The entry point itself, as the extension loader calls it: the whole of
    # the module's own import sequence. The loader's bookkeeping after it
    # returns is the interpreter's, and some releases crash there on a failed
    # allocation whatever the module (3.11 debug builds delete from
    # sys.modules with the MemoryError still set; 3.14.0 corrupts its cache
    # of single-phase modules).
    result, error, fired = attempt(entry_point(), start, stop)
    if error is not None:
        assert type(error) is MemoryError and (fired or stop == 0), describe(None, error)
        # One entry at most, for the import itself, never with a native line.
        assert entries(error) in ([], [("init " + NAME, IMPLEMENTATION, 1)],
                                  [("init " + NAME, IMPLEMENTATION, 4)]), entries(error)
        # Either nothing is left in sys.modules or the complete module is
        # (the interpreter may fail after the module's own sequence ended).
        left = sys.modules.get(NAME)
        assert left is None or {"Concordix", "__test__"} <= set(vars(left)), sorted(vars(left))
    else:
        assert result is sys.modules[NAME] and "__test__" in vars(result)
        # What the import system does once the entry point has returned:
        # without a spec, 3.15 warns about the module's globals whenever it
        # formats a traceback entry.
        result.__spec__, result.__loader__ = spec, spec.loader
    if runtime:
        assert sys.modules["cython_runtime"].cline_in_traceback is True
    import vorlundpython.Concordix
    check_normal()
    return fired


def in_child(step, *args):
    read_end, write_end = os.pipe()
    pid = os.fork()
    if pid == 0:
        os.close(read_end)
        try:
            report = {"fired": step(*args)}
        except BaseException as e:
            report = {"error": "%s: %s" % (type(e).__name__, e)}
        os.write(write_end, json.dumps(report).encode())
        # The C library's exit: the loaded libraries' finalisers run (an
        # instrumented build writes its coverage counters there), the
        # interpreter's own finalisation, the parent's to do, does not.
        ctypes.CDLL(None).exit(0)
    os.close(write_end)
    data = b""
    while True:
        chunk = os.read(read_end, 65536)
        if not chunk:
            break
        data += chunk
    os.close(read_end)
    _, status = os.waitpid(pid, 0)
    assert status == 0 and data, "child for %r died with status %d" % (args, status)
    report = json.loads(data)
    assert "error" not in report, "%r: %s" % (args, report["error"])
    return report["fired"]


def preregistered_step(start, stop):
    """The entry point called directly, as in import_step, with another
    module registered under the name: it must stay."""
    import types
    signal.alarm(60)
    sentinel = sys.modules[NAME] = types.ModuleType(NAME)
    result, error, fired = attempt(entry_point(), start, stop)
    assert sys.modules.get(NAME) is sentinel, "the module registered first was replaced"
    if error is None:
        assert result is not sentinel and "__test__" in vars(result)
    else:
        assert type(error) is MemoryError and (fired or stop == 0), describe(None, error)
    return fired


for step, args, name in ((import_step, (False,), "import"),
                         (import_step, (True,), "import (cython_runtime present, switch on)"),
                         (preregistered_step, (), "import (name registered before)")):
    n = 0
    while in_child(step, *args, n, n + 1):
        n += 1
    for k in range(n):
        in_child(step, *args, k, 0)
    counts[name] = n
'''


def test_import(record_property, interpreter_survives_failed_dict_growth):
    counts = run_sweeps(IMPORT_SWEEP, record_property)
    assert counts["import"] > 20


OBJECT_SWEEPS = r'''
import copy, pickle
from functools import partial
from vorlundpython.Concordix import Concordix
import cython_runtime

FIELDS = ("matching", "nonMatching", "nonMissing", "total")
NATIVE = {"matching": (1323, 1358, 6), "nonMatching": (1399, 1434, 7),
          "nonMissing": (1475, 1510, 8), "total": (1550, 1585, 9)}


def native_entry(function, line, declaration_line):
    return ("%s (vorlundpython/cpp_src/Concordix:%d)" % (function, line), DECLARATIONS,
            declaration_line)


# (b) construction: no entry ever.
for cls in (Concordix, type("Slotted", (Concordix,), {"__slots__": ()}),
            type("WithDict", (Concordix,), {})):
    def check(result, error, fired, cls=cls):
        expect_success(None if result is None else (type(result), result.total),
                       error, fired, (cls, 0), None)
    sweep("construction of " + cls.__name__, partial(cls, 1, key=2), check)

# (c) reading a count that needs a new int; with the switch on, each getter's
# entry has a key of its own.
cython_runtime.cline_in_traceback = True
obj = Concordix()
for i, field in enumerate(FIELDS):
    setattr(obj, field, 10**6 + i)
    entry = native_entry(PREFIX + field + ".__get__", NATIVE[field][0], NATIVE[field][2])
    sweep("read of " + field, partial(getattr, obj, field),
          lambda r, e, f, i=i, entry=entry: expect_success(r, e, f, 10**6 + i, entry,
                                                           entry_certain=True))


# (d) assignments, through the cached entry and, with the switch on, a fresh
# one per count.
class Returns:
    def __init__(self, result):
        self.result = result

    def __int__(self):
        return int(self.result)


for switch in (False, True):
    cython_runtime.cline_in_traceback = switch
    for field in FIELDS:
        native, declaration = NATIVE[field][1], NATIVE[field][2]
        setter = PREFIX + field + ".__set__"
        entry = native_entry(setter, native, declaration) if switch else (setter, DECLARATIONS, declaration)
        label = "%s (switch %s)" % (field, "on" if switch else "off")

        def prepare(n, field=field, value=None):
            setattr(obj, field, 77)
            return partial(setattr, obj, field, value)

        for value, stored in ((2.5e6, 2500000), (Returns("123456789"), 123456789)):
            def check(result, error, fired, stored=stored, field=field, entry=entry):
                expect_success(getattr(obj, field) if error is None else None,
                               error, fired, stored, entry)
                assert getattr(obj, field) in (77, stored), "count changed to another value"
            sweep("assignment of %s to %s" % (type(value).__name__, label), None, check,
                  partial(prepare, value=value))
        for value, exception, message in (
                ("x", TypeError, "an integer is required"),
                (Returns(2**40), OverflowError, OUT_OF_RANGE)):
            def check(result, error, fired, field=field, entry=entry, exception=exception,
                      message=message):
                expect_failure(error, fired, exception, message, entry)
                assert getattr(obj, field) == 77, "count changed"
            sweep("failing assignment of %s to %s" % (type(value).__name__, label), None, check,
                  partial(prepare, value=value))

# (e) the refusals.
cython_runtime.cline_in_traceback = False
# 3.6's object.__reduce_ex__ looks up object.__reduce__ on its first call
# and, when that fails for want of memory, returns NULL without an exception
# (for any class). Called once beforehand, it leaves the module's own
# allocations to the sweep.
object().__reduce_ex__(2)
for label, call, entry in (
        ("__reduce__", obj.__reduce__, REDUCE),
        ("__reduce_ex__", partial(obj.__reduce_ex__, 2), REDUCE),
        ("__setstate__", partial(obj.__setstate__, None), SETSTATE),
        ("pickle.dumps", partial(pickle.dumps, obj), REDUCE),
        ("copy.copy", partial(copy.copy, obj), REDUCE)):
    sweep("refusal by " + label, call,
          lambda r, e, f, entry=entry: expect_failure(e, f, TypeError, MESSAGE, entry))
'''


def test_objects(record_property):
    run_sweeps("OUT_OF_RANGE = %r\n" % str(out_of_range(2**40)) + OBJECT_SWEEPS, record_property)


# (d), (f): the hooks build makes an entry exactly as a failing site does, with
# any key, so that every step meets a code object that is not cached yet.
ENTRY_SWEEPS = r'''
from functools import partial
import vorlundpython.Concordix as m
import cython_runtime

fresh = iter(range(100000, 10**9, 7))


def cache_size():
    return m._code_cache()[0]


# Each failure point met this many times over with one key: what a failed
# step made must be released, so the interpreter's count of allocated blocks
# ends where it began, give or take the one code object cached.
REPEATS = 40


def no_step_leaks(name, prepare):
    if not sys.getallocatedblocks():
        return  # PYTHONMALLOC=malloc: no blocks counted (the sanitizer runs set it)
    for k in range(counts[name]):
        gc.collect()
        before = sys.getallocatedblocks()
        for repeat in range(REPEATS):
            attempt(prepare(k, again=repeat > 0), k, k + 1)
        gc.collect()
        grown = sys.getallocatedblocks() - before
        assert grown < REPEATS // 2, "%s, allocation %d failing %d times: %d blocks more" % (
            name, k, REPEATS, grown)


def entry_sweep(name, switch, native, fill_cache=False):
    outcomes = set()
    state = {}

    def prepare(n, again=False):
        if switch is None:
            cython_runtime.__dict__.pop("cline_in_traceback", None)
        else:
            cython_runtime.cline_in_traceback = switch
        while fill_cache and cache_size() % 64:
            key = next(fresh)
            try:
                m._raise_with_entry(KeyError(), "filler", 0, key, 1)
            except KeyError:
                pass
        if not again:
            state["line"] = next(fresh)
            state["native"] = next(fresh) if native else 0
        state["before"] = cache_size()
        return partial(m._raise_with_entry, KeyError("k"), "site", state["native"],
                       state["line"], 1)

    def check(result, error, fired):
        shown = state["native"] and switch
        function = "site (vorlundpython/cpp_src/Concordix:%d)" % state["native"] if shown else "site"
        entry = (function, IMPLEMENTATION, state["line"])
        assert error is not None, "no exception"
        if type(error) is KeyError:
            assert str(error) == "'k'" and entries(error) in ([], [entry]), "wrong exception"
        else:
            assert type(error) is MemoryError and fired, "unexpected exception"
            assert entries(error) in ([], [entry]), "unexpected entries"
        cached = cache_size() - state["before"]
        assert cached in (0, 1), "cache grew by %d" % cached
        assert fired or (type(error) is KeyError and entries(error) == [entry] and cached), \
            "no failure met, yet not the normal outcome"
        if switch is None:
            assert cython_runtime.__dict__.get("cline_in_traceback", False) is False
        outcomes.add((type(error).__name__, bool(entries(error)), cached))

    sweep(name, None, check, prepare)
    if not fill_cache:
        no_step_leaks(name, prepare)
    return outcomes


entry_sweep("entry, switch off", False, native=False)
entry_sweep("entry with a native line, switch missing", None, native=True)
entry_sweep("entry with a native line, switch on", True, native=True)
grown = entry_sweep("entry that grows the cache", False, native=False, fill_cache=True)
# Some step failed only the cache's growth: the entry still came, uncached.
assert ("KeyError", True, 0) in grown, grown
'''


@pytest.mark.no_refleak_hunt(reason="drives a fresh interpreter only")
def test_entries(record_property, hooks_build):
    run_sweeps(ENTRY_SWEEPS, record_property, path=hooks_build)
