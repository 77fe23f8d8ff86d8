"""Free-threaded interpreters: the module declares that it needs no GIL, and
its shared state holds up under threads that really run at once (the hammer
runs on every build; with a GIL it is a plain threading test)."""
import os
import sys
import sysconfig

import pytest

from support import cpython_only, run_json, run_python

FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))

pytestmark = pytest.mark.no_refleak_hunt(reason="drives a fresh interpreter only")


@pytest.mark.skipif(not FREE_THREADED, reason="needs a free-threaded (--disable-gil) CPython")
@pytest.mark.parametrize("with_consumer", [False, True], ids=["module", "module-and-consumer"])
def test_import_leaves_the_gil_off_and_says_nothing(request, with_consumer):
    path = None
    if with_consumer:
        path = os.path.dirname(request.getfixturevalue("consumer").__file__)
    proc = run_python("""
        import sys
        import vorlundpython.Concordix
        if %r:
            import concordance
        print(sys._is_gil_enabled())
    """ % with_consumer, path=path, flags=("-W", "error"))
    assert (proc.stdout, proc.stderr) == ("False\n", "")


@cpython_only("the hammer compares sys.getrefcount counts, which PyPy does not keep")
@pytest.mark.parametrize("build", ["installed", "test-build"])
def test_thread_hammer(request, consumer, record_property, build):
    # The test build also makes entries under keys of each thread's own, so
    # that the code-object cache grows while other threads search it.
    paths = [os.path.dirname(consumer.__file__)]
    if build == "test-build":
        paths.insert(0, str(request.getfixturevalue("hooks_build")))
    # More rounds where they are asked for (the ThreadSanitizer run).
    rounds = os.environ.get("VORLUND_HAMMER_ROUNDS", "2")
    figures = run_json("""
        import thread_hammer
        thread_hammer.main(["--threads", "8", "--seconds", "1.5", "--rounds", %r])
    """ % rounds, path=os.pathsep.join(paths))
    for name in ("threads", "operations", "entries_checked", "reads_checked",
                 "references_compared"):
        record_property(name, figures[name])
    print(figures)
    assert figures["test_build"] == (build == "test-build")
    assert figures["problems"] == []
    # at least the refusals' argument tuples and their message are counted
    assert figures["reference_changes"] == [] and figures["references_compared"] >= 3
    if figures["total_refcount_changes"]:
        assert abs(figures["total_refcount_changes"][-1]) < 100, figures
    # every thread ran every kind of operation
    assert figures["fewest_operations"] >= figures["kinds_of_operation"]
    if FREE_THREADED:
        assert figures["gil_enabled"] is False
