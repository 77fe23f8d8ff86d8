"""Programs of operations on a few live Concordix objects, each checked
against a plain Python model of the class.

A program draws every choice from a source (libFuzzer's data through
atheris, or a seeded random generator on interpreters that libFuzzer does
not run on). After every operation the module and the model must agree: the
same result, or the same exception type and text with the same traceback
entries in the module's files. Any disagreement raises `Finding`.
"""
import builtins
import copy
import gc
import pickle
import platform
import struct
import sys
import warnings

from vorlundpython import Concordix as module
from vorlundpython.Concordix import Concordix

PYPY = platform.python_implementation() == "PyPy"
LONG_BITS = 8 * struct.calcsize("l")
COUNTS = ("matching", "nonMatching", "nonMissing", "total")
TYPE_NAME = "vorlundpython.Concordix.Concordix"
DECLARATIONS = ".\\vorlundpython\\Concordix"
STRINGSOURCE = "stringsource"
NATIVE_SOURCE = "vorlundpython/cpp_src/Concordix"
MODULE_FILES = (DECLARATIONS, STRINGSOURCE, "vorlundpython\\cpp_src\\Concordix")
# The setters' native and declaration lines; the refusals' native line after
# raising and their declaration line.
SETTER_LINES = {"matching": (1358, 6), "nonMatching": (1434, 7),
                "nonMissing": (1510, 8), "total": (1585, 9)}
REDUCE = ("__reduce_cython__", 1634, 2)
SETSTATE = ("__setstate_cython__", 1687, 4)
REFUSAL = "no default __reduce__ due to non-trivial __cinit__"
DEPRECATION = ("__int__ returned non-int (type %.200s).  The ability to return an instance "
               "of a strict subclass of int is deprecated, and may be removed in a future "
               "version of Python.")

# Bound now: the program replaces builtins.TypeError for a while.
TypeError = builtins.TypeError
RUNTIME = sys.modules["cython_runtime"]
MISSING = object()
CYCLE = object()
# The module's code-object cache lives as long as the process: keyed by line
# alone, the first entry made for a key names every later one.
CODE_CACHE = {}

BOUNDARIES = [0, 1, 7, 2 ** 30, 2 ** 31, 2 ** 32, 2 ** 62, 2 ** 63, 2 ** 64, 2 ** 100, 10 ** 400]


class Finding(AssertionError):
    pass


def out_of_range(value):
    if -(2 ** (LONG_BITS - 1)) <= value < 2 ** (LONG_BITS - 1):
        return "Python int out of range for a 32-bit signed count (-2147483648 to 2147483647)"
    return "Python int too large to convert to C long"


class Raise:
    """An expected failure. `text` None: any text (the interpreter's own
    wording); `entries` None: the module's entries are not checked."""

    def __init__(self, types, text=None, entries=()):
        self.types = types if isinstance(types, tuple) else (types,)
        self.text = text
        self.entries = None if entries is None else list(entries)

    def __repr__(self):
        return "Raise(%r, %r, %r)" % (self.types, self.text, self.entries)


class Ok:
    def __init__(self, value=None, check=True):
        self.value, self.check = value, check

    def __repr__(self):
        return "Ok(%r)" % (self.value,)


def wrap32(n):
    n &= 0xFFFFFFFF
    return n - (1 << 32) if n >= 1 << 31 else n


def owned_by_program(o):
    """Whether the program alone decides o's reference count. The
    interpreter shares None, bools, small ints and its empty and
    one-character strs and bytes with everything, and making a traceback
    entry's code object takes references to some of them (the empty bytes,
    for one)."""
    if o is None or type(o) is bool:
        return False
    if type(o) is int:
        return not -5 <= o <= 256
    if type(o) in (str, bytes):
        return len(o) > 1
    return True


# Values the conversion meets. Each knows what the conversion must make of it.

class IntSub(int):
    """An int subclass whose own __int__ must never be called."""
    def __int__(self):
        return 999

    def __index__(self):
        return 998


class IndexOnly:
    def __index__(self):
        return 5


class HasInt:
    def __init__(self, result):
        self.result = result

    def __int__(self):
        return self.result


class RaisingInt:
    def __init__(self, n):
        self.n = n

    def __int__(self):
        raise ValueError("boom %d" % self.n)


