"""One module, many interpreters: legacy subinterpreters importing it in any
order, ending in between or living on, isolated interpreters refusing it,
and an embedding application that finalises and starts its interpreter
again. Each case runs in a fresh process and checks, in every interpreter,
what the module does there, not only that the process survives."""
import importlib.util
import os
import re
import subprocess
import sys
import sysconfig
import textwrap
from pathlib import Path

import pytest

import support
from support import PYPY, cpython_only, run_python

subprocess_only = pytest.mark.no_refleak_hunt(reason="drives a fresh interpreter only")
# Legacy subinterpreters are started through _testcapi, which python.org's
# embeddable Windows distribution leaves out.
needs_testcapi = pytest.mark.skipif(importlib.util.find_spec("_testcapi") is None,
                                    reason="no _testcapi to start legacy subinterpreters with "
                                           "(python.org's embeddable Windows distribution "
                                           "leaves it out)")

# What each interpreter checks once it has the module (or fails to get it).
# `replace`: builtins.TypeError is replaced in this interpreter before it
# first imports the module; `fail`: builtins.TypeError is missing there at
# that import.
CHECK = r'''
import builtins, gc, pickle, re, sys, sysconfig, traceback

NAME = "vorlundpython.Concordix"
SETTER = NAME + ".Concordix.total.__set__"
NATIVE = " (vorlundpython/cpp_src/Concordix:1585)"

def entries(error):
    return [(f.name, f.filename, f.lineno) for f in traceback.extract_tb(error.__traceback__)
            if f.filename in (".\\vorlundpython\\Concordix", "stringsource",
                              "vorlundpython\\cpp_src\\Concordix")]

class Replaced(TypeError):
    pass

REAL_TYPE_ERROR = TypeError
# A free-threaded build's subinterpreters, "legacy" ones too, refuse every
# single-phase module themselves.
SUBS_REFUSE = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))

def check(replace=False, fail=False, may_fail=False, lose=False, direct=False, sub=False):
    first = NAME not in sys.modules
    saved = REAL_TYPE_ERROR
    # Replaced for good: the interpreter that builds the module's state keeps
    # the TypeError of its import, the others look theirs up.
    if first and replace:
        builtins.TypeError = Replaced
    if first and fail:
        del builtins.TypeError
    try:
        if direct:
            # The entry point called by C code, not by the import system: a
            # module of this interpreter's own, with its own builtins.
            import ctypes, importlib.util
            entry = ctypes.PyDLL(importlib.util.find_spec(NAME).origin).PyInit_Concordix
            entry.restype = ctypes.py_object
            m = entry()
            assert m.__builtins__ is builtins and sys.modules[NAME] is m
        else:
            import vorlundpython.Concordix as m
    except ImportError as e:
        assert sub and SUBS_REFUSE, e
        assert re.fullmatch(r"module (vorlundpython\.)?Concordix does not support loading in "
                            r"subinterpreters", str(e)), e
        assert NAME not in sys.modules
        return "refused"
    except NameError as e:
        # The entry point ran here, in this interpreter, and failed at its
        # builtin lookup; nothing is left in sys.modules.
        assert fail and may_fail, e
        assert str(e) == "name 'TypeError' is not defined", e
        assert entries(e) == [("init " + NAME, "vorlundpython\\cpp_src\\Concordix", 1)], entries(e)
        assert NAME not in sys.modules
        return "failed"
    finally:
        if fail:
            builtins.TypeError = saved
    mine = builtins.TypeError
    try:
        c = m.Concordix(1, k=2)
        assert (c.matching, c.nonMatching, c.nonMissing, c.total) == (0, 0, 0, 0)
        c.total = 7
        c.matching = True
        assert (c.total, c.matching) == (7, 1)
        # The first failure's entry makes this interpreter's switch if it
        # has none (an interpreter that got the module from another's copy).
        for switch, suffix in ((None, ""), (True, NATIVE), (False, "")):
            if switch is not None:
                sys.modules["cython_runtime"].cline_in_traceback = switch
            try:
                c.total = "7"
            except saved as e:
                assert str(e) == "an integer is required", e
                assert entries(e) == [(SETTER + suffix, ".\\vorlundpython\\Concordix", 9)], entries(e)
            else:
                raise AssertionError("the assignment of a str passed")
            assert c.total == 7
        try:
            pickle.dumps(c)
        except saved as e:
            # The refusal raises this interpreter's own builtin TypeError.
            assert type(e) is mine, (type(e), mine)
            assert str(e) == "no default __reduce__ due to non-trivial __cinit__", e
            assert entries(e) == [(NAME + ".Concordix.__reduce_cython__", "stringsource", 2)], entries(e)
        else:
            raise AssertionError("pickling passed")
        if lose:
            # An interpreter that did not build the module's state looks its
            # TypeError up when it refuses.
            del builtins.TypeError
            try:
                pickle.dumps(c)
            except NameError as e:
                assert str(e) == "name 'TypeError' is not defined", e
                assert entries(e) == [(NAME + ".Concordix.__reduce_cython__", "stringsource", 2)], entries(e)
            else:
                raise AssertionError("pickling passed")
            finally:
                builtins.TypeError = mine
        class Sub(m.Concordix):
            pass
        s = Sub()
        s.nonMissing = 3
        assert s.nonMissing == 3 and isinstance(s, m.Concordix)
        # (A namespace copied from another interpreter keeps that one's
        # __builtins__: the interpreter copies it so.)
        # (Called directly, the entry point has no package to name the module from.)
        assert direct or m.__name__ == NAME
        assert m.__test__ == {} and type(m.__builtins__) is type(sys)
    finally:
        builtins.TypeError = mine
    gc.collect()
    return "ok"
'''

