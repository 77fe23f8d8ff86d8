"""Tests of the benchmark harness itself (no timing is asserted anywhere).

Run with ``bash benchmarks/run --test``, which builds the native contenders
first; the tests that need them are skipped when they are not built.
"""

import importlib
import importlib.util
import os
import pickle
import subprocess
import sys

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import bench  # noqa: E402
import run  # noqa: E402

NATIVE_DIR = os.environ.get("BENCH_NATIVE_DIR",
                            os.path.join(sys.prefix, "native-build", "lib"))
if os.path.isdir(NATIVE_DIR):
    sys.path.insert(0, NATIVE_DIR)


def native(name):
    try:
        return importlib.import_module(name)
    except ImportError:
        pytest.skip("%s not built" % name)


def contender(cls, key="x"):
    return bench.Contender(key, key, cls)


class RefusesPickle(bench.SlotsCounts):
    __slots__ = ()

    def __reduce_ex__(self, protocol):
        raise TypeError("no")


class Truncates:
    """Stores a wrong value for large ints: a fault prepare() must stop on."""

    def __init__(self):
        self._m = 0

    @property
    def matching(self):
        return self._m

    @matching.setter
    def matching(self, value):
        self._m = int(value) & 0xFFFF


class Leaky:
    kept = []

    @property
    def matching(self):
        return 0

    @matching.setter
    def matching(self, value):
        Leaky.kept.append(object())


class StrictInt:
    """Refuses non-ints from the same code object every time."""

    @property
    def matching(self):
        return 0

    @matching.setter
    def matching(self, value):
        if not isinstance(value, int):
            raise TypeError("an integer is required")


@pytest.mark.parametrize("ratio, limit, expected", [
    (0.99, 1.0, "PASS"),
    (1.0, 1.0, "PASS"),
    (1.03, 1.0, "MISS (within noise)"),
    (1.05, 1.0, "MISS (within noise)"),
    (1.051, 1.0, "MISS"),
    (0.2, 0.2, "PASS"),
    (0.209, 0.2, "MISS (within noise)"),
    (0.211, 0.2, "MISS"),
])
def test_verdict_bands(ratio, limit, expected):
    assert bench.verdict(ratio, limit) == expected


@pytest.mark.parametrize("first, extra, expected", [
    (1.03, [0.98, 0.99, 1.01], "PASS"),
    (1.03, [1.04, 1.02, 1.01], "MISS (within noise)"),
    (1.03, [1.2, 1.1, 1.3], "MISS"),
])
def test_near_miss_concluded_on_all_passes(first, extra, expected):
    assert bench.conclude(first, extra, 1.0)[1] == expected


def fake_cell(samples, per_call=1):
    cell = bench.Cell(None, None, None, per_call)
    cell.samples = list(samples)
    return cell


def test_paired_ratio_cancels_a_load_burst():
    # Round 2 runs three times slower for both cells; 1 ns empty loop.
    a = fake_cell([3e-9, 9e-9, 3e-9])
    b = fake_cell([5e-9, 15e-9, 5e-9])
    assert bench.paired_ratio(a, b, 1e-9) == pytest.approx(2 / 4)


def test_paired_ratio_divides_fill_calls_per_instance():
    a = fake_cell([1000e-9], per_call=1000)   # 1 ns per instance
    b = fake_cell([4e-9])
    assert bench.paired_ratio(a, b, 0.0) == pytest.approx(0.25)


def test_paired_ratio_refuses_a_cell_lost_in_the_loop():
    assert bench.paired_ratio(fake_cell([3e-9]), fake_cell([1e-9]),
                              2e-9) is None
    # The report says so instead of failing on it (a quick run on a busy
    # machine).
    res = bench.Results()
    res.empty_s = 2e-9
    for key, sample in (("slots", 3e-9), ("member", 1e-9)):
        res.ns["read", key] = 1.0
        res.cells["read", key] = fake_cell([sample])
    assert bench.info_lines(res)[0] == ("read: __slots__ / PyMemberDef = "
                                        "n/a (lost in the loop's own cost)")


