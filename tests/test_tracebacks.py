"""Synthetic traceback entries: names, files, lines, the native-line switch
and the cache of code objects."""
import json

import pytest

from support import cpython_only, run_json
from vorlundpython.Concordix import Concordix

SETTER = "vorlundpython.Concordix.Concordix.total.__set__"
NATIVE_SUFFIX = " (vorlundpython/cpp_src/Concordix:1585)"
subprocess_only = pytest.mark.no_refleak_hunt(reason="drives a fresh interpreter only")


def failing_assignment():
    """The traceback entry of one failed assignment to `total`."""
    try:
        Concordix().total = "x"
    except TypeError as e:
        tb = e.__traceback__
        while tb.tb_next:
            tb = tb.tb_next
        return tb


def test_repeated_failures_share_one_code_object(switch):
    switch(False)
    first, second = failing_assignment(), failing_assignment()
    assert first.tb_frame is not second.tb_frame
    assert first.tb_frame.f_code is second.tb_frame.f_code
    code = first.tb_frame.f_code
    assert (code.co_name, code.co_filename, first.tb_lineno) == (SETTER, ".\\vorlundpython\\Concordix", 9)


def test_missing_switch_is_created_false_and_hides_the_native_line(switch):
    import cython_runtime

    switch(switch.missing)
    entry = failing_assignment()
    assert cython_runtime.cline_in_traceback is False
    assert entry.tb_frame.f_code.co_name == SETTER


def test_true_switch_shows_the_native_line_under_a_key_of_its_own(switch):
    switch(False)
    plain = failing_assignment().tb_frame.f_code
    switch(True)
    native = failing_assignment()
    assert native.tb_frame.f_code.co_name == SETTER + NATIVE_SUFFIX
    assert native.tb_lineno == 9
    assert failing_assignment().tb_frame.f_code is native.tb_frame.f_code
    switch(0)
    assert failing_assignment().tb_frame.f_code is plain


class BadBool:
    def __init__(self, result):
        self.result = result

    def __bool__(self):
        if isinstance(self.result, type):  # a fresh exception each time
            raise self.result("in __bool__")
        return self.result


@pytest.mark.parametrize("value", [BadBool(ZeroDivisionError), BadBool("yes")])
def test_switch_whose_truth_test_fails_hides_the_native_line_and_keeps_the_error(switch, value):
    switch(value)
    try:
        Concordix().total = "x"
    except TypeError as e:
        error = e
    assert str(error) == "an integer is required"
    assert error.__context__ is None
    tb = error.__traceback__
    while tb.tb_next:
        tb = tb.tb_next
    assert tb.tb_frame.f_code.co_name == SETTER


@subprocess_only
def test_switch_survives_cython_runtime_leaving_sys_modules():
    result = run_json("""
        import gc, json, sys, traceback
        from vorlundpython.Concordix import Concordix
        sys.modules.pop("cython_runtime").cline_in_traceback = True
        gc.collect()
        try:
            Concordix().total = "x"
        except TypeError as e:
            name = traceback.extract_tb(e.__traceback__)[-1].name
        print(json.dumps(name))
    """)
    assert result == SETTER + NATIVE_SUFFIX


