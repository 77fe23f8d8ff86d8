"""The import sequence: what it publishes, how it meets sys.modules and
cython_runtime, the version warning, and import failures."""
import ctypes
import sys
import types
import warnings

import pytest

import vorlundpython
import vorlundpython.Concordix as module
import support
from support import cpython_only, run_json, run_python
from vorlundpython.Concordix import Concordix

subprocess_only = pytest.mark.no_refleak_hunt(reason="drives a fresh interpreter only")


def test_namespace_holds_the_class_builtins_and_test_dict_and_no_functions():
    import builtins

    namespace = vars(module)
    assert namespace["__builtins__"] is builtins
    assert namespace["Concordix"] is Concordix
    assert namespace["__test__"] == {}
    assert not [v for v in namespace.values() if isinstance(v, types.BuiltinFunctionType)]
    assert module.__name__ == "vorlundpython.Concordix"


def test_only_the_entry_point_is_exported():
    assert support.exported_names(module.__file__) == ["PyInit_Concordix"]


def test_header_is_installed_where_get_include_points():
    from pathlib import Path

    assert (Path(vorlundpython.get_include()) / "Concordix.h").is_file()


@cpython_only("no ctypes.PyDLL to call the entry point, no sys.getrefcount")
def test_second_entry_call_returns_the_module_with_one_more_reference():
    entry = ctypes.PyDLL(module.__file__).PyInit_Concordix
    entry.restype = ctypes.py_object  # takes over the reference the call returns
    before = sys.getrefcount(module)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        again = entry()
    assert again is module
    assert sys.getrefcount(module) == before + 1


@subprocess_only
@cpython_only("no ctypes.PyDLL to call the entry point directly")
@pytest.mark.parametrize("preregistered", [False, True, "lookup-raises"])
def test_registration_leaves_an_existing_sys_modules_entry(preregistered):
    result = run_json(f"""
        import ctypes, importlib.machinery, json, sys, traceback, vorlundpython
        spec = importlib.machinery.PathFinder.find_spec("vorlundpython.Concordix", vorlundpython.__path__)
        sentinel = object()

        class Collides:  # looking the name up compares it with this key, which raises
            def __hash__(self): return hash("vorlundpython.Concordix")
            def __eq__(self, other): raise KeyError("compared")
        if {preregistered!r} == "lookup-raises":
            sys.modules[Collides()] = sentinel
        elif {preregistered}:
            sys.modules["vorlundpython.Concordix"] = sentinel
        entry = ctypes.PyDLL(spec.origin).PyInit_Concordix
        entry.restype = ctypes.py_object
        try:
            made = entry()
        except KeyError as e:
            frames = [f for f, _ in traceback.walk_tb(e.__traceback__)
                      if f.f_code.co_filename.startswith("vorlundpython")]
            print(json.dumps([str(e), [f.f_code.co_name for f in frames],
                              ["__spec__" in f.f_globals for f in frames],
                              [k for k in sys.modules if type(k) is str and k.endswith("Concordix")]]))
            raise SystemExit
        registered = sys.modules["vorlundpython.Concordix"]
        print(json.dumps([registered is sentinel, registered is made, made.Concordix().total]))
    """)
    if preregistered == "lookup-raises":
        # The failure is the import's, with its entry; the namespace left
        # behind in that entry keeps no __spec__, nothing is registered.
        assert result == ["'compared'", ["init vorlundpython.Concordix"], [False], []]
    else:
        assert result == [preregistered, not preregistered, 0]


@subprocess_only
def test_import_after_leaving_sys_modules_gets_a_copy_of_the_namespace():
    # The module keeps process-wide state: the interpreter copies the first
    # namespace for a later import instead of calling the entry point again.
    result = run_json("""
        import json, sys
        import vorlundpython.Concordix as first
        del sys.modules["vorlundpython.Concordix"]
        import vorlundpython.Concordix as second
        print(json.dumps([second is first, second.Concordix is first.Concordix,
                          sorted(vars(second)) == sorted(vars(first))]))
    """)
    assert result == [False, True, True]


@subprocess_only
@pytest.mark.parametrize("existing", [False, True])
def test_cython_runtime_is_shared_or_created(existing):
    result = run_json(f"""
        import json, sys, types
        if {existing}:
            runtime = types.ModuleType("cython_runtime")
            runtime.marker = 1
            sys.modules["cython_runtime"] = runtime
        from vorlundpython.Concordix import Concordix
        try:
            Concordix().total = "x"
        except TypeError:
            pass
        runtime = sys.modules["cython_runtime"]
        print(json.dumps([getattr(runtime, "marker", None),
                          sorted(k for k in vars(runtime) if not k.startswith("__"))]))
    """)
    assert result == [1 if existing else None,
                      ["cline_in_traceback", "marker"] if existing else ["cline_in_traceback"]]