class Recorder:
    """Stands in for a timeit.Timer; logs which cell ran, and when."""

    log = []

    def __init__(self, name, seconds=1e-6):
        self.name = name
        self.seconds = seconds

    def timeit(self, number):
        Recorder.log.append(self.name)
        return self.seconds * number


def recorded_cell(row_key, name):
    return bench.Cell(bench.ROW_BY_KEY[row_key], None, Recorder(name), 1)


def test_rounds_sample_a_rows_contenders_back_to_back():
    Recorder.log = []
    cells = [recorded_cell(row, "%s/%d" % (row, i))
             for row in ("read", "write_small", "construct") for i in range(3)]
    empty = bench.Cell(None, None, Recorder("empty"), 1)
    bench.run_rounds(cells, empty, 5, bench.random.Random(1))
    rounds = [Recorder.log[i:i + 10] for i in range(0, 50, 10)]
    for r in rounds:
        assert r[0] == "empty" and sorted(r[1:]) == sorted(c.timer.name
                                                          for c in cells)
        rows = [name.split("/")[0] for name in r[1:]]
        runs = [row for i, row in enumerate(rows) if i == 0 or
                rows[i - 1] != row]
        assert len(runs) == 3, r  # each row's contenders in one stretch
    assert all(len(c.samples) == 5 for c in cells)


def opts(**kw):
    base = bench.parse_args(["--quick", "--rounds", "3"])
    for k, v in kw.items():
        setattr(base, k, v)
    return base


def test_measure_times_every_applicable_cell_and_notes_the_rest():
    contenders = [contender(bench.SlotsCounts, "slots"),
                  contender(bench.CtypesCounts, "ctypes")]
    rows = [bench.ROW_BY_KEY[k] for k in ("construct", "write_float",
                                          "pickle", "write_fail")]
    res = bench.measure(contenders, opts(), [], rows=rows)
    # CPython's ctypes pickles a Structure (noted, not timed); PyPy's refuses.
    try:
        pickle.dumps(bench.CtypesCounts())
    except Exception:
        ctypes_pickle = ({("pickle", "ctypes")}, set())
    else:
        ctypes_pickle = (set(), {("pickle", "ctypes")})
    assert set(res.cells) == {("construct", "slots"), ("construct", "ctypes"),
                              ("write_float", "slots"), ("write_fail", "ctypes")
                              } | ctypes_pickle[0]
    assert set(res.notes) == {("write_float", "slots"),
                              ("write_float", "ctypes"), ("pickle", "slots"),
                              ("write_fail", "slots")} | ctypes_pickle[1]
    assert all(len(c.samples) == 3 for c in res.cells.values())
    assert len(res.empty.samples) == 3


def synthetic_results(a_samples, b_samples, row="read", other="member"):
    res = bench.Results()
    res.has_concordix = True
    res.empty = bench.Cell(None, None, None, 1)
    for key, samples in (("concordix", a_samples), (other, b_samples)):
        cell = fake_cell(samples)
        res.cells[(row, key)] = cell
        res.ns[(row, key)] = bench.net_ns(cell.samples, 0.0, 1)
    return res


@pytest.mark.parametrize("pypy, first, extra, status", [
    (False, 0.9, None, "PASS"),
    (False, 1.2, None, "MISS"),
    (False, 1.03, [0.97, 0.99, 0.98], "MISS (within noise) -> PASS"),
    (False, 1.03, [1.04, 1.02, 1.03], "MISS (within noise) -> MISS (within noise)"),
    (True, 1.15, None, "PASS"),
    (True, 1.3, None, "MISS"),
    (True, 1.24, [1.15, 1.17, 1.18], "MISS (within noise) -> PASS"),
])
def test_near_misses_and_only_they_are_remeasured(monkeypatch, pypy, first,
                                                  extra, status):
    called = []

    def fake_remeasure(res, a, b, o, passes):
        called.append((a, b))
        return extra

    monkeypatch.setattr(bench, "remeasure_ratio", fake_remeasure)
    res = synthetic_results([first * 10e-9] * 3, [10e-9] * 3)
    title = "read <= %.2f x PyMemberDef" % (1.2 if pypy else 1.0)
    lines = [l for l in bench.evaluate_timing(res, opts(), pypy=pypy)
             if l[1] == title]
    assert lines[0][2].startswith(status + ":")
    assert bool(called) == (extra is not None)


