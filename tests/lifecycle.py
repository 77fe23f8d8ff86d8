"""The life of an instance for every shape of subclass a user (or another
extension) can make, with every kind of finaliser, over many rounds.

Shared by tests/test_class.py, in process and in a fresh interpreter (as
``python -c "import lifecycle; lifecycle.main()"``), so that a crash in the
deallocation shows as a failed exit there and a lost or kept reference shows
in the counts here. The C subclasses exist in the test build only.
"""
import gc
import io
import json
import platform
import sys

PYPY = platform.python_implementation() == "PyPy"
HAVE_GC = 1 << 14

PYTHON_SHAPES = ("slots-empty", "slots-named", "dict", "weakref", "cycle", "grandchild")
C_FINALIZER_SHAPES = ("c-finalizer", "c-finalizer-gc")
C_SHAPES = C_FINALIZER_SHAPES + ("c-subclass-of",)
SHAPES = PYTHON_SHAPES + C_SHAPES
BEHAVIOURS = ("none", "plain", "resurrect-always", "resurrect-once", "resurrect-every-other",
              "raise")
# In a fresh interpreter, more rounds than the class has references: a
# round that cost the class one would free it while in use. In process the
# reference count tells at once, and fewer rounds keep the memcheck run short.
ROUNDS = 40
ROUNDS_IN_PROCESS = 10
# Deallocations of one object before an always-resurrecting finaliser lets
# it go.
LIVES = 3
MESSAGE = "raised by a finaliser on purpose"


class Raised(Exception):
    pass


