"""Time ``vorlundpython.Concordix`` against other ways of holding four int32 counts.

Normally started by ``bash benchmarks/run``, which prepares the virtual
environment, installs the package, builds the native contenders and then runs
this file with the environment's interpreter.  It can also be run directly with
that interpreter (see ``--help``), e.g. under valgrind for ``--callgrind-loop``.

How figures are taken
---------------------
* Every cell (operation x contender) is a ``timeit.Timer`` over a compiled
  statement.  The setup copies the object, the class and the helpers into
  locals (``o = _o``), so every contender runs the very same loop: timeit's
  ``for _i in _it:`` around the statement, with fast-local access to ``o``.
* Each cell gets its own loop count, calibrated so that one sample lasts about
  ``--sample-ms`` milliseconds.  Samples are taken in rounds.  A round samples
  every cell once: rows in a fresh random order, and the contenders of a row
  back to back, again shuffled, so that contenders compared with each other
  are sampled under nearly the same machine conditions.
* A cell's figure is the median of its samples minus the median per-iteration
  cost of the empty loop (statement ``pass``), which is sampled once per round
  and printed with the table.  Fill rows time one call of a C loop over a
  list of N instances and divide by N.  timeit switches the garbage collector
  off during each sample, for every contender alike.
* Ratios (contender / Concordix in the table; above 1 means Concordix is
  faster) are the median over rounds of the ratio within each round, which
  cancels most of the drift in machine load that a ratio of medians keeps.
  Targets are judged on the same ratios.
* Timing targets missed by at most 5 % are re-measured (both cells, a few more
  passes of all rounds) and concluded on the median of the pass ratios.
* Samples are read off the benchmarking thread's CPU clock
  (``time.thread_time``), so time spent preempted by other work on a shared
  machine is not counted; ``--clock wall`` uses ``time.perf_counter``.  When
  allowed (root), the process also raises its own scheduling priority.
"""

from __future__ import annotations

import argparse
import ctypes
import functools
import gc
import itertools
import json
import os
import pickle
import platform
import random
import statistics
import sys
import time
import timeit
import warnings
from collections import namedtuple

FIELDS = ("matching", "nonMatching", "nonMissing", "total")

Row = namedtuple("Row", "key label stmt")

ROWS = [
    Row("construct", "construct", "C()"),
    Row("read", "read attribute", "o.matching"),
    Row("write_small", "write small int (5)", "o.matching = 5"),
    Row("write_large", "write 2**31-1", "o.matching = 2147483647"),
    Row("write_bool", "write bool (True)", "o.matching = True"),
    Row("write_float", "write float (2.5)", "o.matching = 2.5"),
    Row("write_fail", "failing write (str)",
        "try:\n    o.matching = 'x'\nexcept Exception:\n    pass"),
    Row("pickle", "pickling attempt (refused)",
        "try:\n    dumps(o)\nexcept Exception:\n    pass"),
    Row("fill_setattr", "fill from C, per instance: 4 x PyObject_SetAttr",
        "fill(lst)"),
    Row("fill_table", "fill from C, per instance: C-level table "
        "(PyMemberDef: direct stores)", "fill(lst)"),
]
ROW_BY_KEY = {r.key: r for r in ROWS}
FILL_ROWS = ("fill_setattr", "fill_table")
WRITE_VALUES = {"write_small": 5, "write_large": 2147483647, "write_bool": True,
                "write_float": 2.5}
SETUP = "o = _o; C = _C; dumps = _dumps; fill = _fill; lst = _lst"
NOISE = 1.05


class Contender:
    def __init__(self, key, label, cls):
        self.key = key
        self.label = label
        self.cls = cls


# --- contenders written in Python -------------------------------------------

class SlotsCounts:
    __slots__ = FIELDS

    def __init__(self):
        self.matching = 0
        self.nonMatching = 0
        self.nonMissing = 0
        self.total = 0


class CtypesCounts(ctypes.Structure):
    _fields_ = [(name, ctypes.c_int32) for name in FIELDS]


if sys.version_info >= (3, 10):
    import dataclasses

    # Module level, like the other contenders, so that pickle can find it.
    @dataclasses.dataclass(slots=True)
    class DataclassCounts:
        matching: int = 0
        nonMatching: int = 0
        nonMissing: int = 0
        total: int = 0