@pytest.mark.parametrize("pypy, tids", [(False, {"T1", "T2", "T3", "T4", "T5"}),
                                        (True, {"P1", "P2"})])
def test_every_timing_target_is_reported_without_concordix(pypy, tids):
    res = bench.Results()
    res.empty = bench.Cell(None, None, None, 1)
    lines = bench.evaluate_timing(res, opts(), pypy=pypy)
    assert {tid for tid, _, _ in lines} == tids
    assert all(s == "n/a (Concordix not importable)" for _, _, s in lines)


@pytest.mark.parametrize("key, noted, expected", [
    (("read", "member"), False, "20.0 (2.00x)"),
    (("read", "member"), True, "20.0 (2.00x)*"),
    (("read", "concordix"), False, "10.0 (1.00x)"),
    (("write_float", "member"), False, "n/a"),
])
def test_table_cells(key, noted, expected):
    res = synthetic_results([10e-9] * 3, [20e-9] * 3)
    if noted:
        res.notes[key] = "stored the bool unconverted"
    assert bench.cell_text(res, *key) == expected


@pytest.mark.parametrize("row, cls, applies, note", [
    ("write_small", bench.CtypesCounts, True, None),
    ("write_float", bench.CtypesCounts, False, "refused it (TypeError)"),
    ("write_float", bench.SlotsCounts, True, "stored the float unconverted"),
    ("write_bool", bench.SlotsCounts, True, "stored the bool unconverted"),
    ("write_fail", bench.SlotsCounts, False, "accepted a str"),
    ("write_fail", bench.CtypesCounts, True, None),
    ("pickle", bench.SlotsCounts, False, "pickled it"),
    ("pickle", RefusesPickle, True, None),
])
def test_prepare_times_only_what_the_contender_does(row, cls, applies, note):
    env, got = bench.prepare(bench.ROW_BY_KEY[row], contender(cls), 10, [])
    assert (env is not None) == applies
    assert got == note


def test_prepare_stops_on_a_wrongly_stored_value():
    with pytest.raises(SystemExit, match="stored"):
        bench.prepare(bench.ROW_BY_KEY["write_large"], contender(Truncates),
                      10, [])


def swapped_fill(lst):
    # The record's field order is not the instance's: mixing them up is the
    # mistake this check exists for.
    for i, o in enumerate(lst):
        m, nm, nmiss, total = bench.expected_fill(i)
        o.matching, o.total, o.nonMissing, o.nonMatching = m, nm, nmiss, total


def right_fill(lst):
    for i, o in enumerate(lst):
        (o.matching, o.nonMatching, o.nonMissing,
         o.total) = bench.expected_fill(i)


@pytest.mark.parametrize("fill, ok", [(right_fill, True),
                                      (swapped_fill, False)])
def test_prepare_checks_what_a_fill_loop_stored(monkeypatch, fill, ok):
    monkeypatch.setattr(bench, "fill_function", lambda *a: (fill, None))
    row = bench.ROW_BY_KEY["fill_table"]
    if ok:
        env, _ = bench.prepare(row, contender(bench.SlotsCounts), 200, [])
        assert len(env["_lst"]) == 200
    else:
        with pytest.raises(SystemExit, match="expected"):
            bench.prepare(row, contender(bench.SlotsCounts), 200, [])


@pytest.mark.skipif(not hasattr(sys, "getallocatedblocks"),
                    reason="no count of allocated blocks (PyPy): no such target there")
@pytest.mark.parametrize("cls, leaks", [(bench.SlotsCounts, False),
                                        (bench.CtypesCounts, False),
                                        (Leaky, True)])
