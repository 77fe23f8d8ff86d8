import sys
from pathlib import Path

import pytest

import support

pytest_plugins = ["refleak_hunt"]


def pytest_configure(config):
    import vorlundpython

    if Path(vorlundpython.__file__).resolve().parent == support.REPO / "vorlundpython":
        raise pytest.UsageError(
            "vorlundpython was imported from the source tree; the tests run against the "
            "installed package (install it into a virtual environment and run its pytest)"
        )
    if config.getoption("refleaks"):
        # The hunt compares runs of one test: each run must draw the same
        # examples, and none may come from (or go to) the example database.
        from hypothesis import settings

        settings.register_profile("refleak-hunt", derandomize=True, database=None)
        settings.load_profile("refleak-hunt")


@pytest.fixture(scope="session")
def hooks_build(tmp_path_factory):
    """A test build with the test-only module functions."""
    return support.build_variant(tmp_path_factory.mktemp("hooks"), CONCORDIX_TEST_HOOKS="ON")


@pytest.fixture(scope="session")
def consumer(tmp_path_factory):
    """The example consumer module, built against the installed header."""
    sys.path.insert(0, str(support.build_consumer(tmp_path_factory.mktemp("consumer"))))
    import concordance

    return concordance


@pytest.fixture
def switch():
    """Sets cython_runtime.cline_in_traceback for one test (a value, or
    `missing` to delete it) and restores what was there."""
    import vorlundpython.Concordix  # noqa: F401  (creates cython_runtime)
    import cython_runtime

    missing = object()
    saved = getattr(cython_runtime, "cline_in_traceback", missing)

    def set_switch(value):
        if value is missing:
            cython_runtime.__dict__.pop("cline_in_traceback", None)
        else:
            cython_runtime.cline_in_traceback = value

    set_switch.missing = missing
    yield set_switch
    set_switch(saved)