# The driver: runs `steps` `rounds` times, collecting between steps.
#   ("main", opts)         checks in the main interpreter
#   ("sub", opts)          checks in a legacy subinterpreter that ends at once
#   ("open", n)            starts the legacy subinterpreter n, which lives on
#   ("in", n, opts)        checks in it
#   ("close", n)           ends it
DRIVER = r'''
import gc, json, sys
import _testcapi
try:
    import _interpreters as interpreters        # 3.13
    def legacy():
        return interpreters.create("legacy")
except ImportError:
    try:
        import _xxsubinterpreters as interpreters   # 3.8 to 3.12
    except ImportError:
        interpreters = None
    def legacy():
        return (interpreters.create(isolated=False) if sys.version_info >= (3, 12)
                else interpreters.create())

def run_in(interp, code):
    if hasattr(interpreters, "exec"):
        failure = interpreters.exec(interp, code)
        assert failure is None, failure.errdisplay
    else:
        interpreters.run_string(interp, code)

def in_sub(opts):
    return ("result = check(sub=True, **%r)\n"
            "assert result in ('ok', 'refused') or %r.get('may_fail')\n" % (opts, opts))

exec(CHECK)
steps, rounds = STEPS, ROUNDS
live = {}
seen = []
for round in range(rounds):
    for step in steps:
        kind = step[0]
        if kind == "main":
            seen.append(check(**step[1]))
        elif kind == "sub":
            # run_in_subinterp reports a failure only as -1 (and prints it)
            assert _testcapi.run_in_subinterp(CHECK + in_sub(step[1])) == 0, step
            seen.append("sub")
        elif kind == "open":
            live[step[1]] = legacy()
            run_in(live[step[1]], CHECK)
        elif kind == "in":
            run_in(live[step[1]], in_sub(step[2]))
            seen.append("in")
        elif kind == "close":
            interpreters.destroy(live.pop(step[1]))
        gc.collect()
print(json.dumps(seen))
'''

NEEDS_LIVE_SUBS = "live subinterpreters (_xxsubinterpreters, 3.8 on)"
MAIN, SUB = ("main", {}), ("sub", {})