else:
    DataclassCounts = None


def import_optional(name, problems):
    try:
        return __import__(name)
    except ImportError as exc:
        problems.append("%s: %s" % (name, exc))
        return None


def load_contenders(problems):
    """Every contender that can be had here, Concordix first."""
    found = []
    try:
        from vorlundpython.Concordix import Concordix
    except ImportError as exc:
        problems.append("vorlundpython.Concordix not importable: %s" % exc)
    else:
        found.append(Contender("concordix", "Concordix", Concordix))
    member = import_optional("_bench_member", problems)
    if member is not None:
        found.append(Contender("member", "PyMemberDef (C)", member.Counts))
    found.append(Contender("slots", "__slots__", SlotsCounts))
    dc = DataclassCounts
    if dc is None:
        problems.append("dataclass(slots=True) needs Python 3.10+")
    else:
        found.append(Contender("dataclass", "dataclass(slots)", dc))
    found.append(Contender("ctypes", "ctypes.Structure", CtypesCounts))
    for key, label in (("pybind11", "pybind11"), ("nanobind", "nanobind")):
        mod = import_optional("_bench_" + key, problems)
        if mod is not None:
            found.append(Contender(key, label, mod.Counts))
    return found


# --- what each cell runs -----------------------------------------------------

def expected_fill(i):
    m = i & 0x7F
    return (m, 1, m + 2, m + 3)


def fill_function(row_key, contender, problems):
    fill = import_optional("_bench_fill", problems)
    if fill is None:
        return None, "fill extension not built"
    if row_key == "fill_setattr":
        return fill.setattr_fill, None
    if contender.key == "concordix":
        mod = import_optional("_bench_concordix_fill", problems)
        if mod is None:
            return None, "table loop not built"
        return mod.table_fill, None
    if contender.key == "member":
        return functools.partial(fill.member_direct_fill, contender.cls), None
    return None, "have no C-level table"


def prepare(row, contender, fill_n, problems):
    """Globals for the cell's timer, or (None, why not) when it does not apply.

    Each cell runs its statement once here, so a contender that refuses an
    operation (or accepts one it should refuse) is reported instead of timed,
    and a fill loop that stores wrong values stops the run.
    """
    env = {"_o": None, "_C": contender.cls, "_dumps": pickle.dumps,
           "_fill": None, "_lst": None}
    note = None
    if row.key in FILL_ROWS:
        fill, why = fill_function(row.key, contender, problems)
        if fill is None:
            return None, why
        lst = [contender.cls() for _ in range(fill_n)]
        fill(lst)
        got = [tuple(getattr(o, f) for f in FIELDS) for o in lst]
        want = [expected_fill(i) for i in range(fill_n)]
        if got != want:
            bad = next(i for i in range(fill_n) if got[i] != want[i])
            raise SystemExit("%s / %s stored %r for instance %d, expected %r"
                             % (row.key, contender.label, got[bad], bad,
                                want[bad]))
        env["_fill"], env["_lst"] = fill, lst
        return env, None
    o = contender.cls()
    env["_o"] = o
    if row.key == "construct" or row.key == "read":
        exec(row.stmt, dict(env, o=o, C=contender.cls))
        return env, None
    if row.key in WRITE_VALUES:
        value = WRITE_VALUES[row.key]
        with warnings.catch_warnings(record=True) as warned:
            warnings.simplefilter("always")
            try:
                setattr(o, "matching", value)
            except Exception as exc:
                return None, "refused it (%s)" % type(exc).__name__
        stored = o.matching
        if warned:
            # Older interpreters still convert a float for T_INT, but through
            # the warnings machinery, which is what the figure then measures.
            note = "converted it with a %s" % warned[0].category.__name__
        elif type(stored) is not int:
            note = "stored the %s unconverted" % type(value).__name__
        elif stored != int(value):
            raise SystemExit("%s stored %r for %r" % (contender.label, stored,
                                                      value))
        return env, note
    if row.key == "write_fail":
        try:
            o.matching = "x"
        except Exception:
            return env, None
        return None, "accepted a str"
    if row.key == "pickle":
        try:
            pickle.dumps(o)
        except Exception:
            return env, None
        return None, "pickled it"
    raise ValueError(row.key)


# --- timing ------------------------------------------------------------------

