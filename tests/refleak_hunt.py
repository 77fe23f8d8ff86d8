"""Reference-leak hunting for pytest, after CPython's own ``regrtest -R``.

``pytest --refleaks`` (or ``--refleaks=WARMUP:RUNS``, default 3:5) runs every
test WARMUP+RUNS times in the same process, each time with its function-scoped
fixtures set up and torn down, and fails a test whose
``sys.gettotalrefcount()`` or ``sys.getallocatedblocks()`` grows on every one
of the measured runs -- regrtest's rule, which shrugs off one-off cache fills
such as ``[3, 0, 0]`` but not a steady ``[1, 1, 1]``.  A passing hunt is
followed by one ordinary, reported run of the test.

``sys.gettotalrefcount`` only exists in a Py_DEBUG build, so ``--refleaks``
under a release interpreter is a usage error instead of a silent pass.

``@pytest.mark.no_refleak_hunt(reason="...")`` runs a test just once under
``--refleaks``; the reason is mandatory and every such test is listed in the
terminal summary.  Hypothesis tests are hunted too, with fewer, derandomized
examples so that every repetition replays the same inputs.

Register with ``pytest_plugins = ["refleak_hunt"]`` in tests/conftest.py.
"""

import collections.abc
import copyreg
import functools
import gc
import inspect
import re
import sys
import warnings

import pytest
from _pytest.junitxml import xml_key
from _pytest.runner import runtestprotocol

DEFAULT = (3, 5)
HYPOTHESIS_EXAMPLES = 10
MARKER = "no_refleak_hunt"

_leak_key = pytest.StashKey[str]()
_hunt_key = pytest.StashKey["_Hunt"]()


def pytest_addoption(parser):
    parser.getgroup("refleak hunt").addoption(
        "--refleaks", nargs="?", const="%d:%d" % DEFAULT, default=None,
        metavar="WARMUP:RUNS",
        help="run each test WARMUP+RUNS times and fail it if references or "
             "memory blocks grow on every measured run (debug CPython only; "
             "default %d:%d; give the value as --refleaks=W:R)" % DEFAULT)


def _parse_runs(value):
    m = re.fullmatch(r"(\d+):(\d+)", value)
    if not m or int(m.group(2)) < 1:
        raise pytest.UsageError(
            "--refleaks expects WARMUP:RUNS with RUNS >= 1 (e.g. "
            "--refleaks=3:5), got %r; write the value with '=' so pytest "
            "does not take a test path for it" % value)
    return int(m.group(1)), int(m.group(2))


def pytest_configure(config):
    config.addinivalue_line(
        "markers",
        "%s(reason): under --refleaks run this test once instead of hunting "
        "it for leaks; reason is required" % MARKER)
    value = config.getoption("refleaks")
    if value is None:
        return
    runs = _parse_runs(value)
    if not hasattr(sys, "gettotalrefcount"):
        raise pytest.UsageError(
            "--refleaks needs a debug build of CPython (Py_DEBUG): "
            "sys.gettotalrefcount is missing in %s" % sys.executable)
    config.stash[_hunt_key] = _Hunt(*runs)


def _marker_reason(mark):
    reason = mark.kwargs.get("reason", mark.args[0] if mark.args else None)
    return reason.strip() if isinstance(reason, str) else ""


def pytest_collection_modifyitems(config, items):
    # Checked with or without --refleaks, so a missing reason is caught by
    # the everyday run and not only by the debug-interpreter job.
    missing = [item.nodeid for item in items
               for mark in item.iter_markers(MARKER)
               if not _marker_reason(mark)]
    if missing:
        raise pytest.UsageError(
            "@pytest.mark.%s needs reason='why this test cannot be hunted' "
            "on: %s" % (MARKER, ", ".join(missing)))


def pytest_report_header(config):
    hunt = config.stash.get(_hunt_key, None)
    if hunt:
        return ["refleak hunt: %d warm-up + %d measured runs per test "
                "(references, memory blocks); hypothesis tests capped at %d "
                "derandomized examples" % (hunt.warmups, hunt.runs,
                                           HYPOTHESIS_EXAMPLES)]
    return None