# The orders of imports: main first (and a subinterpreter losing its
# TypeError after the import); a subinterpreter first; interpreters
# that live on while others import, end and import again; the interpreter
# that built the module's state ending while others still use it.
ORDERS = {
    "main, then subs": [MAIN, SUB, ("sub", {"lose": True}), ("sub", {"direct": True}), SUB, MAIN],
    "sub first, then main, then subs": [SUB, MAIN, SUB, SUB, MAIN],
    "subs only": [SUB, SUB, SUB],
    "sub first, main imports while it lives, it ends": [
        ("open", 1), ("in", 1, {}), MAIN, ("in", 1, {}), ("close", 1), MAIN, SUB, MAIN],
    "two live subs, the first ends, the second goes on": [
        ("open", 1), ("in", 1, {}), ("open", 2), ("in", 2, {}), ("close", 1), ("in", 2, {}),
        SUB, ("in", 2, {}), ("close", 2), MAIN],
    "main, a live sub, an ending sub, the live sub again": [
        MAIN, ("open", 1), ("in", 1, {}), SUB, ("in", 1, {}), SUB, ("close", 1), MAIN],
    "TypeError replaced in a sub that imports first": [
        ("sub", {"replace": True}), MAIN, ("sub", {"replace": True}), SUB, MAIN],
    "TypeError replaced in the main interpreter only": [
        ("main", {"replace": True}), SUB, ("open", 1), ("in", 1, {}), ("close", 1), SUB],
    "TypeError replaced in a live sub, not in main": [
        ("open", 1), ("in", 1, {"replace": True}), MAIN, ("in", 1, {}), ("close", 1), MAIN],
}


def run_order(steps, rounds=3):
    return support.run_json(f"CHECK = {CHECK!r}\nSTEPS = {steps!r}\nROUNDS = {rounds}\n" + DRIVER,
                            flags=["-X", "dev"])


def needs_live_subs(steps):
    return any(step[0] == "open" for step in steps)


@needs_testcapi
@subprocess_only
@cpython_only("no subinterpreters")
@pytest.mark.parametrize("order", sorted(ORDERS))
def test_orders_of_imports_across_interpreters(order):
    steps = ORDERS[order]
    if needs_live_subs(steps) and sys.version_info < (3, 8):
        pytest.skip("needs " + NEEDS_LIVE_SUBS)
    seen = run_order(steps)
    assert len(seen) == 3 * sum(step[0] in ("main", "sub", "in") for step in steps)
    assert set(seen) <= {"ok", "sub", "in"}


@needs_testcapi
@subprocess_only
@cpython_only("no subinterpreters")
@pytest.mark.parametrize("then", [[MAIN, SUB], [SUB, MAIN], [("open", 1), ("in", 1, {}), ("close", 1), MAIN]])
def test_a_failed_import_in_a_subinterpreter_leaves_every_later_import_working(then):
    if needs_live_subs(then) and sys.version_info < (3, 8):
        pytest.skip("needs " + NEEDS_LIVE_SUBS)
    # From 3.13 the interpreter runs a single-phase entry point in the main
    # interpreter, whose builtins have their TypeError: the import passes
    # (where a free-threaded build's subinterpreter does not refuse it first).
    failing = ("sub", {"fail": True, "may_fail": True})
    code = (f"CHECK = {CHECK!r}\n" + textwrap.dedent(r'''
        import _testcapi
        exec(CHECK)
        failed = CHECK + "\nassert check(fail=True, may_fail=True, sub=True) == %r\n"
        expected = ("refused" if SUBS_REFUSE else
                    "ok" if sys.version_info >= (3, 13) else "failed")
        assert _testcapi.run_in_subinterp(failed % expected) == 0
        '''))
    run_python(code + f"STEPS = {[failing] + then!r}\nROUNDS = 2\n" + DRIVER, flags=["-X", "dev"])