class ReentrantInt:
    """Assigns the same count of the same instance inside the conversion."""
    def __init__(self, target, name, inner, outer):
        self.target, self.name, self.inner, self.outer = target, name, inner, outer

    def __int__(self):
        setattr(self.target, self.name, self.inner)
        return self.outer


class DroppingInt:
    """Drops the program's reference to the instance being assigned."""
    def __init__(self, program, slot, outer):
        self.program, self.slot, self.outer = program, slot, outer

    def __int__(self):
        self.program.drop(self.slot)
        gc.collect()
        return self.outer


LongName = type("L" * 230, (), {})


class BadBool:
    def __init__(self, mode):
        self.mode = mode

    def __bool__(self):
        if self.mode:
            raise RuntimeError("switch truth")
        return 1  # not a bool: the truth test fails


class FakeTypeError(Exception):
    pass


class RaisesOnCall:
    def __call__(self, *args):
        raise RuntimeError("replaced TypeError")


# Subclasses, made the first time a program asks for them.

RESURRECTED = []
_resurrected_once = set()


def _del_resurrect(self):
    if id(self) not in _resurrected_once:
        _resurrected_once.add(id(self))
        RESURRECTED.append(self)
    else:
        _resurrected_once.discard(id(self))


def _del_raise(self):
    raise RuntimeError("__del__ of a subclass")


def _getattr(self, name):
    if name.startswith("__"):
        raise AttributeError(name)
    return ("getattr", name)


SLOT_KINDS = [None, (), ("a", "b"), ("a", "__weakref__"), ("__dict__",)]
_classes = {}
# The test build's C subclasses, which inherit the class's deallocation: two
# with a finaliser (resurrecting once, like _del_resurrect), with and without
# garbage collection, and two wider ones. Names, and whether they finalise.
C_SUBCLASSES = [("CFinalized", 1), ("CFinalizedGC", 1), ("CWider", 0), ("CWiderGC", 0)]
HAVE_C_SUBCLASSES = hasattr(module, "_c_subclass") and not PYPY


def subclass(slots, with_getattr, with_del):
    key = (slots, with_getattr, with_del)
    if key not in _classes:
        namespace = {}
        if slots is not None:
            namespace["__slots__"] = slots
        if with_getattr:
            namespace["__getattr__"] = _getattr
        if with_del == 1:
            namespace["__del__"] = _del_resurrect
        elif with_del == 2:
            namespace["__del__"] = _del_raise
        _classes[key] = type("Sub%d%d%d" % (SLOT_KINDS.index(slots), with_getattr, with_del),
                             (Concordix,), namespace)
    return _classes[key]


class Model:
    """What an instance must hold: the four counts and, for subclasses that
    can hold them, other attributes."""

    def __init__(self, cls, slots, with_getattr, with_del):
        self.cls = cls
        self.counts = dict.fromkeys(COUNTS, 0)
        self.slots, self.with_getattr, self.with_del = slots, with_getattr, with_del
        self.extra = {}

    @property
    def has_dict(self):
        return self.cls is not Concordix and (self.slots is None or "__dict__" in self.slots or PYPY)

    def can_store(self, name):
        if self.cls is Concordix:
            return False
        return self.has_dict or name in (self.slots or ())


class _SetCounts:
    """set_counts through the class's __pyx_vtable__ capsule."""

    def __init__(self):
        import ctypes

        class TallyRecord(ctypes.Structure):
            _fields_ = [(n, ctypes.c_int32) for n in
                        ("matchingCount", "totalCount", "nonMissingCount", "nonMatchingCount")]

        api = ctypes.pythonapi
        api.PyCapsule_GetPointer.restype = ctypes.c_void_p
        api.PyCapsule_GetPointer.argtypes = [ctypes.py_object, ctypes.c_char_p]
        table = api.PyCapsule_GetPointer(Concordix.__dict__["__pyx_vtable__"], None)
        slot = ctypes.c_void_p.from_address(table).value
        # PYFUNCTYPE: the call keeps the GIL, which set_counts needs.
        self.call = ctypes.PYFUNCTYPE(ctypes.c_void_p, ctypes.py_object, TallyRecord)(slot)
        self.record = TallyRecord
        self.decref = api.Py_DecRef
        self.decref.argtypes = [ctypes.c_void_p]

    def __call__(self, obj, values):
        result = self.call(obj, self.record(*values))
        self.decref(result)
        return result == id(None)


_set_counts = None


def set_counts():
    global _set_counts
    if _set_counts is None:
        _set_counts = _SetCounts()
    return _set_counts