@subprocess_only
@pytest.mark.parametrize("switch", ["absent", "true"])
def test_missing_builtin_fails_the_import_with_one_plain_entry_and_a_retry_works(switch):
    result = run_json(f"""
        import builtins, json, sys, traceback, types, warnings
        with warnings.catch_warnings():  # what pytest's own imports warn of is not the test's
            warnings.simplefilter("ignore")
            from support import assert_flat
        if "{switch}" == "true":
            runtime = sys.modules["cython_runtime"] = types.ModuleType("cython_runtime")
            runtime.cline_in_traceback = True
        saved = builtins.TypeError
        del builtins.TypeError
        try:
            import vorlundpython.Concordix
        except NameError as e:
            error = e
        # Retried failures leave nothing behind (the names made for them included).
        def fail_again():
            try:
                import vorlundpython.Concordix
            except NameError:
                pass
        assert_flat(fail_again, rounds=200, warmup=1000)
        builtins.TypeError = saved
        # Formatting it warns of nothing (-W error), whatever the interpreter.
        traceback.format_exception(type(error), error, error.__traceback__)
        entries = [(e.name, e.filename, e.lineno) for e in traceback.extract_tb(error.__traceback__)
                   if e.filename.startswith("vorlundpython")]
        runtime = sys.modules["cython_runtime"]
        left = "vorlundpython.Concordix" in sys.modules
        from vorlundpython.Concordix import Concordix
        print(json.dumps([str(error), entries, left, vars(runtime).get("cline_in_traceback"),
                          Concordix(1).total]))
    """, flags=("-W", "error"))
    assert result == [
        "name 'TypeError' is not defined",
        [["init vorlundpython.Concordix", "vorlundpython\\cpp_src\\Concordix", 1]],
        False,
        True if switch == "true" else None,  # the import's entry never reads the switch
        0,
    ]


@subprocess_only
def test_failed_import_left_uncaught_prints_its_entry_and_nothing_else():
    proc = run_python("""
        import builtins
        saved = builtins.TypeError
        del builtins.TypeError
        try:
            import vorlundpython.Concordix
        finally:
            builtins.TypeError = saved  # the traceback module needs it
    """, flags=("-W", "error"), check=False)
    # No warning and no "Exception ignored" from formatting the entry. (3.13
    # and later also show the source line of "-c" code.)
    lines = [line for line in proc.stderr.splitlines() if not line.startswith("    ")]
    assert (proc.returncode, proc.stdout, lines) == (1, "", [
        "Traceback (most recent call last):",
        '  File "<string>", line 6, in <module>',
        '  File "vorlundpython\\cpp_src\\Concordix", line 1, in init vorlundpython.Concordix',
        "NameError: name 'TypeError' is not defined",
    ])


@pytest.fixture(scope="session")
def claimed_version_build(tmp_path_factory):
    import support

    claimed = "3.6" if sys.version[2] != "6" else "3.7"
    root = support.build_variant(tmp_path_factory.mktemp("claimed"),
                                 CONCORDIX_CLAIM_PYTHON_VERSION=claimed)
    message = (f"compiletime version {claimed} of module 'vorlundpython.Concordix' "
               f"does not match runtime version {sys.version[:3]}")
    return root, message


@subprocess_only
def test_version_mismatch_warns_and_the_import_goes_on(claimed_version_build):
    root, message = claimed_version_build
    result = run_json("""
        import json, warnings
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            from vorlundpython.Concordix import Concordix
        print(json.dumps([[w.category.__name__, str(w.message)] for w in caught],
                         ) if False else json.dumps([[[w.category.__name__, str(w.message)] for w in caught],
                                                     Concordix().total]))
    """, path=root)
    assert result == [[["RuntimeWarning", message]], 0]


@subprocess_only
def test_version_warning_as_error_fails_the_import_without_entry_or_module(claimed_version_build):
    root, message = claimed_version_build
    result = run_json("""
        import json, sys, traceback
        try:
            import vorlundpython.Concordix
        except RuntimeWarning as e:
            error = e
        names = [entry.name for entry in traceback.extract_tb(error.__traceback__)]
        print(json.dumps([str(error), "init vorlundpython.Concordix" in names,
                          "vorlundpython.Concordix" in sys.modules]))
    """, path=root, flags=("-W", "error::RuntimeWarning"))
    assert result == [message, False, False]