class Cell:
    def __init__(self, row, contender, timer, per_call):
        self.row = row
        self.contender = contender
        self.timer = timer
        self.per_call = per_call  # operations per statement execution
        self.number = 1
        self.samples = []  # seconds per statement execution

    def sample(self):
        self.samples.append(self.timer.timeit(self.number) / self.number)


def calibrate(timer, target_s):
    """Loop count that makes one sample last about target_s."""
    number = 1
    while True:
        t = timer.timeit(number)
        if t >= target_s / 5 or number >= 1 << 30:
            return max(1, int(number * target_s / max(t, 1e-9)))
        number *= 4


def clock(opts):
    """The benchmarking thread's CPU time, unless wall time is asked for.

    CPU time leaves out the stretches in which the process sits preempted by
    other work on a shared machine, which otherwise land on whichever
    contender happened to be running.
    """
    if opts.clock == "wall" or not hasattr(time, "thread_time"):
        return time.perf_counter
    return time.thread_time


def empty_cell(sample_s, quick, quick_number, timer_clock):
    timer = timeit.Timer("pass", SETUP, timer_clock, globals=_blank_env())
    cell = Cell(None, None, timer, 1)
    cell.number = quick_number if quick else calibrate(timer, sample_s)
    return cell


def _blank_env():
    return {"_o": None, "_C": None, "_dumps": None, "_fill": None, "_lst": None}


def run_rounds(cells, empty, rounds, rng):
    """Sample every cell once per round, a row's contenders back to back.

    Rows come in a fresh random order each round, and so do the contenders
    within a row, so that contenders compared with each other are sampled
    under nearly the same machine conditions.
    """
    by_row = {}
    for cell in cells:
        by_row.setdefault(cell.row.key, []).append(cell)
    groups = list(by_row.values())
    for _ in range(rounds):
        empty.sample()
        rng.shuffle(groups)
        for group in groups:
            rng.shuffle(group)
            for cell in group:
                cell.sample()


def net_ns(samples, empty_s, per_call):
    """Median cost of one operation in ns, empty loop removed."""
    return (statistics.median(samples) - empty_s) * 1e9 / per_call


def paired_ratio(a, b, empty_s):
    """Median over rounds of a's cost over b's cost in the same round.

    Pairing by round cancels most of the slow changes in machine load that a
    ratio of two medians would keep.
    """
    ratios = []
    for sa, sb in zip(a.samples, b.samples):
        na = (sa - empty_s) / a.per_call
        nb = (sb - empty_s) / b.per_call
        if nb <= 0:
            return None  # the cell is lost in the loop's own cost
        ratios.append(na / nb)
    return statistics.median(ratios) if ratios else None


class Results:
    def __init__(self):
        self.ns = {}      # (row, contender) -> ns per operation
        self.notes = {}   # (row, contender) -> note for n/a or odd cells
        self.cells = {}
        self.empty = None
        self.empty_s = 0.0
        self.has_concordix = False
        self.load = (None, None)

    def figure(self, row_key, contender_key):
        return self.ns.get((row_key, contender_key))

    def ratio(self, a, b):
        """Paired ratio of two measured cells, or None."""
        if a not in self.cells or b not in self.cells:
            return None
        return paired_ratio(self.cells[a], self.cells[b], self.empty_s)


def measure(contenders, opts, problems, rows=ROWS):
    rng = random.Random(opts.seed)
    res = Results()
    res.has_concordix = any(c.key == "concordix" for c in contenders)
    quick_number = 1000
    for row in rows:
        for c in contenders:
            env, note = prepare(row, c, opts.fill_n, problems)
            if note is not None:
                res.notes[(row.key, c.key)] = note
            if env is None:
                continue
            timer = timeit.Timer(row.stmt, SETUP, clock(opts), globals=env)
            per_call = opts.fill_n if row.key in FILL_ROWS else 1
            cell = Cell(row, c, timer, per_call)
            if opts.quick:
                cell.number = 1 if per_call > 1 else quick_number
            else:
                cell.number = calibrate(timer, opts.sample_ms / 1e3)
            res.cells[(row.key, c.key)] = cell
    res.empty = empty_cell(opts.sample_ms / 1e3, opts.quick, quick_number,
                           clock(opts))
    run_rounds(list(res.cells.values()), res.empty, opts.rounds, rng)
    res.empty_s = statistics.median(res.empty.samples)
    for key, cell in res.cells.items():
        res.ns[key] = net_ns(cell.samples, res.empty_s, cell.per_call)
    return res