def module_entries(exc):
    entries, tb = [], exc.__traceback__
    last = None
    while tb is not None:
        code = tb.tb_frame.f_code
        last = (code.co_name, code.co_filename, tb.tb_lineno)
        if code.co_filename in MODULE_FILES:
            entries.append(last)
        tb = tb.tb_next
    return entries, last


class Program:
    SLOTS = 4
    MAX_OPS = 48

    def __init__(self, source, log=None):
        self.src = source
        self.objs = [None] * self.SLOTS
        self.models = [None] * self.SLOTS
        self.model_of = {}
        self.log = log
        # The environment as the module sees it.
        self.switch = RUNTIME.__dict__.get("cline_in_traceback", MISSING)
        self.warn_error = False
        self.step = 0

    # -- the oracle

    def entry(self, function, native, declaration, file):
        shown = False
        if native:
            if self.switch is MISSING:
                self.switch = False
            else:
                try:
                    shown = not (not self.switch)
                except BaseException:
                    shown = False
        key = -native if shown else declaration
        name = "%s (%s:%d)" % (function, NATIVE_SOURCE, native) if shown else function
        if key:
            name, file = CODE_CACHE.setdefault(key, (name, file))
        return (name, file, declaration)

    def setter_entry(self, count):
        native, declaration = SETTER_LINES[count]
        return self.entry("%s.%s.__set__" % (TYPE_NAME, count), native, declaration, DECLARATIONS)

    def refusal_entry(self, which):
        name, native, declaration = which
        return self.entry("%s.%s" % (TYPE_NAME, name), native, declaration, STRINGSOURCE)

    def check(self, what, action, expect, inner_python=False):
        self.step += 1
        if self.log:
            self.log("%d %s -> %r" % (self.step, what, expect))
        try:
            result = action()
        except Finding:
            raise
        except BaseException as exc:
            if isinstance(exc, (KeyboardInterrupt, SystemExit)):
                raise
            entries, last = module_entries(exc)
            exc_text = str(exc)
            del exc
            if not isinstance(expect, Raise):
                raise Finding("%s: raised %s %r %r, expected %r"
                              % (what, last, exc_text, entries, expect))
            got_type = sys.exc_info()[0]
            if self.log:
                self.log("   raised %s(%r) %r" % (got_type.__name__, exc_text, entries))
            if not issubclass(got_type, expect.types) or (
                    expect.text is not None and exc_text != expect.text):
                raise Finding("%s: raised %s(%r), expected %r" % (what, got_type.__name__,
                                                                  exc_text, expect))
            if expect.entries is not None:
                if entries != expect.entries:
                    raise Finding("%s: module entries %r, expected %r"
                                  % (what, entries, expect.entries))
                if expect.entries and not inner_python and last != expect.entries[-1]:
                    raise Finding("%s: innermost entry %r, expected %r"
                                  % (what, last, expect.entries[-1]))
            return None
        if isinstance(expect, Raise):
            raise Finding("%s: returned %r, expected %r" % (what, result, expect))
        if expect.check and (type(result) is not type(expect.value) or result != expect.value):
            raise Finding("%s: returned %r, expected %r" % (what, result, expect.value))
        return result

    def verify(self):
        """Every live instance reads what its model holds, and every
        resurrected one still does."""
        pairs = list(zip(self.objs, self.models))
        pairs += [(obj, self.model_of.get(id(obj))) for obj in RESURRECTED]
        for obj, model in pairs:
            if obj is None or model is None:
                continue
            for name in COUNTS:
                got = getattr(obj, name)
                if type(got) is not int or got != model.counts[name]:
                    raise Finding("after step %d: %s reads %r, expected %r"
                                  % (self.step, name, got, model.counts[name]))

    # -- choices

    def pick(self, n):
        return self.src.pick(n)

    def pick_int(self):
        base = BOUNDARIES[self.pick(len(BOUNDARIES))]
        value = base + self.pick(5) - 2
        return -value if self.pick(2) else value

    def value(self, obj, count, slot):
        """A value to assign to `count` of `obj`, and what the conversion
        makes of it: (value, expected result, Python code raising inside)."""
        kind = self.pick(12)
        if kind == 0:
            n = self.pick_int()
            return n, self.converted(n), False
        if kind == 1:
            b = bool(self.pick(2))
            return b, Ok(int(b)), False
        if kind == 2:
            n = self.pick_int()
            # Its stored value counts; its own __int__ is never called.
            return IntSub(n), self.converted(n), False
        if kind == 3:
            f = [3.9, -3.9, 0.5, 2147483647.9, 2147483648.0, -2147483649.5, 1e10, 1e19,
                 1e300, float("inf"), float("-inf"), float("nan")][self.pick(12)]
            try:
                n = int(f)
            except (ValueError, OverflowError) as exc:
                return f, ("refused", type(exc), str(exc)), False
            return f, self.converted(n), False
        if kind == 4:
            v = ["3", b"3", None, [], object(), Concordix(), IndexOnly(), 1j][self.pick(8)]
            if hasattr(type(v), "__int__"):
                # complex up to 3.9 (PyPy 3.9 too): an __int__ that raises.
                try:
                    type(v).__int__(v)
                except TypeError as exc:
                    return v, ("refused", TypeError, str(exc)), True
            return v, self.refused(TypeError, "an integer is required", count), False
        if kind in (5, 6):
            sub = self.pick(8)
            if sub == 0:
                n = self.pick_int()
                return HasInt(n), self.converted(n), False
            if sub in (1, 2):
                result = IntSub(self.pick_int()) if sub == 1 else bool(self.pick(2))
                return HasInt(result), self.deprecated(result, count), False
            bad = ["5", 2.5, None, LongName(), b"", Concordix()][sub - 3 if sub < 8 else 0]
            return HasInt(bad), self.refused(
                TypeError, "__int__ returned non-int (type %.200s)" % type(bad).__name__,
                count), False
        if kind == 7:
            n = self.pick(100)
            return RaisingInt(n), ("refused", ValueError, "boom %d" % n), True
        if kind == 8 and obj is not None:
            inner, outer = self.pick_int(), self.pick_int()
            expect = self.converted(outer)
            model = self.models[slot]
            inner_result = self.converted(inner)
            value = ReentrantInt(obj, count, inner, outer)
            # The inner assignment happens first; the outer one stores last.
            return value, ("reentrant", inner_result, expect, model), False
        if kind == 9:
            outer = self.pick_int()
            return DroppingInt(self, slot, outer), ("dropping", self.converted(outer)), False
        if kind == 10:
            return HasInt(2 ** (31 + self.pick(80))), None, False
        n = self.pick_int()
        return n, self.converted(n), False

    def converted(self, n, count=None):
        if -2 ** 31 <= n < 2 ** 31:
            return Ok(n)
        return ("overflow", n)

    def refused(self, exc_type, text, count):
        return ("refused", exc_type, text)

    def deprecated(self, result, count):
        if self.warn_error:
            return ("refused", DeprecationWarning, DEPRECATION % type(result).__name__)
        # The stored value (int.__int__ would call an override on PyPy).
        return self.converted(int.__add__(result, 0))

    def resolve(self, expect, count):
        """Turns a value's expectation into Ok/Raise for an assignment to
        `count`: the traceback entry is made now, in step order."""
        if isinstance(expect, Ok) or isinstance(expect, Raise):
            return expect
        if expect[0] == "overflow":
            return Raise(OverflowError, out_of_range(expect[1]), [self.setter_entry(count)])
        if expect[0] == "refused":
            return Raise(expect[1], expect[2], [self.setter_entry(count)])
        raise ValueError(expect)

    # -- operations

    def drop(self, slot):
        obj = self.objs[slot]
        model = self.models[slot]
        self.objs[slot] = self.models[slot] = None
        if obj is not None and model is not None and model.with_del != 1:
            self.model_of.pop(id(obj), None)

    def op_new(self, slot):
        kind = self.pick(8)
        args = [(), (1, 2), ("x",)][self.pick(3)]
        kwargs = [{}, {"total": 5}, {"a": None}][self.pick(3)]
        if kind < 3:
            cls, model = Concordix, Model(Concordix, None, 0, 0)
        elif kind == 3 and HAVE_C_SUBCLASSES:
            name, with_del = C_SUBCLASSES[self.pick(len(C_SUBCLASSES))]
            cls = module._c_subclass(name)
            model = Model(cls, (), 0, with_del)
        else:
            slots = SLOT_KINDS[self.pick(len(SLOT_KINDS))]
            if PYPY and slots and ("__weakref__" in slots or "__dict__" in slots):
                # PyPy's instances have both already and refuse the slots.
                slots = ()
            with_getattr, with_del = self.pick(2), self.pick(3)
            cls = subclass(slots, with_getattr, with_del)
            model = Model(cls, slots, with_getattr, with_del)
        self.drop(slot)
        obj = self.check("new %s" % cls.__name__, lambda: cls(*args, **kwargs), Ok(check=False))
        self.objs[slot], self.models[slot] = obj, model
        self.model_of[id(obj)] = model

    def op_read(self, slot):
        obj, model = self.objs[slot], self.models[slot]
        if obj is None:
            return
        count = COUNTS[self.pick(4)]
        route = self.pick(4)
        expect = Ok(model.counts[count])
        if route == 0:
            self.check("getattr " + count, lambda: getattr(obj, count), expect)
        elif route == 1:
            self.check("read ." + count, lambda: READERS[count](obj), expect)
        elif route == 2:
            self.check("descriptor get " + count,
                       lambda: Concordix.__dict__[count].__get__(obj, type(obj)), expect)
        else:
            self.check("object.__getattribute__ " + count,
                       lambda: object.__getattribute__(obj, count), expect)

    def op_write(self, slot):
        obj, model = self.objs[slot], self.models[slot]
        count = COUNTS[self.pick(4)]
        route = self.pick(5)
        value, expect, inner_python = self.value(obj, count, slot)
        if obj is None or route == 4:
            # Onto an instance of another type: the descriptor refuses it
            # before converting anything.
            other = [5, "s", object(), None][self.pick(4)]
            self.check("descriptor set on %s" % type(other).__name__,
                       lambda: Concordix.__dict__[count].__set__(other, value),
                       Raise((TypeError, AttributeError), entries=[]))
            return
        readonly = PYPY and route in (2, 3)
        if readonly:
            expect = Raise(AttributeError, "readonly attribute", entries=[])
        routes = [lambda: setattr(obj, count, value), lambda: WRITERS[count](obj, value),
                  lambda: object.__setattr__(obj, count, value),
                  lambda: Concordix.__dict__[count].__set__(obj, value)]
        what = "write %s=%s by route %d" % (count, type(value).__name__, route)
        if isinstance(expect, tuple) and expect[0] == "reentrant":
            _, inner, outer, m = expect
            inner = self.resolve(inner, count)
            if isinstance(inner, Ok):
                m.counts[count] = inner.value
                expect_outer = self.resolve(outer, count)
                inner_python = True
            else:
                # The inner assignment fails inside __int__: that failure is
                # what the outer one raises.
                inner.entries = None
                expect_outer = inner
        elif isinstance(expect, tuple) and expect[0] == "dropping":
            expect_outer = self.resolve(expect[1], count)
        elif expect is None:
            n = value.result
            expect_outer = self.resolve(self.converted(n), count)
        else:
            expect_outer = self.resolve(expect, count)
        watch_value = not PYPY and type(value) is not int and owned_by_program(value)
        watch_result = (not PYPY and isinstance(value, HasInt)
                        and owned_by_program(value.result))
        refs = sys.getrefcount(value) if watch_value else 0
        result_refs = sys.getrefcount(value.result) if watch_result else 0
        self.check(what, routes[route],
                   Ok(None) if isinstance(expect_outer, Ok) else expect_outer, inner_python)
        if watch_value or watch_result:
            # The assignment keeps no reference to the value or to what its
            # __int__ returned.
            if watch_value and sys.getrefcount(value) != refs:
                raise Finding("%s: the value's reference count went from %d to %d"
                              % (what, refs, sys.getrefcount(value)))
            if watch_result and sys.getrefcount(value.result) != result_refs:
                raise Finding("%s: __int__'s result's reference count went from %d to %d"
                              % (what, result_refs, sys.getrefcount(value.result)))
        if isinstance(expect_outer, Ok):
            model.counts[count] = expect_outer.value

    def op_delete(self, slot):
        obj = self.objs[slot]
        if obj is None:
            return
        count = COUNTS[self.pick(4)]
        route = self.pick(4)
        expect = Raise(NotImplementedError, "__del__", entries=[])
        if PYPY and route in (2, 3):
            expect = Raise((AttributeError, NotImplementedError), entries=[])
        routes = [lambda: delattr(obj, count), lambda: DELETERS[count](obj),
                  lambda: object.__delattr__(obj, count),
                  lambda: Concordix.__dict__[count].__delete__(obj)]
        self.check("delete %s by route %d" % (count, route), routes[route], expect)

    OTHER_NAMES = ("a", "b", "foo", "vtable", "__reduce_cython__", "__setstate_cython__")

    def op_other(self, slot):
        obj, model = self.objs[slot], self.models[slot]
        if obj is None:
            return
        name = self.OTHER_NAMES[self.pick(len(self.OTHER_NAMES))]
        action = self.pick(3)
        if action == 0:
            if name in model.extra:
                expect = Ok(model.extra[name], check=model.extra[name] is not CYCLE)
            elif model.with_getattr and not name.startswith("__"):
                expect = Ok(("getattr", name))
            elif model.cls is Concordix and not PYPY:
                expect = Raise(AttributeError, "'%.50s' object has no attribute '%s'"
                               % (TYPE_NAME, name), entries=[])
            else:
                expect = Raise(AttributeError, entries=[])
            self.check("read other " + name, lambda: getattr(obj, name), expect)
        elif action == 1:
            value = self.pick_int()
            storable = model.can_store(name)
            expect = Ok() if storable else Raise(AttributeError, entries=[])
            self.check("write other " + name, lambda: setattr(obj, name, value), expect)
            if storable:
                model.extra[name] = value
                if self.pick(2) and model.can_store("b"):
                    # A cycle through the instance itself.
                    self.check("cycle", lambda: setattr(obj, "b", [obj]), Ok())
                    model.extra["b"] = CYCLE
        else:
            if name in model.extra:
                expect = Ok()
            else:
                expect = Raise(AttributeError, entries=[])
            self.check("delete other " + name, lambda: delattr(obj, name), expect)
            model.extra.pop(name, None)

    def op_pickle(self, slot):
        obj = self.objs[slot]
        if obj is None:
            return
        how = self.pick(8)
        if how == 0:
            protocol = self.pick(pickle.HIGHEST_PROTOCOL + 2) - 1
            self.check("pickle %d" % protocol, lambda: pickle.dumps(obj, protocol),
                       Raise(TypeError, REFUSAL, [self.refusal_entry(REDUCE)]))
        elif how == 1:
            self.check("copy", lambda: copy.copy(obj),
                       Raise(TypeError, REFUSAL, [self.refusal_entry(REDUCE)]))
        elif how == 2:
            self.check("deepcopy", lambda: copy.deepcopy([obj, obj]),
                       Raise(TypeError, REFUSAL, [self.refusal_entry(REDUCE)]))
        elif how == 3:
            self.check("__reduce__", lambda: obj.__reduce__(),
                       Raise(TypeError, REFUSAL, [self.refusal_entry(REDUCE)]))
        elif how == 4:
            arg = [0, 2, -1, 99, 2 ** 31 - 1, -2 ** 31][self.pick(6)]
            self.check("__reduce_ex__(%r)" % arg, lambda: obj.__reduce_ex__(arg),
                       Raise(TypeError, REFUSAL, [self.refusal_entry(REDUCE)]))
        elif how == 5:
            arg = ["2", None, 2 ** 70, 2.0][self.pick(4)]
            self.check("__reduce_ex__(%r)" % (arg,), lambda: obj.__reduce_ex__(arg),
                       Raise((TypeError, OverflowError), entries=[]))
        elif how == 6:
            state = [None, (), {"total": 1}, obj, b"x" * 3][self.pick(5)]
            self.check("__setstate__", lambda: obj.__setstate__(state),
                       Raise(TypeError, REFUSAL, [self.refusal_entry(SETSTATE)]))
        else:
            wrong = [lambda: obj.__setstate__(), lambda: obj.__reduce__(1),
                     lambda: obj.__setstate__(1, 2)][self.pick(3)]
            self.check("argument count", wrong, Raise(TypeError, entries=[]))

    def op_set_counts(self, slot):
        obj, model = self.objs[slot], self.models[slot]
        if obj is None or PYPY:
            return
        values = [wrap32(self.pick_int()) for _ in range(4)]
        self.check("set_counts %r" % values, lambda: set_counts()(obj, values), Ok(True))
        for name, v in zip(("matching", "total", "nonMissing", "nonMatching"), values):
            model.counts[name] = v

    def op_switch(self):
        choice = self.pick(10)
        target = sys.modules.get("cython_runtime")
        values = [True, False, 0, 1, "", "on", None, BadBool(0), BadBool(1)]
        if choice < len(values):
            if target is None:
                return
            value = values[choice]
            self.check("switch = %r" % (value,),
                       lambda: setattr(target, "cline_in_traceback", value), Ok())
            if target is RUNTIME:
                self.switch = value
        else:
            if target is None:
                return
            present = "cline_in_traceback" in getattr(target, "__dict__", {})
            self.check("del switch", lambda: delattr(target, "cline_in_traceback"),
                       Ok() if present else Raise(AttributeError, entries=[]))
            if target is RUNTIME and present:
                self.switch = MISSING

    def op_read_switch(self):
        got = RUNTIME.__dict__.get("cline_in_traceback", MISSING)
        if got is not self.switch:
            raise Finding("the switch reads %r, expected %r" % (got, self.switch))

    def op_environment(self):
        choice = self.pick(7)
        if choice == 0:
            sys.modules.pop("cython_runtime", None)
        elif choice == 1:
            import types
            sys.modules["cython_runtime"] = types.ModuleType("cython_runtime")
        elif choice == 2:
            sys.modules["cython_runtime"] = RUNTIME
        elif choice == 3:
            builtins.TypeError = [FakeTypeError, FakeTypeError("x"), RaisesOnCall(), 5][self.pick(4)]
        elif choice == 4:
            builtins.TypeError = TypeError
        elif choice == 5:
            self.warn_error = not self.warn_error
            warnings.simplefilter("error" if self.warn_error else "ignore", DeprecationWarning)
        else:
            gc.collect()

    def op_drop(self, slot):
        how = self.pick(4)
        if how == 0:
            self.drop(slot)
        elif how == 1:
            self.drop(slot)
            gc.collect()
        elif how == 2:
            # A cycle of lists through the instance: freed only by the collector.
            obj = self.objs[slot]
            cycle = [obj]
            cycle.append(cycle)
            del cycle, obj
            self.drop(slot)
        else:
            RESURRECTED.clear()
            gc.collect()

    def run(self):
        ops = (self.op_new, self.op_read, self.op_write, self.op_write, self.op_delete,
               self.op_other, self.op_pickle, self.op_set_counts, self.op_drop)
        env_ops = (self.op_switch, self.op_read_switch, self.op_environment)
        try:
            for _ in range(self.MAX_OPS):
                if self.src.exhausted():
                    break
                op = self.pick(len(ops) + len(env_ops))
                if op < len(ops):
                    ops[op](self.pick(self.SLOTS))
                else:
                    env_ops[op - len(ops)]()
                self.verify()
        finally:
            self.restore()

    def restore(self):
        builtins.TypeError = TypeError
        sys.modules["cython_runtime"] = RUNTIME
        warnings.simplefilter("ignore", DeprecationWarning)
        RUNTIME.__dict__.pop("cline_in_traceback", None)
        self.objs = [None] * self.SLOTS
        self.models = [None] * self.SLOTS
        RESURRECTED.clear()
        gc.collect()
        # Nothing of this program is alive now: the ids it resurrected may
        # come back in the next one.
        _resurrected_once.clear()