@subprocess_only
def test_cache_keys_order_growth_and_uncached_line_zero(hooks_build):
    # Lines the module's own sites never use, so only these keys are new.
    result = run_json("""
        import json, sys, sysconfig, traceback
        import vorlundpython.Concordix as m
        import cython_runtime

        def fail(name, native, line):
            try:
                m._raise_with_entry(KeyError("k"), name, native, line, 1)
            except KeyError as e:
                return traceback.extract_tb(e.__traceback__)[-1], e.__traceback__.tb_next.tb_frame.f_code
        report = {}
        _, one = fail("f1000", 0, 1000)  # a cache of one entry finds it
        report["one"] = [m._code_cache()[0], fail("again", 0, 1000)[1] is one]
        codes = {line: fail("f%d" % line, 0, line)[1] for line in range(1000, 1064)}
        report["64"] = m._code_cache()[:2]
        # A full cache finds its first, middle and last keys, adds nothing.
        report["full"] = [fail("x", 0, k)[1] is codes[k] for k in (1000, 1031, 1032, 1063)]
        report["full"].append(m._code_cache()[:2])
        fail("f1064", 0, 1064)
        report["65"] = m._code_cache()[:2]
        fail("lowest", 0, 500)          # below every key: inserted in front
        cython_runtime.cline_in_traceback = True
        entry, _ = fail("native", 77, 501)
        report["native"] = entry.name
        cython_runtime.cline_in_traceback = False
        keys = m._code_cache()[2]
        report["order"] = [keys == sorted(keys), keys[0], keys[1], keys[-1]]
        first, code1 = fail("first", 0, 2000)
        second, code2 = fail("second", 0, 2000)   # same line: the first one's code object
        report["shared"] = [second.name, second.lineno, code1 is code2]
        count = m._code_cache()[0]
        _, zero1 = fail("zero", 0, 0)
        _, zero2 = fail("zero", 0, 0)
        report["zero"] = [zero1 is zero2, m._code_cache()[0] == count]

        # A new code object holds its file name's one reference that the
        # module made (3.13 shares the string between code objects).
        # PyPy keeps no reference counts; free-threaded builds make a code
        # object's strings immortal.
        report["filename"] = 1
        if hasattr(sys, "getrefcount") and not sysconfig.get_config_var("Py_GIL_DISABLED"):
            name = fail("refs-a", 0, 4000)[1].co_filename
            before = sys.getrefcount(name)
            code = fail("refs-b", 0, 4001)[1]
            report["filename"] = (sys.getrefcount(name) - before if code.co_filename is name
                                  else sys.getrefcount(code.co_filename) - 1)

        def other_file_each_time():  # a new code object every time, replacing the last
            for index in (1, 2):
                try:
                    m._raise_with_entry(KeyError("k"), "alternating", 0, 3000, index)
                except KeyError:
                    pass
        from support import assert_flat
        assert_flat(other_file_each_time)
        print(json.dumps(report))
    """, path=hooks_build)
    assert result["one"] == [1, True]
    assert result["64"] == [64, 64] and result["full"] == [True] * 4 + [[64, 64]]
    assert result["65"][1] == 128
    assert result["65"][0] == result["64"][0] + 1
    assert result["native"] == "native (vorlundpython/cpp_src/Concordix:77)"
    assert result["order"][0] and result["order"][1] == -77 and result["order"][2] == 500
    assert result["shared"] == ["first", 2000, True]
    assert result["zero"] == [False, True]
    assert result["filename"] == 1


@subprocess_only
@cpython_only("no _testcapi allocation-failure injection")
def test_cache_allocation_failure_still_adds_the_entry(hooks_build):
    # Fail each allocation of one new entry in turn: every outcome is either
    # the entry (cached or not) or a clean MemoryError, and some outcome shows
    # the entry added with nothing cached.
    outcomes = run_json("""
        import json, _testcapi
        import vorlundpython.Concordix as m
        outcomes = []
        for n in range(60):
            before = m._code_cache()[0]
            _testcapi.set_nomemory(n, n + 1)
            try:
                m._raise_with_entry(KeyError("k"), "site%d" % n, 0, 3000 + n, 1)
            except BaseException as e:
                error = e
            finally:
                _testcapi.remove_mem_hooks()
            tb, entry = error.__traceback__, False
            while tb is not None:
                entry = entry or tb.tb_frame.f_code.co_name.startswith("site")
                tb = tb.tb_next
            outcomes.append([type(error).__name__, entry, m._code_cache()[0] - before])
        print(json.dumps(outcomes))
    """, path=hooks_build)
    for error, entry, cached in outcomes:
        assert error in ("KeyError", "MemoryError") and cached in (0, 1)
        assert entry or error == "MemoryError"  # the original error always gets its entry
    assert ["KeyError", True, 0] in outcomes
    assert outcomes[-1] == ["KeyError", True, 1]