# An isolated interpreter's refusal of single-phase modules, as its user sees it.
ISOLATED = r'''
import json, sys
CODE = "import vorlundpython.Concordix"
def isolated_import():
    if sys.version_info >= (3, 14):
        import concurrent.interpreters as ci
        interp = ci.create()
        try:
            interp.exec(CODE)
        except ci.ExecutionFailed as e:
            return [e.excinfo.type.__name__, e.excinfo.msg]
        finally:
            interp.close()
    elif sys.version_info >= (3, 13):
        import _interpreters
        interp = _interpreters.create()
        failure = _interpreters.exec(interp, CODE)
        _interpreters.destroy(interp)
        return failure and [failure.type.__name__, failure.msg]
    else:
        import _xxsubinterpreters
        interp = _xxsubinterpreters.create()
        try:
            _xxsubinterpreters.run_string(interp, CODE)
        except _xxsubinterpreters.RunFailedError as e:
            kind, _, message = str(e).partition(": ")
            return [kind.replace("<class '", "").rstrip("'>"), message]
        finally:
            _xxsubinterpreters.destroy(interp)
if MAIN_FIRST:
    import vorlundpython.Concordix
refusals = [isolated_import() for _ in range(3)]
import vorlundpython.Concordix as m
c = m.Concordix()
c.total = 4
try:
    c.total = "4"
except TypeError as e:
    assert str(e) == "an integer is required"
assert c.total == 4
print(json.dumps(refusals))
'''


@subprocess_only
@cpython_only("no subinterpreters")
@pytest.mark.skipif(sys.version_info < (3, 12), reason="isolated interpreters arrived in 3.12")
@pytest.mark.parametrize("main_first", [False, True])
def test_isolated_interpreters_refuse_the_module_with_their_own_error(main_first):
    refusals = support.run_json(f"MAIN_FIRST = {main_first}\n" + ISOLATED, flags=["-X", "dev"])
    # The interpreter's own text. 3.13 names the module by its last part when
    # it refuses after running the entry point, in full when it refuses a copy.
    assert len(refusals) == 3
    for kind, message in refusals:
        assert kind == "ImportError"
        assert re.fullmatch(r"module (vorlundpython\.)?Concordix does not support loading in "
                            r"subinterpreters", message), message


# The embedding application's script for each round.
EMBEDDED = CHECK + r'''
assert NAME not in sys.modules
assert check(replace=ROUND % 2 == 0) == "ok"
print("round", ROUND, "checked")
'''


def libpython():
    """(compile and link arguments, library directory) for an application
    that embeds this interpreter, or None where it has no libpython."""
    var = sysconfig.get_config_var
    include = ["-I" + var("INCLUDEPY")]
    libs = (var("LIBS") or "").split() + (var("SYSLIBS") or "").split()
    # Debian's bullseye names /usr/lib as LIBDIR but keeps the library in its
    # multiarch directory below it.
    libdir, library = Path(var("LIBDIR") or ""), var("LDLIBRARY") or ""
    for directory in (libdir, libdir / (var("MULTIARCH") or "")):
        if var("Py_ENABLE_SHARED") and (directory / library).is_file():
            return (include + ["-L" + str(directory), "-lpython" + var("LDVERSION")] + libs,
                    directory)
    static = Path(var("LIBPL") or "", var("LIBRARY") or "")
    if static.is_file():
        # The module takes the interpreter's functions from the executable.
        return include + [str(static)] + (var("LINKFORSHARED") or "").split() + libs, None
    return None


@subprocess_only
@cpython_only("no embedding C API")
@pytest.mark.skipif(not PYPY and libpython() is None, reason="this interpreter has no libpython to embed")
def test_an_embedding_application_restarts_the_interpreter_every_round(tmp_path):
    support.need_compilers()
    flags, library_dir = libpython()
    host = tmp_path / "embed_host"
    command = [os.environ.get("CC", "cc"), "-o", str(host), str(support.TESTS / "embed_host.c"), *flags]
    if library_dir:
        command.append("-Wl,-rpath," + str(library_dir))
    built = subprocess.run(command, **support.CAPTURE)
    assert built.returncode == 0, built.stderr
    import vorlundpython
    env = dict(os.environ, PYTHONHOME=sys.base_prefix,
               PYTHONPATH=str(Path(vorlundpython.__file__).resolve().parents[1]))
    env.pop("PYTHONSTARTUP", None)
    rounds = 4
    proc = subprocess.run([str(host), str(rounds), EMBEDDED], env=env, timeout=600, **support.CAPTURE)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    expected = []
    for n in range(1, rounds + 1):
        expected += [f"round {n} checked", f"round {n} done"]
    assert proc.stdout.split("\n")[:-1] == expected, proc.stdout + proc.stderr