def _accessors():
    readers, writers, deleters = {}, {}, {}
    for name in COUNTS:
        namespace = {}
        exec("def r(o): return o.%s\n"
             "def w(o, v): o.%s = v\n"
             "def d(o): del o.%s\n" % (name, name, name), namespace)
        readers[name], writers[name], deleters[name] = namespace["r"], namespace["w"], namespace["d"]
    return readers, writers, deleters


READERS, WRITERS, DELETERS = _accessors()


def run_input(data):
    """One fuzzer input: the program its bytes choose, run to its end."""
    Program(DataSource(data)).run()


def prepare():
    """The process-wide starting state every program assumes."""
    warnings.simplefilter("ignore", DeprecationWarning)
    sys.unraisablehook = lambda unraisable: None
    if HAVE_C_SUBCLASSES:
        module._set_c_finalizer(_del_resurrect)


class RandomSource:
    def __init__(self, rng, length):
        self.rng, self.left = rng, length

    def pick(self, n):
        self.left -= 1
        return self.rng.randrange(n) if n > 1 else 0

    def exhausted(self):
        return self.left <= 0


class DataSource:
    """libFuzzer's bytes through atheris: one byte a choice."""

    def __init__(self, data):
        self.data, self.pos = data, 0

    def pick(self, n):
        if self.pos >= len(self.data) or n <= 1:
            return 0
        b = self.data[self.pos]
        self.pos += 1
        return b % n

    def exhausted(self):
        return self.pos >= len(self.data)