def remeasure_ratio(res, a, b, opts, passes):
    """Paired ratios a/b from `passes` further passes of all rounds.

    Fresh cells share the timers but not the samples, so a re-measure never
    shifts the round pairing that other checks of the same cells rely on.
    """
    rng = random.Random(opts.seed + 1)
    ratios = []
    for _ in range(passes):
        cells = []
        for key in (a, b):
            old = res.cells[key]
            cell = Cell(old.row, old.contender, old.timer, old.per_call)
            cell.number = old.number
            cells.append(cell)
        empty = Cell(None, None, res.empty.timer, 1)
        empty.number = res.empty.number
        run_rounds(cells, empty, opts.rounds, rng)
        ratio = paired_ratio(cells[0], cells[1],
                             statistics.median(empty.samples))
        if ratio is not None:
            ratios.append(ratio)
    return ratios


# --- targets -----------------------------------------------------------------

def verdict(ratio, limit):
    if ratio <= limit:
        return "PASS"
    if ratio <= limit * NOISE:
        return "MISS (within noise)"
    return "MISS"


def conclude(first, extra, limit):
    """Final verdict once a near miss has been re-measured."""
    ratio = statistics.median([first] + list(extra))
    return ratio, verdict(ratio, limit)


TimingCheck = namedtuple("TimingCheck", "tid text a b limit")


def timing_checks(res):
    """Every timing target that both of its cells were measured for."""
    checks = []
    c = "concordix"
    t1 = ("construct", "read", "write_small", "write_large", "write_bool",
          "write_float")
    for row in t1:
        checks.append(TimingCheck(
            "T1", "%s <= 1.00 x PyMemberDef" % row, (row, c), (row, "member"),
            1.0))
    for row in ROW_BY_KEY:
        checks.append(TimingCheck(
            "T2", "%s >= 5 x faster than pybind11" % row, (row, c),
            (row, "pybind11"), 0.2))
    for row in ROW_BY_KEY:
        checks.append(TimingCheck(
            "T3", "%s faster than nanobind" % row, (row, c), (row, "nanobind"),
            1.0))
    for other in ("slots", "dataclass"):
        checks.append(TimingCheck(
            "T4", "construct faster than %s" % other, ("construct", c),
            ("construct", other), 1.0))
    checks.append(TimingCheck(
        "T5", "table fill >= 4 x faster than 4 x PyObject_SetAttr",
        ("fill_table", c), ("fill_setattr", c), 0.25))
    return checks


def pypy_timing_checks(res):
    """PyPy's targets, against its own native fields.

    PyPy serves a PyMemberDef field itself: no call leaves its JIT-compiled
    code.  A write to the class's counts must reach its assignment slot (the
    class's conversion, texts and traceback entries), one call into C through
    PyPy's C-API layer, and an int's value then takes one call back into
    PyPy: hence the wider bound for writes.
    """
    c = "concordix"
    checks = [TimingCheck("P1", "read <= 1.20 x PyMemberDef", ("read", c),
                          ("read", "member"), 1.2)]
    for row in ("write_small", "write_large", "write_bool", "write_float"):
        checks.append(TimingCheck(
            "P2", "%s <= 2.00 x PyMemberDef" % row, (row, c), (row, "member"),
            2.0))
    return checks


TARGET_TITLES = {
    "T1": "read, write, construction at most 1.00 x the PyMemberDef type",
    "T2": "at least 5 x faster than pybind11 on every row",
    "T3": "faster than nanobind on every row",
    "T4": "construction faster than __slots__ and dataclass",
    "T5": "native fill through the table at least 4 x faster than setattr",
    "T6": "small-int write allocates nothing (100,000 writes)",
    "T7": "repeated failing write creates no new code object",
}

PYPY_TARGET_TITLES = {
    "P1": "read at most 1.20 x the PyMemberDef type (PyPy)",
    "P2": "every write at most 2.00 x the PyMemberDef type (PyPy)",
}

PYPY = platform.python_implementation() == "PyPy"


