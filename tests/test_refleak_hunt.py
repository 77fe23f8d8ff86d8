"""The leak hunt must flag real leaks, pass clean tests and refuse misuse."""

import os
import re
import sys

import pytest

pytest_plugins = ["pytester"]

HERE = os.path.dirname(os.path.abspath(__file__))
IS_DEBUG = hasattr(sys, "gettotalrefcount")

pytestmark = pytest.mark.no_refleak_hunt(
    reason="only drives pytest in a subprocess; nothing to hunt in-process")

needs_debug = pytest.mark.skipif(
    not IS_DEBUG, reason="needs a debug (Py_DEBUG) CPython: "
                         "sys.gettotalrefcount is missing")


@pytest.fixture
def inner(pytester, monkeypatch):
    monkeypatch.setenv("PYTHONPATH", os.pathsep.join(
        filter(None, [HERE, os.environ.get("PYTHONPATH")])))

    def run(source, *args):
        pytester.makepyfile(test_inner=source)
        return pytester.runpytest_subprocess(
            "-p", "refleak_hunt", "-p", "no:cacheprovider", *args)
    return run


HUNTED = '''
import warnings
import pytest
from hypothesis import given, settings, strategies as st

_kept = []
_state = {"ran": False}
_examples = [0]

@pytest.fixture(scope="module")
def table():
    return {}

def test_leaks_one_object_per_run():
    _kept.append(object())

def test_fails_only_when_repeated():
    assert not _state["ran"]
    _state["ran"] = True

def test_clean_despite_pytest_bookkeeping(table, tmp_path, record_property):
    # output capture, warnings, properties and a warm module fixture are
    # all kept per run by pytest; none of it may look like a leak
    print("noise")
    warnings.warn("old api", DeprecationWarning)
    record_property("k", "v")
    table.setdefault("key", [1, 2, 3])
    (tmp_path / "f").write_text("x")

@settings(max_examples=1000)
@given(st.lists(st.integers()))
def test_hypothesis_is_hunted_cheaply(xs):
    _examples[0] += 1
    sorted(xs)

def test_hypothesis_examples_were_capped():
    assert 0 < _examples[0] <= (2 + 3 + 1) * 10

@pytest.mark.no_refleak_hunt(reason="grows on purpose")
def test_excused_leak():
    _kept.append(object())
'''


@needs_debug
def test_hunt_flags_leaks_and_nothing_else(inner):
    result = inner(HUNTED, "--refleaks=2:3", "-v")
    out = result.stdout.str()
    result.assert_outcomes(passed=4, failed=2)
    result.stdout.fnmatch_lines([
        "*test_leaks_one_object_per_run FAILED*",
        "*test_fails_only_when_repeated FAILED*",
        "*refleak hunt: ran once: *test_excused_leak -- grows on purpose*",
    ])
    # three measured runs, each holding on to one more object
    assert re.search(r"leaked references: \[1, 1, 1\], sum=3", out)
    assert "failed when run again in the same process" in out
    assert "LEAKED: test_inner.py::test_leaks_one_object_per_run" in out
    assert "LEAKED: test_inner.py::test_clean" not in out


@pytest.mark.parametrize("source, args, message", [
    pytest.param("import pytest\n@pytest.mark.no_refleak_hunt\n"
                 "def test_x(): pass\n", (), "needs reason=",
                 id="marker-without-reason"),
    pytest.param("import pytest\n@pytest.mark.no_refleak_hunt(reason=' ')\n"
                 "def test_x(): pass\n", (), "needs reason=",
                 id="marker-with-blank-reason"),
    pytest.param("def test_x(): pass\n", ("--refleaks=5",),
                 "--refleaks expects WARMUP:RUNS", id="malformed-runs"),
    pytest.param("def test_x(): pass\n", ("--refleaks",),
                 "needs a debug build", id="release-interpreter-refuses",
                 marks=pytest.mark.skipif(
                     IS_DEBUG, reason="this interpreter is a debug build")),
])
def test_usage_errors(inner, source, args, message):
    result = inner(source, *args)
    assert result.ret == pytest.ExitCode.USAGE_ERROR
    assert message in result.stderr.str()
