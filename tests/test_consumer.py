"""The C-level table, driven by the example consumer built against the
installed header."""
import os

import pytest

from support import PYPY, run_python
from vorlundpython.Concordix import Concordix

INT32_MIN, INT32_MAX = -(2**31), 2**31 - 1
COUNTS = ("matching", "total", "nonMissing", "nonMatching")  # record order


@pytest.fixture(params=["fill", "fill_through_instance"])
def fill(request, consumer):
    return getattr(consumer, request.param)


@pytest.mark.parametrize("cls", [Concordix, type("Sub", (Concordix,), {})])
@pytest.mark.parametrize("record", [(1, 2, 3, 4), (INT32_MIN, INT32_MAX, -1, 0)])
def test_set_counts_copies_the_record_into_the_instance(fill, cls, record):
    obj = cls()
    assert fill(obj, *record) is None
    assert tuple(getattr(obj, name) for name in COUNTS) == record


def test_every_instance_carries_the_class_table(consumer):
    assert consumer.shares_class_table(Concordix())
    assert consumer.shares_class_table(type("Sub", (Concordix,), {})())


@pytest.mark.parametrize("a, b, expected", [
    ([], [], (0, 0, 0, 0)),
    (["A", "C", None, "G"], ["A", "G", "G", None], (1, 4, 2, 1)),
    ((1, 2, 3), [1.0, 2, 4], (2, 3, 3, 1)),
])
def test_compare_fills_all_four_counts(consumer, a, b, expected):
    tally = consumer.compare(a, b)
    assert type(tally) is Concordix
    assert tuple(getattr(tally, name) for name in COUNTS) == expected


def test_compare_refuses_unequal_lengths(consumer):
    with pytest.raises(ValueError):
        consumer.compare([1], [])


@pytest.mark.no_refleak_hunt(reason="drives a fresh interpreter only")
@pytest.mark.parametrize("published, message", [
    ("del", "has no attribute '__pyx_vtable__'"),
    pytest.param("named", "is not the nameless capsule of a CountsVTable",
                 marks=pytest.mark.skipif(PYPY, reason="PyPy: no module publishes a named "
                                                       "capsule (datetime.datetime_CAPI) to "
                                                       "stand in for the table")),
    ("other", "is not the nameless capsule of a CountsVTable"),
])
def test_import_helper_reports_a_missing_or_foreign_table(consumer, published, message):
    # A stand-in module under the real name shows what a consumer sees when the
    # class does not publish the table it expects.
    proc = run_python(f"""
        import datetime, sys, types
        fake = sys.modules["vorlundpython.Concordix"] = types.ModuleType("vorlundpython.Concordix")
        fake.Concordix = type("Concordix", (), {{}})
        if "{published}" == "named":
            fake.Concordix.__pyx_vtable__ = datetime.datetime_CAPI
        elif "{published}" == "other":
            fake.Concordix.__pyx_vtable__ = 42
        sys.path.insert(0, {os.path.dirname(consumer.__file__)!r})
        import concordance
    """, check=False)
    assert proc.returncode == 1
    assert message in proc.stderr.splitlines()[-1]