def stated_targets(pypy=PYPY):
    """The targets that a run on this interpreter states, by id."""
    return PYPY_TARGET_TITLES if pypy else TARGET_TITLES


def evaluate_timing(res, opts, pypy=PYPY):
    lines = []
    for chk in (pypy_timing_checks if pypy else timing_checks)(res):
        fa, fb = res.figure(*chk.a), res.figure(*chk.b)
        if fa is None or fb is None:
            if not res.has_concordix:
                why = "Concordix not importable"
            else:
                why = res.notes.get(chk.a) or res.notes.get(chk.b) or \
                    "not measured"
                who = chk.a if chk.a in res.notes else chk.b
                why = "%s: %s" % (who[1], why)
            lines.append((chk.tid, chk.text, "n/a (%s)" % why))
            continue
        ratio = res.ratio(chk.a, chk.b)
        if ratio is None:
            lines.append((chk.tid, chk.text, "n/a (%s: no time left after "
                          "the empty loop)" % chk.b[1]))
            continue
        first = verdict(ratio, chk.limit)
        detail = "%.1f vs %.1f ns, ratio %.3f (limit %.2f)" % (
            fa, fb, ratio, chk.limit)
        if first == "MISS (within noise)":
            extra = remeasure_ratio(res, chk.a, chk.b, opts, opts.recheck)
            final_ratio, final = conclude(ratio, extra, chk.limit)
            detail += "; re-measured in %d more passes: %s -> median %.3f" % (
                len(extra), ", ".join("%.3f" % r for r in extra), final_ratio)
            status = "%s -> %s" % (first, final)
        else:
            status = first
        lines.append((chk.tid, chk.text, "%s: %s" % (status, detail)))
    return lines


def _write_small_loop(o, it):
    for _ in it:
        o.matching = 5


def _blocks_after_writes(o, n):
    it = itertools.repeat(None, n)
    before = sys.getallocatedblocks()
    _write_small_loop(o, it)
    return sys.getallocatedblocks() - before


def allocation_delta(cls, n=100000):
    """Blocks left allocated by n small-int writes after a warm-up.

    The same probe with zero writes is subtracted: reading the block count
    itself leaves an int object behind.
    """
    o = cls()
    _write_small_loop(o, itertools.repeat(None, 1000))
    enabled = gc.isenabled()
    gc.disable()
    try:
        _blocks_after_writes(o, 0)
        baseline = _blocks_after_writes(o, 0)
        return _blocks_after_writes(o, n) - baseline
    finally:
        if enabled:
            gc.enable()


def failing_write_codes(cls, n=500):
    """Code objects of the traceback entries below the caller, per failure."""
    o = cls()
    seen = []
    for _ in range(n):
        try:
            o.matching = "x"
        except TypeError as exc:
            tb = exc.__traceback__.tb_next
            codes = []
            while tb is not None:
                codes.append(tb.tb_frame.f_code)
                tb = tb.tb_next
            seen.append(codes)
        else:
            raise SystemExit("%s accepted a str" % cls.__name__)
    return seen


def code_object_verdict(seen):
    if not seen or not seen[0]:
        return "MISS (no traceback entry below the failing write)"
    first = seen[0]
    for codes in seen[1:]:
        if len(codes) != len(first) or any(a is not b
                                           for a, b in zip(codes, first)):
            return "MISS (a failing write produced a different code object)"
    names = ", ".join("%s:%s" % (c.co_filename, c.co_firstlineno)
                      for c in first)
    return "PASS: %d failing writes share the same code object(s) (%s)" % (
        len(seen), names)


def evaluate_static(contenders):
    by_key = {c.key: c for c in contenders}
    lines = []
    conc = by_key.get("concordix")
    if conc is None:
        for tid in ("T6", "T7"):
            lines.append((tid, TARGET_TITLES[tid],
                          "n/a (Concordix not importable)"))
        return lines
    delta = allocation_delta(conc.cls)
    control = ""
    if "member" in by_key:
        control = ", PyMemberDef control %+d" % allocation_delta(
            by_key["member"].cls)
    lines.append(("T6", TARGET_TITLES["T6"], "%s: %+d blocks%s" % (
        "PASS" if delta == 0 else "MISS", delta, control)))
    runtime = sys.modules.get("cython_runtime")
    switch = getattr(runtime, "cline_in_traceback", "unset") \
        if runtime is not None else "no cython_runtime module"
    lines.append(("T7", TARGET_TITLES["T7"], "%s [cline_in_traceback: %s]" % (
        code_object_verdict(failing_write_codes(conc.cls)), switch)))
    return lines