class Case:
    def __init__(self, module, shape, behaviour):
        self.module, self.shape, self.behaviour = module, shape, behaviour
        self.calls = 0
        self.kept = []
        self.let_go = False  # set to end an always-resurrecting object's life
        self.resurrected = False
        self.cls = self.make_class()
        if PYPY:
            self.once_per_object = True  # PyPy runs a finaliser once in an object's life
        else:
            # The collector marks an object it tracks as finalised and never
            # finalises it again; an untracked one is finalised on every
            # deallocation.
            self.once_per_object = bool(self.cls.__flags__ & HAVE_GC)

    def finalize(self, obj):
        self.calls += 1
        b = self.behaviour
        keep = (b == "resurrect-always" or (b == "resurrect-once" and not self.resurrected)
                or (b == "resurrect-every-other" and self.calls % 2 == 1))
        if keep and not self.let_go:
            self.resurrected = True
            self.kept.append(obj)
        if b == "raise":
            raise Raised(MESSAGE)

    def make_class(self):
        m, shape = self.module, self.shape
        body = {}
        if self.behaviour != "none":
            finalize = self.finalize
            body["__del__"] = lambda obj: finalize(obj)
        if shape in ("c-finalizer", "c-finalizer-gc"):
            # The class's own finaliser calls the behaviour; "none" installs nothing.
            m._set_c_finalizer(body.get("__del__"))
            return m._c_subclass("CFinalized" if shape == "c-finalizer" else "CFinalizedGC")
        if shape == "c-subclass-of":
            # A class statement on a C subclass (without a finaliser, of
            # another size) that inherits the class's deallocation.
            return type("OnC", (m._c_subclass("CWider"),), dict(body, __slots__=()))
        base = m.Concordix
        if shape == "grandchild":
            base = type("Child", (base,), {"__slots__": ()})
        # PyPy gives every instance a weak-reference slot already and refuses
        # a second one.
        slots = {"slots-empty": (), "slots-named": ("extra",),
                 "weakref": ("extra",) if PYPY else ("__weakref__",), "grandchild": ()}.get(shape)
        if slots is not None:
            body["__slots__"] = slots
        return type(shape.title().replace("-", ""), (base,), body)

    def release(self, held):
        held.pop()
        if self.shape == "cycle" or PYPY:
            gc.collect()
        if PYPY:
            gc.collect()  # PyPy runs finalisers after the collection that found them

    def run(self, rounds=ROUNDS_IN_PROCESS):
        refs = getattr(sys, "getrefcount", None)
        watched = (self.cls, self.module.Concordix)
        # The classes of earlier cases, garbage in cycles, hold references to
        # Concordix: no collection may free them between the two counts. (A
        # full collection is slow in a large process, under memcheck above all:
        # only the cases that collect anyway start with one.)
        collecting = self.shape == "cycle" or PYPY
        enabled = gc.isenabled()
        if collecting:
            gc.collect()
        else:
            gc.disable()
        before = refs and [refs(o) for o in watched]
        problems = []
        # What the finaliser raises is reported as unraisable: through
        # sys.unraisablehook from 3.8 on (which pytest replaces), on sys.stderr
        # before.
        reported = []
        hook = getattr(sys, "unraisablehook", None)
        stderr, sys.stderr = sys.stderr, io.StringIO()
        if hook:
            sys.unraisablehook = lambda u: reported.append(str(u.exc_value))
        try:
            if collecting:
                rounds = max(2, rounds // 5)  # a full collection per deallocation
            for i in range(rounds):
                self.one_round(i, problems)
            reported = sum(r.count(MESSAGE) for r in reported + [sys.stderr.getvalue()])
            after = refs and [refs(o) for o in watched]
        finally:
            sys.stderr = stderr
            if hook:
                sys.unraisablehook = hook
            if self.shape.startswith("c-finalizer"):
                self.module._set_c_finalizer(None)
            if enabled:
                gc.enable()
        if after != before:  # (PyPy has no reference counts)
            problems.append("references to the class and to Concordix went from %r to %r"
                            % (before, after))
        if self.behaviour == "raise" and reported != self.calls:
            problems.append("%d finaliser calls raised, %d reported" % (self.calls, reported))
        return problems

    def one_round(self, i, problems):
        values = (i, -i, 2**31 - 1 - i, -2**31 + i)
        fields = ("matching", "nonMatching", "nonMissing", "total")
        obj = self.cls()
        if [getattr(obj, f) for f in fields] != [0, 0, 0, 0]:
            problems.append("round %d: a new instance's counts are not 0" % i)
        if not PYPY and gc.is_tracked(obj) != bool(self.cls.__flags__ & HAVE_GC):
            problems.append("round %d: tracked by gc: %r" % (i, gc.is_tracked(obj)))
        for f, v in zip(fields, values):
            setattr(obj, f, v)
        if self.shape == "cycle":
            obj.me = obj
        held = [obj]
        del obj
        # C subclasses with a finaliser count the instances freed.
        frees = self.module._c_frees if self.shape in C_FINALIZER_SHAPES else lambda: 0
        freed = frees()
        self.resurrected = self.let_go = False
        finalised = False
        for life in range(LIVES + 2):
            self.let_go = life + 1 >= LIVES
            calls = self.calls
            self.release(held)
            due = self.behaviour != "none" and not (finalised and self.once_per_object)
            if self.calls - calls != due:
                problems.append("round %d, deallocation %d: %d finaliser calls, expected %d"
                                % (i, life + 1, self.calls - calls, due))
            finalised = finalised or due
            if not self.kept:
                if self.shape in C_FINALIZER_SHAPES and frees() != freed + 1:
                    problems.append("round %d: let go after %d deallocations, %d frees"
                                    % (i, life + 1, frees() - freed))
                return
            if frees() != freed:
                problems.append("round %d, deallocation %d: resurrected, yet freed" % (i, life + 1))
            if len(self.kept) != 1 or tuple(getattr(self.kept[0], f) for f in fields) != values:
                problems.append("round %d: resurrected %r, counts %r" % (
                    i, len(self.kept), [[getattr(o, f) for f in fields] for o in self.kept]))
            held.append(self.kept.pop())
            if self.shape == "cycle":
                held[0].me = held[0]
        problems.append("round %d: still alive after %d deallocations" % (i, LIVES + 2))
        del self.kept[:]


def cases(shapes=SHAPES):
    return [(s, b) for s in shapes for b in BEHAVIOURS]


def main():
    """Every case in this interpreter (the C shapes where the module is the
    test build); prints {"shape/behaviour": [problems]} as JSON."""
    import vorlundpython.Concordix as m
    shapes = [s for s in SHAPES if s in PYTHON_SHAPES or
              (hasattr(m, "_c_subclass") and not (PYPY and s in C_FINALIZER_SHAPES))]
    results = {}
    for shape, behaviour in cases(shapes):
        results["%s/%s" % (shape, behaviour)] = Case(m, shape, behaviour).run(ROUNDS)
    print(json.dumps(results))