@pytest.hookimpl(tryfirst=True)
def pytest_runtest_protocol(item, nextitem):
    hunt = item.config.stash.get(_hunt_key, None)
    if hunt is None:
        return None
    mark = item.get_closest_marker(MARKER)
    if mark is not None:
        hunt.excluded.append((item.nodeid, _marker_reason(mark)))
    else:
        _cap_hypothesis(item)
        message = hunt.hunt(item)
        if message:
            item.stash[_leak_key] = message
    # Returning None lets pytest's own protocol do the one reported run.
    return None


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_makereport(item, call):
    outcome = yield
    message = item.stash.get(_leak_key, None)
    if call.when != "call" or not message:
        return
    report = outcome.get_result()
    if report.passed:
        report.outcome = "failed"
        report.longrepr = message
    else:
        report.sections.append(("refleak hunt", message))


def pytest_terminal_summary(terminalreporter, config):
    hunt = config.stash.get(_hunt_key, None)
    if hunt is None:
        return
    tr = terminalreporter
    tr.write_sep("-", "refleak hunt")
    tr.write_line("refleak hunt: %d tests hunted (%d+%d runs), %d leaked, "
                  "%d ran once by marker"
                  % (hunt.hunted, hunt.warmups, hunt.runs, len(hunt.leaked),
                     len(hunt.excluded)))
    for nodeid, reason in hunt.excluded:
        tr.write_line("refleak hunt: ran once: %s -- %s" % (nodeid, reason))
    for nodeid in hunt.leaked:
        tr.write_line("refleak hunt: LEAKED: %s" % nodeid)


def _cap_hypothesis(item):
    func = getattr(getattr(item, "obj", None), "__func__",
                   getattr(item, "obj", None))
    if not getattr(func, "is_hypothesis_test", False):
        return
    from hypothesis import settings
    current = getattr(func, "_hypothesis_internal_use_settings", None)
    # Same inputs on every repetition, or a leak would look like noise and
    # noise like a leak; the example database would also replay differently.
    func._hypothesis_internal_use_settings = settings(
        current, max_examples=min(current.max_examples, HYPOTHESIS_EXAMPLES),
        derandomize=True, database=None, deadline=None)


class _Hunt:
    def __init__(self, warmups, runs):
        self.warmups, self.runs = warmups, runs
        self.hunted = 0
        self.excluded = []
        self.leaked = []
        # As in regrtest: one int object per likely delta, so storing a
        # delta does not itself allocate a block.
        self._ints = {v: v for v in range(-1000, 1000)}

    def hunt(self, item):
        """Run item's setup/call/teardown repeatedly; return a failure
        message, or None when it neither failed nor leaked."""
        self.hunted += 1
        total = self.warmups + self.runs
        ref_deltas = [0] * total
        blk_deltas = [0] * total
        pooled = self._ints.setdefault
        gettotalrefcount = sys.gettotalrefcount
        getblocks = _allocated_blocks
        sections = item._report_sections
        n_sections, n_props = len(sections), len(item.user_properties)
        # The junit report's global properties too: hypothesis adds its
        # statistics there after every run.
        xml_globals = getattr(item.config.stash.get(xml_key, None), "global_properties", None)
        if not isinstance(xml_globals, list):
            xml_globals = []
        n_globals = len(xml_globals)
        saved = _Saved()
        wider = _wider_fixturedefs(item)
        _warm_caches()
        saved.restore()
        ref_before, blk_before = gettotalrefcount(), getblocks()
        for i in range(total):
            # Warnings are recorded per repetition and dropped, or pytest's
            # own list of them would grow with every run.
            with warnings.catch_warnings(record=True):
                # nextitem=parent: tear down the function's own fixtures
                # each time, keep module- and session-scoped ones.
                reports = runtestprotocol(item, log=False,
                                          nextitem=item.parent)
            del sections[n_sections:], item.user_properties[n_props:], xml_globals[n_globals:]
            _drop_stale_finalizers(wider)
            bad = [r for r in reports if not r.passed]
            if bad:
                if bad[0].failed and i:
                    return ("failed when run again in the same process "
                            "(repetition %d of %d), though it passed "
                            "before:\n%s" % (i + 1, total,
                                             bad[0].longreprtext))
                # Failing or skipping on the first run: the reported run
                # shows that by itself.
                return None
            del reports, bad
            saved.restore()
            ref_after, blk_after = gettotalrefcount(), getblocks()
            ref_deltas[i] = pooled(ref_after - ref_before, ref_after - ref_before)
            blk_deltas[i] = pooled(blk_after - blk_before, blk_after - blk_before)
            ref_before, blk_before = ref_after, blk_after
        leaks = []
        for deltas, what in ((ref_deltas, "references"),
                             (blk_deltas, "memory blocks")):
            measured = deltas[self.warmups:]
            if all(d >= 1 for d in measured):
                leaks.append("leaked %s: %s, sum=%d"
                             % (what, measured, sum(measured)))
        if not leaks:
            return None
        self.leaked.append(item.nodeid)
        return "\n".join(leaks + [
            "(deltas of sys.gettotalrefcount()/sys.getallocatedblocks() "
            "over %d runs after %d warm-up runs; a leak is a growth on "
            "every measured run)" % (self.runs, self.warmups)])