def test_allocation_probe(cls, leaks):
    delta = bench.allocation_delta(cls, n=20000)
    assert (delta >= 20000) if leaks else delta == 0
    Leaky.kept.clear()


def fresh_code():
    return compile("pass", "<fresh>", "exec")


SHARED = fresh_code()


@pytest.mark.parametrize("seen, verdict", [
    ([[SHARED]] * 50, "PASS"),
    ([[fresh_code()] for _ in range(50)], "MISS (a failing write"),
    ([[]] * 50, "MISS (no traceback entry"),
])
def test_code_object_verdict(seen, verdict):
    assert bench.code_object_verdict(seen).startswith(verdict)


def test_failing_write_codes_sees_the_raising_frame():
    seen = bench.failing_write_codes(StrictInt, n=20)
    assert bench.code_object_verdict(seen).startswith("PASS")
    assert seen[0][0] is StrictInt.matching.fset.__code__


def test_member_direct_fill_refuses_foreign_instances():
    fill = native("_bench_fill")
    member = native("_bench_member")
    with pytest.raises(TypeError):
        fill.member_direct_fill(member.Counts, [member.Counts(),
                                                bench.SlotsCounts()])
    with pytest.raises(TypeError):
        fill.member_direct_fill(bench.CtypesCounts, [bench.CtypesCounts()])


def test_setattr_fill_propagates_a_refused_store():
    fill = native("_bench_fill")

    class Tiny:
        __slots__ = ("matching",)

    with pytest.raises(AttributeError):
        fill.setattr_fill([Tiny()])


def test_table_fill_through_the_installed_header():
    mod = native("_bench_concordix_fill")
    from vorlundpython.Concordix import Concordix
    lst = [Concordix() for _ in range(300)]
    mod.table_fill(lst)
    assert [(o.matching, o.nonMatching, o.nonMissing, o.total)
            for o in lst] == [bench.expected_fill(i) for i in range(300)]
    with pytest.raises(TypeError):
        mod.table_fill([Concordix(), bench.SlotsCounts()])


@pytest.mark.parametrize("text, total", [
    ("events: Ir\nsummary: 1234\n", 1234),
    ("events: Ir\nfn=x\n1 5\ntotals: 99\n", 99),
])
def test_callgrind_totals(tmp_path, text, total):
    out = tmp_path / "cg.out"
    out.write_text(text)
    assert run.callgrind_totals(str(out)) == total


def bench_cmd(*args):
    return [sys.executable, os.path.join(HERE, "bench.py"),
            "--native-dir", NATIVE_DIR] + list(args)


def test_quick_run_prints_table_and_every_target(tmp_path):
    proc = subprocess.run(bench_cmd("--quick", "--out", str(tmp_path)),
                          stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                          universal_newlines=True, timeout=300)
    assert proc.returncode == 0, proc.stdout
    for row in bench.ROWS:
        assert "\n" + row.label in proc.stdout
    for tid in bench.stated_targets():
        assert "TARGET %s " % tid in proc.stdout, tid
    stems = {p.suffix for p in tmp_path.iterdir()}
    # the chart needs matplotlib; the table and the targets do not
    chart = {".png"} if importlib.util.find_spec("matplotlib") else set()
    assert stems == {".md", ".json"} | chart
    md = next(tmp_path.glob("*.md")).read_text()
    assert "| operation (ns/op) |" in md and min(bench.stated_targets()) in md
    try:
        import vorlundpython.Concordix  # noqa: F401
    except ImportError:
        return
    assert "Concordix not importable" not in proc.stdout


def test_callgrind_loop_runs_outside_valgrind():
    native("_bench_fill")
    proc = subprocess.run(bench_cmd("--row", "write_small", "--contender",
                                    "slots", "--callgrind-loop", "50"),
                          stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                          universal_newlines=True, timeout=120)
    assert proc.returncode == 0, proc.stdout
    assert "callgrind-loop: write_small / slots, 50 executions" in proc.stdout