def ratio_text(ratio):
    # A quick run on a busy machine can lose a cell in the empty loop's cost.
    return "n/a (lost in the loop's own cost)" if ratio is None else "%.2f" % ratio


def info_lines(res):
    out = []
    for row in ("read", "write_small"):
        s, m, c = (res.figure(row, k) for k in ("slots", "member",
                                                   "concordix"))
        if s is not None and m is not None:
            text = "%s: __slots__ / PyMemberDef = %s" % (
                row, ratio_text(res.ratio((row, "slots"), (row, "member"))))
            if c is not None:
                text += ", __slots__ / Concordix = %s" % ratio_text(res.ratio(
                    (row, "slots"), (row, "concordix")))
            out.append(text)
    if out:
        out.append("(3.11+ rewrites __slots__ access into inline bytecode; "
                   "native int fields pay a descriptor call: reported, not a "
                   "target)")
    return out


# --- output ------------------------------------------------------------------

def load_average():
    try:
        return os.getloadavg()[0]
    except (AttributeError, OSError):
        return None


def machine_description():
    cpu = platform.processor() or platform.machine()
    try:
        with open("/proc/cpuinfo") as fh:
            for line in fh:
                if line.startswith("model name"):
                    cpu = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    return "%s, %d cores, %s" % (cpu, os.cpu_count() or 0, platform.system())


def interpreter_description():
    return "%s %s [%s]" % (platform.python_implementation(),
                           platform.python_version(),
                           platform.python_compiler())


def cell_text(res, row_key, c_key):
    ns = res.figure(row_key, c_key)
    if ns is None:
        return "n/a"
    ratio = res.ratio((row_key, c_key), (row_key, "concordix"))
    mark = "*" if (row_key, c_key) in res.notes else ""
    if ratio is None:
        return "%.1f%s" % (ns, mark)
    return "%.1f (%.2fx)%s" % (ns, ratio, mark)


def table_rows(res, contenders, rows=ROWS):
    header = ["operation (ns/op)"] + [c.label for c in contenders]
    body = [[row.label] + [cell_text(res, row.key, c.key) for c in contenders]
            for row in rows]
    return header, body


def notes_text(res, contenders, rows=ROWS):
    labels = {c.key: c.label for c in contenders}
    out = []
    for row in rows:
        by_note = {}
        for c in contenders:
            note = res.notes.get((row.key, c.key))
            if note:
                by_note.setdefault(note, []).append(labels[c.key])
        for note, who in by_note.items():
            out.append("%s: %s %s" % (row.label, ", ".join(who), note))
    return out


def format_text_table(header, body):
    widths = [max(len(r[i]) for r in [header] + body)
              for i in range(len(header))]
    lines = ["  ".join(h.ljust(w) for h, w in zip(header, widths))]
    lines.append("  ".join("-" * w for w in widths))
    for r in body:
        lines.append("  ".join([r[0].ljust(widths[0])] +
                               [v.rjust(w) for v, w in zip(r[1:], widths[1:])]))
    return "\n".join(lines)


def format_markdown(header, body):
    lines = ["| " + " | ".join(header) + " |",
             "|" + "|".join([" --- "] + [" ---: "] * (len(header) - 1)) + "|"]
    for r in body:
        lines.append("| " + " | ".join(v.replace("|", "\\|") for v in r) + " |")
    return "\n".join(lines)