def _wider_fixturedefs(item):
    info = getattr(item, "_fixtureinfo", None)
    defs = getattr(info, "name2fixturedefs", {}) or {}
    return [fd for seq in defs.values() for fd in seq
            if getattr(fd, "scope", "function") != "function"
            and isinstance(getattr(fd, "_finalizers", None), list)]


def _drop_stale_finalizers(fixturedefs):
    # A function-scoped fixture that depends on a wider one (tmp_path on the
    # session's tmp_path_factory) parks its finish() on the wider fixture
    # until that one ends: pytest's own per-test growth, not the code under
    # test's.  Once the function fixture is torn down the entry is a no-op.
    for fd in fixturedefs:
        fins = fd._finalizers
        for i in range(len(fins) - 1, -1, -1):
            f = fins[i]
            owner = getattr(getattr(f, "func", None), "__self__", None)
            if (isinstance(f, functools.partial)
                    and f.func.__name__ == "finish"
                    and getattr(owner, "scope", None) == "function"
                    and getattr(owner, "cached_result", 0) is None):
                del fins[i]


def _allocated_blocks():
    # Interned strings made immortal during a test live until shutdown; like
    # regrtest (3.13+), don't count them as leaked blocks.
    try:
        immortal = sys.getunicodeinternedsize(_only_immortal=True)
    except (AttributeError, TypeError):
        immortal = 0
    return sys.getallocatedblocks() - immortal


def _warm_caches():
    # Fill the interpreter's small-object caches up front, as regrtest does.
    s = bytes(range(256))
    for i in range(256):
        s[i:i + 1]
    [chr(i) for i in range(256)]
    list(range(-5, 257))


def _abcs():
    for name in collections.abc.__all__:
        abc = getattr(collections.abc, name)
        if inspect.isabstract(abc):
            yield abc
            yield from abc.__subclasses__()


def _filters_mutated():
    # Tell the C warnings module its cached filter version is stale.  The
    # hook's name changed in 3.14.
    fn = getattr(warnings, "_filters_mutated", None)
    if fn is not None:
        fn()
        return
    fn = getattr(warnings, "_filters_mutated_lock_held", None)
    lock = getattr(warnings, "_lock", None)
    if fn is not None and lock is not None:
        with lock:
            fn()


class _Saved:
    """Process-wide registries a test may touch harmlessly; put back before
    every measurement, the way regrtest's dash_R_cleanup does."""

    def __init__(self):
        self.filters = warnings.filters[:]
        self.dispatch = copyreg.dispatch_table.copy()
        self.importers = sys.path_importer_cache.copy()

    def restore(self):
        warnings.filters[:] = self.filters
        _filters_mutated()
        for mod in list(sys.modules.values()):
            # vars(), not hasattr(): a module __getattr__ could import things.
            d = getattr(mod, "__dict__", None)
            if isinstance(d, dict) and "__warningregistry__" in d:
                del d["__warningregistry__"]
        copyreg.dispatch_table.clear()
        copyreg.dispatch_table.update(self.dispatch)
        sys.path_importer_cache.clear()
        sys.path_importer_cache.update(self.importers)
        for abc in _abcs():
            abc._abc_caches_clear()
        for stream in (sys.stdout, sys.stderr, sys.__stdout__, sys.__stderr__):
            if stream is not None:
                try:
                    stream.flush()
                except ValueError:
                    pass
        for modname, attr in (("re", "purge"), ("linecache", "clearcache"),
                              ("struct", "_clearcache"),
                              ("urllib.parse", "clear_cache")):
            mod = sys.modules.get(modname)
            fn = getattr(mod, attr, None)
            if fn is not None:
                fn()
        typing = sys.modules.get("typing")
        for fn in getattr(typing, "_cleanups", ()):
            fn()
        # Up to three passes, as regrtest's gc_collect(): finalizers run in
        # one pass can free more in the next.  A debug build's collection
        # is slow, so stop once a pass finds nothing.
        for _ in range(3):
            if not gc.collect():
                break
        # Last: the calls above can refill it.
        clear = (getattr(sys, "_clear_internal_caches", None)
                 or sys._clear_type_cache)
        clear()