def write_chart(path, res, contenders, title):
    try:
        import matplotlib
    except ImportError:
        # It does not build everywhere (the free-threaded interpreter has no
        # wheel of it); the table and the targets stand without the chart.
        print("matplotlib is not installed: no chart")
        return False
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    rows = [r for r in ROWS if any(res.figure(r.key, c.key) is not None
                                   for c in contenders)]
    if not rows:
        return False
    ncols = 2
    nrows = (len(rows) + 1) // 2
    fig, axes = plt.subplots(nrows, ncols, figsize=(13, 2.3 * nrows + 1),
                             squeeze=False)
    colors = plt.rcParams["axes.prop_cycle"].by_key()["color"]
    labels = [c.label for c in contenders]
    for ax, row in zip(axes.flat, rows):
        values = [res.figure(row.key, c.key) for c in contenders]
        shown = [max(v, 0.0) if v is not None else 0.0 for v in values]
        # Every panel lists every contender, in the same place and colour,
        # so that a missing bar reads as "n/a" rather than as a shifted row.
        ax.barh(labels, shown, color=[colors[i % len(colors)]
                                      for i in range(len(labels))])
        ax.invert_yaxis()
        ax.set_title(row.label, fontsize=10)
        ax.tick_params(labelsize=8)
        top = max(shown) or 1.0
        ax.set_xlim(0, top * 1.25)
        for y, v in enumerate(values):
            ax.text((max(v, 0.0) if v is not None else 0.0) + top * 0.01, y,
                    "%.1f" % v if v is not None else "n/a", va="center",
                    fontsize=7)
        ax.set_xlabel("ns per %s (lower is better)" % (
            "instance" if row.key in FILL_ROWS else "operation"), fontsize=8)
    for ax in list(axes.flat)[len(rows):]:
        ax.axis("off")
    fig.suptitle(title, fontsize=10)
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)
    return True


def report(res, contenders, target_lines, problems, opts):
    header, body = table_rows(res, contenders)
    machine = machine_description()
    interp = interpreter_description()
    empty_ns = res.empty_s * 1e9
    mode = "quick (figures meaningless)" if opts.quick else "full"
    intro = [
        "Machine: " + machine,
        "Interpreter: " + interp,
        "Load average (1 min) before / after: %s; figures from a busy machine "
        "vary more" % " / ".join("%.2f" % v if v is not None else "?"
                                 for v in res.load),
        "Mode: %s; %s; %d rounds, ~%g ms per sample, fill N = %d; empty "
        "loop %.2f ns/iteration subtracted; (ratio) = contender / Concordix, "
        "median of per-round ratios"
        % (mode, "thread CPU time" if clock(opts) is not time.perf_counter
           else "wall time", opts.rounds, opts.sample_ms, opts.fill_n,
           empty_ns),
    ]
    notes = notes_text(res, contenders)
    print()
    print("\n".join(intro))
    print()
    print(format_text_table(header, body))
    if notes:
        print()
        print("* and n/a: " + "; ".join(notes))
    for p in problems:
        print("note: " + p)
    print()
    for tid, text, status in target_lines:
        print("TARGET %s %s: %s" % (tid, text, status))
    for line in info_lines(res):
        print("INFO " + line)

    os.makedirs(opts.out, exist_ok=True)
    stem = "bench-%s-%d.%d" % (platform.python_implementation().lower(),
                               sys.version_info[0], sys.version_info[1])
    md_path = os.path.join(opts.out, stem + ".md")
    png_path = os.path.join(opts.out, stem + ".png")
    json_path = os.path.join(opts.out, stem + ".json")
    with open(md_path, "w") as fh:
        fh.write("\n\n".join([
            "\n".join("- " + s for s in intro),
            format_markdown(header, body),
            "\n".join("- " + n for n in notes) if notes else "",
            "\n".join("- %s %s: %s" % t for t in target_lines),
        ]).rstrip() + "\n")
    drew = write_chart(png_path, res, contenders,
                       "ns per operation, empty loop subtracted - %s - %s"
                       % (interp, machine))
    with open(json_path, "w") as fh:
        json.dump({
            "machine": machine, "interpreter": interp, "mode": mode,
            "load_average_before_after": res.load,
            "empty_loop_ns": empty_ns,
            "ns_per_op": {"%s/%s" % k: v for k, v in res.ns.items()},
            "samples_s": {"%s/%s" % k: c.samples for k, c in res.cells.items()},
            "notes": {"%s/%s" % k: v for k, v in res.notes.items()},
            "targets": target_lines,
        }, fh, indent=1)
    print()
    print("wrote %s, %s%s" % (md_path, json_path,
                              ", " + png_path if drew else ""))


# --- callgrind aid -----------------------------------------------------------

def callgrind_loop(contenders, opts, problems):
    """Run one cell's statement N times with callgrind collecting only that.

    Start under ``valgrind --tool=callgrind --collect-atstart=no``; the fill
    extension toggles collection around the loop.  Row ``empty`` runs the
    bare loop, to subtract.
    """
    import _bench_fill
    if opts.row == "empty":
        env, row = _blank_env(), Row("empty", "empty loop", "pass")
        per_call = 1
    else:
        row = ROW_BY_KEY[opts.row]
        matches = [c for c in contenders if c.key == opts.contender]
        if not matches:
            raise SystemExit("contender %r not available (have: %s)" % (
                opts.contender, ", ".join(c.key for c in contenders)))
        env, note = prepare(row, matches[0], opts.fill_n, problems)
        if env is None:
            raise SystemExit("%s / %s: %s" % (row.key, opts.contender, note))
        per_call = opts.fill_n if row.key in FILL_ROWS else 1
    timer = timeit.Timer(row.stmt, SETUP, globals=env)
    # Lets the adaptive interpreter settle before anything is counted.
    timer.timeit(min(opts.callgrind_loop, 1000))
    _bench_fill.callgrind_toggle()
    timer.timeit(opts.callgrind_loop)
    collected = _bench_fill.callgrind_toggle()
    print("callgrind-loop: %s / %s, %d executions x %d operations; "
          "valgrind headers %s, under valgrind: %s" % (
              row.key, opts.contender if row.key != "empty" else "-",
              opts.callgrind_loop, per_call,
              "compiled in" if collected else "missing",
              bool(_bench_fill.running_on_valgrind())))


# --- main --------------------------------------------------------------------

def parse_args(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--quick", action="store_true",
                    help="tiny iteration counts: proves the harness works")
    ap.add_argument("--out", default=os.path.join(
        os.path.dirname(os.path.abspath(__file__)), "results"),
        help="directory for the Markdown, JSON and PNG (default: %(default)s)")
    ap.add_argument("--native-dir", default=os.path.join(
        sys.prefix, "native-build", "lib"),
        help="where the native contenders were built (default: %(default)s)")
    ap.add_argument("--rounds", type=int, default=None,
                    help="samples per cell (default 101, quick 1)")
    ap.add_argument("--sample-ms", type=float, default=2.0,
                    help="target duration of one sample; short samples are "
                    "less often cut by other processes (default 2)")
    ap.add_argument("--fill-n", type=int, default=None,
                    help="instances per fill call (default 1000, quick 100)")
    ap.add_argument("--recheck", type=int, default=3,
                    help="extra passes for a near-miss target (quick: 1)")
    ap.add_argument("--seed", type=int, default=12345)
    ap.add_argument("--clock", choices=("cpu", "wall"), default="cpu",
                    help="time.thread_time (default) or time.perf_counter")
    ap.add_argument("--row", choices=[r.key for r in ROWS] + ["empty"],
                    help="with --callgrind-loop: the row to run")
    ap.add_argument("--contender", default="concordix",
                    help="with --callgrind-loop: contender key")
    ap.add_argument("--callgrind-loop", type=int, metavar="N",
                    help="run just one cell N times for callgrind, no timing")
    opts = ap.parse_args(argv)
    if opts.rounds is None:
        opts.rounds = 1 if opts.quick else 101
    if opts.fill_n is None:
        opts.fill_n = 100 if opts.quick else 1000
    if opts.quick:
        opts.recheck = 1
    if opts.callgrind_loop is not None and opts.row is None:
        ap.error("--callgrind-loop needs --row")
    return opts


def main(argv=None):
    opts = parse_args(argv)
    if os.path.isdir(opts.native_dir):
        sys.path.insert(0, opts.native_dir)
    problems = []
    contenders = load_contenders(problems)
    if opts.callgrind_loop is not None:
        callgrind_loop(contenders, opts, problems)
        return 0
    try:
        os.nice(-10)
    except (AttributeError, OSError):
        pass
    load_before = load_average()
    res = measure(contenders, opts, problems)
    target_lines = evaluate_timing(res, opts)
    if not PYPY:
        # PyPy keeps no counts of allocated blocks, and its own targets are
        # about time alone.
        target_lines += evaluate_static(contenders)
    target_lines.sort(key=lambda t: t[0])
    res.load = (load_before, load_average())
    report(res, contenders, target_lines, problems, opts)
    return 0


if __name__ == "__main__":
    sys.exit(main())
